#include "host/web/web_panel.h"

#include <fnmatch.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <set>
#include <vector>

#include "host/web/png.h"

namespace host {

int32_t parse_integer(const std::string& text) {
  errno = 0;
  char* end = nullptr;
  const long v = strtol(text.c_str(), &end, 10);
  if (text.empty() || *end != '\0' || errno == ERANGE || v < INT32_MIN || v > INT32_MAX)
    throw HostError("'" + text + "' is not a whole number");
  return static_cast<int32_t>(v);
}

namespace {

std::string number_json(double v) {
  char buf[32];
  snprintf(buf, sizeof buf, "%.17g", v);
  return buf;
}

// The whole text as one finite number.
double parse_number(const std::string& text) {
  errno = 0;
  char* end = nullptr;
  const double v = strtod(text.c_str(), &end);
  // Decimal only: strtod would read "0x10" as 16.
  if (text.empty() || *end != '\0' || errno == ERANGE || !std::isfinite(v) ||
      text.find_first_of("xX") != std::string::npos)
    throw HostError("'" + text + "' is not a number");
  return v;
}

Value parse_value(const Control& c, const std::string& text) {
  switch (c.cls) {
    case ControlClass::Float: return Value::of_real(parse_number(text));
    case ControlClass::Color: {
      const std::string::size_type a = text.find(','), b = text.find(',', a + 1);
      if (a == std::string::npos || b == std::string::npos)
        throw HostError("a colour is three numbers, red,green,blue");
      return Value::of_color(parse_number(text.substr(0, a)),
                             parse_number(text.substr(a + 1, b - a - 1)),
                             parse_number(text.substr(b + 1)));
    }
    case ControlClass::FileName: return Value::of_text(text);
    default: return Value::of_integer(parse_integer(text));
  }
}

std::string value_json(const Control& c) {
  const Value& v = c.value;
  if (!has_value(c.cls) || !v.present) return "null";
  switch (c.cls) {
    case ControlClass::Float: return number_json(v.real[0]);
    case ControlClass::Color:
      return "[" + number_json(v.real[0]) + "," + number_json(v.real[1]) + "," +
             number_json(v.real[2]) + "]";
    case ControlClass::FileName: return json_string(v.text);
    default: return std::to_string(v.integer);
  }
}

std::string strings_json(const std::vector<std::string>& texts) {
  std::string out = "[";
  for (const std::string& t : texts) out += (out.size() > 1 ? "," : "") + json_string(t);
  return out + "]";
}

constexpr int kAreaWidth = 400, kAreaHeight = 150;

Reply json_reply(std::string body) { return {200, "application/json", std::move(body)}; }

// What the plug-in painted of an area: the smallest rectangle holding every
// painted pixel (the whole area when it painted none), as a PNG.
std::string painted_png(const Raster& r) {
  int x0 = r.width, y0 = r.height, x1 = -1, y1 = -1;
  for (int y = 0; y < r.height; ++y)
    for (int x = 0; x < r.width; ++x)
      if (r.painted_at(x, y)) {
        x0 = std::min(x0, x);
        x1 = std::max(x1, x);
        y0 = std::min(y0, y);
        y1 = std::max(y1, y);
      }
  if (x1 < 0) return encode_png(r.rgb.data(), r.width, r.height);
  const int w = x1 - x0 + 1, h = y1 - y0 + 1;
  std::vector<uint8_t> rgb;
  rgb.reserve(static_cast<size_t>(w) * h * 3);
  for (int y = y0; y <= y1; ++y) rgb.insert(rgb.end(), r.at(x0, y), r.at(x1, y) + 3);
  return encode_png(rgb.data(), w, h);
}

// An absolute folder without "." or ".." steps or a closing slash.
std::string folder_path(const std::string& folder) {
  std::error_code ec;
  std::filesystem::path p = std::filesystem::absolute(folder.empty() ? "." : folder, ec);
  if (ec) throw HostError("cannot find the folder " + folder + ": " + ec.message());
  p = p.lexically_normal();
  if (!p.has_filename() && p.has_parent_path() && p != p.root_path()) p = p.parent_path();
  return p.string();
}

}  // namespace

void WebPanel::attach(Panel& panel, LiveRender& render, std::function<std::string()> save) {
  main = &panel;
  live = &render;
  // Drawing areas as wide as the page's panel column.
  for (const Control& c : panel.controls())
    if (c.cls == ControlClass::Thumbnail) panel.set_area_size(c.id, kAreaWidth, kAreaHeight);
  save_scene = std::move(save);
}

Panel& WebPanel::target(const Action& a) {
  if (!a.dialog) return *main;
  if (!dialog) throw HostError("no dialog is open");
  return *dialog;
}

std::string WebPanel::control_json(Panel& p, const Control& c) {
  std::string out = "{\"id\":" + std::to_string(c.id) + ",\"label\":" + json_string(c.label) +
                    ",\"class\":" + json_string(class_name(c.cls)) + ",\"value\":" + value_json(c);
  if (c.ranged)
    out += ",\"min\":" + std::to_string(c.min) + ",\"max\":" + std::to_string(c.max) +
           ",\"step\":" + std::to_string(c.step);
  if (c.cls == ControlClass::Choice || c.cls == ControlClass::PopChoice)
    out += ",\"choices\":" + strings_json(p.choices(c.id));
  if (c.divider_after) out += ",\"divider\":true";
  if (c.row_partner) out += ",\"partner\":" + std::to_string(c.row_partner);
  if (c.file.present)
    out += ",\"file\":{\"save\":" + std::string(c.file.mode == 1 ? "true" : "false") +
           ",\"title\":" + json_string(c.file.title) + "}";
  if (c.cls == ControlClass::Thumbnail)
    out += ",\"width\":" + std::to_string(c.area_width) +
           ",\"height\":" + std::to_string(c.area_height) +
           ",\"version\":" + std::to_string(area_versions[c.id]);
  return out + "}";
}

std::string WebPanel::panel_json(Panel& p) {
  p.take_changes();
  std::string controls;
  for (const Control& c : p.controls()) {
    // The page builds the whole panel again: its pictures must not come from a cache.
    if (c.cls == ControlClass::Thumbnail) area_versions[c.id] = ++area_counter;
    controls += (controls.empty() ? "" : ",") + control_json(p, c);
  }
  return "{\"title\":" + json_string(p.title()) + ",\"focus\":" + std::to_string(p.first_focus()) +
         ",\"form\":" + (p.is_form() ? "true" : "false") + ",\"controls\":[" + controls + "]}";
}

void WebPanel::messages_seen(const std::string& text) {
  char* end = nullptr;
  const unsigned long long n = strtoull(text.c_str(), &end, 10);
  seen = !text.empty() && *end == '\0' && text[0] != '-' ? n : 0;
}

std::string WebPanel::messages_json() {
  std::vector<Message>& all = host.messages;
  if (all.size() > kMaxMessages) {
    const size_t drop = all.size() - kMaxMessages;
    all.erase(all.begin(), all.begin() + static_cast<std::ptrdiff_t>(drop));
    dropped += drop;
  }
  std::string out = "[";
  for (uint64_t n = std::max(seen, dropped); n < dropped + all.size(); ++n) {
    const Message& m = all[static_cast<size_t>(n - dropped)];
    const char* kind = m.kind == Message::Error     ? "error"
                       : m.kind == Message::Warning ? "warning"
                                                    : "info";
    out += (out.size() > 1 ? "," : "") + std::string("{\"number\":") + std::to_string(n) +
           ",\"kind\":\"" + kind + "\",\"text\":" + json_string(m.first) +
           ",\"detail\":" + json_string(m.second) + "}";
  }
  return "\"messages\":" + out + "],\"next\":" + std::to_string(dropped + all.size());
}

std::string WebPanel::request_json() const {
  if (!request) return "null";
  return "{\"title\":" + json_string(request->title) +
         ",\"save\":" + (request->save ? "true" : "false") +
         ",\"pattern\":" + json_string(request->pattern) +
         ",\"folder\":" + json_string(request->folder) + "}";
}

std::string WebPanel::state(Panel& p, uint32_t also) {
  std::string changed;
  std::set<uint32_t> ids = p.take_changes();
  if (also) ids.insert(also);
  for (uint32_t id : ids) {
    const Control& c = p.control(id);
    if (c.cls == ControlClass::Thumbnail) area_versions[id] = ++area_counter;
    changed += (changed.empty() ? "" : ",") + control_json(p, c);
  }
  return "{\"edit\":" + std::to_string(live->edits()) + ",\"changed\":[" + changed + "]," +
         messages_json() + ",\"dialog\":" + (dialog ? panel_json(*dialog) : "null") +
         ",\"request\":" + request_json() + "}";
}

Reply WebPanel::model() {
  const RenderSettings& r = host.scene.render;
  return json_reply("{\"panel\":" + panel_json(*main) + ",\"state\":" + state(*main) +
                    ",\"live\":{\"frame\":" + std::to_string(live->frame()) +
                    ",\"full\":" + (live->full() ? "true" : "false") +
                    ",\"first\":" + std::to_string(r.first_frame) +
                    ",\"last\":" + std::to_string(r.last_frame) + "}}");
}

Reply WebPanel::after_edit(Panel& p, bool edits, uint32_t also) {
  if (edits) live->edited();
  return json_reply(state(p, also));
}

namespace {

// A field keeps a number inside its range by clamping; a value sent from the
// page is refused with the range instead, so that what is shown is what is stored.
void check_range(const Control& c, const Value& v) {
  if (!c.ranged) return;
  const double x = c.cls == ControlClass::Float ? v.real[0] : v.integer;
  if (c.cls != ControlClass::Float && c.cls != ControlClass::Integer) return;
  if (x < c.min || x > c.max)
    throw HostError(c.label + " takes " + std::to_string(c.min) + " to " + std::to_string(c.max) +
                    "; " + number_json(x) + " is refused");
}

}  // namespace

Reply WebPanel::set(const Action& a) {
  Panel& p = target(a);
  const Control& c = p.control(a.id);
  try {
    const Value v = parse_value(c, a.value);
    check_range(c, v);
    p.set_value(a.id, v);
  } catch (const HostError& e) {
    // The page shows the stored value again in place of the text it sent.
    return {400, "application/json",
            "{\"error\":" + json_string(e.what()) + ",\"control\":" + control_json(p, c) + "}"};
  }
  return after_edit(p, !a.dialog, a.id);
}

Reply WebPanel::press(const Action& a) {
  Panel& p = target(a);
  p.press(a.id);
  return after_edit(p, !a.dialog);
}

Reply WebPanel::browse(const Action& a) {
  Panel& p = target(a);
  p.browse(a.id);
  return after_edit(p, !a.dialog);
}

Reply WebPanel::area(const Action& a) {
  return {200, "image/png", painted_png(target(a).raster(a.id))};
}

void WebPanel::cancel_modal() {
  if (dialog) dialog_answer = false;
  if (request) request_answer = std::optional<std::string>();
}

Reply WebPanel::answer_dialog(bool confirm) {
  if (!dialog) throw HostError("no dialog is open");
  dialog_answer = confirm;
  return json_reply("{\"closed\":true}");
}

bool WebPanel::post(Panel& form) {
  if (dialog || request) return false;  // one modal at a time: a second one is cancelled
  dialog = &form;
  dialog_answer.reset();
  queue.answer_early(json_reply(state(*main)));
  queue.run_until([&] { return dialog_answer.has_value(); });
  const bool confirmed = dialog_answer.value_or(false);
  dialog = nullptr;
  dialog_answer.reset();
  return confirmed;
}

std::optional<std::string> WebPanel::request_file(const FileRequest& r) {
  if (dialog || request) return std::nullopt;
  request = r;
  request->folder = folder_path(r.folder);
  request_answer.reset();
  queue.answer_early(json_reply(state(*main)));
  queue.run_until([&] { return request_answer.has_value(); });
  std::optional<std::string> chosen = request_answer.value_or(std::nullopt);
  request.reset();
  request_answer.reset();
  return chosen;
}

Reply WebPanel::list_folder(const std::string& asked) {
  namespace fs = std::filesystem;
  if (!request) throw HostError("no file request is open");
  std::error_code ec;
  const fs::path folder = folder_path(asked.empty() ? request->folder : asked);
  fs::directory_iterator it(folder, fs::directory_options::skip_permission_denied, ec);
  if (ec) throw HostError("cannot list " + folder.string() + ": " + ec.message());
  std::vector<std::pair<bool, std::string>> entries;  // folder first, then name
  for (const fs::directory_entry& e : it) {
    const std::string name = e.path().filename().string();
    if (name.empty() || name[0] == '.') continue;
    const bool is_folder = e.is_directory(ec);
    const std::string& pattern = request->pattern;
    if (is_folder || pattern.empty() || fnmatch(pattern.c_str(), name.c_str(), 0) == 0)
      entries.emplace_back(!is_folder, name);
  }
  std::sort(entries.begin(), entries.end());
  std::string list;
  for (const auto& [file, name] : entries)
    list += (list.empty() ? "" : ",") + std::string("{\"name\":") + json_string(name) +
            ",\"folder\":" + (file ? "false" : "true") + "}";
  return json_reply("{\"folder\":" + json_string(folder.string()) + ",\"parent\":" +
                    json_string(folder.parent_path().string()) + ",\"entries\":[" + list + "]}");
}

Reply WebPanel::answer_request(const std::optional<std::string>& path) {
  if (!request) throw HostError("no file request is open");
  if (path && path->empty()) throw HostError("no file name was given");
  request_answer = path;
  return json_reply("{\"closed\":true}");
}

Reply WebPanel::save() {
  const std::string path = save_scene();
  return json_reply("{\"saved\":" + json_string(path) + "," + messages_json() + "}");
}

Reply WebPanel::live_view(int frame, bool full) {
  const RenderSettings& r = host.scene.render;
  if (frame < r.first_frame || frame > r.last_frame)
    throw HostError("frame " + std::to_string(frame) + " is outside the scene's range " +
                    std::to_string(r.first_frame) + "-" + std::to_string(r.last_frame));
  live->choose(frame, full);
  return json_reply("{\"frame\":" + std::to_string(frame) + "}");
}

}  // namespace host
