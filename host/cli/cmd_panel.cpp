// vantrel-host panel: a scene's image filter's panel as a page in the
// browser, served on 127.0.0.1 with a token in the printed URL, and beside it
// a live render of the scene's frame with the settings as edited. Closing the
// page or stopping the program closes the panel, with the usual effects: its
// destroy notification runs and vantrel.ini is written.
#include <spawn.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <memory>
#include <string>

#include "host/cli/commands.h"
#include "host/core/session.h"
#include "host/web/live_render.h"
#include "host/web/panel_server.h"
#include "host/web/web_panel.h"

extern char** environ;

namespace host {

namespace {

struct PanelOptions {
  std::string scene, plugin, background;
  int filter = 1, port = 0;
  bool open = false, full = false;
};

WorkQueue* signalled_queue = nullptr;
volatile std::sig_atomic_t stop_signal = 0;
extern "C" void on_stop_signal(int sig) {
  stop_signal = sig;
  if (signalled_queue) signalled_queue->stop_from_signal();
}

// How the panel ended: a signal ends with 128 + its number, as render does,
// and says whether edits made since the last save were dropped.
int closed(const std::string& scene, bool unsaved) {
  if (!stop_signal) {
    fprintf(stderr, "the panel is closed\n");
    return 0;
  }
  fprintf(
      stderr, "the panel is closed by %s; %s\n", stop_signal == SIGINT ? "Ctrl-C" : "a signal",
      unsaved ? ("edits not saved to " + scene + " were dropped").c_str() : "every edit was saved");
  return 128 + stop_signal;
}

// The desktop's browser, when there is a desktop.
void open_browser(const std::string& url) {
  if (!getenv("DISPLAY") && !getenv("WAYLAND_DISPLAY")) {
    fprintf(stderr, "no desktop to open a browser on: open the address above yourself\n");
    return;
  }
  std::string program = "xdg-open", target = url;
  char* argv[] = {program.data(), target.data(), nullptr};
  pid_t pid;
  if (posix_spawnp(&pid, "xdg-open", nullptr, nullptr, argv, environ) != 0)
    fprintf(stderr, "cannot start xdg-open: open the address above yourself\n");
}

// Runs jobs from the page and renders when the live render is due, until the
// page closes the panel or a signal stops the program.
void serve(WorkQueue& queue, LiveRender& live, Host& h, const bool& closing) {
  using Clock = LiveRender::Clock;
  while (!closing && !queue.stopped()) {
    Clock::time_point deadline = Clock::now() + WorkQueue::kTick, when;
    if (live.wanted_at(when)) deadline = std::min(deadline, when);
    if (queue.run_one(deadline) || !live.due(Clock::now())) continue;
    queue.interrupt = false;
    try {
      live.render(&queue.interrupt);
    } catch (const std::exception& e) {
      h.messages.push_back({Message::Error, std::string("live render: ") + e.what(), ""});
      fprintf(stderr, "live render: %s\n", e.what());
    }
  }
  queue.stop();
}

int run_panel(const PanelOptions& o) {
  Host h;
  WorkQueue queue;
  WebPanel web(queue, h);
  PanelToolkit kit(h, web);
  Session session(h, plugin_path(o.plugin));
  session.load(o.scene);
  if (o.filter < 1 || static_cast<size_t>(o.filter) > session.filters.size())
    throw HostError(o.scene + " has " + std::to_string(session.filters.size()) +
                    " image filters; --filter " + std::to_string(o.filter) + " names none of them");
  LiveRender live(h, session, o.background);
  live.choose(h.scene.render.first_frame, o.full);
  bool closing = false;
  std::string saved;  // the scene as last saved, in the filter's words
  {
    OpenInterface ui(kit, *session.library, *session.filters[static_cast<size_t>(o.filter - 1)]);
    saved = session.to_text();
    web.attach(ui.panel(), live, [&] {
      session.save(o.scene);
      saved = session.to_text();
      return o.scene;
    });
    PanelServer server(
        queue, web, live, [&] { closing = true; }, o.port);
    printf("%s\n", server.url().c_str());
    fflush(stdout);
    if (o.open) open_browser(server.url());
    signalled_queue = &queue;
    std::signal(SIGINT, on_stop_signal);
    std::signal(SIGTERM, on_stop_signal);
    serve(queue, live, h, closing);
  }
  std::signal(SIGINT, SIG_DFL);
  std::signal(SIGTERM, SIG_DFL);
  signalled_queue = nullptr;
  return closed(o.scene, session.to_text() != saved);
}

}  // namespace

Command panel_command(CLI::App& app) {
  auto o = std::make_shared<PanelOptions>();
  CLI::App* s = app.add_subcommand(
      "panel",
      "open a scene's filter panel as a page in the browser, with a live render of the frame; "
      "the address with its token is printed; closing the page or Ctrl-C closes the panel");
  s->add_option("scene", o->scene, "scene file")->required();
  add_plugin_option(s, o->plugin);
  s->add_option("--filter", o->filter, "which of the scene's image filters, from 1 (default 1)");
  s->add_option("--port", o->port, "port on 127.0.0.1 (default 0: a free one)");
  s->add_option("--background", o->background,
                "background image for the live render (#### or %04d for the frame number)");
  s->add_flag("--full", o->full, "render the live view at the frame's full size");
  s->add_flag("--open", o->open, "open the page in the desktop's browser");
  return {s, [o] { return run_panel(*o); }};
}

}  // namespace host
