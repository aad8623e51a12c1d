// vantrel-host render: the frames of a scene, through its image filters, to images.
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "host/cli/commands.h"
#include "host/cli/jobs.h"
#include "host/cli/memory.h"
#include "host/core/frame_list.h"
#include "host/cli/preflight.h"
#include "host/core/session.h"
#include "host/core/star_filter.h"
#include "host/images/attributes.h"
#include "host/images/colour.h"
#include "host/images/images.h"
#include "host/images/output.h"

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
  bool quiet = false, keep_going = false, stars_layer = false;
  bool allow_default_database = false;
  int jobs = 0;
  OutputOptions output;
  std::string colorspace, ocio_config, render_colorspace = kRenderColourSpace;
  std::string stars_alpha_name = "opaque";
  std::string background_alpha;  // empty: opaque, with a warning for a plate without alpha
  PlateAlpha plate;
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

// "1:05", or "1:02:05" past the hour.
std::string clock_text(double seconds) {
  const long s = std::lround(std::max(seconds, 0.0));
  char text[32];
  if (s >= 3600)
    snprintf(text, sizeof text, "%ld:%02ld:%02ld", s / 3600, s / 60 % 60, s % 60);
  else
    snprintf(text, sizeof text, "%ld:%02ld", s / 60, s % 60);
  return text;
}

// Progress as a person reads it: on a terminal one line redrawn in place,
// the frame, how many of the run are done, the time so far and an estimate
// of the time left; in a log one line a frame as it is finished. Only this
// process writes them, workers' news reaching it whole, so lines of
// different frames never mix.
class ProgressBar : public FrameReporter {
public:
  ProgressBar(bool quiet) : quiet(quiet), tty(isatty(STDERR_FILENO)) {}
  void start(long long frames) {
    total_frames = frames;
    began = std::chrono::steady_clock::now();
  }
  void frame(long long f) override {
    current = f;
    percent = 0;
  }
  void report(unsigned done, unsigned total) override {
    if (quiet || total == 0 || !tty) return;
    percent = static_cast<int>(100.0 * std::min(done, total) / total);
    const int filled = percent / 5;
    fprintf(stderr, "\rframe %lld [%s%s] %3d%%  %s\033[K", current,
            std::string(filled, '#').c_str(), std::string(20 - filled, '.').c_str(), percent,
            times(finished_frames + percent / 100.0).c_str());
    fflush(stderr);
    drawn = true;
  }
  void finished(long long f) override {
    ++finished_frames;
    if (!quiet && !tty) tell("frame " + std::to_string(f) + ": " + times(finished_frames));
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
  // "3 of 24, 0:05 elapsed, about 0:35 left", for a count of frames done.
  std::string times(double done) const {
    const double elapsed =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
    std::string text = std::to_string(finished_frames) + " of " + std::to_string(total_frames) +
                       " done, " + clock_text(elapsed) + " elapsed";
    if (done > 0 && total_frames > finished_frames)
      text += ", about " + clock_text(elapsed / done * (total_frames - done)) + " left";
    return text;
  }

  bool quiet, tty, drawn = false;
  long long current = 0, total_frames = 0, finished_frames = 0;
  int percent = 0;
  std::chrono::steady_clock::time_point began = std::chrono::steady_clock::now();
};

// The scene's range, or the frames --frames lists.
FrameRun frames_to_render(const RenderOptions& o, const RenderSettings& r) {
  FrameRun run;
  run.first = r.first_frame, run.last = r.last_frame, run.step = r.frame_step;
  if (o.frames.empty()) return run;
  const std::vector<FrameSpan> spans = parse_frame_list("--frames", o.frames);
  if (spans.size() == 1) {
    run.first = spans[0].first, run.last = spans[0].last, run.step = spans[0].step;
    return run;
  }
  if (frame_count(spans) > 10'000'000)
    throw HostError("--frames " + o.frames + " lists more than ten million frames");
  for (const FrameSpan& span : spans)
    for (long long f = span.first; f <= span.last; f += span.step) run.listed.push_back(f);
  return run;
}

// Makes the folders a file is to be written in; an output's folder may be
// new, or one a frame ("shot/####/beauty.exr").
void make_folders_for(const std::string& file) {
  const std::string folder = folder_of(file);
  std::error_code error;
  std::filesystem::create_directories(folder, error);
  if (error) throw HostError("cannot make the folder " + folder + ": " + error.message());
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
  void prepare(const FrameRun& frames);
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
  std::unique_ptr<FrameImage> frame_image, stars_image;
  std::unique_ptr<ColourConversion> colour;
  long long first_frame = 0;
};

void Renderer::prepare(const FrameRun& frames) {
  const bool several = frames.count() > 1;
  if (o.outputs.empty()) {
    std::string base = name_of(o.scene);
    base = base.substr(0, base.find_last_of('.'));
    o.outputs.push_back(base + (several ? ".####.png" : ".png"));
  }
  for (const std::string& out : o.outputs)
    if (several && !is_frame_pattern(out))
      throw HostError("--output " + out + " needs #### or %04d to number several frames");
  // A background without a frame number is a still plate under every frame.
  check_memory(h.scene.render);
  for (const std::string& out : o.outputs) {
    if (!is_frame_pattern(folder_of(out))) make_folders_for(out);
    remove_stale_temporaries_of(out);
    if (o.stars_layer && lower_extension(out) != "exr")
      remove_stale_temporaries_of(stars_path(out));
    for (const std::string& line : output_limits(out, o.output)) bar.tell("warning: " + line);
  }
  check_run_inputs(run_inputs(o, frames, h.scene.render));
  if (!o.colorspace.empty())
    colour = std::make_unique<ColourConversion>(o.ocio_config, o.render_colorspace, o.colorspace);
  first_frame = frames.listed.empty() ? frames.first : frames.listed.front();
  if (!o.plate.matte.empty() && o.background.empty())
    throw HostError("--background-matte " + o.plate.matte + " needs a --background");

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
    bool had_alpha = true;
    try {
      encoding = read_image(bg, image, o.plate, f, &had_alpha);
    } catch (const HostError& e) {
      // One missing or damaged plate fails its frame; --keep-going goes on past it.
      out.tell(std::string("vantrel-host: ") + e.what());
      return failed(number, out);
    }
    // Told once a run, by whichever process renders the first frame.
    if (!had_alpha && number == first_frame && o.background_alpha.empty() &&
        o.plate.mode != PlateAlpha::Matte)
      out.tell("warning: " + bg +
               " has no alpha: it covers every pixel and no star shows; --background-alpha "
               "luminance or none, or --background-matte FILE, says where its sky is "
               "(--background-alpha opaque keeps it covering, quietly)");
    if (srgb && *srgb != (encoding == Encoding::SRGB))
      fprintf(
          stderr,
          "warning: %s holds %s values but the filter treats pixels as %s (sRGBFrameBuffer %d)\n",
          bg.c_str(), encoding_name(encoding), *srgb ? "sRGB" : "linear", *srgb ? 1 : 0);
  }
  const FrameResult result = run_frame(h, session->filter_list(), image, f, progress);
  if (result == FrameResult::Failed) return failed(number, out);
  if (result != FrameResult::Done) return result;
  // The stars alone: the same filters over an empty sky.
  if (o.stars_layer) {
    if (!stars_image) stars_image = std::make_unique<FrameImage>(r.width, r.height);
    stars_image->clear();
    const FrameResult alone = run_frame(h, session->filter_list(), *stars_image, f, progress);
    if (alone != FrameResult::Done) return alone;
    make_stars_layer(*stars_image, encoding, o.output.stars_alpha);
  }
  const FrameAttributes attributes = frame_attributes(*session, f);
  const FrameImage* stars = o.stars_layer ? stars_image.get() : nullptr;
  const OutputFrame composite{&image, stars, encoding, colour.get(), &attributes};
  for (const std::string& pattern : o.outputs) {
    const std::string file = frame_path(pattern, f);
    make_folders_for(file);
    const long lost = write_image(file, composite, o.output);
    if (lost)
      fprintf(stderr,
              "warning: %s: %ld pixels of light with no coverage cannot be kept with alpha\n",
              file.c_str(), lost);
    if (stars && lower_extension(file) != "exr") {
      const std::string second = frame_path(stars_path(pattern), f);
      write_image(second, {stars, nullptr, Encoding::Linear, colour.get(), &attributes}, o.output);
      out.line("frame " + std::to_string(number) + ": wrote " + second);
    }
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
  bar.start(frames.count());
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
  r->add_option("--frames", o->frames,
                "frames: A, A-B, A-BxSTEP or a list of them with commas (default: the scene's "
                "range)");
  r->add_option("--background", o->background,
                "image under each frame (####, %04d or $F4 for the number; without one, a still "
                "plate under every frame)");
  r->add_option("--output,-o", o->outputs,
                "image to write (####, %04d or $F4 for the number; folders are made); may repeat");
  add_plugin_option(r, o->plugin);
  r->add_option("--jobs,-j", o->jobs,
                "frames rendered side by side, each by a worker process, at most 256 "
                "(default 0: one per core)")
      ->check(CLI::Range(0, 256));
  r->add_flag("--quiet,-q", o->quiet, "no progress and no report of written files");
  r->add_option("--background-alpha", o->background_alpha,
                "where a background without alpha leaves the sky: opaque (nowhere), luminance "
                "(its dark parts), none (everywhere)")
      ->check(CLI::IsMember({"opaque", "luminance", "none"}));
  r->add_option("--background-matte", o->plate.matte,
                "image whose alpha (or first channel) is the background's coverage");
  r->add_flag("--keep-alpha", o->output.keep_alpha,
              "write alpha into PNG, TIFF, DPX and Targa, unpremultiplied (EXR always has it)");
  r->add_option("--bits", o->output.bits, "bits a channel of PNG, TIFF and DPX: 8 or 16")
      ->check(CLI::IsMember({8, 16}));
  r->add_flag("--half", o->output.half, "EXR channels as 16-bit floats");
  r->add_option("--compression", o->output.compression, "EXR compression (default zip)")
      ->check(CLI::IsMember({"none", "zip", "zips", "piz", "dwaa", "dwab"}));
  r->add_flag("--tiled", o->output.tiled, "EXR in 64 x 64 tiles rather than scanlines");
  r->add_flag("--stars-layer", o->stars_layer,
              "also write the stars alone: an EXR layer stars.RGBA, else NAME.stars.EXT");
  r->add_option("--stars-alpha", o->stars_alpha_name,
                "the stars layer's alpha: opaque (a backdrop, default) or light")
      ->check(CLI::IsMember({"opaque", "light"}));
  r->add_option("--colorspace", o->colorspace,
                "convert the output from linear Rec.709 to this OpenColorIO colour space");
  r->add_option("--ocio-config", o->ocio_config, "OpenColorIO configuration (default: $OCIO)");
  r->add_option("--render-colorspace", o->render_colorspace,
                "the configuration's name for linear Rec.709 (default lin_rec709)");
  r->add_flag("--allow-default-database", o->allow_default_database,
              "render with the plug-in's default star database when the scene's cannot be read "
              "(the plug-in warns; otherwise such a scene is refused)");
  r->add_flag("--keep-going", o->keep_going,
              "after a frame fails, go on with the next one (the exit status is still 1)");
  return {r, [o] {
            if (o->stars_alpha_name == "light") o->output.stars_alpha = StarsAlpha::Light;
            if (o->background_alpha == "luminance") o->plate.mode = PlateAlpha::Luminance;
            if (o->background_alpha == "none") o->plate.mode = PlateAlpha::None;
            if (!o->plate.matte.empty()) o->plate.mode = PlateAlpha::Matte;
            catch_stop_signals();
            Renderer renderer(*o);
            return renderer.run();
          }};
}

}  // namespace host
