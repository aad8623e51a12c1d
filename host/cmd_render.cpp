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

#include "host/commands.h"
#include "host/images.h"
#include "host/scenefile.h"

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
};

class ProgressBar {
public:
  ProgressBar(bool quiet) : quiet(quiet), tty(isatty(STDERR_FILENO)) {}
  void frame(long long f) {
    current = f;
    last_tenth = -1;
  }
  void report(unsigned done, unsigned total) {
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
  // A line of news, left out when quiet.
  void line(const std::string& text) {
    if (!quiet) tell(text);
  }
  // A line that is always shown: failures and cancels.
  void tell(const std::string& text) {
    if (drawn) fputs("\r\033[K", stderr);
    drawn = false;
    fprintf(stderr, "%s\n", text.c_str());
  }

private:
  bool quiet, tty, drawn = false;
  long long current = 0;
  int last_tenth = -1;
};

// The frames to render. Counted in 64 bits: a range that ends at the top of
// the integer range ends there, and so does one with a huge step.
struct FrameSpan {
  long long first, last, step;
  long long count() const { return (last - first) / step + 1; }
};

FrameSpan frames_to_render(const RenderOptions& o, const RenderSettings& r) {
  if (o.frames.empty()) return {r.first_frame, r.last_frame, r.frame_step};
  int first, last;
  parse_range("--frames", o.frames, first, last);
  return {first, last, 1};
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

class Renderer {
public:
  Renderer(RenderOptions& options) : o(options), bar(options.quiet) {}
  int run();

private:
  void prepare(const FrameSpan& span);
  // Renders and writes one frame; the frame's outcome.
  FrameResult frame(long long number);
  int stopped(long long number) {
    bar.tell("cancelled at frame " + std::to_string(number) + ": nothing written for it");
    return 128 + stop_signal.load();
  }

  RenderOptions& o;
  Host h;
  std::unique_ptr<Session> session;
  ProgressBar bar;
  Progress progress;
  std::optional<bool> srgb;
};

void Renderer::prepare(const FrameSpan& span) {
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
  for (const std::string& out : o.outputs) remove_stale_temporaries_of(out);

  // The frame's values are as the background stores them; without one, in
  // the encoding the filters expect.
  for (const FilterInstance* f : session->filter_list()) {
    const std::optional<bool> s = filter_srgb(*f);
    if (s && srgb && *s != *srgb)
      fprintf(stderr, "warning: the scene's filters disagree on sRGBFrameBuffer\n");
    if (s && !srgb) srgb = s;
  }
  progress.report = [this](unsigned done, unsigned total) { bar.report(done, total); };
  progress.cancel = &cancel_requested;
}

FrameResult Renderer::frame(long long number) {
  const int f = static_cast<int>(number);
  const auto start = std::chrono::steady_clock::now();
  bar.frame(number);
  const RenderSettings& r = h.scene.render;
  FrameImage image(r.width, r.height);
  Encoding encoding = srgb.value_or(true) ? Encoding::SRGB : Encoding::Linear;
  if (!o.background.empty()) {
    const std::string bg = frame_path(o.background, f);
    encoding = read_image(bg, image);
    if (srgb && *srgb != (encoding == Encoding::SRGB))
      fprintf(
          stderr,
          "warning: %s holds %s values but the filter treats pixels as %s (sRGBFrameBuffer %d)\n",
          bg.c_str(), encoding_name(encoding), *srgb ? "sRGB" : "linear", *srgb ? 1 : 0);
  }
  const FrameResult result = run_frame(h, session->filter_list(), image, f, progress);
  if (result != FrameResult::Done) return result;
  for (const std::string& pattern : o.outputs) {
    const std::string out = frame_path(pattern, f);
    const long lost = write_image(out, image, encoding, o.keep_alpha);
    if (lost)
      fprintf(stderr,
              "warning: %s: %ld pixels of light with no coverage cannot be kept with alpha\n",
              out.c_str(), lost);
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    char msg[64];
    snprintf(msg, sizeof msg, " (%.2f s)", seconds);
    bar.line("frame " + std::to_string(number) + ": wrote " + out + msg);
  }
  return FrameResult::Done;
}

int Renderer::run() {
  session = std::make_unique<Session>(h, plugin_path(o.plugin));
  session->load(o.scene);
  const FrameSpan span = frames_to_render(o, h.scene.render);
  prepare(span);
  std::vector<long long> failed;
  for (long long n = span.first; n <= span.last; n += span.step) {
    // A stop asked for while a frame was written shows before the next one.
    if (cancel_requested) return stopped(n);
    const FrameResult result = frame(n);
    if (result == FrameResult::Cancelled) return stopped(n);
    if (result == FrameResult::Done) continue;
    failed.push_back(n);
    bar.tell("vantrel-host: frame " + std::to_string(n) + " failed: nothing written for it" +
             (o.keep_going ? "" : "; stopping (--keep-going goes on to the next frame)"));
    if (!o.keep_going) return 1;
  }
  if (failed.empty()) return 0;
  bar.tell("vantrel-host: " + std::to_string(failed.size()) + " of " +
           std::to_string(span.count()) + " frames failed");
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
  r->add_flag("--quiet,-q", o->quiet, "no progress and no report of written files");
  r->add_flag("--keep-alpha", o->keep_alpha, "write alpha into PNG and TIFF (EXR always has it)");
  r->add_flag("--keep-going", o->keep_going,
              "after a frame fails, go on with the next one (the exit status is still 1)");
  return {r, [o] {
            catch_stop_signals();
            Renderer renderer(*o);
            return renderer.run();
          }};
}

}  // namespace host
