// The toolkit's side of the C interface: the "LWXPanel" table and its
// drawing functions, the file services, decoding of control tables, value
// tables and hint lists, and opening a filter's interface.
#include <climits>
#include <cstdio>
#include <cstring>

#include "host/panel/panel.h"

namespace host {

namespace {

PanelToolkit& kit_of(void* host) { return *static_cast<PanelToolkit*>(host); }

const char* text_of(VHPanelToken t) {
  const char* s = reinterpret_cast<const char*>(t);
  return s ? s : "";
}

template <class F>
F function_of(VHPanelToken t) {
  return reinterpret_cast<F>(t);
}

// Choice lists are closed by null; one longer than this is taken as unclosed.
constexpr int kMaxChoices = 4096;

const char* value_type_of(ControlClass c) {
  switch (c) {
    case ControlClass::Float: return "float";
    case ControlClass::FileName: return "string";
    case ControlClass::Color:
    case ControlClass::Button:
    case ControlClass::Thumbnail: return "";  // no single value of a table's types
    default: return "integer";
  }
}

// Copies text into a buffer of `length` bytes; false when it does not fit.
bool copy_out(char* buffer, int length, const std::string& text) {
  if (!buffer || length <= 0 || text.size() >= static_cast<size_t>(length)) return false;
  memcpy(buffer, text.c_str(), text.size() + 1);
  return true;
}

// A form's value by pointer, as the plug-in reads it.
void* value_pointer(Control& c) {
  if (!c.value.present) return nullptr;
  switch (c.cls) {
    case ControlClass::Float:
    case ControlClass::Color: return c.value.real;
    case ControlClass::FileName: return const_cast<char*>(c.value.text.c_str());
    default: return &c.value.integer;
  }
}

}  // namespace

PanelToolkit::PanelToolkit(Host& h, FrontEnd& f)
    : host(h), front(f), owner(std::this_thread::get_id()) {
  install_panel_funcs();
  install_file_services();
  host.extra_globals[VH_PANEL] = &funcs;
  host.extra_globals[VH_FILE_REQUEST] = &file_request;
  host.extra_globals[VH_FILE_TYPE_PATTERN] = &file_pattern;
  host.extra_globals[VH_DIRECTORY_INFO] = &directory_info;
}

void PanelToolkit::install_panel_funcs() {
  draw_funcs.host = this;
  draw_funcs.rgb_pixel = [](const VHPanelDrawFuncs* s, VHDrawArea a, int x, int y, int r, int g,
                            int b) { kit_of(s->host).rgb_pixel(a, x, y, r, g, b); };
  funcs.host = this;
  funcs.draw = &draw_funcs;
  funcs.create = [](const VHPanelFuncs* s, int kind, const VHPanelControl* c) -> VHPanelID {
    Panel* p = kit_of(s->host).create(kind, c);
    return p ? p->handle() : nullptr;
  };
  funcs.destroy = [](const VHPanelFuncs* s, VHPanelID id) {
    PanelToolkit& k = kit_of(s->host);
    if (Panel* p = k.known(id, "destroy")) k.destroy(*p);
  };
  funcs.describe = [](const VHPanelFuncs* s, VHPanelID id, const VHPanelValue* v,
                      VHPanelGetFunc get, VHPanelSetFunc set) {
    PanelToolkit& k = kit_of(s->host);
    if (Panel* p = k.known(id, "describe")) k.describe(*p, v, get, set);
  };
  funcs.hint = [](const VHPanelFuncs* s, VHPanelID id, uint32_t, const VHPanelToken* t) {
    PanelToolkit& k = kit_of(s->host);
    if (Panel* p = k.known(id, "hint")) k.apply_hints(*p, t);
  };
  funcs.get_data = [](const VHPanelFuncs* s, VHPanelID id, uint32_t which) -> void* {
    Panel* p = kit_of(s->host).known(id, "get_data");
    if (!p) return nullptr;
    auto it = p->user_data.find(which);
    return it != p->user_data.end() ? it->second : nullptr;
  };
  funcs.set_data = [](const VHPanelFuncs* s, VHPanelID id, uint32_t which, void* data) {
    if (Panel* p = kit_of(s->host).known(id, "set_data")) p->user_data[which] = data;
  };
  funcs.form_get = [](const VHPanelFuncs* s, VHPanelID id, uint32_t value) -> void* {
    Panel* p = kit_of(s->host).known(id, "form_get");
    Control* c = p ? p->find_or_null(value) : nullptr;
    return c ? value_pointer(*c) : nullptr;
  };
  funcs.form_set = [](const VHPanelFuncs* s, VHPanelID id, uint32_t value, void* v) {
    PanelToolkit& k = kit_of(s->host);
    Panel* p = k.known(id, "form_set");
    Control* c = p ? p->find_or_null(value) : nullptr;
    if (!c || !has_value(c->cls))
      return k.problem("form_set of " + hex_id(value) + ", which is no value of the panel");
    store_value(*c, v);
    p->changes.insert(value);
  };
  funcs.bind_instance = [](const VHPanelFuncs* s, VHPanelID id, void* instance) {
    if (Panel* p = kit_of(s->host).known(id, "bind_instance")) p->bound = instance;
  };
  funcs.refresh = [](const VHPanelFuncs* s, VHPanelID id) {
    if (Panel* p = kit_of(s->host).known(id, "refresh")) p->refresh();
  };
  funcs.post = [](const VHPanelFuncs* s, VHPanelID id) {
    PanelToolkit& k = kit_of(s->host);
    Panel* p = k.known(id, "post");
    return p && k.front.post(*p) ? 1 : 0;
  };
}

void PanelToolkit::install_file_services() {
  file_request.host = this;
  file_request.request = [](const VHFileRequestFuncs* s, const char* title, char* name,
                            char* folder, char* full, int length) {
    return kit_of(s->host).request_file(title, name, folder, full, length);
  };
  file_pattern.host = this;
  file_pattern.answer = [](const VHFileTypeFuncs* s, const char* type) {
    return kit_of(s->host).file_type(type, &FileType::pattern);
  };
  directory_info.host = this;
  directory_info.answer = [](const VHFileTypeFuncs* s, const char* type) {
    return kit_of(s->host).file_type(type, &FileType::folder);
  };
}

const char* PanelToolkit::file_type(const char* type, std::string FileType::*part) const {
  auto it = file_types.find(type ? type : "");
  return it != file_types.end() ? (it->second.*part).c_str() : nullptr;
}

PanelToolkit::~PanelToolkit() {
  for (const char* name : {VH_PANEL, VH_FILE_REQUEST, VH_FILE_TYPE_PATTERN, VH_DIRECTORY_INFO})
    host.extra_globals.erase(name);
}

void PanelToolkit::problem(const std::string& text) {
  // The first ones tell what went wrong; a flood of the same adds nothing.
  if (problems.size() < 100) problems.push_back(text);
}

Panel* PanelToolkit::find(VHPanelID id) {
  for (const auto& p : live)
    if (p->handle() == id) return p.get();
  return nullptr;
}

Panel& PanelToolkit::panel(VHPanelID id) {
  Panel* p = find(id);
  if (!p)
    throw HostError("no open panel " +
                    hex_id(static_cast<uint32_t>(reinterpret_cast<uintptr_t>(id))));
  return *p;
}

Panel* PanelToolkit::known(VHPanelID id, const char* operation) {
  Panel* p = find(id);
  if (!p) problem(std::string(operation) + " of a panel that is not open");
  return p;
}

void PanelToolkit::close(VHPanelID id) {
  CallScope scope(*this);
  destroy(panel(id));
}

Panel* PanelToolkit::create(int kind, const VHPanelControl* controls) {
  if (kind != VH_PANEL_VIEW && kind != VH_PANEL_FORM) {
    problem("a panel of kind " + std::to_string(kind));
    return nullptr;
  }
  if (refused_kinds.count(kind)) return nullptr;
  auto p = std::make_unique<Panel>(*this, kind);
  for (const VHPanelControl* c = controls; c && c->id; ++c) {
    Control control;
    control.id = c->id;
    control.label = c->label ? c->label : "";
    if (!class_from_name(c->control_class, control.cls)) {
      problem("control " + hex_id(c->id) + " of unknown class \"" +
              (c->control_class ? c->control_class : "") + "\"");
      continue;
    }
    if (p->find_or_null(c->id)) {
      problem("two controls " + hex_id(c->id));
      continue;
    }
    p->controls_.push_back(control);
  }
  live.push_back(std::move(p));
  return live.back().get();
}

void PanelToolkit::destroy(Panel& p) {
  for (auto it = live.begin(); it != live.end(); ++it) {
    if (it->get() != &p) continue;
    // Kept alive until the call under way ends: the plug-in may destroy a
    // panel from inside one of its own operations.
    graveyard.push_back(std::move(*it));
    live.erase(it);
    break;
  }
  if (p.destroy_notify) p.destroy_notify(p.bound ? p.bound : p.data0());
  if (depth == 0) graveyard.clear();
}

void PanelToolkit::describe(Panel& p, const VHPanelValue* values, VHPanelGetFunc get,
                            VHPanelSetFunc set) {
  if (p.is_form() != (!get && !set))
    problem(p.is_form() ? "a form described with get and set operations"
                        : "a view described without get and set operations");
  p.get = get;
  p.set = set;
  for (const VHPanelValue* v = values; v && v->id; ++v) {
    Control* c = p.find_or_null(v->id);
    if (!c) {
      problem("value " + hex_id(v->id) + " names no control");
      continue;
    }
    p.values.push_back(v->id);
    c->value_name = v->name ? v->name : "";
    c->value_type = v->value_type ? v->value_type : "";
    if (c->value_type != value_type_of(c->cls))
      problem("value \"" + c->value_name + "\" of type \"" + c->value_type + "\" for a " +
              class_name(c->cls) + " control");
  }
}

void PanelToolkit::apply_hints(Panel& p, const VHPanelToken* t) {
  if (!t) return;
  for (VHPanelToken tag; (tag = *t++) != 0;) {
    if (tag < 0 || static_cast<uint64_t>(tag) > UINT32_MAX) {
      problem("hint tag " + std::to_string(tag) + " is no 32-bit tag; the rest is not read");
      return;
    }
    const uint32_t u = static_cast<uint32_t>(tag);
    std::vector<VHPanelToken> fixed(t, t + VH_HINT_FIXED(u)), list;
    t += VH_HINT_FIXED(u);
    if (VH_HINT_HAS_LIST(u)) {
      while (*t) list.push_back(*t++);
      ++t;
    }
    apply_hint(p, u, fixed, list);
  }
}

int32_t PanelToolkit::hint_number(const std::string& what, VHPanelToken t) {
  if (t < INT32_MIN || t > INT32_MAX)
    problem(what + ": " + std::to_string(t) + " is not a sign-extended 32-bit number");
  return static_cast<int32_t>(t);
}

Control* PanelToolkit::hint_control(Panel& p, const std::string& what, VHPanelToken t,
                                    std::initializer_list<ControlClass> classes) {
  const uint32_t id = static_cast<uint32_t>(hint_number(what, t));
  Control* c = p.find_or_null(id);
  if (!c) {
    problem(what + " names no control " + hex_id(id));
    return nullptr;
  }
  if (classes.size() == 0) return c;
  for (ControlClass k : classes)
    if (c->cls == k) return c;
  problem(what + " does not apply to " + class_name(c->cls) + " control \"" + c->label + "\"");
  return nullptr;
}

void PanelToolkit::apply_hint(Panel& p, uint32_t tag, const std::vector<VHPanelToken>& f,
                              const std::vector<VHPanelToken>& list) {
  const std::string what = "hint " + hex_id(tag);
  Control* c = nullptr;
  switch (tag) {
    case VH_HINT_LABEL:
      if (hint_number(what, f[0]) == 0)
        p.title_ = text_of(f[1]);
      else if ((c = hint_control(p, what, f[0], {})))
        c->label = text_of(f[1]);
      return;
    case VH_HINT_FOCUS:
      if ((c = hint_control(p, what, f[0], {}))) p.focus = c->id;
      return;
    case VH_HINT_DESTROY: p.destroy_notify = function_of<VHPanelDestroyFunc>(f[0]); return;
    case VH_HINT_ROW:
      for (VHPanelToken t : list) {
        if (!(c = hint_control(p, what, t, {}))) continue;
        const size_t i = static_cast<size_t>(c - p.controls_.data());
        if (i + 1 < p.controls_.size())
          c->row_partner = p.controls_[i + 1].id;
        else
          problem(what + ": \"" + c->label + "\" is the last control; nothing follows it");
      }
      return;
    case VH_HINT_DIVIDER:
      if ((c = hint_control(p, what, f[0], {}))) c->divider_after = true;
      for (VHPanelToken t : list)
        if ((c = hint_control(p, what, t, {}))) c->divider_after = true;
      return;
    case VH_HINT_BUTTONS:
      if (!p.is_form()) problem(what + ": a button set for a panel that is not a form");
      p.buttons = hint_number(what, f[0]);
      return;
    default:
      if (!apply_control_hint(p, tag, what, f)) problem("unknown hint " + hex_id(tag));
  }
}

bool PanelToolkit::apply_control_hint(Panel& p, uint32_t tag, const std::string& what,
                                      const std::vector<VHPanelToken>& f) {
  using K = ControlClass;
  Control* c = nullptr;
  switch (tag) {
    case VH_HINT_RANGE:
      if (!(c = hint_control(p, what, f[0], {K::Float, K::Integer}))) break;
      c->ranged = true;
      c->min = hint_number(what, f[1]);
      c->max = hint_number(what, f[2]);
      c->step = hint_number(what, f[3]);
      if (c->min > c->max)
        problem(what + ": a range from " + std::to_string(c->min) + " down to " +
                std::to_string(c->max));
      break;
    case VH_HINT_NUMERIC:
      if ((c = hint_control(p, what, f[0], {K::Float, K::Integer})))
        c->numeric = hint_number(what, f[1]);
      break;
    case VH_HINT_CHOICES:
      if ((c = hint_control(p, what, f[0], {K::Choice, K::PopChoice})))
        c->choices = choice_texts(what, reinterpret_cast<const char* const*>(f[1]));
      break;
    case VH_HINT_BUTTON:
      if ((c = hint_control(p, what, f[0], {K::Button})))
        c->button = function_of<VHPanelButtonFunc>(f[1]);
      break;
    case VH_HINT_POPUP:
      if (!(c = hint_control(p, what, f[0], {K::PopChoice}))) break;
      c->popup_count = function_of<VHPanelCountFunc>(f[1]);
      c->popup_name = function_of<VHPanelNameFunc>(f[2]);
      break;
    case VH_HINT_DRAW:
      if ((c = hint_control(p, what, f[0], {K::Thumbnail})))
        c->draw = function_of<VHPanelDrawFunc>(f[1]);
      break;
    case VH_HINT_AREA:
      if (!(c = hint_control(p, what, f[0], {K::Thumbnail}))) break;
      c->area_config[0] = hint_number(what, f[1]);
      c->area_config[1] = hint_number(what, f[2]);
      break;
    case VH_HINT_FILE:
      if ((c = hint_control(p, what, f[0], {K::FileName})))
        c->file = FileField{true, hint_number(what, f[1]), text_of(f[2]), text_of(f[3])};
      break;
    default: return false;
  }
  return true;
}

std::vector<std::string> PanelToolkit::choice_texts(const std::string& what,
                                                    const char* const* texts) {
  std::vector<std::string> out;
  for (int i = 0; texts && texts[i]; ++i) {
    if (i == kMaxChoices) {
      problem(what + ": a choice list without its closing null");
      break;
    }
    out.push_back(texts[i]);
  }
  return out;
}

void PanelToolkit::paint(Panel& p, Control& c) {
  c.raster = Raster(c.area_width, c.area_height);
  c.stale = false;
  if (!c.draw) return;
  Raster* outer = painting;
  painting = &c.raster;
  c.draw(p.handle(), c.id, &c.raster, c.area_width, c.area_height);
  painting = outer;
}

void PanelToolkit::rgb_pixel(VHDrawArea area, int x, int y, int r, int g, int b) {
  Raster* raster = static_cast<Raster*>(area);
  if (!raster || raster != painting) return problem("a pixel painted outside a drawing operation");
  if (x < 0 || y < 0 || x >= raster->width || y >= raster->height)
    return problem("pixel (" + std::to_string(x) + ", " + std::to_string(y) + ") is outside its " +
                   std::to_string(raster->width) + " x " + std::to_string(raster->height) +
                   " area");
  const int rgb[3] = {r, g, b};
  uint8_t* px = &raster->rgb[(static_cast<size_t>(y) * raster->width + x) * 3];
  for (int k = 0; k < 3; ++k) {
    if (rgb[k] < 0 || rgb[k] > 255) problem("a colour component " + std::to_string(rgb[k]));
    px[k] = static_cast<uint8_t>(std::min(std::max(rgb[k], 0), 255));
  }
  raster->painted[static_cast<size_t>(y) * raster->width + x] = 1;
}

int PanelToolkit::request_file(const char* title, char* name, char* folder, char* full,
                               int length) {
  FileRequest request;
  request.title = title ? title : "";
  std::string mark_and_pattern = name ? name : "";
  if (!mark_and_pattern.empty() && (mark_and_pattern[0] == '<' || mark_and_pattern[0] == '>')) {
    request.save = mark_and_pattern[0] == '>';
    mark_and_pattern.erase(0, 1);
  }
  request.pattern = mark_and_pattern;
  request.folder = folder ? folder : "";
  const std::optional<std::string> chosen = front.request_file(request);
  if (!chosen) return 0;
  const size_t slash = chosen->find_last_of('/');
  const std::string dir = slash == std::string::npos ? "." : chosen->substr(0, slash);
  const std::string base = slash == std::string::npos ? *chosen : chosen->substr(slash + 1);
  // A path that does not fit is not handed over cut short: that would name another file.
  if (!copy_out(full, length, *chosen)) {
    host.message(Message::Error,
                 ("the path " + *chosen + " is longer than the plug-in can take (" +
                  std::to_string(length - 1) + " bytes)")
                     .c_str(),
                 nullptr);
    return 0;
  }
  copy_out(name, length, base);
  copy_out(folder, length, dir);
  return 1;
}

int activate_interface(const PluginLibrary& library, const std::string& server, VHInstance instance,
                       VHInterface& record, int version) {
  record.instance = instance;
  return activate(library.server(VH_CLASS_IMAGE_FILTER_UI, server.c_str()), &record, version);
}

OpenInterface::OpenInterface(PanelToolkit& kit, const PluginLibrary& library,
                             const FilterInstance& filter)
    : kit(kit) {
  const std::string& name = filter.server().name();
  VHInterface record{};
  const int result = activate_interface(library, name, filter.handle(), record);
  if (result != VH_ACTIVATE_OK)
    throw HostError("the interface of \"" + name + "\" refused activation (" +
                    (result == VH_ACTIVATE_BADVERSION ? "interface version not supported"
                                                      : "no panel toolkit, or no panel") +
                    ")");
  if (!record.panel || !kit.find(record.panel))
    throw HostError("the interface of \"" + name + "\" opened no panel");
  id = record.panel;
  kit.panel(id).refresh();
}

OpenInterface::~OpenInterface() {
  try {
    if (kit.find(id)) kit.close(id);
  } catch (const HostError&) {
    // Closed from another thread: nothing more can be done here.
  }
}

}  // namespace host
