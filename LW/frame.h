// The per-frame pass as plan, then execute. The plan is a pure function of
// the host's answers (scene, camera, region, fields, blur, depth of field)
// and the settings: the star rectangle, the screen window and the passes
// with their cameras and renderer data, and no pixels. Executing it copies
// the rectangle in, draws each pass and copies it back out.
#pragma once

#include <memory>
#include <vector>

#include "LW/frame_memory.h"
#include "LW/instance.h"
#include "LW/module_state.h"
#include "base/array.h"
#include "libimgops/srgb.h"
#include "libimgops/stars.h"

// Columns and rows of the host image that the pass draws into, inclusive.
struct star_rect {
  int x0, y0, x1, y1;
};

// Inclusive pixel bounds of a region.
struct PixelRegion {
  int x0, y0, x1, y1;
};

// What the host says of a camera at one time.
struct CameraAnswers {
  double zoom = 0;            // screen-window units: x * zoom / z
  double focal_length = 0;    // millimetres
  double focal_distance = 0;  // metres
  double f_stop = 0;
  double blur_length = 0;     // frames
  double hfov = 0, vfov = 0;  // full angles, radians
};

// An item's world axes, pivot and world position at one time.
struct ItemPose {
  double right[3], up[3], forward[3], pivot[3], position[3];
};

// The questions the pass asks the host at times of its own choosing. The
// plug-in answers them from the host's globals; tests from plain values.
class HostAnswers {
public:
  virtual ~HostAnswers();
  // The render camera at a time; raises "no camera?" when there is none.
  virtual VHItemID camera_at(double time) const = 0;
  virtual CameraAnswers camera(VHItemID cam, double time) const = 0;
  virtual unsigned camera_flags(VHItemID cam) const = 0;
  virtual PixelRegion camera_region(VHItemID cam) const = 0;
  virtual ItemPose pose(VHItemID item, double time) const = 0;
};

// The frame as the host gives it, in plain values.
struct FrameFacts {
  double fps = 24;
  int frame_width = 0, frame_height = 0;  // the scene's
  PixelRegion region{};                   // the scene's limited region
  unsigned render_options = 0;            // VH_ROPT_* bits
  int image_width = 0, image_height = 0;  // the access record's
  int frame = 0;
  double start = 0, end = 0;  // the access record's exposure, seconds
  bool time_from_frame = false;
  uint32_t record_count = 0;  // star records, the header included
};

// One pass over the stars: its exposure, its cameras and the renderer's data.
struct PassPlan {
  double start = 0, end = 0;
  VHItemID cam = nullptr;
  Array<camera> cameras;
  StarRendererData data{};
};

struct FramePlan {
  star_rect rect{0, 0, -1, -1};  // empty: the frame is left as the host rendered it
  int pass_count = 0;
  PassPlan passes[2];
  unsigned monitor_total = 0;  // steps of 2048 stars, over all passes
  bool whole_image = false;    // write back every pixel outside rect too (camera regions)
  bool empty() const { return rect.x1 < rect.x0 || rect.y1 < rect.y0; }
};

FramePlan plan_frame(const FrameFacts& facts, const VantrelSettings& settings,
                     const HostAnswers& host);

// The camera item for a time: the host's render camera.
VHItemID get_camera_id(const HostAnswers& host, double time);
// The world-to-camera transform at a time, with the parent's transform folded in.
void camera_at_time(camera& c, const HostAnswers& host, VHItemID cam, VHItemID parent, double time);
// The cameras of one exposure interval: one, or segments + 1 across it.
void build_camera_list(Array<camera>& list, const HostAnswers& host, VHItemID cam, VHItemID parent,
                       double start, double end, int segments);

// Depth of field: spot sizes that never shrink, and the brightness factor
// that keeps their light.
struct DofInputs {
  bool enabled = false;  // the scene renders depth of field
  bool anamorphic = false;
  CameraAnswers lens;                               // at the pass's start
  int frame_height = 0;                             // the scene's
  int width = 0, height = 0;                        // the framebuffer's
  double left = 0, right = 0, bottom = 0, top = 0;  // the screen window
  double sx = 0, sy = 0;                            // spot sizes
};
struct DofScale {
  double sx, sy, brightness;
};
DofScale dof_star_scale(const DofInputs& in);

// One row of the host's buffers, on its way back: through "Filter Rows 1"
// in place when the host offers it, else pixel by pixel through set_rgb and
// set_alpha. Buffers the host does not have read as zero.
class HostRow {
public:
  HostRow(const VHFilterAccess* access, const VHFilterRows* rows, int y);
  // The host's values: alpha, red, green, blue (null when the host has none).
  const float* in[4];
  // Pixels x .. x + n - 1 go back as the host has them.
  void keep(int x, int n) const;
  // Their colour becomes r, g, b (n values each); their alpha stays.
  void put(int x, int n, const float* r, const float* g, const float* b) const;
  // Every output row is its input row: a pixel is changed by writing its
  // new value to out[buffer], and left alone by doing nothing.
  bool in_place() const { return same; }
  float* out[4];  // null without the service
  float value(int buffer, int x) const { return in[buffer] ? in[buffer][x] : 0.0f; }
  // Its pixels go back through out alone, never through the host's calls.
  bool direct() const { return out[0] && out[1] && out[2] && out[3]; }

private:
  const VHFilterAccess* access;
  int y;
  bool same;
};

// The pixels of star_rect as the renderer draws into them, filled from the
// host and handed back. The reference copies the whole rectangle into a
// BGRA_FLOAT image through the exact curve; the fast path keeps separate
// planes of the light stars add, filled a chunk of a row at a time where a
// star first reaches, and hands back only what changed. Either way a pixel
// whose linear value no star changed goes back exactly as it came.
class FramePixels {
public:
  virtual ~FramePixels();
  virtual const StarFramebuffer& framebuffer() const = 0;
  // Writes star_rect back; with whole_image, every pixel outside it first,
  // unchanged. Rows go back in up to `bands` bands side by side, a thread
  // each, when the host takes every row through out.
  void write_back(const VHFilterRows* rows, bool whole_image, int bands);

protected:
  FramePixels(const VHFilterAccess* access, const star_rect& r, bool srgb)
      : access(access), r(r), srgb(srgb) {}
  // Hands back the pixels x0 .. x1 of framebuffer row `row`; scratch is
  // the calling thread's own.
  virtual void write_row(const HostRow& host, int row, std::vector<float>& scratch) = 0;
  const VHFilterAccess* access;
  const star_rect r;
  const bool srgb;
};

namespace Kesh {
class Image;
}
// A BGRA_FLOAT image (alpha, red, green, blue per pixel) as the rasteriser's framebuffer.
StarFramebuffer star_framebuffer(Kesh::Image& image);

std::unique_ptr<FramePixels> reference_pixels(const VHFilterAccess* access, const star_rect& r,
                                              bool srgb);
std::unique_ptr<FramePixels> fast_pixels(const VHFilterAccess* access, const star_rect& r,
                                         bool srgb, FrameMemory& memory);

// The body of the process callback: the instance's database, the plan, the passes.
void vantrel_render_frame(vantrel* v, const VHFilterAccess* access);
