// Test harness for the plug-in: a host with a scene and a camera, the built
// plug-in loaded through the host's loader, and star databases written
// through the host's file service.
#pragma once

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "LW/callbacks.h"
#include "LW/instance.h"
#include "LW/module_state.h"
#include "host/core/filter.h"
#include "host/core/host.h"
#include "host/core/plugin.h"
#include "host/core/render.h"
#include "host/core/session.h"
#include "host/panel/panel.h"
#include "stardb/star_record.h"
#include "testsupport/test_support.h"

namespace harness {

// Why the tests of a read that fails after a successful open are skipped on
// Windows. The ReadFile failure itself is tested in osapi_test.
constexpr const char* kNoReadFailure =
    "POSIX only: these tests make a read fail after the open by opening a folder as the file, "
    "which Windows refuses at CreateFileA already";

constexpr double kPi = 3.14159265358979323846;

struct Star {
  double ra, dec;
  float brightness;
  unsigned char r = 255, g = 255, b = 255;
  double distance = 0.0;
};

inline std::string star_record(const Star& s) {
  star_db::StarRecord r;
  r.ra = s.ra, r.dec = s.dec, r.brightness = s.brightness;
  r.red = s.r, r.green = s.g, r.blue = s.b;
  r.distance = s.distance;
  unsigned char bytes[star_db::kRecordSize];
  star_db::encode(r, bytes);
  return std::string(reinterpret_cast<const char*>(bytes), sizeof bytes);
}

// Writes a database through the host's "File IO 2" in binary mode.
inline void write_db(host::Host& h, const std::string& path, const std::vector<Star>& stars,
                     const char* magic = "VANTREL2") {
  auto* io = static_cast<const VHFileIOFuncs*>(h.global(VH_FILE_IO));
  st_LWSaveState* s = io->open_save(io, path.c_str(), VH_IO_BINARY);
  ASSERT_NE(s, nullptr) << path;
  std::string bytes = std::string(magic, star_db::kMagicSize) +
                      std::string(star_db::kRecordSize - star_db::kMagicSize, '\0');
  for (const Star& star : stars) bytes += star_record(star);
  s->write(s->data, bytes.data(), static_cast<int>(bytes.size()));
  ASSERT_EQ(io->close_save(io, s), 0);
}

// The direction straight ahead of an unturned camera is +Z: right ascension 90.
// A star `right` degrees to the right and `up` degrees up of it:
inline Star ahead(double right_deg, double up_deg, float brightness = 0.2f) {
  return Star{90.0 - right_deg, up_deg, brightness};
}

// A copy of the built plug-in in a folder of its own, so that its
// configuration file and default database are the test's own.
inline std::string plugin_copy(const testing_support::TempDir& dir) {
  namespace fs = std::filesystem;
  const fs::path src = VANTREL_PLUGIN_PATH;
  const fs::path folder = dir.file("plugin");
  const fs::path dst = folder / src.filename();
  // A loaded library must never be overwritten in place: copy once, by rename.
  std::error_code ec;
  if (!fs::exists(dst, ec)) {
    fs::create_directories(folder, ec);
    fs::path tmp = dst;
    tmp += ".tmp";
    fs::copy_file(src, tmp, fs::copy_options::overwrite_existing, ec);
    if (!ec) fs::rename(tmp, dst, ec);
  }
  EXPECT_FALSE(ec) << "copying " << src << " to " << dst << ": " << ec.message();
  return dst.string();
}

struct Harness {
  explicit Harness(int width = 200, int height = 100) {
    host.echo_messages = false;
    host.scene.render.width = width;
    host.scene.render.height = height;
    host.scene.render.fps = 24.0;
    cam = &host.scene.add(host::ItemKind::Camera, "Camera");
    cam->camera.zoom = host::Channel(2.0);
    library = std::make_unique<host::PluginLibrary>(plugin_copy(dir));
#ifdef _WIN32
    EXPECT_TRUE(
        testing_support::capture_error_boxes(testing_support::module_at(&library->descriptor())));
#endif
    server = std::make_unique<host::ImageFilterServer>(*library, "Vantrel");
  }

  // A new instance reading the given database, with linear pixels.
  std::unique_ptr<host::FilterInstance> instance(const std::string& db) {
    auto f = std::make_unique<host::FilterInstance>(*server);
    settings(*f).StarFile = db.c_str();
    settings(*f).sRGBFrameBuffer = 0;
    return f;
  }
  static vantrel& settings(const host::FilterInstance& f) {
    return *static_cast<vantrel*>(f.handle());
  }

  std::string db(const std::vector<Star>& stars, const char* magic = "VANTREL2",
                 const std::string& name = "stars.stars") {
    std::string path = dir.file(name);
    write_db(host, path, stars, magic);
    return path;
  }

  host::FrameImage render(const host::FilterInstance& f, int frame = 0, float background = 0.0f,
                          float alpha = 0.0f) {
    host::FrameImage image(host.scene.render.width, host.scene.render.height);
    std::fill(image.red.begin(), image.red.end(), background);
    std::fill(image.green.begin(), image.green.end(), background);
    std::fill(image.blue.begin(), image.blue.end(), background);
    std::fill(image.alpha.begin(), image.alpha.end(), alpha);
    host::run_filters(host, {&f}, image, frame);
    return image;
  }

  // The framebuffer x of a direction `right_deg` to the right of the view
  // axis under Perspective, from the camera's horizontal field of view.
  double perspective_x(double right_deg) const {
    double hfov, vfov;
    host.scene.fov(*cam, 0.0, hfov, vfov);
    const double w = host.scene.render.width;
    return w / 2 * (1.0 + std::tan(right_deg * kPi / 180) / std::tan(hfov / 2));
  }

  testing_support::TempDir dir;  // first: it outlives the library loaded from it
  host::Host host;
  host::Item* cam;
  std::unique_ptr<host::PluginLibrary> library;
  std::unique_ptr<host::ImageFilterServer> server;
};

// A harness whose host has the panel toolkit, answered by a script. Whatever
// the plug-in asks of the toolkit that the model does not accept, and every
// dialog the script does not answer, fails the test.
struct PanelHarness : Harness {
  PanelHarness() : kit(host, front) {}
  ~PanelHarness() {
    for (const std::string& p : kit.problems) ADD_FAILURE() << "panel toolkit: " << p;
    for (const std::string& u : front.unexpected) ADD_FAILURE() << "front end: " << u;
  }
  // The errors the plug-in showed through the host, in order.
  std::vector<std::string> errors() const {
    std::vector<std::string> e;
    for (const host::Message& m : host.messages)
      if (m.kind == host::Message::Error)
        e.push_back(m.first + (m.second.empty() ? "" : "|" + m.second));
    return e;
  }
  host::ScriptedFrontEnd front;
  host::PanelToolkit kit;
};

inline double sum(const std::vector<float>& v) {
  double s = 0;
  for (float x : v) s += x;
  return s;
}

// Light-weighted centre of a plane.
inline void centroid(const host::FrameImage& im, double& cx, double& cy) {
  double s = 0, sx = 0, sy = 0;
  for (int y = 0; y < im.height; ++y)
    for (int x = 0; x < im.width; ++x) {
      const double v = im.red[static_cast<size_t>(y) * im.width + x];
      s += v;
      sx += v * x;
      sy += v * y;
    }
  cx = s > 0 ? sx / s : -1;
  cy = s > 0 ? sy / s : -1;
}

inline void brightest(const host::FrameImage& im, int& bx, int& by) {
  float best = -1;
  bx = by = -1;
  for (int y = 0; y < im.height; ++y)
    for (int x = 0; x < im.width; ++x) {
      const float v = im.red[static_cast<size_t>(y) * im.width + x];
      if (v > best) {
        best = v;
        bx = x;
        by = y;
      }
    }
}

}  // namespace harness

namespace harness {

// For tests that link the plug-in's core statically: the load-time entry is
// pointed at a copy of the plug-in in a temporary folder, which becomes
// plugin_directory(), and the host's services are handed over as an
// activation would.
struct StaticPlugin {
  StaticPlugin() : copy(plugin_copy(dir)), library(copy) {
    host.echo_messages = false;
#ifdef _WIN32
    // The core is linked into this program: its reports are this program's boxes.
    EXPECT_TRUE(testing_support::capture_error_boxes(GetModuleHandleA(nullptr)));
#endif
    vantrel_load_entry(library.symbol("_mod_descrip"), 1);
    VantrelHost& h = vantrel_module.host;
    h.global = &host::Host::global_lookup;
    h.scene = static_cast<const VHSceneInfo*>(host.global(VH_SCENE_INFO));
    h.camera = static_cast<const VHCameraInfo*>(host.global(VH_CAMERA_INFO));
    h.items = static_cast<const VHItemInfo*>(host.global(VH_ITEM_INFO));
    h.messages = static_cast<const VHMessageFuncs*>(host.global(VH_MESSAGES));
    h.fileio = static_cast<const VHFileIOFuncs*>(host.global(VH_FILE_IO));
  }
  ~StaticPlugin() {
    vantrel_load_entry(nullptr, 1);
    reset_vantrel_module();
  }
  std::string folder() const { return dir.file("plugin"); }
  std::string in_folder(const std::string& name) const {
    return (std::filesystem::path(folder()) / name).make_preferred().string();
  }

  testing_support::TempDir dir;
  host::Host host;
  std::string copy;
  host::SharedLibrary library;
};

// An instance of the statically linked core, made and destroyed by its callbacks.
struct Instance {
  Instance() : v(static_cast<vantrel*>(vantrel_create(nullptr, nullptr, nullptr))) {}
  Instance(const Instance&) = delete;
  Instance& operator=(const Instance&) = delete;
  ~Instance() { vantrel_destroy(v); }
  vantrel* v;
};

// The environment's count of threads for a frame's bands, while in scope.
class ThreadsInEnvironment {
public:
  explicit ThreadsInEnvironment(const char* count) { set(count); }
  ~ThreadsInEnvironment() { set(nullptr); }

private:
  static void set(const char* count) {
#ifdef _WIN32
    _putenv_s("VANTREL_THREADS", count ? count : "");
#else
    if (count)
      setenv("VANTREL_THREADS", count, 1);
    else
      unsetenv("VANTREL_THREADS");
#endif
  }
};

}  // namespace harness
