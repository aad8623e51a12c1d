// Settings as tagged blocks: in scenes through the built plug-in's callbacks,
// and in settings files through the host's file service.
#include "LW/settings.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "testsupport/test_harness.h"

namespace {

using harness::Instance;
using harness::StaticPlugin;

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
  const VHBlockID* ids = vantrel_block_ids();
  for (size_t i = 0; i < 21; ++i) EXPECT_EQ(scene[i].keyword, ids[i].token) << i;
  EXPECT_EQ(ids[21].id, 0u);
  EXPECT_EQ(ids[0].id, 0x56455253u);  // "VERS"
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
  a.v->BlurSegs = 100;
  a.v->Projection = AzimuthalEquidistant;
  a.v->ThreeD = 1;
  a.v->ParentID = host::Host::to_id(0x30000002);
  host::SaveState s(VH_IO_TEXT);
  vantrel_save(a.v, s.state(), true);
  load_text(b.v, s.text());
  EXPECT_EQ(b.v->LumThreshold, 0.0010000000474974513);
  EXPECT_EQ(b.v->Brightness, 7.25);
  EXPECT_EQ(b.v->TintBlue, static_cast<double>(0.3f));
  EXPECT_EQ(b.v->BlurSegs, 100);
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
  // So does one that is not finite or that no panel would take, with a
  // warning naming the keyword and the value; the blocks after it still count.
  struct Refused {
    const char* text;
    const char* said;
  };
  for (const Refused& r : {Refused{"BlurSegs 2000000", "BlurSegs 2e+06 is outside 0 to 100"},
                           Refused{"BlurSegs -1", "BlurSegs -1 is outside 0 to 100"},
                           Refused{"StarSize 1e9", "StarSize 1e+09 is outside 0 to 99999999"},
                           Refused{"Brightness -0.5", "Brightness -0.5 is outside"},
                           Refused{"Brightness 3e38", "Brightness 3e+38 is outside"},
                           Refused{"Saturation inf", "Saturation inf is not a finite number"},
                           Refused{"TintRed nan", "TintRed nan is not a finite number"},
                           Refused{"Parallax -inf", "Parallax -inf is not a finite number"},
                           // Settings without a panel range have bounds all the same.
                           Refused{"BrightnessBias 0", "BrightnessBias 0 is outside 0.01 to 100"},
                           Refused{"TintStrength 1e38", "TintStrength 1e+38 is outside 0 to 1"},
                           Refused{"TintGreen 2", "TintGreen 2 is outside 0 to 1"},
                           Refused{"Parallax 5000", "Parallax 5000 is outside -1000 to 1000"}}) {
    testing::internal::CaptureStderr();
    load_text(a.v, std::string(r.text) + "\nLumMax 0.125\n");
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(err.rfind(std::string("warning: ") + r.said, 0), 0u) << err;
    EXPECT_EQ(a.v->LumMax, 0.125) << r.text;
    a.v->LumMax = 0.5;
  }
  EXPECT_EQ(a.v->BlurSegs, 1);
  EXPECT_EQ(a.v->StarSize, 3.0);
  EXPECT_EQ(a.v->Brightness, 2.0);
  EXPECT_EQ(a.v->Saturation, 0.4);
  EXPECT_EQ(a.v->TintRed, 1.0);
  EXPECT_EQ(a.v->Parallax, 0.0);
  EXPECT_EQ(a.v->BrightnessBias, 1.0);
  EXPECT_EQ(a.v->TintStrength, 0.0);
  EXPECT_EQ(a.v->TintGreen, 1.0);
  // The limits themselves are taken; a version other than 1 reads as version
  // 2, and a projection no run knows as Perspective, each with a warning.
  testing::internal::CaptureStderr();
  load_text(a.v,
            "VantrelVersion 7\nBlurSegs 0\nStarSize 99999999\nStarFile \"\"\nParallax -1000\n");
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(err.rfind("warning: VantrelVersion 7 is neither 1 nor 2; the settings are read as "
                      "version 2",
                      0),
            0u)
      << err;
  EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
  EXPECT_EQ(a.v->BlurSegs, 0);
  EXPECT_EQ(a.v->StarSize, static_cast<double>(99999999.0f));
  EXPECT_EQ(a.v->Parallax, -1000.0);
  for (const std::string name : {"Bogus", ""}) {
    a.v->Projection = 1;
    testing::internal::CaptureStderr();
    load_text(a.v, "VantrelVersion 2\nProjection \"" + name + "\"\n");
    err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(err.rfind("warning: Projection \"" + name +
                            "\" names no projection (Perspective, Hemispherical or "
                            "AzimuthalEquidistant); Perspective is used",
                        0),
              0u)
        << err;
    EXPECT_EQ(a.v->Projection, 0);
  }
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

  // A path without its quotes skips that one value with a warning; the rest is read.
  for (const std::string& bad : {db, "\"" + db}) {
    a.v->StarSize = 1;
    testing::internal::CaptureStderr();
    load_text(a.v, "VantrelVersion 1\nStarFile " + bad + "\nStarSize 5\n");
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(err.rfind("warning: StarFile " + bad + " is not a path in double quotes", 0), 0u)
        << err;
    EXPECT_EQ(a.v->StarFile, String(db.c_str()));
    EXPECT_EQ(a.v->StarSize, 5.0);
  }
}

TEST(Settings, StarFileFallsBackToTheDefault) {
  StaticPlugin p;
  Instance a;
  // A database that is gone, or there but no database, gives way to the
  // default with a warning naming it, what is wrong with it and what is used instead.
  testing::internal::CaptureStderr();
  load_text(a.v, "StarFile \"/nowhere/gone.stars\"\n");
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(err.rfind("warning: star database /nowhere/gone.stars: the file cannot be opened; "
                      "there is no default database to use instead",
                      0),
            0u)
      << err;
  EXPECT_TRUE(a.v->StarFile.empty());
  EXPECT_FALSE(a.v->StarFileIs3D);
  struct Damaged {
    std::string bytes;
    const char* reason;
  };
  for (const Damaged& d :
       {Damaged{"", "the file is empty"},
        Damaged{"VANTREL2 but short", "the file is shorter than the 32-byte header"},
        Damaged{"VANTREL3" + std::string(24, '\0'), "the file does not begin with VANTREL1 or"},
        Damaged{"\x89PNG\r\n\x1a\n" + std::string(40, 'x'), "the file does not begin with"}}) {
    const std::string path = p.dir.file("damaged.stars");
    testing_support::write_bytes(path, d.bytes);
    testing::internal::CaptureStderr();
    load_text(a.v, "StarFile " + host::quote(path) + "\n");
    err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(err.rfind("warning: star database " + path + ": " + d.reason, 0), 0u) << err;
    EXPECT_TRUE(a.v->StarFile.empty());
  }
  const std::string builtin = p.in_folder("hipparcos3D.stars");
  harness::write_db(p.host, builtin, {}, "VANTREL2");
  // No database named: the default, without a word.
  testing::internal::CaptureStderr();
  load_text(a.v, "StarFile \"\"\n");
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  EXPECT_EQ(a.v->StarFile, String(builtin.c_str()));
  EXPECT_TRUE(a.v->StarFileIs3D);
  testing::internal::CaptureStderr();
  load_text(a.v, "StarFile \"/nowhere/gone.stars\"\n");
  err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(err.rfind("warning: star database /nowhere/gone.stars: the file cannot be opened; "
                      "using the default database " +
                          builtin + " instead",
                      0),
            0u)
      << err;
  EXPECT_EQ(a.v->StarFile, String(builtin.c_str()));
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
    EXPECT_EQ(std::string(e.message.c_str()).rfind("unknown projection", 0), 0u);
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
            }).rfind("error opening settings file", 0),
            0u);
  EXPECT_EQ(b.v->StarSize, 1.0);
  EXPECT_EQ(message([&] {
              vantrel_save_to_file(a.v, p.dir.file("no/folder/x.vset").c_str());
            }).rfind("error saving settings file", 0),
            0u);
  // A file that cannot be written at close (a folder in its place) is no success either.
  testing_support::make_dirs(p.dir.file("taken.vset"));
  EXPECT_EQ(message([&] {
              vantrel_save_to_file(a.v, p.dir.file("taken.vset").c_str());
            }).rfind("error saving settings file", 0),
            0u);

  // A failure inside the blocks is told to the host; the file is still closed and written so far.
  a.v->Projection = 7;
  vantrel_save_to_file(a.v, path.c_str());
  ASSERT_FALSE(p.host.messages.empty());
  EXPECT_EQ(p.host.messages.back().kind, host::Message::Error);
  EXPECT_EQ(p.host.messages.back().first, "Vantrel: unknown projection");
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
  // Failures inside the callbacks are reported, never thrown at the host,
  // and their text is the callback's answer.
  harness::Harness::settings(a).Projection = 5;
  testing::internal::CaptureStderr();
  EXPECT_EQ(a.save().size(), 18u);  // up to ThreeD
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(err.rfind("Error: unknown projection", 0), 0u) << err;
  host::SaveState state(VH_IO_TEXT);
  testing::internal::CaptureStderr();
  const char* answer = hn.server->handler().inst->save(a.handle(), state.state());
  testing::internal::GetCapturedStderr();
  ASSERT_NE(answer, nullptr);
  EXPECT_EQ(err, "Error: " + std::string(answer) + "\n");
}

// A new instance's settings, as a scene saves them, are those of the golden
// file: the defaults that scenes written without a setting have relied on.
TEST(Settings, NewInstancesSaveTheDefaults) {
  StaticPlugin p;
  Instance a;
  host::SaveState s(VH_IO_TEXT);
  vantrel_save(a.v, s.state(), true);
  EXPECT_EQ(s.text(), testing_support::read_bytes(VANTREL_TESTDATA "/defaults_scene.txt"));
}

// Saved data is a file format: settings saved by earlier builds load, and
// save again, byte for byte.
TEST(Settings, SavedBytesStayTheSame) {
  StaticPlugin p;
  p.host.content_dir = p.dir.path;
  harness::write_db(p.host, p.dir.file("stars with space.stars"), {});
  const std::string scene = testing_support::read_bytes(VANTREL_TESTDATA "/settings_scene.txt");
  ASSERT_FALSE(scene.empty());
  Instance a;
  load_text(a.v, scene);
  host::SaveState s(VH_IO_TEXT);
  vantrel_save(a.v, s.state(), true);
  EXPECT_EQ(s.text(), scene);
  // The version-1 form reads into the same settings, saved in today's form.
  Instance b;
  load_text(b.v, testing_support::read_bytes(VANTREL_TESTDATA "/settings_v1.txt"));
  host::SaveState v2(VH_IO_TEXT);
  vantrel_save(b.v, v2.state(), false);
  const std::string expected =
      "VantrelVersion 2\nStarFile \"stars with space.stars\"\nStarSize 4\nStarAspect 1\n"
      "LumThreshold 0.00100000005\nLumMax 0.5\nBrightness 5\nSaturation 0.400000006\n"
      "BrightnessBias 1\nTintStrength 0\nTintRed 1\nTintGreen 1\nTintBlue 1\nBlurSegs 2\n"
      "sRGBFrameBuffer 1\nAnamorphicDOF 0\nThreeD 0\nProjection \"Hemispherical\"\nParallax 0\n"
      "END\n";
  EXPECT_EQ(v2.text(), expected);
}
