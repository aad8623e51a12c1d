#include "host/core/scenefile.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>

namespace {

const char* kScene = R"(# a test scene
VantrelScene 1
Name "Orion's \"belt\""
FramesPerSecond 30
FrameSize 320 200
FrameRange 1 5 2
RenderOptions Fields EvenFieldFirst DepthOfField
LimitedRegion 10 20 300 190
RenderCamera 805306370
Item {
  Kind Object
  Id 268435457
  Name "Rig"
  Pivot 1 2 3
  HeadingKeys 0 0 1 90
}
Item {
  Kind Camera
  Id 805306370
  Name "Camera"
  Parent 268435457
  PositionZKeys 0 -5 2 -7.5
  VerticalFOV 40
  FStop 2.8
  MotionBlur 1
  LimitedRegion 0 0 99 99
}
ImageFilter {
  Server "Vantrel"
  Settings {
    VantrelVersion 2
    StarFile "db.stars"
    END
  }
}
)";

std::string error_of(const std::string& text) {
  try {
    host::parse_scene(text, "t.vsc");
  } catch (const host::HostError& e) {
    return e.what();
  }
  return "(accepted)";
}

}  // namespace

TEST(SceneFile, ParsesEverythingAndRoundTrips) {
  host::SceneFile f = host::parse_scene(kScene, "t.vsc");
  const host::Scene& s = f.scene;
  EXPECT_EQ(s.name, "Orion's \"belt\"");
  EXPECT_EQ(s.render.fps, 30.0);
  EXPECT_EQ(s.render.width, 320);
  EXPECT_EQ(s.render.last_frame, 5);
  EXPECT_EQ(s.render.frame_step, 2);
  EXPECT_EQ(s.render.render_options,
            unsigned{VH_ROPT_FIELDS | VH_ROPT_EVEN_FIELD_FIRST | VH_ROPT_DEPTH_OF_FIELD});
  EXPECT_TRUE(s.render.limited_region);
  EXPECT_EQ(s.render.region_y1, 190);
  EXPECT_EQ(s.render_camera(), 805306370u);
  const host::Item* cam = s.find(805306370u);
  ASSERT_NE(cam, nullptr);
  EXPECT_EQ(cam->parent, 268435457u);
  EXPECT_EQ(cam->motion.position[2].at(1.0), -6.25);
  EXPECT_NEAR(1.0 / cam->camera.zoom.at(0), std::tan(20.0 * 3.14159265358979323846 / 180), 1e-15);
  EXPECT_EQ(cam->camera.f_stop.at(3), 2.8);
  EXPECT_TRUE(cam->camera.motion_blur);
  EXPECT_TRUE(cam->camera.limited_region);
  EXPECT_EQ(s.find(268435457u)->pivot, (host::Vec3{1, 2, 3}));
  ASSERT_EQ(f.filters.size(), 1u);
  EXPECT_EQ(f.filters[0].server, "Vantrel");
  ASSERT_EQ(f.filters[0].settings.size(), 3u);
  EXPECT_EQ(f.filters[0].settings[1].text, " \"db.stars\"");

  // Written and read again, the scene writes the same text: nothing is lost or rounded.
  const std::string once = host::format_scene(f.scene, f.filters);
  host::SceneFile again = host::parse_scene(once, "again.vsc");
  EXPECT_EQ(host::format_scene(again.scene, again.filters), once);
  EXPECT_EQ(again.scene.find(805306370u)->camera.zoom.at(0), cam->camera.zoom.at(0));
}

TEST(SceneFile, ErrorsNameFileLineAndWhat) {
  EXPECT_EQ(error_of("Name \"x\"\n"),
            "t.vsc: not a Vantrel scene (expected 'VantrelScene 1' first)");
  EXPECT_EQ(error_of("VantrelScene 2\n"),
            "t.vsc:1: VantrelScene version not supported (expected 1)");
  EXPECT_EQ(error_of("VantrelScene 1\nFrameSize 320\n"), "t.vsc:2: FrameSize expects an integer");
  EXPECT_EQ(error_of("VantrelScene 1\nFrameSize 320 abc\n"),
            "t.vsc:2: FrameSize expects an integer, found 'abc'");
  EXPECT_EQ(error_of("VantrelScene 1\nFrameSize 0 10\n"),
            "t.vsc:2: FrameSize expects a width and a height from 1 to 65536");
  EXPECT_EQ(error_of("VantrelScene 1\nFramesPerSecond 24 25\n"),
            "t.vsc:2: FramesPerSecond has more values than it takes");
  EXPECT_EQ(error_of("VantrelScene 1\nFrameRate 24\n"),
            "t.vsc:2: FrameRate is not a scene setting");
  EXPECT_EQ(error_of("VantrelScene 1\nName unquoted\n"),
            "t.vsc:2: Name expects a quoted string, found 'unquoted'");
  EXPECT_EQ(error_of("VantrelScene 1\nRenderOptions Fields Bloom\n"),
            "t.vsc:2: RenderOptions does not know the option 'Bloom' (Fields, EvenFieldFirst, "
            "DepthOfField)");
  EXPECT_EQ(error_of("VantrelScene 1\nItem {\n  Kind Camera\n  Zom 2\n}\n"),
            "t.vsc:4: Zom is not a setting of Camera items");
  EXPECT_EQ(error_of("VantrelScene 1\nItem {\n  Kind Object\n  Zoom 2\n}\n"),
            "t.vsc:4: Zoom is not a setting of Object items");
  EXPECT_EQ(error_of("VantrelScene 1\nItem {\n  Kind Robot\n}\n"),
            "t.vsc:3: Kind expects Object, Light or Camera, found 'Robot'");
  EXPECT_EQ(error_of("VantrelScene 1\nItem {\n  Parent 99\n}\n"),
            "t.vsc:3: Parent 99 is not another item of this scene");
  EXPECT_EQ(error_of("VantrelScene 1\nItem {\n  Id 5\n}\nItem {\n  Id 5\n}\n"),
            "t.vsc:5: item identifier 5 is taken");
  EXPECT_EQ(error_of("VantrelScene 1\nItem {\n  Id 7\n}\nRenderCamera 7\n"),
            "t.vsc:5: RenderCamera 7 is not a camera of this scene");
  EXPECT_EQ(
      error_of("VantrelScene 1\nItem {\n  Id 1\n  Parent 2\n}\nItem {\n  Id 2\n  Parent 1\n}\n"),
      "t.vsc: item '' has a parent loop");
  EXPECT_EQ(error_of("VantrelScene 1\nImageFilter {\n  Settings {\n  }\n}\n"),
            "t.vsc:2: ImageFilter needs a Server \"name\"");
  EXPECT_EQ(error_of("VantrelScene 1\nItem {\n  Name \"open\n}\n"),
            "t.vsc:3: Name has a string without its closing quote");
  EXPECT_EQ(error_of("VantrelScene 1\nItem {\n"),
            "t.vsc:2: block 'Item' is not closed (expected '}' before the end of the text)");
  EXPECT_EQ(error_of("VantrelScene 1\nItem {\n  Kind Camera\n  PositionXKeys 0 1 2\n}\n"),
            "t.vsc:4: PositionXKeys expects a number");
}

TEST(SceneFile, CameraValuesThatMakeNoCameraAreRefused) {
  const std::string cam = "VantrelScene 1\nItem {\n  Kind Camera\n";
  EXPECT_EQ(error_of(cam + "  Zoom 0\n}\n"),
            "t.vsc:4: Zoom expects a zoom greater than 0, found 0");
  EXPECT_EQ(error_of(cam + "  ZoomKeys 0 2 1 -1\n}\n"),
            "t.vsc:4: ZoomKeys expects a zoom greater than 0, found -1");
  // Focus values count with depth of field only; the option may come after the camera.
  // Zoom 3.2 and the 15 mm aperture give a focal length of 24 mm.
  const std::string dof = "RenderOptions DepthOfField\n";
  const std::string zero_stop = cam + "  FStop 0\n}\n", near = cam + "  FocalDistance 0.024\n}\n";
  EXPECT_NO_THROW(host::parse_scene(zero_stop, "t.vsc"));
  EXPECT_NO_THROW(host::parse_scene(near, "t.vsc"));
  EXPECT_EQ(error_of(zero_stop + dof),
            "t.vsc:4: FStop expects a value greater than 0, found 0 (DepthOfField is on)");
  EXPECT_EQ(
      error_of(near + dof),
      "t.vsc:4: FocalDistance 0.024 is not beyond the focal length 0.024 m (DepthOfField is on)");
  EXPECT_EQ(
      error_of(cam + "  ZoomKeys 0 3.2 1 6.4\n  FocalDistanceKeys 0 1 1 0.04\n}\n" + dof),
      "t.vsc:5: FocalDistance 0.04 is not beyond the focal length 0.048 m (DepthOfField is on)");
  EXPECT_NO_THROW(
      host::parse_scene(cam + "  FStop 1.4\n  FocalDistance 0.025\n}\n" + dof, "t.vsc"));
}

TEST(SceneFile, MissingFile) {
  try {
    host::read_scene("/nonexistent/scene.vsc");
    FAIL();
  } catch (const host::FileError& e) {
    EXPECT_EQ(std::string(e.what()),
              "cannot read /nonexistent/scene.vsc: No such file or directory");
  }
}
