// Running vantrel-host in tests: the program, a scene with a small database,
// and images in and out.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "testsupport/test_harness.h"
// The plug-in's ASSERT is not used here; OpenImageIO defines one of its own.
#undef ASSERT
#include <OpenImageIO/imageio.h>

#include "host/images/images.h"

using testing_support::RunOptions;
using testing_support::RunResult;

// Runs vantrel-host (or the program VANTREL_TEST_HOST names, to try these
// tests on another build) with arguments.
inline RunResult run(const std::vector<std::string>& args, const RunOptions& o = RunOptions()) {
  const char* other = getenv("VANTREL_TEST_HOST");
  return testing_support::run_program(other ? other : VANTREL_HOST_PATH, args, o);
}

struct Image {
  int w = 0, h = 0, n = 0;
  std::vector<float> px;
  float at(int x, int y, int c) const { return px[(static_cast<size_t>(y) * w + x) * n + c]; }
};

inline Image load(const std::string& path) {
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

inline void save(const std::string& path, int w, int h, int n, const std::vector<float>& px,
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
    unlink(path.c_str());  // a fresh scene each time: new-scene keeps an existing file
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
