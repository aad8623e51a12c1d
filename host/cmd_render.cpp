// vantrel-host render: the frames of a scene, through its image filters, to images.
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "host/commands.h"
#include "host/images.h"
#include "host/jobs.h"
#include "host/scenefile.h"

namespace host {

namespace {

std::atomic<bool> cancel_requested{false};
extern "C" void on_interrupt(int) { cancel_requested = true; }

struct RenderOptions {
  std::string scene, frames, background, plugin;
  std::vector<std::string> outputs;
  bool quiet = false, keep_alpha = false;
  int jobs = 0;
};

// The sRGBFrameBuffer setting of a filter, read from the blocks it saves.
std::optional<bool> filter_srgb(const FilterInstance& f) {
  for (const Block& b : f.save())
    if (b.keyword == "sRGBFrameBuffer" && b.leaf) return std::stoi(b.text) != 0;
  return std::nullopt;
}

class ProgressBar : public FrameReporter {
public:
  ProgressBar(bool quiet) : quiet(quiet), tty(isatty(STDERR_FILENO)) {}
  void frame(int f) override {
    current = f;
    last_tenth = -1;
  }
  void report(unsigned done, unsigned total) override {
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
  void line(const std::string& text) override {
    if (quiet) return;
    if (drawn) fputs("\r\033[K", stderr);
    drawn = false;
    fprintf(stderr, "%s\n", text.c_str());
  }

private:
  bool quiet, tty, drawn = false;
  int current = 0, last_tenth = -1;
};

int render(RenderOptions o) {
  Host h;
  h.echo_messages = true;
  Session session(h, o.plugin.empty() ? default_plugin_path(program_dir(), 64) : o.plugin);
  session.load(o.scene);
  const RenderSettings& r = h.scene.render;
  int first = r.first_frame, last = r.last_frame;
  if (!o.frames.empty()) parse_range("--frames", o.frames, first, last);
  const int step = o.frames.empty() ? r.frame_step : 1;
  const bool several = last > first;
  if (o.outputs.empty()) {
    std::string base = o.scene.substr(o.scene.find_last_of('/') + 1);
    base = base.substr(0, base.find_last_of('.'));
    o.outputs.push_back(base + (several ? ".####.png" : ".png"));
  }
  for (const std::string& out : o.outputs)
    if (several && !is_frame_pattern(out))
      throw HostError("--output " + out + " needs #### or %04d to number several frames");
  if (several && !o.background.empty() && !is_frame_pattern(o.background))
    throw HostError("--background " + o.background +
                    " needs #### or %04d to number several frames");

  // The frame's values are as the background stores them; without one, in
  // the encoding the filters expect.
  std::optional<bool> srgb;
  for (const FilterInstance* f : session.filter_list()) {
    const std::optional<bool> s = filter_srgb(*f);
    if (s && srgb && *s != *srgb)
      fprintf(stderr, "warning: the scene's filters disagree on sRGBFrameBuffer\n");
    if (s && !srgb) srgb = s;
  }

  ProgressBar display(o.quiet);
  std::signal(SIGINT, on_interrupt);

  const RenderFrame render_frame = [&](int frame, FrameReporter& bar) {
    const auto start = std::chrono::steady_clock::now();
    Progress progress;
    progress.report = [&](unsigned done, unsigned total) { bar.report(done, total); };
    progress.cancel = &cancel_requested;
    FrameImage image(r.width, r.height);
    Encoding encoding = srgb.value_or(true) ? Encoding::SRGB : Encoding::Linear;
    if (!o.background.empty()) {
      const std::string bg = frame_path(o.background, frame);
      encoding = read_image(bg, image);
      if (srgb && *srgb != (encoding == Encoding::SRGB))
        fprintf(
            stderr,
            "warning: %s holds %s values but the filter treats pixels as %s (sRGBFrameBuffer %d)\n",
            bg.c_str(), encoding_name(encoding), *srgb ? "sRGB" : "linear", *srgb ? 1 : 0);
    }
    if (!run_filters(h, session.filter_list(), image, frame, progress)) {
      bar.line("cancelled at frame " + std::to_string(frame) + ": nothing written for it");
      return false;
    }
    for (const std::string& pattern : o.outputs) {
      const std::string out = frame_path(pattern, frame);
      const long lost = write_image(out, image, encoding, o.keep_alpha);
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
    return true;
  };
  FrameRun run;
  for (int frame = first; frame <= last; frame += step) run.frames.push_back(frame);
  run.jobs = o.jobs;
  run.cancel = &cancel_requested;
  return render_frames(run, display, render_frame);
}

}  // namespace

Command render_command(CLI::App& app) {
  auto o = std::make_shared<RenderOptions>();
  CLI::App* r = app.add_subcommand("render", "render the frames of a scene to images");
  r->add_option("scene", o->scene, "scene file")->required();
  r->add_option("--frames", o->frames, "frame or range A-B (default: the scene's range)");
  r->add_option("--background", o->background,
                "image under each frame (#### or %04d for the number)");
  r->add_option("--output,-o", o->outputs,
                "image to write (#### or %04d for the number); may repeat");
  r->add_option("--plugin", o->plugin,
                "the plug-in library (default: vantrel64.so beside this program)");
  r->add_option("--jobs,-j", o->jobs,
                "frames rendered side by side, each by a worker process (default 0: one per core)")
      ->check(CLI::NonNegativeNumber);
  r->add_flag("--quiet,-q", o->quiet, "no progress and no report of written files");
  r->add_flag("--keep-alpha", o->keep_alpha, "write alpha into PNG and TIFF (EXR always has it)");
  return {r, [o] { return render(*o); }};
}

}  // namespace host
