// The render driver: a frame's colour and alpha buffers, the filter access
// record over them, and running a scene's image filters on each frame.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

#include "host/core/filter.h"
#include "host/core/host.h"
#include "hostapi/filter.h"

namespace host {

// A frame as a renderer leaves it: float planes, colour premultiplied by alpha.
struct FrameImage {
  FrameImage(int width, int height);  // an empty sky: black, alpha 0
  void clear();                       // back to an empty sky
  float* plane(int buffer);           // VH_BUF_RED ... VH_BUF_ALPHA; null for other codes
  const float* plane(int buffer) const { return const_cast<FrameImage*>(this)->plane(buffer); }

  int width, height;
  std::vector<float> red, green, blue, alpha;
};

struct Progress {
  // Called at init (done 0) and at every step; total counts the filter's steps.
  std::function<void(unsigned done, unsigned total)> report;
  // Set from anywhere (a signal handler) to cancel the running filter.
  const std::atomic<bool>* cancel = nullptr;
};

// The filter access record over one frame. Lives while a filter runs.
class FrameAccess {
public:
  FrameAccess(FrameImage& image, int frame, double start, double end, const Progress& progress);
  FrameAccess(const FrameAccess&) = delete;
  FrameAccess& operator=(const FrameAccess&) = delete;

  const VHFilterAccess* access() const { return &record; }
  // The "Filter Rows 1" service: output rows are the frame's own planes.
  static float* output_line(const VHFilterRows* self, const VHFilterAccess* access, int buffer,
                            int y);
  bool cancelled() const { return was_cancelled; }
  bool done_called() const { return was_done; }

private:
  VHFilterAccess record;
  VHMonitor monitor;
  FrameImage& image;
  const Progress progress;  // a copy: callers may pass a temporary
  unsigned total = 0, done = 0;
  bool was_cancelled = false, was_done = false;
};

// Exposure of a frame from the scene: it ends at frame / fps and, when the
// render camera blurs motion, starts its blur length earlier.
void frame_times(const Host& host, int frame, double& start, double& end);

enum class FrameResult {
  Done,
  Cancelled,  // by the user, through the monitor or the cancel flag
  Failed,     // a filter sent an error message while it ran
};

// Runs the filters in order on the frame. The filters after one that was
// cancelled or failed do not run, and the frame is then not to be written.
FrameResult run_frame(Host& host, const std::vector<const FilterInstance*>& filters,
                      FrameImage& image, int frame, const Progress& progress = Progress());
// The same, for callers that only ask whether the user cancelled (false).
bool run_filters(Host& host, const std::vector<const FilterInstance*>& filters, FrameImage& image,
                 int frame, const Progress& progress = Progress());

}  // namespace host
