// The render driver: a frame's colour and alpha buffers, the filter access
// record over them, and running a scene's image filters on each frame.
#pragma once

#include <atomic>
#include <functional>
#include <vector>

#include "host/filter.h"
#include "host/host.h"
#include "hostapi/filter.h"

namespace host {

// A frame as a renderer leaves it: float planes, colour premultiplied by alpha.
struct FrameImage {
  FrameImage(int width, int height);  // an empty sky: black, alpha 0
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
  const Progress& progress;
  unsigned total = 0, done = 0;
  bool was_cancelled = false, was_done = false;
};

// Exposure of a frame from the scene: it ends at frame / fps and, when the
// render camera blurs motion, starts its blur length earlier.
void frame_times(const Host& host, int frame, double& start, double& end);

// Runs the filters in order on the frame. False when the user cancelled: the
// filters after the cancelled one do not run.
bool run_filters(Host& host, const std::vector<const FilterInstance*>& filters, FrameImage& image,
                 int frame, const Progress& progress = Progress());

}  // namespace host
