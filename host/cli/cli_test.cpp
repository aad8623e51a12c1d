// vantrel-host as a user runs it: the real program, real files.
#include <cmath>
#include <filesystem>
#include <sstream>

#include "testsupport/cli_support.h"

TEST_F(Cli, RendersOverAPngWithAlpha) {
  const std::string s = scene();
  // Left half covered by the rendered scene (alpha 1, grey), right half empty sky.
  std::vector<float> bg(64 * 48 * 4);
  for (int y = 0; y < 48; ++y)
    for (int x = 0; x < 64; ++x) {
      float* p = &bg[(y * 64 + x) * 4];
      p[0] = p[1] = p[2] = x < 32 ? 0.5f : 0.0f;
      p[3] = x < 32 ? 1.0f : 0.0f;
    }
  save(dir.file("bg.png"), 64, 48, 4, bg, OIIO::TypeDesc::UINT8, true);
  const RunResult r = run({"render", s, "--background", dir.file("bg.png"), "-o",
                           dir.file("out.png"), "--plugin", plugin});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.err.find("wrote " + dir.file("out.png")), std::string::npos) << r.err;
  const Image out = load(dir.file("out.png"));
  ASSERT_EQ(out.w, 64);
  EXPECT_EQ(out.n, 3);  // written opaque, over black
  float right = 0;
  for (int y = 0; y < 48; ++y)
    for (int x = 0; x < 64; ++x) {
      if (x < 32) {
        ASSERT_NEAR(out.at(x, y, 0), 128 / 255.0f, 1e-6) << x << "," << y;  // covered: untouched
      } else {
        right += out.at(x, y, 0);
      }
    }
  EXPECT_GT(right, 1.0f);  // stars in the empty half

  // With alpha kept, the empty half's light cannot be stored and the program says so.
  const RunResult kept = run({"render", s, "--background", dir.file("bg.png"), "-o",
                              dir.file("alpha.png"), "--keep-alpha", "--plugin", plugin});
  EXPECT_EQ(kept.status, 0) << kept.err;
  EXPECT_NE(kept.err.find("pixels of light with no coverage cannot be kept with alpha"),
            std::string::npos)
      << kept.err;
  EXPECT_EQ(load(dir.file("alpha.png")).n, 4);
}

TEST_F(Cli, RendersOverAnExrAndWarnsOnEncoding) {
  const std::string s = scene({"--linear"});
  std::vector<float> bg(64 * 48 * 4, 0.0f);
  for (size_t i = 0; i < bg.size(); i += 4) bg[i] = 0.25f, bg[i + 3] = 0.5f;  // half covered, red
  save(dir.file("bg.exr"), 64, 48, 4, bg, OIIO::TypeDesc::FLOAT, false);
  const RunResult r = run({"render", s, "--background", dir.file("bg.exr"), "-o",
                           dir.file("out.exr"), "--plugin", plugin});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err.find("warning"), std::string::npos) << r.err;
  const Image out = load(dir.file("out.exr"));
  ASSERT_EQ(out.n, 4);
  double added = 0;
  for (int y = 0; y < 48; ++y)
    for (int x = 0; x < 64; ++x) {
      ASSERT_EQ(out.at(x, y, 3), 0.5f);  // alpha kept
      ASSERT_GE(out.at(x, y, 0), 0.25f);
      added += out.at(x, y, 1);
    }
  // Six stars of 0.3 at the default look: 64 * 2.5 * 0.0005 = 0.08-pixel spots drawn a
  // pixel wide and 0.0064 as bright, 20 * 0.3 * 0.0064 * pi * 0.7 (saturation) * 0.5
  // (coverage) each: about 0.25 in all.
  EXPECT_NEAR(added, 6 * 20 * 0.3 * 0.0064 * 3.14159265 * 0.7 * 0.5, 0.01);
  // An sRGB scene over linear pixels: rendered, with a warning.
  const std::string srgb = scene();
  const RunResult w = run({"render", srgb, "--background", dir.file("bg.exr"), "-o",
                           dir.file("w.exr"), "--plugin", plugin});
  EXPECT_EQ(w.status, 0);
  EXPECT_NE(w.err.find("holds linear values but the filter treats pixels as sRGB"),
            std::string::npos)
      << w.err;
}

TEST_F(Cli, AnOpaquePictureIsTheFrameOverBlackEncoded) {
  // A linear frame whose scene covers every pixel slightly (thin haze) and
  // half of them by half: stars add light everywhere.
  const std::string s = scene({"--linear"});
  std::vector<float> bg(64 * 48 * 4, 0.0f);
  for (int y = 0; y < 48; ++y)
    for (int x = 0; x < 64; ++x) {
      float* p = &bg[(y * 64 + x) * 4];
      p[3] = y < 24 ? 0.001f : 0.5f;
      p[0] = p[1] = p[2] = 0.2f * p[3];
    }
  save(dir.file("haze.exr"), 64, 48, 4, bg, OIIO::TypeDesc::FLOAT, false);
  const RunResult r = run({"render", s, "--background", dir.file("haze.exr"), "-o",
                           dir.file("out.exr"), "-o", dir.file("out.png"), "--plugin", plugin});
  ASSERT_EQ(r.status, 0) << r.err;
  const Image exr = load(dir.file("out.exr")), png = load(dir.file("out.png"));
  ASSERT_EQ(png.n, 3);
  float starlight = 0;
  for (int y = 0; y < 48; ++y)
    for (int x = 0; x < 64; ++x)
      for (int c = 0; c < 3; ++c) {
        const float v = exr.at(x, y, c);  // premultiplied: the frame over black
        const float want = v > 0.0031308f ? 1.055f * std::pow(v, 1 / 2.4f) - 0.055f : 12.92f * v;
        ASSERT_NEAR(png.at(x, y, c), std::min(want, 1.0f), 0.6f / 255) << x << "," << y;
        starlight += std::max(0.0f, v - 0.2f * exr.at(x, y, 3));
      }
  EXPECT_GT(starlight, 0.1f);  // the stars are there to be kept
}

TEST_F(Cli, MagLimitDrawsStarsDownToThatMagnitude) {
  // A star of exactly magnitude 6 on the left, one a hundredth fainter on the
  // right: the default threshold (magnitude 7.5) would draw both.
  harness::write_db(h, db,
                    {harness::ahead(-8, 0, star_db::brightness_of_magnitude(6.0)),
                     harness::ahead(8, 0, star_db::brightness_of_magnitude(6.01))});
  auto light = [&](const std::vector<std::string>& extra) {
    const std::string s = scene(extra);
    const RunResult r = run({"render", s, "-o", dir.file("m.exr"), "--plugin", plugin});
    EXPECT_EQ(r.status, 0) << r.err;
    const Image out = load(dir.file("m.exr"));
    std::pair<double, double> sides{0, 0};
    for (int y = 0; y < out.h; ++y)
      for (int x = 0; x < out.w; ++x)
        (x < out.w / 2 ? sides.first : sides.second) += out.at(x, y, 1);
    return sides;
  };
  const auto both = light({});
  EXPECT_GT(both.first, 0);
  EXPECT_GT(both.second, 0);
  const auto six = light({"--mag-limit", "6"});
  EXPECT_GT(six.first, 0);
  EXPECT_EQ(six.second, 0);
  const auto brighter = light({"--mag-limit", "5.99"});
  EXPECT_EQ(brighter.first, 0);
  EXPECT_EQ(brighter.second, 0);
  const RunResult bad =
      run({"new-scene", dir.file("x.vsc"), "--mag-limit", "nan", "--plugin", plugin});
  EXPECT_NE(bad.status, 0);
  EXPECT_NE(bad.err.find("--mag-limit expects a magnitude from -20 to 100"), std::string::npos)
      << bad.err;
}

TEST_F(Cli, FrameRangesWriteNumberedFiles) {
  const std::string s = scene({"--frames", "1-3"});
  std::system(("mkdir -p '" + dir.file("out") + "'").c_str());
  // Two workers, each writing through the image library's threads.
  RunResult r = run({"render", s, "--frames", "2-4", "-o", dir.file("out/a.####.png"), "-o",
                     dir.file("out/b%03d.exr"), "--plugin", plugin, "--quiet", "--jobs", "2"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "");  // quiet
  EXPECT_EQ(files(), (std::vector<std::string>{"a.0002.png", "a.0003.png", "a.0004.png", "b002.exr",
                                               "b003.exr", "b004.exr"}));
  // The scene's own range when none is given.
  r = run({"render", s, "-o", dir.file("out/c_##.png"), "--plugin", plugin});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(load(dir.file("out/c_03.png")).w, 64);
  EXPECT_EQ(host::frame_path("f%d.png", 7), "f7.png");
  EXPECT_EQ(host::frame_path("f%5d.png", 7), "f    7.png");
  EXPECT_EQ(host::frame_path("plain.png", 7), "plain.png");
}

TEST_F(Cli, FailuresAreOneClearLine) {
  const std::string s = scene();
  struct Case {
    std::vector<std::string> args;
    std::string message;
  };
  testing_support::write_bytes(dir.file("bad.vsc"), "VantrelScene 1\nFrameSize 64 abc\n");
  testing_support::write_bytes(dir.file("small.png"), "");
  std::vector<float> px(8 * 8 * 3, 0.0f);
  save(dir.file("8x8.png"), 8, 8, 3, px, OIIO::TypeDesc::UINT8, false);
  const std::vector<Case> cases = {
      {{"render", s, "--plugin", "/nonexistent/vantrel64.so"},
       "vantrel-host: cannot load plug-in /nonexistent/vantrel64.so: "},
      {{"render", dir.file("bad.vsc"), "--plugin", plugin},
       "vantrel-host: " + dir.file("bad.vsc") + ":2: FrameSize expects an integer, found 'abc'\n"},
      {{"render", dir.file("none.vsc"), "--plugin", plugin},
       "vantrel-host: cannot read " + dir.file("none.vsc") + ": No such file or directory\n"},
      {{"render", s, "--background", dir.file("missing.png"), "--plugin", plugin},
       "vantrel-host: cannot read the background " + dir.file("missing.png") + ": "},
      {{"render", s, "--background", dir.file("8x8.png"), "--plugin", plugin},
       "vantrel-host: " + dir.file("8x8.png") + " is 8 x 8, the scene's frames are 64 x 48\n"},
      {{"render", s, "-o", dir.file("small.png/folder/out.png"), "--plugin", plugin},
       "vantrel-host: cannot make the folder " + dir.file("small.png/folder") + ": "},
      {{"render", s, "-o", dir.file("out.xyz"), "--plugin", plugin},
       "vantrel-host: cannot write " + dir.file("out.xyz") + ": "},
      {{"render", s, "--frames", "1-2", "-o", dir.file("same.png"), "--plugin", plugin},
       "vantrel-host: --output " + dir.file("same.png") +
           " needs #### or %04d to number several frames\n"},
      {{"render", s, "--frames", "3-1", "--plugin", plugin},
       "vantrel-host: --frames 3-1 ends before it starts\n"},
      {{"render", s, "--frames", "x", "--plugin", plugin},
       "vantrel-host: --frames expects A, A-B or A-BxSTEP, or a list of them with commas, found "
       "'x'\n"},
      {{"new-scene", dir.file("n.vsc"), "--size", "64by48", "--plugin", plugin},
       "vantrel-host: --size expects WIDTHxHEIGHT, each from 1 to 65536, found '64by48'\n"},
  };
  for (const Case& c : cases) {
    const RunResult r = run(c.args);
    EXPECT_EQ(r.status, 1) << c.message << r.err;
    EXPECT_EQ(r.err.rfind(c.message, 0), 0u) << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
  }
  // Usage errors from the option parser: one line too, and status 2.
  const RunResult usage = run({"render"});
  EXPECT_EQ(usage.status, 2);
  EXPECT_EQ(usage.err, "vantrel-host: scene is required (see --help)\n");
}

TEST_F(Cli, OutputIsNeverPartial) {
  const std::string s = scene();
  std::system(("mkdir -p '" + dir.file("out") + "'").c_str());
  // The final rename fails (a folder holds the name): nothing is left behind.
  std::system(("mkdir -p '" + dir.file("out/taken.png") + "'").c_str());
  RunResult r = run({"render", s, "-o", dir.file("out/taken.png"), "--plugin", plugin});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(files(), (std::vector<std::string>{"taken.png"}));
  // A good file is replaced whole.
  testing_support::write_bytes(dir.file("out/frame.png"), "old contents");
  r = run({"render", s, "-o", dir.file("out/frame.png"), "--plugin", plugin});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(load(dir.file("out/frame.png")).w, 64);
  EXPECT_EQ(files(), (std::vector<std::string>{"frame.png", "taken.png"}));
}

// In this process and in worker processes alike: the signal reaches the
// program alone, which passes it on to its workers, or reaches the whole
// process group, as a terminal's Ctrl-C does, and each worker gets it twice.
TEST_F(Cli, InterruptCancelsCleanly) {
  std::vector<harness::Star> many;
  for (int i = 0; i < 20000; ++i)
    many.push_back(harness::ahead((i % 200) * 0.1 - 10, (i / 200) * 0.1 - 5, 0.01f));
  harness::write_db(h, db, many);
  const std::string s = scene({"--frames", "1-500"});
  for (const char* jobs : {"1", "2", "2 group"}) {
    std::system(("rm -rf '" + dir.file("out") + "'; mkdir -p '" + dir.file("out") + "'").c_str());
    RunOptions o = testing_support::interrupt_after("wrote");
    o.interrupt_group = std::string(jobs) == "2 group";
    const RunResult r = run({"render", s, "-o", dir.file("out/f####.png"), "--plugin", plugin,
                             "--jobs", std::string(1, jobs[0])},
                            o);
    EXPECT_EQ(r.status, 130) << jobs << r.err;
    EXPECT_NE(r.err.find("cancelled at frame "), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find("ended unexpectedly"), std::string::npos) << r.err;
    const size_t written = files().size();
    EXPECT_GE(written, 1u);
    EXPECT_LT(written, 500u);
    for (const std::string& f : files()) EXPECT_EQ(f.find(".tmp"), std::string::npos) << f;
  }
}

// A motion-blurred sequence rendered by two worker processes gives the very
// bytes of a render in one process; a failing frame in a worker is one line
// and a failed run.
TEST_F(Cli, WorkersWriteTheSameBytes) {
  std::string text = testing_support::read_bytes(scene({"--frames", "1-24", "--blur-segs", "8"}));
  // A pan of 20 degrees a second, with motion blur.
  const size_t heading = text.find("  Heading ");
  ASSERT_NE(heading, std::string::npos) << text;
  text.replace(heading, text.find('\n', heading) - heading, "  HeadingKeys 0 -10 1 10");
  const size_t blur = text.find("  MotionBlur 0");
  ASSERT_NE(blur, std::string::npos) << text;
  text.replace(blur, 14, "  MotionBlur 1");
  const std::string s = dir.file("pan.vsc");
  testing_support::write_bytes(s, text);
  std::system(("mkdir -p '" + dir.file("out") + "'").c_str());
  for (const char* jobs : {"1", "2"}) {
    const RunResult r = run({"render", s, "-o", dir.file(std::string("out/j") + jobs + "_####.png"),
                             "--plugin", plugin, "--jobs", jobs});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.err.find("frame 24: wrote"), std::string::npos) << r.err;
  }
  EXPECT_EQ(files().size(), 48u);
  auto bytes = [&](const char* pattern, int frame) {
    return testing_support::read_bytes(dir.file("out/" + host::frame_path(pattern, frame)));
  };
  int moved = 0;
  for (int frame = 1; frame <= 24; ++frame) {
    ASSERT_FALSE(bytes("j1_####.png", frame).empty());
    EXPECT_TRUE(bytes("j1_####.png", frame) == bytes("j2_####.png", frame)) << frame;
    if (frame > 1 && bytes("j1_####.png", frame) != bytes("j1_####.png", frame - 1)) ++moved;
  }
  EXPECT_EQ(moved, 23);  // the sky moves: no two frames alike

  // A folder per frame that cannot be made, in the workers: a file is in the way.
  testing_support::write_bytes(dir.file("blocker"), "");
  const RunResult bad = run({"render", s, "-o", dir.file("blocker/####/f.png"), "--plugin", plugin,
                             "--jobs", "2", "--quiet"});
  EXPECT_EQ(bad.status, 1);
  EXPECT_EQ(bad.err.rfind("vantrel-host: cannot make the folder " + dir.file("blocker/000"), 0), 0u)
      << bad.err;
  EXPECT_EQ(std::count(bad.err.begin(), bad.err.end(), '\n'), 1) << bad.err;
}

TEST_F(Cli, SettingsFilesThroughTheFiltersPanel) {
  const std::string s = scene();
  const std::string file = dir.file("look.settings");
  RunResult r = run({"settings", s, "--save", file, "--plugin", plugin});
  ASSERT_EQ(r.status, 0) << r.err;
  std::string text = testing_support::read_bytes(file);
  EXPECT_EQ(text.rfind("VantrelVersion 2\nStarFile \"" + db + "\"\nStarSize 2.5\n", 0), 0u) << text;
  EXPECT_EQ(text.find("ParentID"), std::string::npos);  // settings files carry no parent
  // Closing the panel made the filter's database the default.
  EXPECT_NE(testing_support::read_bytes(dir.file("plugin/vantrel.ini"))
                .find("DefaultStarFile \"" + db + "\"\r\n"),
            std::string::npos);

  // The filter's parent is the scene's camera; loading settings keeps it.
  std::string before = testing_support::read_bytes(s);
  const size_t id_at = before.find("\n  Id ") + 6;
  const std::string camera_id = before.substr(id_at, before.find('\n', id_at) - id_at);
  before.replace(before.find("ParentID 0"), 10, "ParentID " + camera_id);
  testing_support::write_bytes(s, before);
  text.replace(text.find("StarSize 2.5"), 12, "StarSize 6");
  text.replace(text.find("Brightness 5"), 12, "Brightness 2");
  testing_support::write_bytes(file, text);
  r = run({"settings", s, "--load", file, "--plugin", plugin});
  ASSERT_EQ(r.status, 0) << r.err;
  const std::string after = testing_support::read_bytes(s);
  EXPECT_NE(after.find("    StarSize 6\n"), std::string::npos) << after;
  EXPECT_NE(after.find("    Brightness 2\n"), std::string::npos) << after;
  EXPECT_NE(after.find("    ParentID " + camera_id + "\n"), std::string::npos) << after;
  // Written whole: no temporary file is left beside it.
  std::system(("ls -a '" + dir.path + "' > '" + dir.file("listing") + "'").c_str());
  EXPECT_EQ(testing_support::read_bytes(dir.file("listing")).find(".tmp"), std::string::npos);

  // Failures: one clear line, a non-zero status, and the scene as it was.
  testing_support::write_bytes(dir.file("junk.settings"), "StarSize {\n");
  struct Case {
    std::vector<std::string> args;
    std::string last_line;
  };
  const std::vector<Case> cases = {
      {{"settings", s, "--load", dir.file("none.settings"), "--plugin", plugin},
       "vantrel-host: cannot read settings file " + dir.file("none.settings") + "\n"},
      {{"settings", s, "--load", dir.file("junk.settings"), "--plugin", plugin},
       "vantrel-host: " + dir.file("junk.settings") +
           ":1: block 'StarSize' is not closed (expected '}' before the end of the text): not a "
           "settings file\n"},
      {{"settings", s, "--save", dir.file("no/folder/x.settings"), "--plugin", plugin},
       "vantrel-host: saving " + dir.file("no/folder/x.settings") + " failed (see above)\n"},
      {{"settings", s, "--filter", "2", "--save", file, "--plugin", plugin},
       "vantrel-host: " + s + " has 1 image filters; --filter 2 names none of them\n"},
  };
  for (const Case& c : cases) {
    r = run(c.args);
    EXPECT_EQ(r.status, 1) << r.err;
    const size_t last = r.err.rfind('\n', r.err.size() - 2);
    EXPECT_EQ(r.err.substr(last == std::string::npos ? 0 : last + 1), c.last_line) << r.err;
    EXPECT_EQ(testing_support::read_bytes(s), after);
  }
  EXPECT_NE(run({"settings", s, "--plugin", plugin}).status, 0);
  EXPECT_NE(run({"settings", s, "--load", file, "--save", file, "--plugin", plugin}).status, 0);
}

// Cluster submissions without a cluster: the dry run, the refusals, and a
// stand-in sbatch that records how it was called. The real cluster's run is
// tests/submit_cluster_test.sh.
struct CliSubmit : Cli {
  void SetUp() override {
    Cli::SetUp();
    s = scene({"--frames", "1-12"});
    testing_support::make_dirs(dir.file("bin"));
    sbatch_reply("echo 41\\;vtest");
  }
  // A stand-in sbatch: appends its arguments to calls.txt, then runs `reply`.
  void sbatch_reply(const std::string& reply) {
    testing_support::write_bytes(
        dir.file("bin/sbatch"),
        "#!/bin/sh\necho \"$*\" >> '" + dir.file("calls.txt") + "'\n" + reply + "\n");
    std::filesystem::permissions(dir.file("bin/sbatch"), std::filesystem::perms::owner_all);
  }
  RunResult submit(std::vector<std::string> args, const std::string& path = "") {
    args.insert(args.begin(), "submit");
    RunOptions o;
    o.cwd = dir.path;
    o.path = path.empty() ? dir.file("bin") + ":/usr/bin:/bin" : path;
    return run(args, o);
  }
  std::string calls() { return testing_support::read_bytes(dir.file("calls.txt")); }
  std::string s;
};

TEST_F(CliSubmit, DryRunPrintsAbsoluteScriptsAndWritesNothing) {
  testing_support::make_dirs(dir.file("out"));
  const RunResult r =
      submit({"s.vsc", "-o", "out/sky.####.png", "--chunk", "5", "--plugin", plugin, "--dry-run"});
  ASSERT_EQ(r.status, 0) << r.err;
  const std::string job = dir.file("out/sky.job");
  for (const std::string& text : std::vector<std::string>{
           "#SBATCH --array=0-2\n", "  0) frames='1-5' ;;\n", "  1) frames='6-10' ;;\n",
           "  2) frames='11-12' ;;\n", "#SBATCH --chdir=\"" + dir.path + "\"\n",
           " render '" + dir.file("s.vsc") + "' --plugin '" + plugin + "' --frames \"$f\" -o '" +
               dir.file("out/sky.####.png") + "' || exit\n",
           "#SBATCH --kill-on-invalid-dep=yes\n", " submit --check '" + job + "'\n",
           "array=$(sbatch --parsable --array=0-2 '" + job + "/render.sh')\n",
           "sbatch --parsable --dependency=afterok:\"${array%%;*}\" '" + job + "/check.sh'\n"})
    EXPECT_NE(r.out.find(text), std::string::npos) << text << "\n" << r.out;
  EXPECT_EQ(r.out.find("3) frames"), std::string::npos);
  EXPECT_EQ(calls(), "");        // sbatch never ran
  EXPECT_TRUE(files().empty());  // not even the output folder
}

TEST_F(CliSubmit, WhatSlurmWouldRefuseLaterIsRefusedAtSubmitTime) {
  const std::string p = plugin;
  // A dry run makes no folder, so the commands it prints need it there.
  RunResult r = submit({"s.vsc", "-o", "out/sky.####.png", "--plugin", p, "--dry-run"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "vantrel-host: the output folder " + dir.file("out") +
                       " does not exist; a dry run makes nothing (submit without --dry-run makes "
                       "it)\n");
  EXPECT_NE(access(dir.file("out").c_str(), F_OK), 0);
  testing_support::make_dirs(dir.file("out"));
  for (const char* bad : {"1:2:3:4", "ten", "1-", "5:", "1-2:3:4:5", "1:-2"}) {
    r = submit({"s.vsc", "-o", "out/sky.####.png", "--plugin", p, "--dry-run", "--time", bad});
    EXPECT_EQ(r.status, 1) << bad;
    EXPECT_EQ(
        r.err.rfind(std::string("vantrel-host: --time ") + bad + " is no time Slurm takes", 0), 0u)
        << r.err;
  }
  for (const char* good : {"90", "30:00", "2:00:00", "1-12", "1-2:30", "1-2:30:15", "UNLIMITED"}) {
    r = submit({"s.vsc", "-o", "out/sky.####.png", "--plugin", p, "--dry-run", "--time", good});
    EXPECT_EQ(r.status, 0) << good << ": " << r.err;
  }
  // The cluster takes array indices below its MaxArraySize: 12 frames in
  // chunks of 5 need index 2.
  testing_support::write_bytes(dir.file("bin/scontrol"),
                               "#!/bin/sh\necho 'MaxArraySize            = 2'\n");
  std::filesystem::permissions(dir.file("bin/scontrol"), std::filesystem::perms::owner_all);
  for (bool dry : {true, false}) {
    std::vector<std::string> args = {"s.vsc",   "-o", "out/sky.####.png", "--plugin", p,
                                     "--chunk", "5"};
    if (dry) args.push_back("--dry-run");
    r = submit(args);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err,
              "vantrel-host: the job needs array indices up to 2, but the cluster's MaxArraySize "
              "is 2: use --chunk 6 or more\n");
  }
  EXPECT_EQ(calls(), "");
  r = submit({"s.vsc", "-o", "out/sky.####.png", "--plugin", p, "--chunk", "6", "--dry-run"});
  EXPECT_EQ(r.status, 0) << r.err;
}

TEST_F(CliSubmit, RefusesWhatTheNodesCouldNotUse) {
  testing_support::write_bytes(dir.file("junk.stars"), "not a star database at all");
  const std::string scene_text = testing_support::read_bytes(s);
  const std::string at = "StarFile \"" + db + "\"";
  ASSERT_NE(scene_text.find(at), std::string::npos) << scene_text;
  for (const char* name : {"junk", "gone"}) {
    std::string t = scene_text;
    t.replace(t.find(at), at.size(), std::string("StarFile \"") + name + ".stars\"");
    testing_support::write_bytes(dir.file(std::string(name) + ".vsc"), t);
  }
  testing_support::make_dirs(dir.file("plates"));
  testing_support::write_bytes(dir.file("plates/bg.0001.png"), "");
  const std::string p = plugin;
  struct Case {
    std::vector<std::string> args;
    std::string message, path = "";
  };
  const std::vector<Case> cases = {
      {{"none.vsc", "-o", "o/f.####.png", "--plugin", p},
       "cannot read " + dir.file("none.vsc") + ": No such file or directory"},
      {{"s.vsc", "--plugin", p}, "submit needs -o PATTERN"},
      {{"s.vsc", "-o", "o/f.png", "--plugin", p}, "-o o/f.png needs #### or %04d"},
      {{"s.vsc", "-o", "o/f.####.png", "--chunk", "0", "--plugin", p}, "--chunk expects at least"},
      {{"gone.vsc", "-o", "o/f.####.png", "--plugin", p},
       "cannot read the star database " + dir.file("gone.stars") + ": No such file or directory"},
      {{"junk.vsc", "-o", "o/f.####.png", "--plugin", p},
       "the star database " + dir.file("junk.stars") + " does not begin with VANTREL1 or VANTREL2"},
      {{"s.vsc", "-o", "o/f.####.png", "--background", "plates/bg.####.png", "--plugin", p},
       "cannot read the background " + dir.file("plates/bg.0002.png") + ": No such file"},
      {{"s.vsc", "-o", "/proc/f.####.png", "--plugin", p},
       "the output folder /proc is not writable ("},
      {{"s.vsc", "-o", "plates/bg.0001.png/f.####.png", "--plugin", p, "--dry-run"},
       "the output folder " + dir.file("plates/bg.0001.png") + " is not writable ("},
      {{"s.vsc", "-o", "o/f.####.png", "--plugin", p},
       "sbatch not found on PATH: install the "
       "Slurm client programs (Debian: apt-get install slurm-client)",
       "/nonexistent"},
      {{"--resume", "nojob"}, "cannot read " + dir.file("nojob/job.txt") + ": "},
      {{"s.vsc", "--resume", "nojob"}, "--resume takes no scene, -o or --frames"},
  };
  for (const Case& c : cases) {
    const RunResult r = submit(c.args, c.path);
    EXPECT_EQ(r.status, 1) << c.message << r.err;
    EXPECT_EQ(r.err.rfind("vantrel-host: " + c.message, 0), 0u) << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
  }
  EXPECT_EQ(calls(), "");
  EXPECT_FALSE(std::filesystem::exists(dir.file("o")));  // nothing written when refused
  // A folder without write permission, where permission bits bind (not as root).
  if (geteuid() != 0) {
    testing_support::make_dirs(dir.file("ro"));
    std::filesystem::permissions(
        dir.file("ro"), std::filesystem::perms::owner_read | std::filesystem::perms::owner_exec);
    const RunResult r = submit({"s.vsc", "-o", "ro/f.####.png", "--plugin", p});
    EXPECT_EQ(
        r.err.rfind("vantrel-host: the output folder " + dir.file("ro") + " is not writable", 0),
        0u)
        << r.err;
  }
}

TEST_F(CliSubmit, ChecksAndResubmitsOnlyChunksWithMissingFiles) {
  RunResult r = submit({"s.vsc", "-o", "out/sky.####.png", "--chunk", "5", "--plugin", plugin,
                        "--partition", "render", "--sbatch-arg=--mem=1G"});
  ASSERT_EQ(r.status, 0) << r.err;
  const std::string job = dir.file("out/sky.job");
  EXPECT_EQ(r.out, "submitted job array 41 (3 chunks) and check job 41; scripts and logs in " +
                       job + "\n");
  EXPECT_EQ(calls(), "--parsable --array=0-2 " + job + "/render.sh\n--parsable " +
                         "--dependency=afterok:41 " + job + "/check.sh\n");
  const std::string script = testing_support::read_bytes(job + "/render.sh");
  EXPECT_NE(script.find("#SBATCH --partition=\"render\"\n#SBATCH --mem=1G\n"), std::string::npos);
  // The frames as the tasks would write them; then one lost and one damaged.
  ASSERT_EQ(run({"render", s, "-o", dir.file("out/sky.####.png"), "--plugin", plugin, "-q"}).status,
            0);
  std::filesystem::remove(dir.file("out/sky.0007.png"));
  testing_support::write_bytes(dir.file("out/sky.0012.png"), "half a png");
  r = submit({"--check", "out/sky.job"});
  EXPECT_EQ(r.status, 1);
  const std::string summary =
      "failed: 10 of 12 files written and readable; missing or "
      "unreadable: " +
      dir.file("out/sky.0007.png") + ", " + dir.file("out/sky.0012.png") + "\n";
  EXPECT_EQ(r.out, summary);
  EXPECT_EQ(testing_support::read_bytes(job + "/summary.txt"), summary);
  std::filesystem::remove(dir.file("calls.txt"));
  r = submit({"--resume", "out/sky.job"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(calls(), "--parsable --array=1-2 " + job + "/render.sh\n--parsable " +
                         "--dependency=afterok:41 " + job + "/check.sh\n");
  EXPECT_FALSE(std::filesystem::exists(job + "/summary.txt"));  // the new check will write it
  // All there: nothing to resubmit, and the check passes.
  ASSERT_EQ(run({"render", s, "-o", dir.file("out/sky.####.png"), "--plugin", plugin, "-q"}).status,
            0);
  std::filesystem::remove(dir.file("calls.txt"));
  r = submit({"--resume", "out/sky.job"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "all 3 chunks of " + job + " are written: nothing to resubmit\n");
  EXPECT_EQ(calls(), "");
  r = submit({"--check", job});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "ok: 12 of 12 files written and readable\n");
  // sbatch's refusal is the command's, in one line.
  sbatch_reply("echo 'sbatch: error: invalid partition name specified' >&2; exit 1");
  r = submit({"s.vsc", "-o", "out/sky.####.png", "--plugin", plugin});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err,
            "vantrel-host: sbatch failed (status 1): sbatch: error: invalid partition name "
            "specified\n");
}

TEST_F(Cli, SettingsSetAndGetThroughTheFiltersOwnLoad) {
  const std::string s = scene();
  auto get = [&](const std::string& key) {
    const RunResult r = run({"settings", s, "--get", key, "--plugin", plugin});
    EXPECT_EQ(r.status, 0) << r.err;
    return r.out;
  };
  RunResult r = run({"settings", s, "--set", "Brightness=2.5", "--set", "BlurSegs=8", "--set",
                     "Projection=Hemispherical", "--plugin", plugin});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(get("Brightness"), "2.5\n");
  EXPECT_EQ(get("BlurSegs"), "8\n");
  EXPECT_EQ(get("Projection"), "Hemispherical\n");
  // A number is kept in single precision: 1.6 is taken, as 1.60000002.
  r = run({"settings", s, "--set", "BrightnessBias=1.6", "--plugin", plugin});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(get("BrightnessBias"), "1.60000002\n");
  const std::string before = testing_support::read_bytes(s);
  struct Refused {
    std::string pair, says;
  };
  for (const Refused& bad :
       {Refused{"Brightness=abc",
                "the filter did not take Brightness=abc (it keeps Brightness 2.5)"},
        Refused{"BlurSegs=500", "the filter did not take BlurSegs=500 (it keeps BlurSegs 8)"},
        Refused{"Projection=Bogus", "the filter did not take Projection=Bogus"},
        Refused{"Nope=1", "the filter has no setting 'Nope' (it has VantrelVersion, StarFile"},
        Refused{"=1", "--set expects KEY=VALUE, found '=1'"}}) {
    // A good value beside the bad one is not kept either: the scene is untouched.
    r = run({"settings", s, "--set", "StarSize=4", "--set", bad.pair, "--plugin", plugin});
    EXPECT_EQ(r.status, 1) << bad.pair;
    EXPECT_NE(r.err.find(bad.says), std::string::npos) << r.err;
    EXPECT_EQ(testing_support::read_bytes(s), before) << bad.pair;
  }
  r = run({"settings", s, "--get", "Nope", "--plugin", plugin});
  EXPECT_EQ(r.status, 1);
  r = run({"settings", s, "--set", "Brightness=1", "--get", "Brightness", "--plugin", plugin});
  EXPECT_EQ(r.status, 2) << r.err;
}

TEST_F(Cli, ProgressInALogIsOneWholeLineAFrame) {
  const std::string s = scene({"--frames", "1-6"});
  const RunResult r =
      run({"render", s, "-o", dir.file("p.####.png"), "--plugin", plugin, "--jobs", "3"});
  ASSERT_EQ(r.status, 0) << r.err;
  std::istringstream lines(r.err);
  std::vector<int> frames_done;
  int count = 0;
  for (std::string line; std::getline(lines, line);) {
    // Every line is one whole message: a file written or a frame finished.
    ASSERT_EQ(line.rfind("frame ", 0), 0u) << r.err;
    int frame = 0, k = 0, of = 0;
    if (sscanf(line.c_str(), "frame %d: %d of %d done, ", &frame, &k, &of) == 3) {
      EXPECT_EQ(k, ++count) << line;
      EXPECT_EQ(of, 6) << line;
      EXPECT_NE(line.find(" elapsed"), std::string::npos) << line;
      EXPECT_EQ(line.find(" left") != std::string::npos, k < 6) << line;
      frames_done.push_back(frame);
    }
  }
  std::sort(frames_done.begin(), frames_done.end());
  EXPECT_EQ(frames_done, (std::vector<int>{1, 2, 3, 4, 5, 6})) << r.err;
  // Quiet: nothing at all.
  const RunResult q =
      run({"render", s, "-o", dir.file("q.####.png"), "--plugin", plugin, "--quiet"});
  EXPECT_EQ(q.status, 0);
  EXPECT_EQ(q.err, "");
}
