#include "LW/pass_bands.h"

#include <algorithm>
#include <cstdlib>
#include <exception>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

#include "LW/module_state.h"

namespace {

// Fewer rows a band and the stars' projection, which every band repeats,
// costs more than the rows it shares out.
const int kLeastRowsAutomatic = 64;
// Stripes this many rows high share out the stars of any part of the sky
// among the bands; a star across two stripes costs both bands its setup.
const int kStripeRows = 64;

// VANTREL_THREADS when the environment holds a count, else 0.
int bands_asked() {
  const char* v = std::getenv("VANTREL_THREADS");
  if (!v) return 0;
  char* end = nullptr;
  const long n = std::strtol(v, &end, 10);
  return end != v && *end == '\0' && n >= 1 ? static_cast<int>(std::min(n, 64L)) : 0;
}

}  // namespace

int band_count(int rows) {
  if (rows < 2) return 1;
  const int asked = vantrel_module.bands > 0 ? vantrel_module.bands : bands_asked();
  if (asked > 0) return std::min(asked, rows);
  const int threads = static_cast<int>(std::min(std::thread::hardware_concurrency(), 8u));
  return std::max(1, std::min(threads, rows / kLeastRowsAutomatic));
}

int pass_band_count(const StarFramebuffer& fb, const StarRendererData& data) {
  return data.path == FastPath ? band_count(fb.height) : 1;
}

StarFramebuffer band_of(const StarFramebuffer& fb, int b, int n) {
  StarFramebuffer band = fb;
  // A small frame still has two stripes a band.
  band.stripe = std::max(1, std::min(kStripeRows, fb.height / (2 * n)));
  band.bands = n;
  band.band = b;
  return band;
}

namespace {

// Joins its threads on every way out, and keeps the first exception.
class Crew {
public:
  explicit Crew(std::atomic<bool>& stop) : stop(stop) {}
  Crew(const Crew&) = delete;
  Crew& operator=(const Crew&) = delete;
  ~Crew() { join(); }

  // Runs work(b) on a thread of its own, or here when no thread starts.
  void start(const std::function<void(int)>& work, int b) {
    try {
      threads.emplace_back([this, &work, b] { guarded(work, b); });
    } catch (const std::system_error&) {
      guarded(work, b);
    }
  }
  void guarded(const std::function<void(int)>& work, int b) {
    try {
      work(b);
    } catch (...) {
      stop = true;
      const std::lock_guard<std::mutex> lock(mutex);
      if (!failure) failure = std::current_exception();
    }
  }
  void join() {
    for (std::thread& t : threads) t.join();
    threads.clear();
  }
  std::exception_ptr failure;

private:
  std::atomic<bool>& stop;
  std::vector<std::thread> threads;
  std::mutex mutex;
};

}  // namespace

void run_bands(int n, const std::function<void(int)>& work, std::atomic<bool>& stop) {
  Crew crew(stop);
  for (int b = 1; b < n; ++b) crew.start(work, b);
  crew.guarded(work, 0);
  crew.join();
  if (crew.failure) std::rethrow_exception(crew.failure);
}
