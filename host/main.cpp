// vantrel-host: renders scenes with the plug-in, and writes new scenes.
//
//   vantrel-host render SCENE [--frames A-B] [--background PATTERN] [--output PATTERN]...
//   vantrel-host new-scene OUT [--camera-ra DEG] [--camera-dec DEG] [--fov DEG] [--size WxH] ...
//
// Every failure is one line on the standard error stream and a non-zero exit status.
#include <unistd.h>

#include <CLI/CLI.hpp>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <optional>
#include <string>

#include "host/images.h"
#include "host/scenefile.h"

namespace {

std::atomic<bool> cancel_requested{false};
extern "C" void on_interrupt(int) { cancel_requested = true; }

std::string program_dir() {
  char buf[4096];
  const ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n <= 0) return ".";
  buf[n] = '\0';
  std::string path(buf);
  return path.substr(0, path.find_last_of('/'));
}

void parse_range(const std::string& text, int& first, int& last) {
  const std::string::size_type dash = text.find('-', 1);
  try {
    size_t used = 0;
    first = std::stoi(text.substr(0, dash), &used);
    if (used != (dash == std::string::npos ? text.size() : dash)) throw std::invalid_argument("");
    last = first;
    if (dash != std::string::npos) {
      last = std::stoi(text.substr(dash + 1), &used);
      if (used != text.size() - dash - 1) throw std::invalid_argument("");
    }
  } catch (const std::exception&) {
    throw host::HostError("--frames expects A or A-B, found '" + text + "'");
  }
  if (last < first) throw host::HostError("--frames " + text + " ends before it starts");
}

// The sRGBFrameBuffer setting of a filter, read from the blocks it saves.
std::optional<bool> filter_srgb(const host::FilterInstance& f) {
  for (const host::Block& b : f.save())
    if (b.keyword == "sRGBFrameBuffer" && b.leaf) return std::stoi(b.text) != 0;
  return std::nullopt;
}

class ProgressBar {
public:
  ProgressBar(bool quiet) : quiet(quiet), tty(isatty(STDERR_FILENO)) {}
  void frame(int f) {
    current = f;
    last_tenth = -1;
  }
  void report(unsigned done, unsigned total) {
    if (quiet || total == 0) return;
    const int percent = static_cast<int>(100.0 * std::min(done, total) / total);
    if (tty) {
      const int filled = percent / 5;
      fprintf(stderr, "\rframe %d [%s%s] %3d%%", current, std::string(filled, '#').c_str(),
              std::string(20 - filled, '.').c_str(), percent);
      fflush(stderr);
      drawn = true;
    } else if (percent / 10 > last_tenth) {
      last_tenth = percent / 10;
      fprintf(stderr, "frame %d: %d%%\n", current, percent);
    }
  }
  void line(const std::string& text) {
    if (quiet) return;
    if (drawn) fputs("\r\033[K", stderr);
    drawn = false;
    fprintf(stderr, "%s\n", text.c_str());
  }

private:
  bool quiet, tty, drawn = false;
  int current = 0, last_tenth = -1;
};

int render(const std::string& scene_path, const std::string& frames, const std::string& background,
           std::vector<std::string> outputs, const std::string& plugin, bool quiet,
           bool keep_alpha) {
  host::Host h;
  h.echo_messages = true;
  host::Session session(h, plugin.empty() ? host::default_plugin_path(program_dir(), 64) : plugin);
  session.load(scene_path);
  const host::RenderSettings& r = h.scene.render;
  int first = r.first_frame, last = r.last_frame;
  if (!frames.empty()) parse_range(frames, first, last);
  const int step = frames.empty() ? r.frame_step : 1;
  const bool several = last > first;
  if (outputs.empty()) {
    std::string base = scene_path.substr(scene_path.find_last_of('/') + 1);
    base = base.substr(0, base.find_last_of('.'));
    outputs.push_back(base + (several ? ".####.png" : ".png"));
  }
  for (const std::string& o : outputs)
    if (several && !host::is_frame_pattern(o))
      throw host::HostError("--output " + o + " needs #### or %04d to number several frames");
  if (several && !background.empty() && !host::is_frame_pattern(background))
    throw host::HostError("--background " + background +
                          " needs #### or %04d to number several frames");

  // The frame's values are as the background stores them; without one, in
  // the encoding the filters expect.
  std::optional<bool> srgb;
  for (const host::FilterInstance* f : session.filter_list()) {
    const std::optional<bool> s = filter_srgb(*f);
    if (s && srgb && *s != *srgb)
      fprintf(stderr, "warning: the scene's filters disagree on sRGBFrameBuffer\n");
    if (s && !srgb) srgb = s;
  }

  ProgressBar bar(quiet);
  host::Progress progress;
  progress.report = [&](unsigned done, unsigned total) { bar.report(done, total); };
  progress.cancel = &cancel_requested;
  std::signal(SIGINT, on_interrupt);

  for (int frame = first; frame <= last; frame += step) {
    const auto start = std::chrono::steady_clock::now();
    bar.frame(frame);
    host::FrameImage image(r.width, r.height);
    host::Encoding encoding = srgb.value_or(true) ? host::Encoding::SRGB : host::Encoding::Linear;
    if (!background.empty()) {
      const std::string bg = host::frame_path(background, frame);
      encoding = host::read_image(bg, image);
      if (srgb && *srgb != (encoding == host::Encoding::SRGB))
        fprintf(
            stderr,
            "warning: %s holds %s values but the filter treats pixels as %s (sRGBFrameBuffer %d)\n",
            bg.c_str(), host::encoding_name(encoding), *srgb ? "sRGB" : "linear", *srgb ? 1 : 0);
    }
    if (!host::run_filters(h, session.filter_list(), image, frame, progress)) {
      bar.line("cancelled at frame " + std::to_string(frame) + ": nothing written for it");
      return 130;
    }
    for (const std::string& o : outputs) {
      const std::string out = host::frame_path(o, frame);
      const long lost = host::write_image(out, image, encoding, keep_alpha);
      if (lost)
        fprintf(stderr,
                "warning: %s: %ld pixels of light with no coverage cannot be kept with alpha\n",
                out.c_str(), lost);
      const double seconds =
          std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
      char msg[64];
      snprintf(msg, sizeof msg, " (%.2f s)", seconds);
      bar.line("frame " + std::to_string(frame) + ": wrote " + out + msg);
    }
  }
  return 0;
}

struct NewScene {
  double ra = 0, dec = 0, fov = 40;
  std::string size = "1920x1080", frames = "1-1", database, plugin, name;
  double fps = 24;
  bool linear = false;
  int blur_segs = -1;
  std::string projection;
};

// Replaces the values of a top-level leaf, keeping its place.
void set_leaf(host::BlockList& blocks, const std::string& keyword, const std::string& values) {
  for (host::Block& b : blocks)
    if (b.keyword == keyword && b.leaf) {
      b.text = " " + values;
      return;
    }
  throw host::HostError("the plug-in's settings have no " + keyword);
}

int new_scene(const std::string& out, const NewScene& o) {
  host::Host h;
  h.echo_messages = true;
  const std::string::size_type slash = out.find_last_of('/');
  h.content_dir = slash == std::string::npos ? "." : out.substr(0, slash);
  host::Session session(h,
                        o.plugin.empty() ? host::default_plugin_path(program_dir(), 64) : o.plugin);

  host::Scene& scene = h.scene;
  scene.name = o.name.empty() ? out.substr(slash == std::string::npos ? 0 : slash + 1) : o.name;
  int w = 0, ht = 0;
  char x = 0;
  if (sscanf(o.size.c_str(), "%d%c%d", &w, &x, &ht) != 3 || (x != 'x' && x != 'X') || w <= 0 ||
      ht <= 0)
    throw host::HostError("--size expects WIDTHxHEIGHT, found '" + o.size + "'");
  scene.render.width = w;
  scene.render.height = ht;
  scene.render.fps = o.fps;
  parse_range(o.frames, scene.render.first_frame, scene.render.last_frame);
  if (!(o.fov > 0 && o.fov < 180)) throw host::HostError("--fov expects degrees between 0 and 180");
  host::Item& cam = scene.add(host::ItemKind::Camera, "Camera");
  // Aim: heading turns +Z towards +X, so right ascension a lies at heading 90 - a; pitch is down.
  cam.motion.rotation[0] = host::Channel(90.0 - o.ra);
  cam.motion.rotation[1] = host::Channel(-o.dec);
  cam.camera.zoom = host::zoom_for_vertical_fov(o.fov);

  // The filter's settings are the plug-in's own defaults, with the few asked for.
  host::FilterInstance& f = session.add_filter("Vantrel");
  host::BlockList settings = f.save();
  set_leaf(settings, "sRGBFrameBuffer", o.linear ? "0" : "1");
  if (!o.database.empty()) set_leaf(settings, "StarFile", host::quote(o.database));
  if (o.blur_segs >= 0) set_leaf(settings, "BlurSegs", std::to_string(o.blur_segs));
  if (!o.projection.empty()) set_leaf(settings, "Projection", host::quote(o.projection));
  f.load(settings);
  session.save(out);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"vantrel-host: renders star fields into frames with the Vantrel plug-in"};
  app.require_subcommand(1);

  std::string scene, frames, background, plugin;
  std::vector<std::string> outputs;
  bool quiet = false, keep_alpha = false;
  CLI::App* r = app.add_subcommand("render", "render the frames of a scene to images");
  r->add_option("scene", scene, "scene file")->required();
  r->add_option("--frames", frames, "frame or range A-B (default: the scene's range)");
  r->add_option("--background", background, "image under each frame (#### or %04d for the number)");
  r->add_option("--output,-o", outputs, "image to write (#### or %04d for the number); may repeat");
  r->add_option("--plugin", plugin,
                "the plug-in library (default: vantrel64.so beside this program)");
  r->add_flag("--quiet,-q", quiet, "no progress and no report of written files");
  r->add_flag("--keep-alpha", keep_alpha, "write alpha into PNG and TIFF (EXR always has it)");

  std::string out;
  NewScene ns;
  CLI::App* n = app.add_subcommand(
      "new-scene", "write a scene with a camera and the plug-in's default settings");
  n->add_option("out", out, "scene file to write")->required();
  n->add_option("--camera-ra", ns.ra, "right ascension the camera looks at, degrees");
  n->add_option("--camera-dec", ns.dec, "declination the camera looks at, degrees");
  n->add_option("--fov", ns.fov, "vertical field of view, degrees (default 40)");
  n->add_option("--size", ns.size, "frame size WxH (default 1920x1080)");
  n->add_option("--frames", ns.frames, "frame range A-B (default 1-1)");
  n->add_option("--fps", ns.fps, "frames per second (default 24)");
  n->add_option("--database", ns.database, "star database (default: the plug-in's default)");
  n->add_option("--blur-segs", ns.blur_segs, "motion-blur segments");
  n->add_option("--projection", ns.projection,
                "Perspective, Hemispherical or AzimuthalEquidistant");
  n->add_flag("--linear", ns.linear,
              "the frames hold linear values (EXR); default sRGB-encoded (PNG)");
  n->add_option("--name", ns.name, "scene name");
  n->add_option("--plugin", ns.plugin, "the plug-in library");

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    return app.exit(e);
  }
  try {
    if (*r) return render(scene, frames, background, outputs, plugin, quiet, keep_alpha);
    return new_scene(out, ns);
  } catch (const host::HostError& e) {
    fprintf(stderr, "vantrel-host: %s\n", e.what());
    return 1;
  } catch (const std::exception& e) {
    fprintf(stderr, "vantrel-host: %s\n", e.what());
    return 1;
  }
}
