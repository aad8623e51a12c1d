#include "host/web/panel_server.h"

#include <httplib.h>
#include <sys/socket.h>

#include <cstdio>
#include <cstring>

#include "host/core/error.h"
#include "host/web/web_assets.h"

namespace host {

namespace {

constexpr size_t kMaxBody = 4096;     // every parameter travels in the query
constexpr int kMaxLiveWaitMs = 5000;  // a long poll for the next live picture

std::string random_bytes_hex(size_t n) {
  FILE* f = fopen("/dev/urandom", "rb");
  if (!f) throw HostError("cannot open /dev/urandom for the panel's token");
  std::vector<unsigned char> bytes(n);
  const size_t got = fread(bytes.data(), 1, n, f);
  fclose(f);
  if (got != n) throw HostError("cannot read /dev/urandom for the panel's token");
  std::string out;
  char hex[3];
  for (unsigned char b : bytes) {
    snprintf(hex, sizeof hex, "%02x", b);
    out += hex;
  }
  return out;
}

// Compares in time that does not depend on where the texts differ.
bool same_secret(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  unsigned char diff = 0;
  for (size_t i = 0; i < a.size(); ++i) diff |= static_cast<unsigned char>(a[i] ^ b[i]);
  return diff == 0;
}

const WebAsset& asset(const char* name) {
  for (const WebAsset& a : web_assets())
    if (strcmp(a.name, name) == 0) return a;
  throw HostError(std::string("the program was built without ") + name);
}

void send(httplib::Response& res, const Reply& r) {
  res.status = r.status;
  res.set_content(r.body, r.type.c_str());
}

uint32_t id_param(const httplib::Request& req) {
  const std::string text = req.get_param_value("id");
  char* end = nullptr;
  const unsigned long v = strtoul(text.c_str(), &end, 0);
  if (text.empty() || *end != '\0' || v > 0xFFFFFFFFul)
    throw HostError("'" + text + "' names no control");
  return static_cast<uint32_t>(v);
}

// What the library's own refusals say: it answers a request it cannot read
// (a POST without its length, a multipart body without its parts) before any
// route, with an empty body the page could not show.
std::string refusal_text(const httplib::Request& req, int status) {
  switch (status) {
    case 400:
      return "this request could not be read: a change is a POST with its values in the address "
             "and an empty body (Content-Length: 0) or a short one";
    case 404: return "there is no " + req.method + " " + req.path + " here";
    case 413: return "this request's body is larger than " + std::to_string(kMaxBody) + " bytes";
    default: return "this request was refused (HTTP status " + std::to_string(status) + ")";
  }
}

Action action_of(const httplib::Request& req) {
  return {req.get_param_value("dialog") == "1", id_param(req), req.get_param_value("value")};
}

}  // namespace

std::string random_token() { return random_bytes_hex(16); }

PanelServer::PanelServer(WorkQueue& queue, WebPanel& web, LiveRender& live,
                         std::function<void()> on_close, int port)
    : queue(queue),
      web(web),
      live(live),
      on_close(std::move(on_close)),
      token(random_token()),
      server(std::make_unique<httplib::Server>()) {
  if (port < 0 || port > 65535) throw HostError("--port " + std::to_string(port) + " is no port");
  server->set_payload_max_length(kMaxBody);
  // The library's default also sets SO_REUSEPORT, which lets a second server
  // listen on the same port and take a share of the connections: a fixed
  // port in use must be an error instead.
  server->set_socket_options([](int sock) {
    const int yes = 1;
    setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
  });
  routes();
  api_routes();
  bound_port = port == 0 ? server->bind_to_any_port("127.0.0.1")
                         : (server->bind_to_port("127.0.0.1", port) ? port : -1);
  if (bound_port <= 0)
    throw HostError("cannot listen on 127.0.0.1:" + std::to_string(port) + ": " + strerror(errno));
  thread = std::thread([this] { server->listen_after_bind(); });
}

PanelServer::~PanelServer() {
  live.close();
  server->stop();
  if (thread.joinable()) thread.join();
}

std::string PanelServer::url() const {
  return "http://127.0.0.1:" + std::to_string(bound_port) + "/?token=" + token;
}

void PanelServer::routes() {
  // Every request: the token, and a Host header naming this server, so that
  // neither another local user nor a page under another name (a rebound DNS
  // name) can drive the panel.
  server->set_pre_routing_handler([this](const httplib::Request& req, httplib::Response& res) {
    const std::string host_header = req.get_header_value("Host");
    const std::string port_text = ":" + std::to_string(bound_port);
    const bool our_host =
        host_header == "127.0.0.1" + port_text || host_header == "localhost" + port_text;
    std::string given = req.get_param_value("token");
    if (given.empty()) given = req.get_header_value("X-Vantrel-Token");
    res.set_header("Cache-Control", "no-store");
    res.set_header("X-Content-Type-Options", "nosniff");
    res.set_header("Referrer-Policy", "no-referrer");
    if (our_host && same_secret(given, token)) return httplib::Server::HandlerResponse::Unhandled;
    res.status = 403;
    res.set_content(error_json(our_host ? "this request does not carry the panel's token"
                                        : "this server answers to 127.0.0.1 only"),
                    "application/json");
    return httplib::Server::HandlerResponse::Handled;
  });
  server->set_exception_handler(
      [](const httplib::Request&, httplib::Response& res, std::exception_ptr ep) {
        std::string text = "unknown error";
        try {
          std::rethrow_exception(ep);
        } catch (const std::exception& e) {
          text = e.what();
        } catch (...) {
        }
        res.status = 400;
        res.set_content(error_json(text), "application/json");
      });
  server->set_error_handler(
      httplib::Server::HandlerWithResponse([](const httplib::Request& req, httplib::Response& res) {
        if (!res.body.empty()) return httplib::Server::HandlerResponse::Unhandled;
        res.set_content(error_json(refusal_text(req, res.status)), "application/json");
        return httplib::Server::HandlerResponse::Handled;
      }));
  server->Get("/", [this](const httplib::Request&, httplib::Response& res) {
    std::string page(asset("panel.html").text());
    for (std::string::size_type at; (at = page.find("{{token}}")) != std::string::npos;)
      page.replace(at, 9, token);
    res.set_header("Content-Security-Policy",
                   "default-src 'self'; img-src 'self' blob:; object-src 'none'; "
                   "frame-ancestors 'none'; base-uri 'none'; form-action 'none'");
    res.set_content(page, "text/html; charset=utf-8");
  });
  server->Get("/panel.js", [](const httplib::Request&, httplib::Response& res) {
    res.set_content(std::string(asset("panel.js").text()), "text/javascript; charset=utf-8");
  });
  server->Get("/panel.css", [](const httplib::Request&, httplib::Response& res) {
    res.set_content(std::string(asset("panel.css").text()), "text/css; charset=utf-8");
  });
}

void PanelServer::api_routes() {
  httplib::Server& s = *server;
  const auto job = [this](auto fn, bool edits = false) {
    return [this, fn, edits](const httplib::Request& req, httplib::Response& res) {
      send(res, queue.call(
                    [&web = web, fn, &req] {
                      web.messages_seen(req.get_param_value("seen"));
                      return fn(web, req);
                    },
                    edits));
    };
  };
  s.Get("/api/model", job([](WebPanel& w, const httplib::Request&) { return w.model(); }));
  s.Get("/api/area.png",
        job([](WebPanel& w, const httplib::Request& r) { return w.area(action_of(r)); }));
  s.Get("/api/files", job([](WebPanel& w, const httplib::Request& r) {
          return w.list_folder(r.get_param_value("folder"));
        }));
  s.Post("/api/set",
         job([](WebPanel& w, const httplib::Request& r) { return w.set(action_of(r)); }, true));
  s.Post("/api/press",
         job([](WebPanel& w, const httplib::Request& r) { return w.press(action_of(r)); }, true));
  s.Post("/api/browse",
         job([](WebPanel& w, const httplib::Request& r) { return w.browse(action_of(r)); }, true));
  s.Post("/api/dialog", job([](WebPanel& w, const httplib::Request& r) {
           return w.answer_dialog(r.get_param_value("confirm") == "1");
         }));
  s.Post("/api/file", job([](WebPanel& w, const httplib::Request& r) {
           if (r.has_param("cancel")) return w.answer_request(std::nullopt);
           return w.answer_request(r.get_param_value("path"));
         }));
  s.Post("/api/save", job([](WebPanel& w, const httplib::Request&) { return w.save(); }));
  s.Post("/api/live", job(
                          [](WebPanel& w, const httplib::Request& r) {
                            return w.live_view(parse_integer(r.get_param_value("frame")),
                                               r.get_param_value("full") == "1");
                          },
                          true));
  s.Post("/api/close", [this](const httplib::Request&, httplib::Response& res) {
    send(res, queue.call([this] {
      // The page is gone: a dialog it showed can no longer be answered.
      web.cancel_modal();
      on_close();
      return Reply{200, "application/json", "{\"closed\":true}"};
    }));
  });
  s.Get("/api/live.json", [this](const httplib::Request& req, httplib::Response& res) {
    const uint64_t after = req.has_param("after") ? std::stoull(req.get_param_value("after")) : 0;
    const LivePicture p = live.wait_newer(after, std::chrono::milliseconds(kMaxLiveWaitMs));
    res.set_content(
        "{\"number\":" + std::to_string(p.number) + ",\"edit\":" + std::to_string(p.edit) +
            ",\"frame\":" + std::to_string(p.frame) + ",\"width\":" + std::to_string(p.width) +
            ",\"height\":" + std::to_string(p.height) + ",\"seconds\":" +
            std::to_string(p.seconds) + ",\"full\":" + (p.full ? "true" : "false") + "}",
        "application/json");
  });
  s.Get("/api/live.png", [this](const httplib::Request&, httplib::Response& res) {
    const LivePicture p = live.latest();
    if (p.number == 0) {
      res.status = 404;
      res.set_content(error_json("no live render has finished yet"), "application/json");
      return;
    }
    res.set_header("X-Live-Number", std::to_string(p.number));
    res.set_header("X-Live-Edit", std::to_string(p.edit));
    res.set_content(p.png, "image/png");
  });
}

}  // namespace host
