#include "LW/pass_bands.h"

#include <algorithm>
#include <cstdlib>
#include <exception>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

#include "LW/module_state.h"
#include "stardb/star_record.h"

namespace {

// With fewer rows a band than this, starting a thread costs more than the
// rows it shares out.
const int kLeastRowsAutomatic = 64;
// Stripes this many rows high share out the stars of any part of the sky
// among the threads, and an HD stripe's four planes (1 MB) stay in a core's
// cache while it is drawn.
const int kStripeRows = 32;
// Records set up before their stripes are drawn: an eighth of the pass,
// so that a cancel is seen soon, but none that could make more than 32768
// spots and streaks, whose setup takes a few megabytes, and no fewer than
// 64 records, for the barriers' sake.
uint64_t batch_records(uint64_t records, int segments) {
  const uint64_t most = std::max<uint64_t>(64, 32768 / std::max(1, segments));
  return std::min(most, std::max<uint64_t>(64, records / 8));
}

uint64_t records_of(const std::vector<CellRun>& runs) {
  uint64_t n = 0;
  for (const CellRun& run : runs) n += run.count;
  return n;
}

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

namespace {

// The first exception of work run on several threads; whatever any of
// them throws sets stop, so that the others may end early.
class FirstFailure {
public:
  explicit FirstFailure(std::atomic<bool>& stop) : stop(stop) {}
  template <class Work>
  void guarded(Work&& work) {
    try {
      work();
    } catch (...) {
      stop = true;
      const std::lock_guard<std::mutex> lock(mutex);
      if (!first) first = std::current_exception();
    }
  }
  void rethrow() const {
    if (first) std::rethrow_exception(first);
  }

private:
  std::atomic<bool>& stop;
  std::mutex mutex;
  std::exception_ptr first;
};

// Threads for bands 1 .. n - 1, each held at a gate until the crew opens
// it, so that a band that waits for the others never starts alone. Joins
// them on every way out, and keeps the first exception.
class Crew {
public:
  explicit Crew(std::atomic<bool>& stop) : failure(stop) {}
  Crew(const Crew&) = delete;
  Crew& operator=(const Crew&) = delete;
  ~Crew() { join(false); }

  // Starts bands 1, 2, ... up to n - 1 on threads of their own, until one
  // cannot be started; the first band without a thread.
  int start(int n, const std::function<void(int)>& work) {
    int b = 1;
    for (; b < n; ++b) {
      const int limit = vantrel_module.thread_limit;
      if (limit >= 0 && static_cast<int>(threads.size()) >= limit) break;
      try {
        threads.emplace_back([this, &work, b] {
          int g;
          while ((g = gate.load()) == 0) std::this_thread::yield();
          if (g > 0) guarded(work, b);
        });
      } catch (const std::system_error&) {
        break;
      }
    }
    return b;
  }
  void guarded(const std::function<void(int)>& work, int b) {
    failure.guarded([&] { work(b); });
  }
  // Lets the started bands run (or end without running), and waits for them.
  void join(bool run) {
    int closed = 0;
    gate.compare_exchange_strong(closed, run ? 1 : -1);
    for (std::thread& t : threads) t.join();
    threads.clear();
    if (run) failure.rethrow();
  }
  // Lets the started bands run.
  void open() { gate = 1; }

private:
  std::vector<std::thread> threads;
  std::atomic<int> gate{0};  // 0: held, 1: run, -1: end without running
  FirstFailure failure;
};

}  // namespace

void run_bands(int n, const std::function<void(int)>& work, std::atomic<bool>& stop) {
  Crew crew(stop);
  const int alone = crew.start(n, work);
  crew.open();
  for (int b = alone; b < n; ++b) crew.guarded(work, b);
  crew.guarded(work, 0);
  crew.join(true);
}

bool run_bands_together(int n, const std::function<void(int)>& work, std::atomic<bool>& stop) {
  Crew crew(stop);
  if (crew.start(n, work) < n) return false;
  crew.open();
  crew.guarded(work, 0);
  crew.join(true);
  return true;
}

bool fills_first(const StarFramebuffer& fb, uint64_t records) {
  return fb.lazy && records * 4 >= static_cast<uint64_t>(fb.lazy->chunks_per_row) * fb.height;
}

StarFramebuffer filled(const StarFramebuffer& fb, StarFramebuffer view) {
  for (int y = std::max(0, view.first_row); y <= std::min(fb.height - 1, view.last_row); ++y)
    fb.lazy->prepare(y, 0, fb.width - 1);
  view.lazy = nullptr;
  return view;
}

namespace {

// Calls visit(run, first, count) for the records from .. to - 1 of the runs
// [run, end) taken as one sequence.
template <class Visit>
void records_between(const CellRun* run, const CellRun* end, uint64_t from, uint64_t to,
                     Visit&& visit) {
  for (uint64_t start = 0; run != end && start < to; start += run->count, ++run) {
    const uint64_t a = std::max(from, start), b = std::min<uint64_t>(to, start + run->count);
    if (a < b) visit(*run, a - start, b - a);
  }
}

class Striper {
public:
  explicit Striper(const StripedPass& pass)
      : pass(pass),
        bands(pass.bands),
        // A small frame still has two stripes a band.
        rows(std::max(1, std::min(kStripeRows, pass.fb.height / (2 * bands)))),
        stripes((pass.fb.height + rows - 1) / rows),
        // Pieces small enough that the last one taken in a step is short.
        pieces(kPiecesPerBand * bands),
        records(records_of(pass.runs)),
        fill_first(fills_first(pass.fb, records)),
        batches(batches_of(pass.runs, batch_records(records, pass.segments))),
        kept(pass.pieces) {
    if (kept.size() < static_cast<size_t>(2 * pieces)) kept.resize(static_cast<size_t>(2 * pieces));
  }

  // False when not every band could have a thread: then nothing was drawn.
  // A failure on any band is raised again here.
  bool draw(const std::function<bool(uint64_t)>& passed, bool& done) {
    Barrier barrier(bands);
    bool cancelled = false;  // written by band 0 only
    const bool ran = run_bands_together(
        bands,
        [&](int b) {
          if (band(b, barrier, passed)) cancelled = true;
        },
        stop);
    failure.rethrow();
    done = !cancelled;
    return ran;
  }

private:
  static const int kPiecesPerBand = 4;

  // The records of the runs [first, end), set up and drawn together.
  struct Batch {
    const CellRun *first, *end;
    uint64_t records;
  };
  // Whole runs, until a batch holds at least `most` records.
  static std::vector<Batch> batches_of(const std::vector<CellRun>& runs, uint64_t most) {
    std::vector<Batch> out;
    const CellRun* run = runs.data();
    const CellRun* const end = run + runs.size();
    while (run != end) {
      Batch batch{run, run, 0};
      while (batch.end != end && batch.records < most) batch.records += (batch.end++)->count;
      out.push_back(batch);
      run = batch.end;
    }
    return out;
  }

  // Holds the bands' threads between the steps of a pass: wait() returns
  // once every band has called it, the last of them having run last().
  // Steps are short, so it spins, yielding.
  class Barrier {
  public:
    explicit Barrier(int n) : n(n) {}
    template <class Last>
    void wait(Last&& last) {
      const unsigned g = generation.load(std::memory_order_acquire);
      if (arrived.fetch_add(1, std::memory_order_acq_rel) + 1 == n) {
        last();
        arrived.store(0, std::memory_order_relaxed);
        generation.fetch_add(1, std::memory_order_release);
        return;
      }
      for (int spin = 0; generation.load(std::memory_order_acquire) == g; ++spin)
        if (spin > 64) std::this_thread::yield();
    }

  private:
    const int n;
    std::atomic<int> arrived{0};
    std::atomic<unsigned> generation{0};
  };

  // Band b's part of the pass. Step i draws the stripes of batch i - 1
  // (the first step fills them, when the rows are filled first) and sets up
  // the pieces of batch i, every task taken by the next band free: the two
  // kinds touch different batches, so neither waits for the other, and the
  // short pieces of setup even out the bands' ends. Every band meets the
  // same barriers; a failure or a cancel ends the pass for all at the next
  // one, as `quit` says, which only the barrier's last arriver sets. Band
  // 0, on the host's thread, steps the monitor; true when it saw a cancel.
  bool band(int b, Barrier& barrier, const std::function<bool(uint64_t)>& passed) {
    bool cancelled = false;
    for (size_t i = 0; i <= batches.size(); ++i) {
      const int drawn = i > 0 || fill_first ? stripes : 0;
      const int set_up = i < batches.size() ? pieces : 0;
      failure.guarded([&] {
        for (int t; !stop && (t = next++) < drawn + set_up;) {
          if (t >= drawn)
            set_up_piece(batches[i], t - drawn, piece(i, t - drawn));
          else if (i == 0)
            filled(pass.fb, stripe(t));
          else
            draw_stripe(i - 1, t);
        }
      });
      barrier.wait([&] {
        next = 0;
        quit = stop;
      });
      if (quit) break;
      if (b == 0 && i > 0)
        failure.guarded([&] {
          if (!passed(batches[i - 1].end[-1].end)) cancelled = stop = true;
        });
    }
    return cancelled;
  }

  BatchPiece& piece(size_t batch, int j) {
    return kept[static_cast<size_t>((batch % 2) * pieces + j)];
  }

  // Stripe k of the frame, as a view that draws only its rows.
  StarFramebuffer stripe(int k) const {
    StarFramebuffer view = pass.fb;
    view.first_row = k * rows;
    view.last_row = std::min(k * rows + rows, pass.fb.height) - 1;
    if (fill_first) view.lazy = nullptr;
    return view;
  }

  void draw_stripe(size_t batch, int k) {
    const StarFramebuffer view = stripe(k);
    for (int j = 0; j < pieces; ++j) {
      const BatchPiece& from = piece(batch, j);
      for (const uint32_t star : from.stripes[static_cast<size_t>(k)])
        draw_prepared(view, from.stars[star], pass.lines);
    }
  }

  // Piece j of the batch: set up, and sorted into the stripes it reaches.
  void set_up_piece(const Batch& batch, int j, BatchPiece& out) {
    out.stars.clear();
    const uint64_t n = batch.records;
    records_between(batch.first, batch.end, n * j / pieces, n * (j + 1) / pieces,
                    [&](const CellRun& r, uint64_t from, uint64_t count) {
                      pass.renderer.prepare_records(r.records + from * star_db::kRecordSize,
                                                    r.bright + from, r.dirs + from, count,
                                                    out.stars);
                    });
    out.stripes.resize(static_cast<size_t>(stripes));
    for (std::vector<uint32_t>& s : out.stripes) s.clear();
    for (size_t i = 0; i < out.stars.size(); ++i) {
      const imgops::Streak& s = out.stars[i].streak;
      for (int k = s.ylo / rows; k <= s.yhi / rows; ++k)
        out.stripes[static_cast<size_t>(k)].push_back(static_cast<uint32_t>(i));
    }
  }

  const StripedPass& pass;
  const int bands, rows, stripes, pieces;
  const uint64_t records;
  const bool fill_first;
  const std::vector<Batch> batches;
  std::vector<BatchPiece>& kept;
  std::atomic<bool> stop{false};
  std::atomic<int> next{0};  // the next task of the step; reset by the barrier
  bool quit = false;
  FirstFailure failure{stop};
};

}  // namespace

bool draw_striped(const StripedPass& pass, const std::function<bool(uint64_t)>& passed) {
  bool done = false;
  // Short of threads, the same stripes one after another on this one.
  for (const int bands : {pass.bands, 1}) {
    StripedPass tried = pass;
    tried.bands = bands;
    if (Striper(tried).draw(passed, done)) break;
  }
  return done;
}
