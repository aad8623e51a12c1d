// Frames of a sequence rendered one after another in this process, or by
// worker processes side by side. The plug-in starts no thread of its own, so
// the host spreads a sequence over the cores: each worker is a copy of this
// process with its own plug-in instance, and renders whole frames handed to
// it one at a time.
#pragma once

#include <atomic>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "host/core/render.h"

namespace host {

// What a frame's rendering tells the user: the progress bar in this
// process; in a worker, messages down a pipe to the process showing it.
class FrameReporter {
public:
  virtual ~FrameReporter() = default;
  virtual void frame(long long f) = 0;  // the frame whose progress follows
  virtual void report(unsigned done, unsigned total) = 0;
  virtual void line(const std::string& text) = 0;  // news, e.g. a file written; not when quiet
  virtual void tell(const std::string& text) = 0;  // always shown: failures
  virtual void finished(long long) {}              // a frame rendered and written
};

// Renders one frame and writes its files; the frame's outcome (nothing is
// written unless Done). Throws when the run cannot go on (a file that cannot
// be written).
using RenderFrame = std::function<FrameResult(long long frame, FrameReporter& out)>;

// The processors this process may run on: its affinity mask, which a batch
// system's allocation or taskset narrows; at least 1.
int usable_cores();

struct FrameRun {
  // The frames first, first + step, ... up to last, counted in 64 bits: a
  // range may end at the top of the integer range.
  long long first = 0, last = -1, step = 1;
  // Or, when not empty, these frames in this order (a list of ranges).
  std::vector<long long> listed;
  long long count() const {
    if (!listed.empty()) return static_cast<long long>(listed.size());
    return last < first ? 0 : (last - first) / step + 1;
  }
  long long frame(long long index) const {
    return listed.empty() ? first + index * step : listed[static_cast<size_t>(index)];
  }
  int jobs = 1;                               // worker processes; 0 for one per core
  bool keep_going = false;                    // a failed frame does not end the run
  const std::atomic<bool>* cancel = nullptr;  // set by SIGINT or SIGTERM
};

struct RunOutcome {
  std::optional<long long> cancelled_at;  // the lowest frame a stop left unwritten
  std::vector<long long> failed;          // in order
};

// Renders the frames with `jobs` workers (at most one per frame; a single
// one renders here, without a worker). No new frame starts after a cancel,
// or after a failure unless keep_going. A worker's error is thrown here
// after the others have finished the frames they hold.
RunOutcome render_frames(const FrameRun& run, FrameReporter& display, const RenderFrame& render);

// Writes all of text to a pipe, whatever it takes at a time and however
// often a signal interrupts it; false when the other end is gone. The
// workers' messages go this way.
bool write_all(int fd, const std::string& text);

}  // namespace host
