#include "host/core/render.h"

#include "host/core/horizon.h"

#ifndef _WIN32
#include <sys/resource.h>
#endif

#include <algorithm>
#include <fstream>
#include <string>

namespace host {

FrameImage::FrameImage(int w, int h)
    : width(w),
      height(h),
      red(static_cast<size_t>(w) * h),
      green(red.size()),
      blue(red.size()),
      alpha(red.size()) {
  if (w <= 0 || h <= 0)
    throw HostError("frame size " + std::to_string(w) + " x " + std::to_string(h) + " is empty");
}

void FrameImage::clear() {
  for (std::vector<float>* p : {&red, &green, &blue, &alpha}) std::fill(p->begin(), p->end(), 0.0f);
}

float* FrameImage::plane(int buffer) {
  switch (buffer) {
    case VH_BUF_RED: return red.data();
    case VH_BUF_GREEN: return green.data();
    case VH_BUF_BLUE: return blue.data();
    case VH_BUF_ALPHA: return alpha.data();
    default: return nullptr;
  }
}

namespace {
FrameAccess* self_of(const VHFilterAccess* a) { return static_cast<FrameAccess*>(a->host_data); }
}  // namespace

FrameAccess::FrameAccess(FrameImage& img, int frame, double start, double end, const Progress& p)
    : image(img), progress(p) {
  record.width = img.width;
  record.height = img.height;
  record.frame = frame;
  record.start = start;
  record.end = end;
  record.host_data = this;
  record.get_line = [](const VHFilterAccess* a, int buffer, int y) -> const float* {
    FrameImage& im = self_of(a)->image;
    float* plane = im.plane(buffer);
    if (!plane || y < 0 || y >= im.height) return nullptr;
    return plane + static_cast<size_t>(y) * im.width;
  };
  record.set_rgb = [](const VHFilterAccess* a, int x, int y, const float rgb[3]) {
    FrameImage& im = self_of(a)->image;
    if (x < 0 || y < 0 || x >= im.width || y >= im.height) return;
    const size_t i = static_cast<size_t>(y) * im.width + x;
    im.red[i] = rgb[0];
    im.green[i] = rgb[1];
    im.blue[i] = rgb[2];
  };
  record.set_alpha = [](const VHFilterAccess* a, int x, int y, float value) {
    FrameImage& im = self_of(a)->image;
    if (x < 0 || y < 0 || x >= im.width || y >= im.height) return;
    im.alpha[static_cast<size_t>(y) * im.width + x] = value;
  };
  monitor.data = this;
  monitor.init = [](void* d, unsigned total) {
    FrameAccess* f = static_cast<FrameAccess*>(d);
    f->total = total;
    f->done = 0;
    if (f->progress.report) f->progress.report(0, total);
  };
  monitor.step = [](void* d, unsigned increment) {
    FrameAccess* f = static_cast<FrameAccess*>(d);
    f->done += increment;
    if (f->progress.report) f->progress.report(f->done, f->total);
    if (f->progress.cancel && f->progress.cancel->load()) f->was_cancelled = true;
    return f->was_cancelled ? 1 : 0;
  };
  monitor.done = [](void* d) { static_cast<FrameAccess*>(d)->was_done = true; };
  record.monitor = &monitor;
}

float* FrameAccess::output_line(const VHFilterRows*, const VHFilterAccess* a, int buffer, int y) {
  // The frame is filtered in place: the output rows are the input rows.
  return const_cast<float*>(a->get_line(a, buffer, y));
}

void frame_times(const Host& host, int frame, double& start, double& end) {
  const Scene& scene = host.scene;
  end = frame / scene.render.fps;
  start = end;
  if (const Item* cam = scene.find(scene.render_camera()))
    if (cam->camera.motion_blur) start = end - cam->camera.blur_length.at(end) / scene.render.fps;
}

FrameResult run_frame(Host& host, const std::vector<const FilterInstance*>& filters,
                      FrameImage& image, int frame, const Progress& progress) {
  double start, end;
  frame_times(host, frame, start, end);
  // The ground as the camera sees it halfway through the exposure.
  const Scene& scene = host.scene;
  const Item* cam = scene.find(scene.render_camera());
  const double blur =
      cam && cam->camera.motion_blur ? cam->camera.blur_length.at(end) / scene.render.fps : 0;
  const HorizonCover ground(scene, image, scene.scene_time(frame / scene.render.fps + blur / 2));
  for (const FilterInstance* f : filters) {
    const size_t seen = host.messages.size();
    FrameAccess access(image, frame, start, end, progress);
    f->process(access.access());
    if (access.cancelled() || (progress.cancel && progress.cancel->load()))
      return FrameResult::Cancelled;
    // A filter tells of a failure through its error messages: what it left
    // in the frame is not its work.
    for (size_t i = seen; i < host.messages.size(); ++i)
      if (host.messages[i].kind == Message::Error) return FrameResult::Failed;
  }
  return FrameResult::Done;
}

bool run_filters(Host& host, const std::vector<const FilterInstance*>& filters, FrameImage& image,
                 int frame, const Progress& progress) {
  return run_frame(host, filters, image, frame, progress) != FrameResult::Cancelled;
}

}  // namespace host
