// Which parts of the sky can light a pass's framebuffer: the conservative
// test that lets a pass over a database ordered in sky cells pass over the
// cells that cannot reach the frame. Internal to libimgops; the renderer
// answers through StarRenderer::may_light.
//
// The bound is in angles. Each camera sample sees through a cone that holds
// every direction whose spot or streak could touch the framebuffer grown by
// the rasteriser's reach; a star's camera direction differs from its sky
// direction by at most its parallax shift, and moves by at most the
// camera's turn (and, in perspective, the zoom's change) between samples.
#pragma once

#include <vector>

#include "libimgops/stars.h"

namespace imgops {

// What the rasteriser needs of a pass to bound its stars' reach.
struct ReachInputs {
  const StarRendererData* data;
  const Array<camera>* cams;
  int width, height;     // the framebuffer's
  float spot_w, spot_h;  // the spot's half-widths in pixels, as drawn
  float seg_brightness;  // a star's amount per unit brightness
  bool distances;        // the records carry distances
};

class SkyReach {
public:
  explicit SkyReach(const ReachInputs& in);
  // False only when no star of the patch can add light in this pass.
  bool may_light(const SkyPatch& patch) const;
  // No safe bound exists for this pass (a camera that is not a turn and a
  // move, a zoom that is not positive): every patch may light it.
  bool everywhere() const { return unbounded; }

private:
  struct Sample {
    double forward[3];  // the camera's view axis in the sky's frame
    double offset;      // the camera's distance from the origin, unscaled
    double zoom;        // perspective only
    double turn;        // to the next sample, radians; zoom's change included
    double axes[3][3];  // camera axis j in the sky's frame: axes[j][i]
  };
  // The view cone of a sample for a reach of r pixels: its axis in the
  // sky's frame and half-angle; in the azimuthal projections the largest
  // screen radius instead (the cone is about the view axis).
  struct Cone {
    double axis[3];
    double half_angle;
  };
  const std::vector<Cone>& cones(int reach) const;
  double pixel_reach(float brightest) const;
  double star_parallax(double nearest) const;

  ReachInputs in;
  bool unbounded = false;
  std::vector<Sample> samples;
  // Cones by whole pixels of reach, worked out on first use.
  mutable std::vector<std::vector<Cone>> cone_cache;
  mutable std::vector<double> scratch;  // the samples' parallax shifts
};

}  // namespace imgops
