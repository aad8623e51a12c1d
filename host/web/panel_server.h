// The panel page's HTTP server: on 127.0.0.1 only, every request carrying
// the random token of the printed URL, changes by POST only, bodies bounded.
// Requests that reach the plug-in become jobs of the work queue; the live
// render's picture is served straight from its store.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "host/web/live_render.h"
#include "host/web/web_panel.h"
#include "host/web/work_queue.h"

namespace httplib {
class Server;
}

namespace host {

// 32 hexadecimal digits from the system's random source.
std::string random_token();

class PanelServer {
public:
  // Binds 127.0.0.1:port (0: a free port) and serves until destroyed.
  // on_close runs on the owner thread when the page asks to close the panel.
  PanelServer(WorkQueue& queue, WebPanel& web, LiveRender& live, std::function<void()> on_close,
              int port);
  PanelServer(const PanelServer&) = delete;
  PanelServer& operator=(const PanelServer&) = delete;
  ~PanelServer();

  int port() const { return bound_port; }
  std::string url() const;

private:
  void routes();
  void api_routes();

  WorkQueue& queue;
  WebPanel& web;
  LiveRender& live;
  std::function<void()> on_close;
  std::string token;
  std::unique_ptr<httplib::Server> server;
  int bound_port = 0;
  std::thread thread;
};

}  // namespace host
