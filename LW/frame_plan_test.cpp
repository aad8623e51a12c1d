// The frame planner on plain values: exposure, passes, row sets, regions,
// the star rectangle, spot sizes and cameras, with no host and no pixels.
#include <gtest/gtest.h>

#include <cmath>

#include "LW/frame.h"

namespace {

constexpr double kPi = 3.14159265358979323846;

// One camera whose answers do not change with time, at the origin looking
// down +Z, seeing a frame of the given proportions 90 degrees wide.
struct PlainAnswers : HostAnswers {
  explicit PlainAnswers(double aspect) {
    lens.zoom = 1 / aspect;
    lens.hfov = kPi / 2;
    lens.vfov = 2 * std::atan(1 / aspect);
    lens.blur_length = 0.5;
  }
  VHItemID camera_at(double time) const override {
    times.push_back(time);
    return cam;
  }
  CameraAnswers camera(VHItemID, double) const override { return lens; }
  unsigned camera_flags(VHItemID) const override { return flags; }
  PixelRegion camera_region(VHItemID) const override { return region; }
  ItemPose pose(VHItemID, double t) const override {
    ItemPose p{{1, 0, 0}, {0, 1, 0}, {0, 0, 1}, {0, 0, 0}, {0, 0, t}};
    return p;
  }

  VHItemID cam = reinterpret_cast<VHItemID>(7);
  CameraAnswers lens;
  unsigned flags = 0;
  PixelRegion region{0, 0, 0, 0};
  mutable std::vector<double> times;  // the times the render camera was asked for
};

FrameFacts facts(int w, int h) {
  FrameFacts f;
  f.fps = 25;
  f.frame_width = f.image_width = w;
  f.frame_height = f.image_height = h;
  f.region = PixelRegion{0, 0, w - 1, h - 1};
  f.frame = 10;
  f.start = 0.36;
  f.end = 0.4;
  f.time_from_frame = true;
  f.record_count = 5000;
  return f;
}

VantrelSettings settings() {
  VantrelSettings s;
  setting_defaults(s, String(), false);
  return s;
}

}  // namespace

TEST(FramePlan, ExposurePassesAndRows) {
  PlainAnswers host(2.0);
  FrameFacts f = facts(200, 100);
  VantrelSettings s = settings();
  s.BlurSegs = 4;

  // One pass over [frame / fps, + blur]: five cameras, every row, the whole image.
  FramePlan p = plan_frame(f, s, host);
  ASSERT_EQ(p.pass_count, 1);
  EXPECT_DOUBLE_EQ(p.passes[0].start, 0.4);
  EXPECT_DOUBLE_EQ(p.passes[0].end, 0.4 + 0.5 / 25);
  EXPECT_EQ(p.passes[0].cameras.len(), 5u);
  EXPECT_EQ(p.passes[0].data.lines, AllLines);
  EXPECT_EQ(p.rect.x0, 0);
  EXPECT_EQ(p.rect.x1, 199);
  EXPECT_EQ(p.rect.y1, 99);
  EXPECT_EQ(p.monitor_total, 4999u >> 11);
  EXPECT_FALSE(p.whole_image);
  // The window is the frame's, widened to the camera's proportions.
  EXPECT_DOUBLE_EQ(p.passes[0].data.screen_left, -2.0);
  EXPECT_DOUBLE_EQ(p.passes[0].data.screen_top, 1.0);
  // A camera at the middle of the exposure sits where the pose puts it.
  EXPECT_DOUBLE_EQ(p.passes[0].cameras[2].matrix(3, 2), -(0.4 + 0.25 / 25));

  // Fields: the even rows first over the first half-blur, the odd ones half a frame on.
  f.render_options = VH_ROPT_FIELDS | VH_ROPT_EVEN_FIELD_FIRST;
  p = plan_frame(f, s, host);
  ASSERT_EQ(p.pass_count, 2);
  EXPECT_EQ(p.passes[0].data.lines, EvenLines);
  EXPECT_EQ(p.passes[1].data.lines, OddLines);
  EXPECT_DOUBLE_EQ(p.passes[0].start, 0.4);
  EXPECT_DOUBLE_EQ(p.passes[0].end, 0.4 + 0.25 / 25);
  EXPECT_DOUBLE_EQ(p.passes[1].start, 10.5 / 25);
  EXPECT_DOUBLE_EQ(p.passes[1].end, 10.5 / 25 + 0.25 / 25);
  EXPECT_EQ(p.monitor_total, 2 * (4999u >> 11));
  f.render_options = VH_ROPT_FIELDS;
  EXPECT_EQ(plan_frame(f, s, host).passes[0].data.lines, OddLines);

  // An older host: the access record's exposure, from its end, the camera's
  // blur taken back from there only when it blurs motion.
  f.time_from_frame = false;
  f.render_options = 0;
  p = plan_frame(f, s, host);
  EXPECT_DOUBLE_EQ(p.passes[0].start, 0.36);
  EXPECT_DOUBLE_EQ(p.passes[0].end, 0.4);
  host.flags = VH_CAMF_MOTION_BLUR;
  host.times.clear();
  p = plan_frame(f, s, host);
  EXPECT_DOUBLE_EQ(p.passes[0].start, 0.4 - 0.5 / 25);
  EXPECT_EQ(host.times, std::vector<double>{0.4});
  f.render_options = VH_ROPT_FIELDS;
  p = plan_frame(f, s, host);
  EXPECT_DOUBLE_EQ(p.passes[0].end, 0.4 - 0.5 / 25);
  EXPECT_DOUBLE_EQ(p.passes[0].start, 0.4 - 0.5 / 25 - 0.25 / 25);
  EXPECT_DOUBLE_EQ(p.passes[1].start, 0.4 - 0.25 / 25);
  EXPECT_DOUBLE_EQ(p.passes[1].end, 0.4);

  // No motion: one still camera, whatever the segments.
  host.lens.blur_length = 0;
  f.time_from_frame = true;
  f.render_options = 0;
  EXPECT_EQ(plan_frame(f, s, host).passes[0].cameras.len(), 1u);
}

TEST(FramePlan, RegionsRectanglesAndSpotSizes) {
  PlainAnswers host(2.0);
  FrameFacts f = facts(200, 100);
  VantrelSettings s = settings();
  const double full_width = plan_frame(f, s, host).passes[0].data.star_width;
  EXPECT_DOUBLE_EQ(full_width, 2.5);

  // A scene region narrowed by the camera's: the rectangle is their overlap,
  // the window covers just it, and spots keep their size in pixels.
  f.region = PixelRegion{20, 10, 149, 89};
  host.flags = VH_CAMF_LIMITED_REGION;
  host.region = PixelRegion{50, 0, 199, 59};
  FramePlan p = plan_frame(f, s, host);
  EXPECT_EQ(p.rect.x0, 50);
  EXPECT_EQ(p.rect.y0, 10);
  EXPECT_EQ(p.rect.x1, 149);
  EXPECT_EQ(p.rect.y1, 59);
  EXPECT_TRUE(p.whole_image);
  EXPECT_DOUBLE_EQ(p.passes[0].data.star_width, 2.5 * 200 / 100);
  EXPECT_DOUBLE_EQ(p.passes[0].data.screen_left, (2.0 * 50 / 200 - 1) * 2);
  EXPECT_DOUBLE_EQ(p.passes[0].data.screen_top, 1 - 2.0 * 10 / 100);

  // Regions that do not meet, or miss the frame: nothing to draw.
  host.region = PixelRegion{150, 0, 199, 99};
  EXPECT_TRUE(plan_frame(f, s, host).empty());
  host.flags = 0;
  f.region = PixelRegion{200, 0, 260, 99};
  EXPECT_TRUE(plan_frame(f, s, host).empty());

  // A portrait frame under a disc projection: the window's height shrinks
  // instead, and the rectangle is still the region's own pixels.
  PlainAnswers tall(0.5);
  f = facts(100, 200);
  f.region = PixelRegion{25, 50, 74, 149};
  s.Projection = Hemispherical;
  p = plan_frame(f, s, tall);
  EXPECT_EQ(p.rect.x0, 25);
  EXPECT_EQ(p.rect.y0, 50);
  EXPECT_EQ(p.rect.x1, 74);
  EXPECT_EQ(p.rect.y1, 149);
  EXPECT_DOUBLE_EQ(p.passes[0].data.screen_left, -0.5);
  EXPECT_DOUBLE_EQ(p.passes[0].data.screen_top, 0.5 / 0.5);
}

// Depth of field scales the spot by the camera's blur disc, never below its
// own size, and keeps its light. The screen window may be stretched against
// the framebuffer: with a window twice as wide, a pixel spans twice the
// window's units across (u = 1/2); the disc is the same seen across, and
// anamorphic depth of field scales its width by u once more.
TEST(FramePlan, DepthOfFieldScale) {
  // A 15 mm lens at f/4 focused at 5 cm, in a frame 100 pixels tall.
  DofInputs in;
  in.enabled = true;
  in.lens.focal_length = 15;
  in.lens.f_stop = 4;
  in.lens.focal_distance = 0.05;
  in.frame_height = 100;
  in.width = 200, in.height = 100;
  in.bottom = -0.5, in.top = 0.5;
  // A 200 x 100 framebuffer under a window of 2:1 (u = 1) or 4:1 (u = 1/2).
  auto scale = [&](double sx, double sy, double window_w, bool anamorphic = false) {
    DofInputs i = in;
    i.left = -window_w / 2, i.right = window_w / 2;
    i.sx = sx, i.sy = sy;
    i.anamorphic = anamorphic;
    return dof_star_scale(i);
  };
  const DofScale small = scale(1, 1, 2);
  EXPECT_GT(small.sx, 1);
  EXPECT_GT(small.sy, 1);
  EXPECT_NEAR(small.sx * small.sy * small.brightness, 1.0, 1e-12);  // the light is kept
  EXPECT_NEAR(small.sx, small.sy, 1e-9);                            // round under square pixels
  // Larger than the blur disc: unchanged, factor 1.
  const DofScale big = scale(1e4, 1e4, 2);
  EXPECT_EQ(big.sx, 1e4);
  EXPECT_EQ(big.sy, 1e4);
  EXPECT_EQ(big.brightness, 1.0);
  // A window twice as wide: the same disc as seen across, unless anamorphic.
  const DofScale wide = scale(1, 1, 4);
  EXPECT_NEAR(wide.sx, small.sx, 1e-9);
  EXPECT_NEAR(wide.sy, small.sy, 1e-9);
  const DofScale anamorphic = scale(1, 1, 4, true);
  EXPECT_NEAR(anamorphic.sx, small.sx / 2, 1e-9);
  EXPECT_NEAR(anamorphic.sy, small.sy, 1e-9);
  EXPECT_NEAR(anamorphic.sx * anamorphic.sy * anamorphic.brightness, 1.0, 1e-12);
  EXPECT_NEAR(scale(1, 1, 2, true).sx, small.sx,
              1e-9);  // square pixels: anamorphic changes nothing
  // Without the render option nothing changes.
  in.enabled = false;
  const DofScale off = scale(1, 1, 4, true);
  EXPECT_EQ(off.sx, 1.0);
  EXPECT_EQ(off.brightness, 1.0);
}
