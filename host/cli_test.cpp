// vantrel-host as a user runs it: the real program, real files.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "LW/test_harness.h"
// The plug-in's ASSERT is not used here; OpenImageIO defines one of its own.
#undef ASSERT
#include <OpenImageIO/imageio.h>

#include "host/images.h"

namespace {

struct RunResult {
  int status;
  std::string err;
};

// Runs the program with arguments; returns its exit status and standard error.
// With interrupt_after set, sends SIGINT once that text has appeared.
RunResult run(const std::vector<std::string>& args, const std::string& interrupt_after = "") {
  int pipefd[2];
  if (pipe(pipefd) != 0) return {-1, "pipe failed"};
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(pipefd[1], STDERR_FILENO);
    const int devnull = open("/dev/null", O_WRONLY);
    dup2(devnull, STDOUT_FILENO);
    close(pipefd[0]);
    std::vector<char*> argv;
    std::string prog = VANTREL_HOST_PATH;
    argv.push_back(prog.data());
    std::vector<std::string> copy = args;
    for (std::string& a : copy) argv.push_back(a.data());
    argv.push_back(nullptr);
    execv(prog.c_str(), argv.data());
    _exit(127);
  }
  close(pipefd[1]);
  std::string err;
  char buf[4096];
  bool sent = false;
  for (ssize_t n; (n = read(pipefd[0], buf, sizeof buf)) > 0;) {
    err.append(buf, static_cast<size_t>(n));
    if (!sent && !interrupt_after.empty() && err.find(interrupt_after) != std::string::npos) {
      kill(pid, SIGINT);
      sent = true;
    }
  }
  close(pipefd[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  return {WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status), err};
}

struct Image {
  int w = 0, h = 0, n = 0;
  std::vector<float> px;
  float at(int x, int y, int c) const { return px[(static_cast<size_t>(y) * w + x) * n + c]; }
};

Image load(const std::string& path) {
  Image im;
  auto in = OIIO::ImageInput::open(path);
  if (!in) return im;
  im.w = in->spec().width;
  im.h = in->spec().height;
  im.n = in->spec().nchannels;
  im.px.resize(static_cast<size_t>(im.w) * im.h * im.n);
  in->read_image(0, 0, 0, im.n, OIIO::TypeDesc::FLOAT, im.px.data());
  return im;
}

void save(const std::string& path, int w, int h, int n, const std::vector<float>& px,
          OIIO::TypeDesc type, bool unassociated) {
  auto out = OIIO::ImageOutput::create(path);
  OIIO::ImageSpec spec(w, h, n, type);
  if (n == 4) spec.alpha_channel = 3;
  if (unassociated) spec.attribute("oiio:UnassociatedAlpha", 1);
  ASSERT_TRUE(out->open(path, spec));
  ASSERT_TRUE(out->write_image(OIIO::TypeDesc::FLOAT, px.data()));
  out->close();
}

struct Cli : ::testing::Test {
  void SetUp() override {
    h.echo_messages = false;
    plugin = harness::plugin_copy(dir);
    // Stars at a few places across a 64 x 48 frame looking at right ascension 90.
    std::vector<harness::Star> stars;
    for (int i = 0; i < 6; ++i)
      stars.push_back(harness::ahead(-15.0 + 6 * i, -6.0 + 2.4 * i, 0.3f));
    db = dir.file("small.stars");
    harness::write_db(h, db, stars);
  }
  std::string scene(const std::vector<std::string>& extra = {}) {
    const std::string path = dir.file("s.vsc");
    std::vector<std::string> args = {"new-scene", path,    "--camera-ra", "90", "--fov",    "30",
                                     "--size",    "64x48", "--database",  db,   "--plugin", plugin};
    args.insert(args.end(), extra.begin(), extra.end());
    const RunResult r = run(args);
    EXPECT_EQ(r.status, 0) << r.err;
    return path;
  }
  std::vector<std::string> files() const {
    std::vector<std::string> names;
    FILE* p = popen(("ls -a '" + dir.path + "/out' 2>/dev/null").c_str(), "r");
    char line[512];
    while (p && fgets(line, sizeof line, p)) {
      std::string s(line);
      s.pop_back();
      if (s != "." && s != "..") names.push_back(s);
    }
    if (p) pclose(p);
    return names;
  }

  testing_support::TempDir dir;
  host::Host h;
  std::string plugin, db;
};

}  // namespace

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

TEST_F(Cli, FrameRangesWriteNumberedFiles) {
  const std::string s = scene({"--frames", "1-3"});
  std::system(("mkdir -p '" + dir.file("out") + "'").c_str());
  RunResult r = run({"render", s, "--frames", "2-4", "-o", dir.file("out/a.####.png"), "-o",
                     dir.file("out/b%03d.exr"), "--plugin", plugin, "--quiet"});
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
       "vantrel-host: cannot read " + dir.file("missing.png") + ": "},
      {{"render", s, "--background", dir.file("8x8.png"), "--plugin", plugin},
       "vantrel-host: " + dir.file("8x8.png") + " is 8 x 8, the scene's frames are 64 x 48\n"},
      {{"render", s, "-o", dir.file("no/folder/out.png"), "--plugin", plugin},
       "vantrel-host: cannot write " + dir.file("no/folder/out.png") + ": "},
      {{"render", s, "-o", dir.file("out.xyz"), "--plugin", plugin},
       "vantrel-host: cannot write " + dir.file("out.xyz") + ": "},
      {{"render", s, "--frames", "1-2", "-o", dir.file("same.png"), "--plugin", plugin},
       "vantrel-host: --output " + dir.file("same.png") +
           " needs #### or %04d to number several frames\n"},
      {{"render", s, "--frames", "3-1", "--plugin", plugin},
       "vantrel-host: --frames 3-1 ends before it starts\n"},
      {{"render", s, "--frames", "x", "--plugin", plugin},
       "vantrel-host: --frames expects A or A-B, found 'x'\n"},
      {{"new-scene", dir.file("n.vsc"), "--size", "64by48", "--plugin", plugin},
       "vantrel-host: --size expects WIDTHxHEIGHT, found '64by48'\n"},
  };
  for (const Case& c : cases) {
    const RunResult r = run(c.args);
    EXPECT_EQ(r.status, 1) << c.message << r.err;
    EXPECT_EQ(r.err.rfind(c.message, 0), 0u) << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
  }
  EXPECT_NE(run({"render"}).status, 0);  // usage errors from the option parser
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
// program alone, which passes it on to its workers.
TEST_F(Cli, InterruptCancelsCleanly) {
  std::vector<harness::Star> many;
  for (int i = 0; i < 20000; ++i)
    many.push_back(harness::ahead((i % 200) * 0.1 - 10, (i / 200) * 0.1 - 5, 0.01f));
  harness::write_db(h, db, many);
  const std::string s = scene({"--frames", "1-500"});
  for (const char* jobs : {"1", "2"}) {
    std::system(("rm -rf '" + dir.file("out") + "'; mkdir -p '" + dir.file("out") + "'").c_str());
    const RunResult r =
        run({"render", s, "-o", dir.file("out/f####.png"), "--plugin", plugin, "--jobs", jobs},
            "wrote");
    EXPECT_EQ(r.status, 130) << jobs << r.err;
    EXPECT_NE(r.err.find("cancelled at frame "), std::string::npos) << r.err;
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

  const RunResult bad = run({"render", s, "-o", dir.file("no/folder/f####.png"), "--plugin", plugin,
                             "--jobs", "2", "--quiet"});
  EXPECT_EQ(bad.status, 1);
  EXPECT_EQ(bad.err.rfind("vantrel-host: cannot write " + dir.file("no/folder/f000"), 0), 0u)
      << bad.err;
  EXPECT_EQ(std::count(bad.err.begin(), bad.err.end(), '\n'), 1) << bad.err;
}
