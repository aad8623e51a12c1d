#include "host/web/live_render.h"

#include <algorithm>
#include <utility>
#include <vector>

#include "host/core/render.h"
#include "host/core/star_filter.h"
#include "host/images/images.h"
#include "host/web/png.h"

namespace host {

namespace {

// Half the width and height, each pixel the mean of the 2x2 it covers: colour
// is premultiplied, so the mean is the right coverage and light.
FrameImage halved(const FrameImage& in) {
  FrameImage out(std::max(1, in.width / 2), std::max(1, in.height / 2));
  for (int b = VH_BUF_RED; b <= VH_BUF_ALPHA; ++b) {
    const float* src = in.plane(b);
    float* dst = out.plane(b);
    for (int y = 0; y < out.height; ++y)
      for (int x = 0; x < out.width; ++x) {
        const int x1 = std::min(2 * x + 1, in.width - 1), y1 = std::min(2 * y + 1, in.height - 1);
        const auto at = [&](int xx, int yy) {
          return src[static_cast<size_t>(yy) * in.width + xx];
        };
        dst[static_cast<size_t>(y) * out.width + x] =
            0.25f * (at(2 * x, 2 * y) + at(x1, 2 * y) + at(2 * x, y1) + at(x1, y1));
      }
  }
  return out;
}

// Shown as stored over black (colour is premultiplied): linear values are
// encoded for the screen.
std::string to_png(const FrameImage& image, Encoding encoding) {
  std::vector<uint8_t> rgb(static_cast<size_t>(image.width) * image.height * 3);
  const float* planes[3] = {image.plane(VH_BUF_RED), image.plane(VH_BUF_GREEN),
                            image.plane(VH_BUF_BLUE)};
  for (size_t i = 0; i < static_cast<size_t>(image.width) * image.height; ++i)
    for (int c = 0; c < 3; ++c) {
      float v = planes[c][i];
      if (encoding == Encoding::Linear) v = encode_srgb(std::max(v, 0.0f));
      rgb[i * 3 + c] = static_cast<uint8_t>(std::clamp(v, 0.0f, 1.0f) * 255.0f + 0.5f);
    }
  return encode_png(rgb.data(), image.width, image.height);
}

// The scene's frame size and region at half scale while it lives.
class HalfScale {
public:
  explicit HalfScale(RenderSettings& r) : r(r), saved(r) {
    r.width = std::max(1, r.width / 2);
    r.height = std::max(1, r.height / 2);
    for (int* v : {&r.region_x0, &r.region_y0, &r.region_x1, &r.region_y1}) *v /= 2;
  }
  ~HalfScale() { r = saved; }
  HalfScale(const HalfScale&) = delete;
  HalfScale& operator=(const HalfScale&) = delete;

private:
  RenderSettings& r;
  RenderSettings saved;
};

}  // namespace

LiveRender::LiveRender(Host& host, Session& session, std::string background)
    : host(host),
      session(session),
      background(std::move(background)),
      view_frame(host.scene.render.first_frame) {}

uint64_t LiveRender::edited() {
  wanted = true;
  due_at = Clock::now() + kDebounce;
  return ++edit;
}

void LiveRender::choose(int frame, bool full) {
  view_frame = frame;
  view_full = full;
  wanted = true;
  due_at = Clock::now();
}

bool LiveRender::wanted_at(Clock::time_point& when) const {
  when = due_at;
  return wanted;
}

void LiveRender::render(const std::atomic<bool>* cancel) {
  const auto start = Clock::now();
  // A render that fails is not tried again until the next edit.
  wanted = false;
  const RenderSettings& r = host.scene.render;
  FrameImage image(r.width, r.height);
  std::optional<bool> srgb;
  for (const FilterInstance* f : session.filter_list())
    if (!srgb) srgb = star_filter::srgb(*f);
  Encoding encoding = srgb.value_or(true) ? Encoding::SRGB : Encoding::Linear;
  if (!background.empty()) encoding = read_image(frame_path(background, view_frame), image);
  const uint64_t shows = edit;
  Progress progress;
  progress.cancel = cancel;
  bool finished;
  if (view_full) {
    finished = run_filters(host, session.filter_list(), image, view_frame, progress);
  } else {
    image = halved(image);
    HalfScale half(host.scene.render);
    finished = run_filters(host, session.filter_list(), image, view_frame, progress);
  }
  if (!finished) {
    wanted = true;
    return;
  }
  LivePicture next;
  next.edit = shows;
  next.frame = view_frame;
  next.full = view_full;
  next.width = image.width;
  next.height = image.height;
  next.seconds = std::chrono::duration<double>(Clock::now() - start).count();
  next.png = to_png(image, encoding);
  std::lock_guard<std::mutex> hold(lock);
  next.number = picture.number + 1;
  picture = std::move(next);
  arrived.notify_all();
}

LivePicture LiveRender::latest() const {
  std::lock_guard<std::mutex> hold(lock);
  return picture;
}

LivePicture LiveRender::wait_newer(uint64_t after, std::chrono::milliseconds timeout) const {
  std::unique_lock<std::mutex> hold(lock);
  arrived.wait_for(hold, timeout, [&] { return closed || picture.number > after; });
  return picture;
}

void LiveRender::close() {
  std::lock_guard<std::mutex> hold(lock);
  closed = true;
  arrived.notify_all();
}

}  // namespace host
