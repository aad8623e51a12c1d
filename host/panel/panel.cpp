#include "host/panel/panel.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

namespace host {

namespace {

struct ClassName {
  ControlClass cls;
  const char* name;
};
const ClassName class_names[] = {
    {ControlClass::Float, "float"},          {ControlClass::Integer, "integer"},
    {ControlClass::Color, "color"},          {ControlClass::Choice, "iChoice"},
    {ControlClass::Boolean, "iBoolean"},     {ControlClass::FileName, "sFileName"},
    {ControlClass::Button, "vButton"},       {ControlClass::Thumbnail, "dThumbnail"},
    {ControlClass::PopChoice, "iPopChoice"},
};

}  // namespace

std::string hex_id(uint32_t v) {
  char buf[16];
  snprintf(buf, sizeof buf, "0x%X", v);
  return buf;
}

void store_value(Control& c, const void* p) {
  c.value = Value();
  if (!p) return;
  c.value.present = true;
  switch (c.cls) {
    case ControlClass::Float: c.value.real[0] = *static_cast<const double*>(p); break;
    case ControlClass::Color:
      for (int k = 0; k < 3; ++k) c.value.real[k] = static_cast<const double*>(p)[k];
      break;
    case ControlClass::FileName: c.value.text = static_cast<const char*>(p); break;
    default: c.value.integer = *static_cast<const int32_t*>(p); break;
  }
}

bool class_from_name(const char* name, ControlClass& out) {
  for (const ClassName& n : class_names)
    if (name && !strcmp(name, n.name)) {
      out = n.cls;
      return true;
    }
  return false;
}

const char* class_name(ControlClass c) {
  for (const ClassName& n : class_names)
    if (n.cls == c) return n.name;
  return "?";
}

bool has_value(ControlClass c) { return c != ControlClass::Button && c != ControlClass::Thumbnail; }

Value Value::of_real(double v) {
  Value x;
  x.real[0] = v;
  x.present = true;
  return x;
}
Value Value::of_integer(int32_t v) {
  Value x;
  x.integer = v;
  x.present = true;
  return x;
}
Value Value::of_color(double r, double g, double b) {
  Value x;
  x.real[0] = r;
  x.real[1] = g;
  x.real[2] = b;
  x.present = true;
  return x;
}
Value Value::of_text(const std::string& v) {
  Value x;
  x.text = v;
  x.present = true;
  return x;
}

Raster::Raster(int w, int h)
    : width(w),
      height(h),
      rgb(static_cast<size_t>(w) * h * 3, kBackground),
      painted(static_cast<size_t>(w) * h, 0) {}

long Raster::painted_count() const {
  return static_cast<long>(std::count(painted.begin(), painted.end(), 1));
}

FrontEnd::~FrontEnd() = default;

bool ScriptedFrontEnd::post(Panel& form) {
  posted.push_back(form.title());
  if (dialogs.empty()) {
    unexpected.push_back("a dialog \"" + form.title() + "\" that the script does not answer");
    return false;
  }
  std::function<bool(Panel&)> answer = std::move(dialogs.front());
  dialogs.pop_front();
  return answer(form);
}

std::optional<std::string> ScriptedFrontEnd::request_file(const FileRequest& request) {
  requests.push_back(request);
  if (files.empty()) {
    unexpected.push_back("a file request \"" + request.title +
                         "\" that the script does not answer");
    return std::nullopt;
  }
  std::optional<std::string> answer = files.front();
  files.pop_front();
  return answer;
}

// ---------------------------------------------------------------------------

CallScope::CallScope(PanelToolkit& kit) : kit(kit) {
  if (std::this_thread::get_id() != kit.owner)
    throw HostError("the panel toolkit was used from a thread other than the plug-in's");
  ++kit.depth;
}

CallScope::~CallScope() {
  if (--kit.depth == 0) kit.graveyard.clear();
}

const Control& Panel::control(uint32_t id) const {
  for (const Control& c : controls_)
    if (c.id == id) return c;
  throw HostError("the panel has no control " + hex_id(id));
}

Control& Panel::find(uint32_t id) { return const_cast<Control&>(control(id)); }

Control* Panel::find_or_null(uint32_t id) {
  for (Control& c : controls_)
    if (c.id == id) return &c;
  return nullptr;
}

void* Panel::data0() const {
  auto it = user_data.find(0);
  return it != user_data.end() ? it->second : nullptr;
}

void Panel::read(Control& c) {
  changes.insert(c.id);
  if (is_form() || !has_value(c.cls)) return;
  store_value(c, get && bound ? get(bound, c.id) : nullptr);
}

void Panel::stale_areas() {
  for (Control& c : controls_)
    if (c.cls == ControlClass::Thumbnail) {
      c.stale = true;
      changes.insert(c.id);
    }
}

void Panel::refresh() {
  CallScope scope(kit);
  for (Control& c : controls_) read(c);
  stale_areas();
}

void Panel::after_set(Control& c, int refresh) {
  switch (refresh) {
    case VH_REFRESH_NONE: return;
    case VH_REFRESH_REDRAW:
      read(c);
      stale_areas();
      return;
    case VH_REFRESH_ALL:
      for (Control& each : controls_) read(each);
      stale_areas();
      return;
    default:
      kit.problem("set of " + hex_id(c.id) + " asked for refresh " + std::to_string(refresh));
      for (Control& each : controls_) read(each);
      stale_areas();
  }
}

void Panel::check_input(const Control& c, Value& v) const {
  const std::string name = "\"" + c.label + "\"";
  switch (c.cls) {
    case ControlClass::Float:
    case ControlClass::Color:
      for (int k = 0; k < (c.cls == ControlClass::Color ? 3 : 1); ++k)
        if (!std::isfinite(v.real[k])) throw HostError(name + " takes finite numbers only");
      if (c.ranged) v.real[0] = std::min<double>(std::max<double>(v.real[0], c.min), c.max);
      break;
    case ControlClass::Integer:
      if (c.ranged) v.integer = std::min(std::max(v.integer, c.min), c.max);
      break;
    case ControlClass::Boolean: v.integer = v.integer != 0; break;
    case ControlClass::Choice:
      if (v.integer < 0 || v.integer >= static_cast<int32_t>(c.choices.size()))
        throw HostError(name + " has no choice " + std::to_string(v.integer));
      break;
    case ControlClass::PopChoice:
      if (v.integer < 0 || (c.popup_count && v.integer >= c.popup_count(data0())))
        throw HostError(name + " has no entry " + std::to_string(v.integer));
      break;
    case ControlClass::FileName: break;
    default: throw HostError(name + " holds no value");
  }
  v.present = true;
}

void Panel::set_value(uint32_t id, Value v) {
  CallScope scope(kit);
  Control& c = find(id);
  check_input(c, v);
  if (is_form()) {
    c.value = v;
    changes.insert(id);
    return;
  }
  if (!set || !bound) throw HostError("the panel's values cannot be set: it has no instance");
  void* arg = nullptr;
  int32_t integer = v.integer;
  std::vector<char> text(v.text.begin(), v.text.end());
  text.push_back('\0');
  switch (c.cls) {
    case ControlClass::Float:
    case ControlClass::Color: arg = v.real; break;
    case ControlClass::FileName: arg = text.data(); break;
    default: arg = &integer; break;
  }
  after_set(c, set(bound, id, arg));
}

void Panel::press(uint32_t id) {
  CallScope scope(kit);
  const Control& c = control(id);
  if (c.cls != ControlClass::Button || !c.button)
    throw HostError("\"" + c.label + "\" is not a button with an operation");
  c.button(handle(), id);
}

bool Panel::browse(uint32_t id) {
  CallScope scope(kit);
  const Control& c = control(id);
  if (c.cls != ControlClass::FileName) throw HostError("\"" + c.label + "\" is not a file field");
  FileRequest request;
  request.title = c.file.present ? c.file.title : c.label;
  request.save = c.file.mode == 1;
  auto type = kit.file_types.find(c.file.file_type);
  if (!c.file.file_type.empty() && type != kit.file_types.end()) {
    request.pattern = type->second.pattern;
    request.folder = type->second.folder;
  }
  const std::optional<std::string> chosen = kit.front.request_file(request);
  if (!chosen) return false;
  set_value(id, Value::of_text(*chosen));
  return true;
}

std::vector<std::string> Panel::choices(uint32_t id) {
  CallScope scope(kit);
  const Control& c = control(id);
  if (c.cls != ControlClass::PopChoice || !c.popup_count || !c.popup_name) return c.choices;
  void* data = data0();
  std::vector<std::string> entries;
  const int n = c.popup_count(data);
  for (int i = 0; i < n; ++i) {
    const char* name = c.popup_name(data, i);
    entries.push_back(name ? name : "");
  }
  return entries;
}

const Raster& Panel::raster(uint32_t id) {
  CallScope scope(kit);
  Control& c = find(id);
  if (c.cls != ControlClass::Thumbnail) throw HostError("\"" + c.label + "\" is no drawing area");
  if (c.stale || c.raster.width != c.area_width || c.raster.height != c.area_height)
    kit.paint(*this, c);
  return c.raster;
}

void Panel::set_area_size(uint32_t id, int width, int height) {
  Control& c = find(id);
  if (width <= 0 || height <= 0 || width > 8192 || height > 8192)
    throw HostError("a drawing area of " + std::to_string(width) + " x " + std::to_string(height) +
                    " pixels");
  c.area_width = width;
  c.area_height = height;
  c.stale = true;
  changes.insert(id);
}

std::set<uint32_t> Panel::take_changes() {
  std::set<uint32_t> out;
  out.swap(changes);
  return out;
}

}  // namespace host
