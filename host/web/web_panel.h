// The browser page's side of the panel: the toolkit model as JSON, the
// page's actions on it, and the answers to the plug-in's dialogs and file
// requests. Everything here runs on the thread that calls the plug-in, as
// jobs of the work queue; a dialog or a request answers the job that opened
// it early and runs the page's answers in a nested loop until it closes.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>

#include "host/panel/panel.h"
#include "host/web/live_render.h"
#include "host/web/work_queue.h"

namespace host {

// What the page sends: the control and its value as text.
// The whole text as a decimal 32-bit integer; HostError "'x' is not a whole number".
int32_t parse_integer(const std::string& text);

struct Action {
  bool dialog = false;  // the open dialog's control rather than the panel's
  uint32_t id = 0;
  std::string value;  // a number, "r,g,b" for a colour, a path
};

class WebPanel : public FrontEnd {
public:
  // The messages the panel keeps for the page; older ones are dropped.
  static constexpr size_t kMaxMessages = 200;

  WebPanel(WorkQueue& queue, Host& host) : queue(queue), host(host) {}
  // The panel shown, the live render its edits go to, and how the scene is written.
  void attach(Panel& main, LiveRender& live, std::function<std::string()> save_scene);

  // How many messages the page has shown (its `seen`, text from the request;
  // empty or not a number: none): replies carry only the ones after them.
  void messages_seen(const std::string& seen);
  Reply model();
  Reply set(const Action& a);
  Reply press(const Action& a);
  Reply browse(const Action& a);
  Reply area(const Action& a);
  // Confirms or cancels the open dialog.
  Reply answer_dialog(bool confirm);
  // Cancels an open dialog or file requester, as closing the page does.
  void cancel_modal();
  // The names in a folder for the open file request: folders, and files that
  // fit its pattern; never what a file holds.
  Reply list_folder(const std::string& folder);
  // Answers the open file request: a path, or nothing to cancel.
  Reply answer_request(const std::optional<std::string>& path);
  Reply save();
  Reply live_view(int frame, bool full);

  bool post(Panel& form) override;
  std::optional<std::string> request_file(const FileRequest& request) override;

private:
  Panel& target(const Action& a);
  // The state after an action: the edit number, the controls to show again,
  // the messages, the open dialog or request. `also` is shown again too: the
  // control a value was sent to shows what was stored, clamped or refused.
  std::string state(Panel& p, uint32_t also = 0);
  std::string control_json(Panel& p, const Control& c);
  std::string panel_json(Panel& p);
  // The messages after those seen, each with its number, and the number of
  // the next: "messages":[...],"next":N.
  std::string messages_json();
  std::string request_json() const;
  Reply after_edit(Panel& p, bool edits, uint32_t also = 0);

  WorkQueue& queue;
  Host& host;
  Panel* main = nullptr;
  LiveRender* live = nullptr;
  std::function<std::string()> save_scene;
  // The open dialog and the open file request, with their answers.
  Panel* dialog = nullptr;
  std::optional<bool> dialog_answer;
  std::optional<FileRequest> request;
  std::optional<std::optional<std::string>> request_answer;
  uint64_t seen = 0;                           // messages the page has, by number
  uint64_t dropped = 0;                        // messages dropped from the front of the host's list
  std::map<uint32_t, uint64_t> area_versions;  // bumped when an area goes stale
  uint64_t area_counter = 0;
};

}  // namespace host
