// Frames of a sequence rendered one after another in this process, or by
// worker processes side by side. The plug-in starts no thread of its own, so
// the host spreads a sequence over the cores: each worker is a copy of this
// process with its own plug-in instance, and renders whole frames handed to
// it one at a time.
#pragma once

#include <atomic>
#include <functional>
#include <string>
#include <vector>

namespace host {

// What a frame's rendering tells the user: the progress bar in this
// process; in a worker, messages down a pipe to the process showing it.
class FrameReporter {
public:
  virtual ~FrameReporter() = default;
  virtual void frame(int f) = 0;  // the frame whose progress follows
  virtual void report(unsigned done, unsigned total) = 0;
  virtual void line(const std::string& text) = 0;  // a line of its own, e.g. a file written
};

// Renders one frame and writes its files; false when it was cancelled (and
// nothing was written for it). Throws on failure.
using RenderFrame = std::function<bool(int frame, FrameReporter& out)>;

struct FrameRun {
  std::vector<int> frames;                    // in order
  int jobs = 1;                               // worker processes; 0 for one per core
  const std::atomic<bool>* cancel = nullptr;  // set by SIGINT
};

// Renders the frames with `jobs` workers (at most one per frame; a single
// one renders here, without a worker). The first failure of a worker is
// thrown here after the others have finished the frames they hold; no new
// frame is started after a failure or a cancel. Returns 0, or 130 when
// cancelled.
int render_frames(const FrameRun& run, FrameReporter& display, const RenderFrame& render);

}  // namespace host
