// vantrel-host render: the frames of a scene, through its image filters, to images.
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "host/cli/commands.h"
#include "host/cli/jobs.h"
#include "host/cli/memory.h"
#include "host/cli/preflight.h"
#include "host/core/session.h"
#include "host/core/star_filter.h"
#include "host/images/images.h"

namespace host {

namespace {

// The signal that asked to stop, or 0. The render stops between frames, or
// inside a filter through its monitor; a second signal ends the program.
std::atomic<int> stop_signal{0};
std::atomic<bool> cancel_requested{false};
extern "C" void on_stop(int sig) {
  stop_signal = sig;
  cancel_requested = true;
}

void catch_stop_signals() {
  struct sigaction sa = {};
  sa.sa_handler = on_stop;
  sa.sa_flags = SA_RESTART | SA_RESETHAND;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
}

struct RenderOptions {
  std::string scene, frames, background, plugin;
  std::vector<std::string> outputs;
  bool quiet = false, keep_alpha = false, keep_going = false;
  bool allow_default_database = false;
  int jobs = 0;
};

// What the run reads and writes, for the checks before its first frame.
RunInputs run_inputs(const RenderOptions& o, const FrameRun& span, const RenderSettings& r) {
  RunInputs in;
  in.scene = o.scene, in.background = o.background, in.outputs = o.outputs;
  for (long long i = 0; i < span.count(); ++i) in.frames.push_back(static_cast<int>(span.frame(i)));
  in.width = r.width, in.height = r.height;
  in.keep_going = o.keep_going, in.allow_default_database = o.allow_default_database;
  return in;
}

class ProgressBar : public FrameReporter {
public:
  ProgressBar(bool quiet) : quiet(quiet), tty(isatty(STDERR_FILENO)) {}
  void frame(long long f) override {
    current = f;
    last_tenth = -1;
  }
  void report(unsigned done, unsigned total) override {
    if (quiet || total == 0) return;
    const int percent = static_cast<int>(100.0 * std::min(done, total) / total);
    if (tty) {
      const int filled = percent / 5;
      fprintf(stderr, "\rframe %lld [%s%s] %3d%%", current, std::string(filled, '#').c_str(),
              std::string(20 - filled, '.').c_str(), percent);
      fflush(stderr);
      drawn = true;
    } else if (percent / 10 > last_tenth) {
      last_tenth = percent / 10;
      fprintf(stderr, "frame %lld: %d%%\n", current, percent);
    }
  }
  void line(const std::string& text) override {
    if (!quiet) tell(text);
  }
  void tell(const std::string& text) override {
    if (drawn) fputs("\r\033[K", stderr);
    drawn = false;
    fprintf(stderr, "%s\n", text.c_str());
  }

private:
  bool quiet, tty, drawn = false;
  long long current = 0;
  int last_tenth = -1;
};

FrameRun frames_to_render(const RenderOptions& o, const RenderSettings& r) {
  FrameRun run;
  if (o.frames.empty()) {
    run.first = r.first_frame, run.last = r.last_frame, run.step = r.frame_step;
    return run;
  }
  int first, last;
  parse_range("--frames", o.frames, first, last);
  run.first = first, run.last = last;
  return run;
}

std::string gib(uint64_t bytes) {
  char text[32];
  snprintf(text, sizeof text, "%.1f GiB", static_cast<double>(bytes) / (1u << 30));
  return text;
}

// Refuses a frame size the machine cannot hold before anything is allocated,
// rather than swapping or meeting the kernel's out-of-memory killer.
void check_memory(const RenderSettings& r) {
  const uint64_t need = frame_memory_needed(r.width, r.height), have = memory_available();
  if (have && need > have)
    throw HostError("frames of " + std::to_string(r.width) + " x " + std::to_string(r.height) +
                    " pixels need about " + gib(need) + " of memory; " + gib(have) +
                    " is available");
}

// Frames side by side: as many as asked for (0: one per core), and no more
// than the machine's memory holds at once.
int jobs_that_fit(int asked, const RenderSettings& r) {
  const long jobs = asked > 0 ? asked : usable_cores();
  const uint64_t need = frame_memory_needed(r.width, r.height), have = memory_available();
  if (!have || need * static_cast<uint64_t>(jobs) <= have) return static_cast<int>(jobs);
  const int fit = static_cast<int>(std::max<uint64_t>(have / need, 1));
  if (asked > 0)
    fprintf(stderr, "warning: --jobs %d needs about %s of memory; %s is available: %d at a time\n",
            asked, gib(need * static_cast<uint64_t>(jobs)).c_str(), gib(have).c_str(), fit);
  return fit;
}

class Renderer {
public:
  Renderer(RenderOptions& options) : o(options), bar(options.quiet) {}
  int run();

private:
  void prepare(const FrameRun& span);
  // Renders and writes one frame, here or in a worker; the frame's outcome.
  FrameResult frame(long long number, FrameReporter& out);
  FrameResult failed(long long number, FrameReporter& out) {
    out.tell("vantrel-host: frame " + std::to_string(number) + " failed: nothing written for it" +
             (o.keep_going ? "" : "; stopping (--keep-going goes on to the next frame)"));
    return FrameResult::Failed;
  }
  int stopped(long long number) {
    bar.tell("cancelled at frame " + std::to_string(number) + ": nothing written for it");
    // A worker may have been stopped alone; it stopped as if by Ctrl-C.
    return 128 + (stop_signal ? stop_signal.load() : SIGINT);
  }

  RenderOptions& o;
  Host h;
  std::unique_ptr<Session> session;
  ProgressBar bar;
  std::optional<bool> srgb;
  std::unique_ptr<FrameImage> frame_image;
};

void Renderer::prepare(const FrameRun& span) {
  const bool several = span.last > span.first;
  if (o.outputs.empty()) {
    std::string base = name_of(o.scene);
    base = base.substr(0, base.find_last_of('.'));
    o.outputs.push_back(base + (several ? ".####.png" : ".png"));
  }
  for (const std::string& out : o.outputs)
    if (several && !is_frame_pattern(out))
      throw HostError("--output " + out + " needs #### or %04d to number several frames");
  if (several && !o.background.empty() && !is_frame_pattern(o.background))
    throw HostError("--background " + o.background +
                    " needs #### or %04d to number several frames");
  check_memory(h.scene.render);
  check_run_inputs(run_inputs(o, span, h.scene.render));
  for (const std::string& out : o.outputs) remove_stale_temporaries_of(out);

  // The frame's values are as the background stores them; without one, in
  // the encoding the filters expect.
  for (const FilterInstance* f : session->filter_list()) {
    const std::optional<bool> s = star_filter::srgb(*f);
    if (s && srgb && *s != *srgb)
      fprintf(stderr, "warning: the scene's filters disagree on sRGBFrameBuffer\n");
    if (s && !srgb) srgb = s;
  }
}

FrameResult Renderer::frame(long long number, FrameReporter& out) {
  const int f = static_cast<int>(number);
  const auto start = std::chrono::steady_clock::now();
  Progress progress;
  progress.report = [&out](unsigned done, unsigned total) { out.report(done, total); };
  progress.cancel = &cancel_requested;
  const RenderSettings& r = h.scene.render;
  // One frame's planes for the whole sequence: allocating them afresh
  // every frame had the kernel fault in and zero 16 bytes a pixel again.
  if (!frame_image)
    frame_image = std::make_unique<FrameImage>(r.width, r.height);
  else
    frame_image->clear();
  FrameImage& image = *frame_image;
  Encoding encoding = srgb.value_or(true) ? Encoding::SRGB : Encoding::Linear;
  if (!o.background.empty()) {
    const std::string bg = frame_path(o.background, f);
    try {
      encoding = read_image(bg, image);
    } catch (const HostError& e) {
      // One missing or damaged plate fails its frame; --keep-going goes on past it.
      out.tell(std::string("vantrel-host: ") + e.what());
      return failed(number, out);
    }
    if (srgb && *srgb != (encoding == Encoding::SRGB))
      fprintf(
          stderr,
          "warning: %s holds %s values but the filter treats pixels as %s (sRGBFrameBuffer %d)\n",
          bg.c_str(), encoding_name(encoding), *srgb ? "sRGB" : "linear", *srgb ? 1 : 0);
  }
  const FrameResult result = run_frame(h, session->filter_list(), image, f, progress);
  if (result == FrameResult::Failed) return failed(number, out);
  if (result != FrameResult::Done) return result;
  for (const std::string& pattern : o.outputs) {
    const std::string file = frame_path(pattern, f);
    const long lost = write_image(file, image, encoding, o.keep_alpha);
    if (lost)
      fprintf(stderr,
              "warning: %s: %ld pixels of light with no coverage cannot be kept with alpha\n",
              file.c_str(), lost);
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    char msg[64];
    snprintf(msg, sizeof msg, " (%.2f s)", seconds);
    out.line("frame " + std::to_string(number) + ": wrote " + file + msg);
  }
  return FrameResult::Done;
}

int Renderer::run() {
  check_scene_databases(run_inputs(o, FrameRun(), h.scene.render));
  session = std::make_unique<Session>(h, plugin_path(o.plugin));
  session->load(o.scene);
  FrameRun frames = frames_to_render(o, h.scene.render);
  prepare(frames);
  frames.jobs = jobs_that_fit(o.jobs, h.scene.render);
  frames.keep_going = o.keep_going;
  frames.cancel = &cancel_requested;
  const RunOutcome outcome =
      render_frames(frames, bar, [this](long long n, FrameReporter& out) { return frame(n, out); });
  if (outcome.cancelled_at) return stopped(*outcome.cancelled_at);
  if (outcome.failed.empty()) return 0;
  if (!o.keep_going) return 1;
  bar.tell("vantrel-host: " + std::to_string(outcome.failed.size()) + " of " +
           std::to_string(frames.count()) + " frames failed");
  return 1;
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
  add_plugin_option(r, o->plugin);
  r->add_option("--jobs,-j", o->jobs,
                "frames rendered side by side, each by a worker process, at most 256 "
                "(default 0: one per core)")
      ->check(CLI::Range(0, 256));
  r->add_flag("--quiet,-q", o->quiet, "no progress and no report of written files");
  r->add_flag("--keep-alpha", o->keep_alpha, "write alpha into PNG and TIFF (EXR always has it)");
  r->add_flag("--allow-default-database", o->allow_default_database,
              "render with the plug-in's default star database when the scene's cannot be read "
              "(the plug-in warns; otherwise such a scene is refused)");
  r->add_flag("--keep-going", o->keep_going,
              "after a frame fails, go on with the next one (the exit status is still 1)");
  return {r, [o] {
            catch_stop_signals();
            Renderer renderer(*o);
            return renderer.run();
          }};
}

}  // namespace host
