// Scenes saved by the host and loaded again, through the built plug-in.
#include <gtest/gtest.h>

#include "testsupport/test_harness.h"

TEST(SceneRoundTrip, SavedAndLoadedScenesRenderBitIdentical) {
  harness::Harness hn(160, 90);
  // A scene with a parented, moving, blurred camera and settings off their defaults.
  host::Item& rig = hn.host.scene.add(host::ItemKind::Object, "Rig");
  rig.motion.rotation[0].set(0.0, 3.0);
  rig.motion.rotation[0].set(1.0, 17.0);
  hn.cam->motion.rotation[1].set(0.0, -4.25);
  hn.cam->motion.rotation[1].set(0.5, 6.5);
  hn.cam->camera.motion_blur = true;
  hn.cam->camera.blur_length = host::Channel(0.7);
  hn.host.scene.render.render_options = VH_ROPT_FIELDS;
  std::vector<harness::Star> stars;
  for (int i = 0; i < 400; ++i)
    stars.push_back(harness::Star{60.0 + i % 40, -20.0 + i / 10, 0.002f * (i % 50 + 1)});
  hn.db(stars, "VANTREL2", "sky.stars");

  const std::string scene_path = hn.dir.file("scene.vsc");
  {
    host::Session session(hn.host, harness::plugin_copy(hn.dir));
    // Filters live in the session from here on; settings through the plug-in's own fields.
    host::FilterInstance& f = session.add_filter("Vantrel");
    vantrel& v = harness::Harness::settings(f);
    v.StarFile = "sky.stars";  // relative: found beside the scene
    v.BlurSegs = 5;
    v.Brightness = 3.3;
    v.Saturation = 0.9;
    v.TintStrength = 0.2;
    v.TintRed = 0.7;
    v.sRGBFrameBuffer = 0;
    v.ParentID = host::Host::to_id(rig.id);
    hn.host.content_dir = hn.dir.path;
    session.save(scene_path);
  }
  auto render_scene = [&] {
    host::Host h;
    h.echo_messages = false;
    host::Session session(h, harness::plugin_copy(hn.dir));
    session.load(scene_path);
    host::FrameImage image(h.scene.render.width, h.scene.render.height);
    host::run_filters(h, session.filter_list(), image, 3);
    EXPECT_TRUE(h.messages.empty()) << h.messages[0].first << " " << h.messages[0].second;
    return std::make_pair(image, session.to_text());
  };
  const auto [first, text] = render_scene();
  EXPECT_GT(harness::sum(first.red), 0.0);
  // The loaded scene, saved again, is the same text; rendered again, the same frame.
  testing_support::write_bytes(scene_path, text);
  const auto [second, text2] = render_scene();
  EXPECT_EQ(text2, text);
  EXPECT_EQ(first.red, second.red);
  EXPECT_EQ(first.green, second.green);
  EXPECT_EQ(first.blue, second.blue);
  EXPECT_EQ(first.alpha, second.alpha);

  // And the same frame as the scene rendered straight from memory. The
  // sessions' hosts are gone: the plug-in is activated again for this one.
  hn.server = std::make_unique<host::ImageFilterServer>(*hn.library, "Vantrel");
  auto direct = hn.instance(hn.dir.file("sky.stars"));
  vantrel& v = harness::Harness::settings(*direct);
  v.BlurSegs = 5;
  v.Brightness = static_cast<float>(3.3);
  v.Saturation = static_cast<float>(0.9);
  v.TintStrength = static_cast<float>(0.2);
  v.TintRed = static_cast<float>(0.7);
  v.ParentID = host::Host::to_id(rig.id);
  host::FrameImage image(160, 90);
  host::run_filters(hn.host, {direct.get()}, image, 3);
  EXPECT_EQ(image.red, first.red);
}
