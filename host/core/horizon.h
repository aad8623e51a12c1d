// Holding the stars back below the horizon: for the time a filter runs, the
// frame's coverage is raised where the render camera looks below the world's
// horizontal plane (+Y up), the way the filter already holds stars back
// behind opaque pixels, and put back afterwards.
#pragma once

#include <vector>

#include "host/core/render.h"
#include "host/core/scene.h"

namespace host {

class HorizonCover {
public:
  // Covers the ground as the render camera sees it at scene time t. Does
  // nothing unless the scene asks for it.
  HorizonCover(const Scene& scene, FrameImage& image, double t);
  ~HorizonCover();  // the frame's own coverage again
  HorizonCover(const HorizonCover&) = delete;
  HorizonCover& operator=(const HorizonCover&) = delete;

private:
  FrameImage& image;
  std::vector<float> saved;  // empty: nothing changed
};

// The fraction of pixel (x, y) below the horizon for a camera frame and zoom,
// on a frame of width w and height h, sampled as the filter samples pixels
// (pixel i at the point i of the screen window).
double ground_fraction(const Frame& camera, double zoom, int w, int h, int x, int y);

}  // namespace host
