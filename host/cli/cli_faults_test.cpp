// vantrel-host under bad input, faults and signals: every failure told in one
// line with a non-zero exit, and nothing the user had is lost.
#include <sys/mount.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#include "testsupport/cli_support.h"

namespace {

using testing_support::read_bytes;
using testing_support::write_bytes;

// A copy of a scene file with one text replaced.
std::string edited(const std::string& scene, const std::string& from, const std::string& to,
                   const std::string& name) {
  std::string text = read_bytes(scene);
  const size_t at = text.find(from);
  EXPECT_NE(at, std::string::npos) << from;
  if (at != std::string::npos) text.replace(at, from.size(), to);
  const std::string path = scene.substr(0, scene.find_last_of('/') + 1) + name;
  write_bytes(path, text);
  return path;
}

int lines(const std::string& text) {
  return static_cast<int>(std::count(text.begin(), text.end(), '\n'));
}

bool has(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

// A process identifier that was in use a moment ago and is free now.
pid_t dead_pid() {
  const pid_t child = fork();
  if (child == 0) _exit(0);
  waitpid(child, nullptr, 0);
  return child;
}

struct Faults : Cli {
  // Good outputs in out/, one per format, with their bytes kept to compare.
  std::vector<std::pair<std::string, std::string>> good_outputs(const std::string& s) {
    std::system(("mkdir -p '" + dir.file("out") + "'").c_str());
    std::vector<std::string> args = {"render", s, "--plugin", plugin, "-q"};
    for (const char* ext : {"png", "jpg", "exr", "tif", "hdr"})
      args.insert(args.end(), {"-o", dir.file(std::string("out/frame.") + ext)});
    const RunResult r = run(args);
    EXPECT_EQ(r.status, 0) << r.err;
    std::vector<std::pair<std::string, std::string>> kept;
    for (size_t i = 6; i < args.size(); i += 2) kept.push_back({args[i], read_bytes(args[i])});
    return kept;
  }
  // Renders over each kept output where writing fails: told, and the old file stays whole.
  void expect_refused(const std::string& s,
                      const std::vector<std::pair<std::string, std::string>>& kept,
                      const std::string& why, const RunOptions& options = RunOptions()) {
    for (const auto& [out, bytes] : kept) {
      const RunResult r = run({"render", s, "-o", out, "--plugin", plugin, "-q"}, options);
      EXPECT_EQ(r.status, 1) << out << "\n" << r.err;
      EXPECT_EQ(r.err, "vantrel-host: cannot write " + out + ": " + why + "\n");
      EXPECT_EQ(read_bytes(out), bytes) << out;
    }
    for (const std::string& f : files()) EXPECT_FALSE(has(f, ".tmp")) << f;
  }
};

}  // namespace

TEST_F(Faults, FullDiskKeepsThePreviousFrameAndSaysSo) {
  const std::string s = scene();
  std::system(("mkdir -p '" + dir.file("out") + "'").c_str());
  if (mount("tmpfs", dir.file("out").c_str(), "tmpfs", 0, "size=256k") != 0)
    GTEST_SKIP() << "cannot mount a small tmpfs here (" << strerror(errno)
                 << "): the fault-injecting writer below covers failing writes";
  const std::vector<std::pair<std::string, std::string>> kept = good_outputs(s);
  // Fill what is left of the disk.
  {
    std::ofstream fill(dir.file("out/fill"), std::ios::binary);
    const std::string block(4096, 'x');
    while (fill.write(block.data(), block.size())) {
    }
  }
  expect_refused(s, kept, "No space left on device");
  umount2(dir.file("out").c_str(), MNT_DETACH);
}

TEST_F(Faults, FailedWritesAreToldNotReportedAsWritten) {
  // Files may not grow past 16 bytes: every write of an image fails part-way.
  const std::string s = scene();
  RunOptions limited;
  limited.file_size_limit = 16;
  expect_refused(s, good_outputs(s), "File too large", limited);
}

TEST_F(Faults, ImageLibraryLimitsAreErrorsNotTheEnd) {
  // The JPEG codec would end the process on a width it cannot hold.
  const std::string wide = edited(scene(), "FrameSize 64 48", "FrameSize 65501 1", "wide.vsc");
  RunResult r = run({"render", wide, "--plugin", plugin, "-o", dir.file("x.jpg"), "-q"});
  EXPECT_EQ(r.status, 1) << r.err;
  EXPECT_EQ(r.err, "vantrel-host: cannot write " + dir.file("x.jpg") +
                       ": JPEG holds at most 65500 x 65500 pixels\n");
  r = run({"render", scene(), "--plugin", plugin, "-o", dir.file("x.sgi"), "-q"});
  EXPECT_EQ(r.status, 1) << r.err;
  EXPECT_EQ(r.err,
            "vantrel-host: cannot write " + dir.file("x.sgi") +
                ": the sgi format cannot be encoded in memory (write EXR, PNG, TIFF or JPEG)\n");
  EXPECT_NE(access(dir.file("x.jpg").c_str(), F_OK), 0);
}

TEST_F(Faults, FilterErrorsFailTheFrameAndKeepThePreviousOutput) {
  const std::string good = scene({"--frames", "1-3"});
  std::system(("mkdir -p '" + dir.file("out") + "'").c_str());
  const std::string out = dir.file("out/f.####.png");
  ASSERT_EQ(run({"render", good, "--frames", "1", "-o", out, "--plugin", plugin}).status, 0);
  const std::string before = read_bytes(dir.file("out/f.0001.png"));
  write_bytes(dir.file("text.stars"), "not a star database, but long enough to hold a header");
  std::string v1 = dir.file("v1.stars");
  harness::write_db(h, v1, {harness::ahead(0, 0)}, "VANTREL1");
  struct Case {
    std::string scene, message;
  };
  const std::vector<Case> cases = {
      // Read at load, the plug-in falls back to its default when allowed to:
      // a copy has none.
      {edited(good, db, dir.file("text.stars"), "invalid.vsc"),
       "error: Vantrel: Invalid star database file"},
      {edited(good, "StarFile \"" + db + "\"", "StarFile \"\"", "none.vsc"),
       "error: Vantrel: Invalid star database file"},
      {edited(edited(good, db, v1, "v1.vsc"), "ThreeD 0", "ThreeD 1", "v1_3d.vsc"),
       "error: Vantrel: This star database file does not support 3D stars"},
  };
  for (const Case& c : cases) {
    RunResult r = run({"render", c.scene, "-o", out, "--plugin", plugin, "-q", "--jobs", "1",
                       "--allow-default-database"});
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_TRUE(has(r.err, c.message)) << r.err;
    EXPECT_TRUE(has(r.err, "vantrel-host: frame 1 failed: nothing written for it; stopping"))
        << r.err;
    EXPECT_FALSE(has(r.err, "frame 2")) << r.err;
    EXPECT_EQ(files(), (std::vector<std::string>{"f.0001.png"}));
    EXPECT_EQ(read_bytes(dir.file("out/f.0001.png")), before);
    // Going on tries every frame and still ends in failure.
    r = run({"render", c.scene, "-o", out, "--plugin", plugin, "-q", "--keep-going",
             "--allow-default-database"});
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_TRUE(has(r.err, "vantrel-host: frame 3 failed: nothing written for it\n")) << r.err;
    EXPECT_TRUE(has(r.err, "vantrel-host: 3 of 3 frames failed\n")) << r.err;
    EXPECT_EQ(read_bytes(dir.file("out/f.0001.png")), before);
  }
  // Two workers hold frames 1 and 2 from the start; after a failure no
  // further frame is handed out.
  const RunResult r = run({"render", cases[0].scene, "-o", out, "--plugin", plugin, "-q", "--jobs",
                           "2", "--allow-default-database"});
  EXPECT_EQ(r.status, 1) << r.err;
  EXPECT_TRUE(has(r.err, "vantrel-host: frame 1 failed: nothing written for it; stopping"))
      << r.err;
  EXPECT_FALSE(has(r.err, "frame 3")) << r.err;
  EXPECT_EQ(files(), (std::vector<std::string>{"f.0001.png"}));
  EXPECT_EQ(read_bytes(dir.file("out/f.0001.png")), before);
}

TEST_F(Faults, FrameNumbersAtTheTopOfTheIntegerRangeEnd) {
  const std::string s = scene();
  std::system(("mkdir -p '" + dir.file("out") + "'").c_str());
  const std::string out = dir.file("out/f.%010d.png");
  RunOptions quick;
  quick.timeout_seconds = 60;
  const std::string top =
      edited(s, "FrameRange 1 1 1", "FrameRange 2147483646 2147483647 1", "top.vsc");
  RunResult r = run({"render", top, "-o", out, "--plugin", plugin, "-q"}, quick);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(files(), (std::vector<std::string>{"f.2147483646.png", "f.2147483647.png"}));
  r = run({"render", s, "--frames", "2147483647", "-o", dir.file("out/g.%d.png"), "--plugin",
           plugin, "-q"},
          quick);
  EXPECT_EQ(r.status, 0) << r.err;
  const std::string step = edited(s, "FrameRange 1 1 1", "FrameRange 1 3 2147483647", "step.vsc");
  r = run({"render", step, "-o", dir.file("out/h.%d.png"), "--plugin", plugin, "-q"}, quick);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(files(), (std::vector<std::string>{"f.2147483646.png", "f.2147483647.png",
                                               "g.2147483647.png", "h.1.png"}));
}

TEST_F(Faults, LongFramePatternsNumberEveryFrame) {
  const std::string s = scene({"--frames", "1-2"});
  std::system(("mkdir -p '" + dir.file("out") + "'").c_str());
  const RunResult r = run({"render", s, "-o", dir.file("out/a" + std::string(40, '#') + ".png"),
                           "-o", dir.file("out/b%040d.png"), "--plugin", plugin, "-q"});
  EXPECT_EQ(r.status, 0) << r.err;
  const std::string zeros(39, '0');
  EXPECT_EQ(files(), (std::vector<std::string>{"a" + zeros + "1.png", "a" + zeros + "2.png",
                                               "b" + zeros + "1.png", "b" + zeros + "2.png"}));
  EXPECT_EQ(host::frame_path("%05d", -42), "-0042");
  EXPECT_EQ(host::frame_path("%5d", -42), "  -42");
}

TEST_F(Faults, InterruptCancelsWhenNoFilterRuns) {
  std::system(("mkdir -p '" + dir.file("out") + "'").c_str());
  // A scene without the filter: nothing but the host's loop to stop.
  write_bytes(
      dir.file("plain.vsc"),
      "VantrelScene 1\nFrameSize 64 48\nFrameRange 1 1000000 1\nItem {\n  Kind Camera\n}\n");
  RunResult r = run(
      {"render", dir.file("plain.vsc"), "-o", dir.file("out/p.#######.png"), "--plugin", plugin},
      testing_support::interrupt_after("wrote", 60));
  EXPECT_EQ(r.status, 130) << r.err;
  EXPECT_TRUE(has(r.err, "cancelled at frame ")) << r.err;
  // Frames that fail one after another, with --keep-going.
  const std::string s = scene({"--frames", "1-1000000"});
  const std::string failing = edited(s, "StarFile \"" + db + "\"", "StarFile \"\"", "failing.vsc");
  r = run(
      {"render", failing, "-o", dir.file("out/q.#######.png"), "--plugin", plugin, "--keep-going"},
      testing_support::interrupt_after("failed", 60));
  EXPECT_EQ(r.status, 130) << r.err;
  EXPECT_TRUE(has(r.err, "cancelled at frame ")) << r.err;
  for (const std::string& f : files()) EXPECT_FALSE(has(f, ".tmp")) << f;
}

TEST_F(Faults, NewSceneRefusesWhatRenderWouldRefuse) {
  write_bytes(dir.file("text.stars"), "not a star database, but long enough to hold a header");
  const std::string out = dir.file("n.vsc");
  const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
      {{"--size", "70000x70000"},
       "--size expects WIDTHxHEIGHT, each from 1 to 65536, found '70000x70000'"},
      {{"--size", "10x10junk"},
       "--size expects WIDTHxHEIGHT, each from 1 to 65536, found '10x10junk'"},
      {{"--fps", "nan"}, "--fps expects a positive number of frames per second"},
      {{"--fps", "inf"}, "--fps expects a positive number of frames per second"},
      {{"--fps", "0"}, "--fps expects a positive number of frames per second"},
      {{"--fps=-1"}, "--fps expects a positive number of frames per second"},
      {{"--camera-ra", "nan"}, "--camera-ra expects degrees"},
      {{"--camera-dec", "91"}, "--camera-dec expects degrees from -90 to 90"},
      {{"--projection", "Bogus"},
       "--projection expects Perspective, Hemispherical or AzimuthalEquidistant, found 'Bogus'"},
      {{"--blur-segs", "101"}, "--blur-segs expects a count from 0 to 100"},
      {{"--database", "/nonexistent.stars"},
       "--database /nonexistent.stars: No such file or directory"},
      {{"--database", dir.file("text.stars")},
       "--database " + dir.file("text.stars") + " is not a star database"},
  };
  for (const auto& [extra, message] : cases) {
    std::vector<std::string> args = {"new-scene", out, "--plugin", plugin};
    if (extra[0] != "--database") args.insert(args.end(), {"--database", db});
    args.insert(args.end(), extra.begin(), extra.end());
    const RunResult r = run(args);
    EXPECT_EQ(r.status, 1) << message;
    // A database the plug-in refuses: its warning with the reason, then the one error.
    const std::string reason = extra.back() == dir.file("text.stars")
                                   ? "warning: star database " + dir.file("text.stars") +
                                         ": the file does not begin with VANTREL1 or VANTREL2"
                                   : "";
    const std::string::size_type first_end = reason.empty() ? 0 : r.err.find('\n') + 1;
    EXPECT_EQ(r.err.substr(0, reason.size()), reason);
    EXPECT_EQ(r.err.substr(first_end), "vantrel-host: " + message + "\n");
    EXPECT_NE(access(out.c_str(), F_OK), 0) << message;
  }
  // A plug-in copied without its database has no default to save.
  const RunResult r = run({"new-scene", out, "--plugin", plugin});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err,
            "vantrel-host: the plug-in has no default star database beside it; name one "
            "with --database\n");
}

TEST_F(Faults, BadScenesGetOneLineAndNoCrash) {
  const std::string s = scene();
  std::string nested = "VantrelScene 1\nImageFilter {\n  Server \"Vantrel\"\n  Settings {\n";
  for (int i = 0; i < 200000; ++i) nested += "G {\n";
  for (int i = 0; i < 200002; ++i) nested += "}\n";
  write_bytes(dir.file("nested.vsc"), nested);
  const std::string camera_region =
      edited(s, "  MotionBlur 0\n", "  MotionBlur 0\n  LimitedRegion 64 0 70 10\n", "cr.vsc");
  const std::vector<std::pair<std::string, std::string>> cases = {
      {dir.file("nested.vsc"), "nested.vsc:67: block 'G' is nested more than 64 deep"},
      {edited(s, "FrameSize 64 48", "FrameSize 4294967297 1", "w.vsc"),
       "w.vsc:5: FrameSize expects a width and a height from 1 to 65536"},
      {edited(s, "FrameRange 1 1 1", "FrameRange 1 4294967298 1", "r.vsc"),
       "r.vsc:6: FrameRange expects an integer from -2147483648 to 2147483647, found 4294967298"},
      {edited(s, "  Name \"Camera\"\n", "  Name \"Camera\"\n  Parent 4295772673\n", "p.vsc"),
       "p.vsc:11: Parent expects an integer from 0 to 4294967295, found 4295772673"},
      {edited(s, "FrameRange 1 1 1", "LimitedRegion 0 0 2147483647 2147483647", "lr.vsc"),
       "lr.vsc:6: LimitedRegion 0 0 2147483647 2147483647 is not inside the 64 x 48 frame "
       "(expects 0 <= x0 <= x1 < 64 and 0 <= y0 <= y1 < 48)"},
      {camera_region,
       "cr.vsc:23: LimitedRegion 64 0 70 10 is not inside the 64 x 48 frame (expects 0 <= x0 <= "
       "x1 < 64 and 0 <= y0 <= y1 < 48)"},
      {edited(s, "FrameSize 64 48", std::string("FrameSize 64 48\0b", 17), "nul.vsc"),
       "nul.vsc:5: FrameSize expects an integer, found '48\\x00b'"},
  };
  for (const auto& [path, message] : cases) {
    const RunResult r = run({"render", path, "--plugin", plugin, "-o", dir.file("x.png")});
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_EQ(r.err, "vantrel-host: " + dir.path + "/" + message + "\n");
  }
  // A frame the machine cannot hold is refused before any of it is allocated.
  const RunResult big =
      run({"render", edited(s, "FrameSize 64 48", "FrameSize 65536 65536", "big.vsc"), "--plugin",
           plugin, "-o", dir.file("x.png")});
  EXPECT_EQ(big.status, 1) << big.err;
  EXPECT_EQ(big.err.rfind("vantrel-host: frames of 65536 x 65536 pixels need about 256.0 GiB of "
                          "memory; ",
                          0),
            0u)
      << big.err;
  EXPECT_EQ(lines(big.err), 1) << big.err;
}

TEST_F(Faults, TruncatedOrBareNamedPlugins) {
  const std::string s = scene();
  const std::string full = read_bytes(plugin);
  // Cut inside the loaded segments (the debugging sections after them are never mapped).
  write_bytes(dir.file("cut.so"), full.substr(0, 40000));
  RunResult r = run({"render", s, "--plugin", dir.file("cut.so"), "-o", dir.file("x.png")});
  EXPECT_EQ(r.status, 1) << r.err;
  EXPECT_EQ(r.err.rfind("vantrel-host: cannot load plug-in " + dir.file("cut.so") +
                            ": the file is cut short (",
                        0),
            0u)
      << r.err;
  EXPECT_EQ(lines(r.err), 1) << r.err;
  // A name without a slash is the file in the working folder, not a library on the system's path.
  RunOptions in_folder;
  in_folder.cwd = plugin.substr(0, plugin.find_last_of('/'));
  r = run({"render", s, "--plugin", "vantrel64.so", "-o", dir.file("x.png"), "-q"}, in_folder);
  EXPECT_EQ(r.status, 0) << r.err;
}

TEST_F(Faults, StarFilesThatAreNoRegularFilesFailTheFrame) {
  const std::string s = scene();
  ASSERT_EQ(mkfifo(dir.file("fifo.stars").c_str(), 0600), 0);
  std::system(("mkdir -p '" + dir.file("folder.stars") + "'").c_str());
  RunOptions quick;
  quick.timeout_seconds = 60;
  const std::vector<std::pair<std::string, std::string>> cases = {
      {dir.file("folder.stars"), "a directory"},
      {"/dev/zero", "a device"},
      {dir.file("fifo.stars"), "a FIFO"},
  };
  for (const auto& [path, kind] : cases) {
    const std::string bad = edited(s, db, path, "bad.vsc");
    // Refused before frame 1; allowed to fall back, the plug-in's open fails the frame.
    RunResult r = run({"render", bad, "--plugin", plugin, "-o", dir.file("x.png")}, quick);
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_TRUE(has(r.err, "cannot read the star database " + path + ": " + kind +
                               ", not a regular file (--allow-default-database"))
        << r.err;
    r = run(
        {"render", bad, "--plugin", plugin, "-o", dir.file("x.png"), "--allow-default-database"},
        quick);
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_TRUE(
        has(r.err, "error: cannot open " + path + ": it is " + kind + ", not a regular file\n"))
        << r.err;
    EXPECT_TRUE(has(r.err, "vantrel-host: frame 1 failed")) << r.err;
  }
}

TEST_F(Faults, StaleTemporariesOfAnOutputAreRemoved) {
  const std::string s = scene({"--frames", "1-2"});
  std::system(("mkdir -p '" + dir.file("out") + "'").c_str());
  const std::string dead = std::to_string(dead_pid()), alive = std::to_string(getpid());
  const std::vector<std::string> left = {".frame.png.tmp-" + dead,
                                         ".frame.png.tmp-" + dead + ".png",
                                         ".f.0007.png.tmp-" + dead + ".png"};
  const std::vector<std::string> kept = {".frame.png.tmp-" + alive, ".other.png.tmp-" + dead};
  for (const std::string& name : left) write_bytes(dir.file("out/" + name), "partial");
  for (const std::string& name : kept) write_bytes(dir.file("out/" + name), "partial");
  RunResult r = run(
      {"render", s, "--frames", "1", "-o", dir.file("out/frame.png"), "--plugin", plugin, "-q"});
  EXPECT_EQ(r.status, 0) << r.err;
  r = run({"render", s, "-o", dir.file("out/f.####.png"), "--plugin", plugin, "-q"});
  EXPECT_EQ(r.status, 0) << r.err;
  std::vector<std::string> expected = {"f.0001.png", "f.0002.png", "frame.png"};
  expected.insert(expected.end(), kept.begin(), kept.end());
  std::sort(expected.begin(), expected.end());
  std::vector<std::string> found = files();
  std::sort(found.begin(), found.end());
  EXPECT_EQ(found, expected);
}

TEST_F(Faults, SettingsWarningsKeepTextAfterANul) {
  const std::string s =
      edited(scene(), "StarSize 2.5", std::string("StarSize 2\0x", 12), "nul.vsc");
  const RunResult r = run({"render", s, "--plugin", plugin, "-o", dir.file("x.png"), "-q"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(has(r.err, "expected a number, found '2\\x00x'\n")) << r.err;
}

TEST_F(Faults, ParentIdNamingNoItemIsWarned) {
  const std::string s = edited(scene(), "ParentID 0", "ParentID 12345", "parent.vsc");
  const RunResult r = run({"render", s, "--plugin", plugin, "-o", dir.file("x.png"), "-q"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "warning: " + s +
                       ":24: \"Vantrel\" has ParentID 12345, which is no item of this scene: its "
                       "sky will be empty\n");
}
