#include "host/core/horizon.h"

#include <algorithm>
#include <cmath>

namespace host {

double ground_fraction(const Frame& cam, double zoom, int w, int h, int x, int y) {
  // The height of a pixel's ray is linear in the pixel's coordinates: the
  // horizon is a straight line across the frame, and its distance from a
  // pixel's centre, in pixels, gives the pixel's share of ground.
  const double aspect = static_cast<double>(w) / h;
  const double dx = 2 * aspect / w / zoom, dy = -2.0 / h / zoom;  // per pixel
  const double a = cam.right[1] * dx, b = cam.up[1] * dy;
  const double c = cam.forward[1] + cam.right[1] * (-aspect / zoom) + cam.up[1] / zoom;
  const double height = a * x + b * y + c, slope = std::hypot(a, b);
  if (slope == 0) return height < 0 ? 1 : 0;
  return std::clamp(0.5 - height / slope, 0.0, 1.0);
}

HorizonCover::HorizonCover(const Scene& scene, FrameImage& im, double t) : image(im) {
  if (!scene.render.horizon) return;
  const Item* cam = scene.find(scene.render_camera());
  if (!cam) return;
  const Frame f = scene.world_frame(*cam, t);
  const double zoom = cam->camera.zoom.at(t);
  saved = im.alpha;
  for (int y = 0; y < im.height; ++y)
    for (int x = 0; x < im.width; ++x) {
      float& a = im.alpha[static_cast<size_t>(y) * im.width + x];
      const double ground = ground_fraction(f, zoom, im.width, im.height, x, y);
      a = static_cast<float>(1 - (1 - a) * (1 - ground));
    }
}

HorizonCover::~HorizonCover() {
  if (!saved.empty()) image.alpha.swap(saved);
}

}  // namespace host
