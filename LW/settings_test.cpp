// Settings as tagged blocks: in scenes through the built plug-in's callbacks,
// and in settings files through the host's file service.
#include "LW/settings.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "LW/test_harness.h"

namespace {

using harness::StaticPlugin;

struct Instance {
  Instance() : v(static_cast<vantrel*>(vantrel_create(nullptr, nullptr, nullptr))) {}
  ~Instance() { vantrel_destroy(v); }
  vantrel* v;
};

std::vector<std::string> keywords(const host::BlockList& blocks) {
  std::vector<std::string> k;
  for (const host::Block& b : blocks) k.push_back(b.keyword);
  return k;
}

host::BlockList save_blocks(const vantrel* v, bool scene) {
  host::SaveState s(VH_IO_TEXT);
  vantrel_save(v, s.state(), scene);
  EXPECT_TRUE(s.balanced());
  return host::parse_blocks(s.text(), "saved");
}

void load_text(vantrel* v, const std::string& text) {
  host::LoadState l(host::parse_blocks(text, "test"));
  vantrel_load(v, l.state());
}

}  // namespace

TEST(Settings, BlocksInTableOrder) {
  StaticPlugin p;
  Instance a;
  const host::BlockList file = save_blocks(a.v, false);
  const host::BlockList scene = save_blocks(a.v, true);
  ASSERT_EQ(file.size(), 20u);
  ASSERT_EQ(scene.size(), 21u);
  for (size_t i = 0; i < 21; ++i) EXPECT_EQ(scene[i].keyword, vantrel_block_ids[i].token) << i;
  EXPECT_EQ(vantrel_block_ids[21].id, 0u);
  EXPECT_EQ(vantrel_block_ids[0].id, 0x56455253u);  // "VERS"
  std::vector<std::string> without = keywords(scene);
  without.erase(without.begin() + 14);
  EXPECT_EQ(keywords(file), without);
  EXPECT_EQ(scene[0].text, " 2");
  EXPECT_EQ(scene[1].text, " \"\"");  // no star file: the empty string
  EXPECT_EQ(scene[18].text, " \"Perspective\"");
  EXPECT_EQ(scene[20].text, "");
}

TEST(Settings, ValuesRoundTripAsFloats) {
  StaticPlugin p;
  Instance a, b;
  a.v->LumThreshold = 0.001;
  a.v->Brightness = 7.25;
  a.v->TintBlue = 0.3;
  a.v->BlurSegs = -3;
  a.v->Projection = AzimuthalEquidistant;
  a.v->ThreeD = 1;
  a.v->ParentID = host::Host::to_id(0x30000002);
  host::SaveState s(VH_IO_TEXT);
  vantrel_save(a.v, s.state(), true);
  load_text(b.v, s.text());
  EXPECT_EQ(b.v->LumThreshold, 0.0010000000474974513);
  EXPECT_EQ(b.v->Brightness, 7.25);
  EXPECT_EQ(b.v->TintBlue, static_cast<double>(0.3f));
  EXPECT_EQ(b.v->BlurSegs, -3);
  EXPECT_EQ(b.v->Projection, AzimuthalEquidistant);
  EXPECT_EQ(b.v->ThreeD, 1);
  EXPECT_EQ(b.v->ParentID, host::Host::to_id(0x30000002));
}

TEST(Settings, ReadingRules) {
  StaticPlugin p;
  Instance a;
  // Projection names match exactly; anything else is Perspective.
  for (const char* name : {"hemispherical", "HEMISPHERICAL", "Fisheye", "Perspective"}) {
    a.v->Projection = 2;
    load_text(a.v, std::string("Projection \"") + name + "\"\n");
    EXPECT_EQ(a.v->Projection, 0) << name;
  }
  load_text(a.v, "Projection \"Hemispherical\"\n");
  EXPECT_EQ(a.v->Projection, 1);
  // Reading stops at the end block; no version block reads as version 2.
  load_text(a.v, "StarSize 3\nEND\nStarSize 9\n");
  EXPECT_EQ(a.v->StarSize, 3.0);
  // A later block wins; blocks come in any order; unknown blocks are passed over.
  load_text(a.v, "LumMax 0.25\nSomethingNew 1 2 3\nBrightness 2\nLumMax 0.75\n");
  EXPECT_EQ(a.v->LumMax, 0.75);
  EXPECT_EQ(a.v->Brightness, 2.0);
  // A malformed value leaves the setting as it was.
  load_text(a.v, "Brightness lots\n");
  EXPECT_EQ(a.v->Brightness, 2.0);
}

TEST(Settings, Version1Forms) {
  StaticPlugin p;
  const std::string db = p.dir.file("old stars.stars");
  harness::write_db(p.host, db, {});
  Instance a;
  load_text(a.v,
            "VantrelVersion 1\nStarFile \"" + db + "\"\nProjection Hemispherical\nStarSize 4\n");
  EXPECT_EQ(a.v->StarFile, String(db.c_str()));
  EXPECT_TRUE(a.v->StarFileIs3D);
  EXPECT_EQ(a.v->Projection, 1);
  EXPECT_EQ(a.v->StarSize, 4.0);  // the one end call closed the projection block
  load_text(a.v, "VantrelVersion 1\nProjection Perspective\n");
  EXPECT_EQ(a.v->Projection, 0);

  auto assertion = [&](const std::string& text) {
    try {
      load_text(a.v, text);
    } catch (const AssertXception& e) {
      return std::string(e.expression);
    }
    return std::string("(none)");
  };
  EXPECT_EQ(assertion("VantrelVersion 1\nStarFile " + db + "\n"), "buf[0] == '\"'");
  EXPECT_EQ(assertion("VantrelVersion 1\nStarFile \"" + db + "\n"), "lastquote != 0");
}

TEST(Settings, StarFileFallsBackToTheDefault) {
  StaticPlugin p;
  Instance a;
  load_text(a.v, "StarFile \"/nowhere/gone.stars\"\n");
  EXPECT_TRUE(a.v->StarFile.empty());
  EXPECT_FALSE(a.v->StarFileIs3D);
  const std::string builtin = p.in_folder("hipparcos3D.stars");
  harness::write_db(p.host, builtin, {}, "VANTREL2");
  load_text(a.v, "StarFile \"\"\n");
  EXPECT_EQ(a.v->StarFile, String(builtin.c_str()));
  EXPECT_TRUE(a.v->StarFileIs3D);
}

TEST(Settings, UnknownProjectionStopsTheWriting) {
  StaticPlugin p;
  Instance a;
  a.v->Projection = 3;
  host::SaveState s(VH_IO_TEXT);
  try {
    vantrel_save(a.v, s.state(), true);
    FAIL() << "wrote an unknown projection";
  } catch (const StrXception& e) {
    EXPECT_EQ(std::string(e.message.c_str()).rfind("unknown projection in <", 0), 0u);
  }
  const host::BlockList written = host::parse_blocks(s.text(), "partial");
  ASSERT_EQ(written.size(), 18u);
  EXPECT_EQ(written.back().keyword, "ThreeD");
}

TEST(Settings, SettingsFiles) {
  StaticPlugin p;
  Instance a, b;
  a.v->StarSize = 6.5;
  a.v->ParentID = host::Host::to_id(0x10000001);
  b.v->ParentID = host::Host::to_id(0x10000009);
  const std::string path = p.dir.file("look.vset");
  vantrel_save_to_file(a.v, path.c_str());
  EXPECT_EQ(testing_support::read_bytes(path).find("ParentID"), std::string::npos);
  vantrel_load_from_file(b.v, path.c_str());
  EXPECT_EQ(b.v->StarSize, 6.5);
  EXPECT_EQ(b.v->ParentID, host::Host::to_id(0x10000009));  // settings files carry no parent

  // A missing file raises and changes nothing; so does an unwritable one.
  b.v->StarSize = 1.0;
  auto message = [](const std::function<void()>& f) {
    try {
      f();
    } catch (const StrXception& e) {
      return std::string(e.message.c_str());
    }
    return std::string("(none)");
  };
  EXPECT_EQ(message([&] {
              vantrel_load_from_file(b.v, p.dir.file("missing.vset").c_str());
            }).rfind("error opening settings file in <", 0),
            0u);
  EXPECT_EQ(b.v->StarSize, 1.0);
  EXPECT_EQ(message([&] {
              vantrel_save_to_file(a.v, p.dir.file("no/folder/x.vset").c_str());
            }).rfind("error saving settings file in <", 0),
            0u);
  // A file that cannot be written at close (a folder in its place) is no success either.
  testing_support::make_dirs(p.dir.file("taken.vset"));
  EXPECT_EQ(message([&] {
              vantrel_save_to_file(a.v, p.dir.file("taken.vset").c_str());
            }).rfind("error saving settings file in <", 0),
            0u);

  // A failure inside the blocks is reported; the file is still closed and written so far.
  a.v->Projection = 7;
  testing::internal::CaptureStderr();
  vantrel_save_to_file(a.v, path.c_str());
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(err.rfind("Error: unknown projection in <", 0), 0u) << err;
  EXPECT_NE(testing_support::read_bytes(path).find("ThreeD 0"), std::string::npos);
}

TEST(Settings, SceneSettingsThroughThePlugin) {
  harness::Harness hn;
  host::FilterInstance a(*hn.server), b(*hn.server);
  harness::Harness::settings(a).Brightness = 3.0;
  harness::Harness::settings(a).ParentID = host::Host::to_id(hn.cam->id);
  const host::BlockList blocks = a.save();
  EXPECT_EQ(blocks.size(), 21u);
  b.load(blocks);
  EXPECT_EQ(harness::Harness::settings(b).Brightness, 3.0);
  EXPECT_EQ(harness::Harness::settings(b).ParentID, host::Host::to_id(hn.cam->id));
  // Failures inside the callbacks are reported, never thrown at the host.
  testing::internal::CaptureStderr();
  b.load(host::parse_blocks("VantrelVersion 1\nStarFile no-quotes\n", "bad"));
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(err.rfind("Assertion Failed: 'buf[0] == '\"'' in <", 0), 0u) << err;
  harness::Harness::settings(a).Projection = 5;
  testing::internal::CaptureStderr();
  EXPECT_EQ(a.save().size(), 18u);  // up to ThreeD
  err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(err.rfind("Error: unknown projection in <", 0), 0u) << err;
}
