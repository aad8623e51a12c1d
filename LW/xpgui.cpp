// The main panel: its activation, its controls, values and hints (from the
// settings table), the get and set operations, the close, and the logo.
#include "LW/xpgui.h"

#include <cstddef>
#include <cstring>

#include "LW/config_file.h"
#include "LW/firewall.h"

namespace {

// Controls that stand for no setting, at their places in the control table.
struct PanelOnlyControl {
  PanelControl id;
  int place;
  const char* label;
  const char* control_class;
};
const PanelOnlyControl panel_only[] = {
    {PanelControl::Logo, 0, "Logo", "dThumbnail"},
    {PanelControl::Preview, 1, "Preview", "dThumbnail"},
    {PanelControl::Parent, 12, "Parent Object", "vButton"},
    {PanelControl::Load, 19, "Load Settings", "vButton"},
    {PanelControl::Save, 20, "Save Settings", "vButton"},
};

const char* const srgb_choices[] = {"Linear Luminance", "sRGB", nullptr};
const char* const projection_choices[] = {"Persp", "HemiSph", "AzEqu", nullptr};

// The panel's value for a control: a number field, a choice, a check box, the
// path, or the first component of the colour. Null for another identifier.
const SettingRow* panel_row(uint32_t control) {
  if (control == 0) return nullptr;
  for (const SettingRow& row : vantrel_settings)
    if (row.panel.control == control && row.panel.component == 0) return &row;
  return nullptr;
}

uint32_t control_of(const char* keyword) {
  for (const SettingRow& row : vantrel_settings)
    if (!strcmp(row.keyword, keyword)) return row.panel.control;
  THROW_STR("no setting %s", keyword);
}

// The choices of a choice control, closed by null; null for another control.
const char* const* choices_of(uint32_t control) {
  if (control == control_of("sRGBFrameBuffer")) return srgb_choices;
  if (control == control_of("Projection")) return projection_choices;
  return nullptr;
}

const char* value_type_of(const char* control_class) {
  if (!strcmp(control_class, "float")) return "float";
  if (!strcmp(control_class, "sFileName")) return "string";
  return "integer";  // "integer", "iChoice", "iBoolean"
}

struct PanelTables {
  VHPanelControl controls[kPanelControlCount + 1] = {};
  VHPanelValue values[kPanelValueCount + 1] = {};
  // The settings rows in the order of the control table; null for the panel's own controls.
  const SettingRow* by_place[kPanelControlCount] = {};
};

void place_control(PanelTables& t, int place, const VHPanelControl& control) {
  ASSERT(place >= 0 && place < kPanelControlCount && t.controls[place].id == 0);
  t.controls[place] = control;
}

PanelTables make_tables() {
  PanelTables t;
  for (const PanelOnlyControl& c : panel_only)
    place_control(t, c.place, VHPanelControl{control_id(c.id), c.label, c.control_class});
  for (const SettingRow& row : vantrel_settings) {
    const PanelColumns& p = row.panel;
    if (!p.control || p.component != 0) continue;
    place_control(t, p.place, VHPanelControl{p.control, p.label, p.control_class});
    t.by_place[p.place] = &row;
    if (!p.value_name) continue;
    ASSERT(p.value_place >= 0 && p.value_place < kPanelValueCount);
    ASSERT(t.values[p.value_place].id == 0);
    t.values[p.value_place] = VHPanelValue{p.control, p.value_name, value_type_of(p.control_class)};
  }
  for (int i = 0; i < kPanelControlCount; ++i) ASSERT(t.controls[i].id != 0);
  for (int i = 0; i < kPanelValueCount; ++i) ASSERT(t.values[i].id != 0);
  return t;
}

const PanelTables& panel_tables() {
  static const PanelTables tables = make_tables();
  return tables;
}

// Ranges and number field parameters, control by control in table order.
void add_number_hints(HintList& h) {
  for (const SettingRow* row : panel_tables().by_place) {
    if (!row) continue;
    const VHPanelToken control = HintList::id(row->panel.control);
    if (row->ranged && !row->bounds_only)
      h.add(VH_HINT_RANGE, {control, HintList::num(static_cast<int32_t>(row->lo)),
                            HintList::num(static_cast<int32_t>(row->hi)), HintList::num(1)});
    if (row->panel.numeric) h.add(VH_HINT_NUMERIC, {control, HintList::num(row->panel.numeric)});
  }
}

HintList make_main_hints() {
  using H = HintList;
  const VHPanelToken logo = H::id(PanelControl::Logo), preview = H::id(PanelControl::Preview);
  const VHPanelToken area_config = H::num(static_cast<int32_t>(0x80000000u));
  const VHPanelToken srgb = H::id(control_of("sRGBFrameBuffer"));
  const VHPanelToken projection = H::id(control_of("Projection"));
  const VHPanelToken star_file = H::id(control_of("StarFile"));
  HintList h;
  h.add(VH_HINT_LABEL, {0, H::ptr("Vantrel"), 0})
      .add(VH_HINT_DESTROY, {H::fn(panel_destroyed), 0})
      .add(VH_HINT_AREA, {logo, 0, area_config})
      .add(VH_HINT_AREA, {preview, 0, area_config})
      .add(VH_HINT_DIVIDER, {logo}, {})
      .add(VH_HINT_DRAW, {logo, H::fn(draw_logo)});
  add_number_hints(h);
  h.add(VH_HINT_DIVIDER, {H::id(control_of("BlurSegs"))}, {})
      .add(VH_HINT_BUTTON, {H::id(PanelControl::Parent), H::fn(do_ui_parent)})
      .add(VH_HINT_CHOICES, {srgb, H::ptr(srgb_choices), 0})
      .add(VH_HINT_CHOICES, {projection, H::ptr(projection_choices), 0})
      .add(VH_HINT_ROW, {}, {projection})
      .add(VH_HINT_DIVIDER, {H::id(control_of("Parallax"))}, {})
      .add(VH_HINT_DIVIDER, {H::id(control_of("AnamorphicDOF"))}, {})
      .add(VH_HINT_BUTTON, {H::id(PanelControl::Load), H::fn(do_ui_loadsave)})
      .add(VH_HINT_BUTTON, {H::id(PanelControl::Save), H::fn(do_ui_loadsave)})
      .add(VH_HINT_ROW, {}, {H::id(PanelControl::Load)})
      .add(VH_HINT_FILE, {star_file, 0, H::ptr("Choose Star Database File"), 0, 0})
      .add(VH_HINT_DRAW, {preview, H::fn(draw_preview)})
      .add(VH_HINT_DIVIDER, {star_file}, {})
      .add(VH_HINT_FOCUS, {H::id(control_of("Brightness"))});
  return h;
}

const VHPanelToken* main_hints() {
  static HintList hints = make_main_hints();
  return hints.tokens();
}

// The colour control hands out TintRed's address: the three components must follow one another.
static_assert(offsetof(VantrelSettings, TintGreen) ==
                      offsetof(VantrelSettings, TintRed) + sizeof(double) &&
                  offsetof(VantrelSettings, TintBlue) ==
                      offsetof(VantrelSettings, TintRed) + 2 * sizeof(double),
              "the tint colour's components lie side by side");

void* get_value(vantrel& v, uint32_t id) {
  const SettingRow* row = panel_row(id);
  if (!row) return nullptr;
  switch (row->kind) {
    case SettingKind::Real: return &(v.*row->real);
    case SettingKind::Integer: return &(v.*row->integer);
    case SettingKind::Projection: v.PanelProjection = v.Projection; return &v.PanelProjection;
    case SettingKind::Path: {
      const char* shown = v.StarFile.empty() ? "NO FILE!" : v.StarFile.c_str();
      const size_t n = strnlen(shown, sizeof v.PanelStarFileText - 1);
      memcpy(v.PanelStarFileText, shown, n);
      v.PanelStarFileText[n] = '\0';
      return v.PanelStarFileText;
    }
    default: return nullptr;
  }
}

int set_star_file(vantrel& v, const char* path) {
  if (!path) return VH_REFRESH_REDRAW;
  bool is_3d = false;
  if (!star_file_check(path, &is_3d)) {
    show_error(String::format("%s is not a valid star database file.", path));
    return VH_REFRESH_REDRAW;
  }
  v.StarFile = path;
  v.StarFileIs3D = is_3d;
  if (!is_3d && v.ThreeD) {
    v.ThreeD = 0;
    return VH_REFRESH_ALL;
  }
  return VH_REFRESH_REDRAW;
}

int set_three_d(vantrel& v, int32_t on) {
  // Off is always allowed: a settings file may have switched 3D on over a
  // database without distances, and every render would fail until it is off.
  if (v.StarFileIs3D || !on)
    v.ThreeD = on;
  else
    show_error(
        String::format("Star database %s does not support 3D star option (try hipparcos3D.stars).",
                       v.StarFile.c_str()));
  return VH_REFRESH_REDRAW;
}

// Every component of a number or colour control, or none: a value that the
// settings could not keep (not finite, or outside the setting's range) is refused.
void set_reals(vantrel& v, uint32_t id, const double* value) {
  for (const SettingRow& row : vantrel_settings)
    if (row.panel.control == id && !setting_accepts(row, value[row.panel.component])) return;
  for (const SettingRow& row : vantrel_settings)
    if (row.panel.control == id) v.*row.real = value[row.panel.component];
}

// A choice must name one of its choices; a number must be one the settings keep.
void set_integer(vantrel& v, const SettingRow& row, int32_t value) {
  if (const char* const* choices = choices_of(row.panel.control)) {
    int count = 0;
    while (choices[count]) ++count;
    if (value < 0 || value >= count) return;
  }
  if (setting_accepts(row, value)) v.*row.integer = value;
}

int set_value(vantrel& v, uint32_t id, const void* value) {
  const SettingRow* row = panel_row(id);
  if (!row) return VH_REFRESH_NONE;
  if (row->kind == SettingKind::Path) return set_star_file(v, static_cast<const char*>(value));
  if (!value) return VH_REFRESH_REDRAW;
  if (row->integer == &VantrelSettings::ThreeD)
    return set_three_d(v, *static_cast<const int32_t*>(value));
  if (row->kind == SettingKind::Real)
    set_reals(v, id, static_cast<const double*>(value));
  else
    set_integer(v, *row, *static_cast<const int32_t*>(value));
  return VH_REFRESH_REDRAW;
}

vantrel* instance_of(void* instance) {
  if (!instance) THROW_STR("the panel has no instance");
  return static_cast<vantrel*>(instance);
}

// Clears PanelOpen on every way out of an activation that makes no panel:
// no destroy notification will come to clear it.
class PanelOpenGuard {
public:
  explicit PanelOpenGuard(vantrel& v) : v(v) { v.PanelOpen = true; }
  PanelOpenGuard(const PanelOpenGuard&) = delete;
  PanelOpenGuard& operator=(const PanelOpenGuard&) = delete;
  ~PanelOpenGuard() {
    if (!opened) v.PanelOpen = false;
  }
  void keep() { opened = true; }

private:
  vantrel& v;
  bool opened = false;
};

}  // namespace

HintList& HintList::add(uint32_t tag, std::initializer_list<VHPanelToken> fixed,
                        std::initializer_list<VHPanelToken> list) {
  ASSERT(!closed_ && static_cast<int>(fixed.size()) == VH_HINT_FIXED(tag));
  ASSERT(VH_HINT_HAS_LIST(tag) || list.size() == 0);
  list_.append(static_cast<VHPanelToken>(tag));
  for (VHPanelToken t : fixed) list_.append(t);
  if (!VH_HINT_HAS_LIST(tag)) return *this;
  for (VHPanelToken t : list) list_.append(t);
  list_.append(0);
  return *this;
}

const VHPanelToken* HintList::tokens() {
  if (!closed_) list_.append(0);
  closed_ = true;
  return list_.begin();
}

const VHPanelFuncs& panel_toolkit() {
  if (!vantrel_module.panel) THROW_STR("no panel toolkit");
  return *vantrel_module.panel;
}

vantrel* panel_instance(VHPanelID panel) {
  const VHPanelFuncs& xp = panel_toolkit();
  return instance_of(xp.get_data(&xp, panel, 0));
}

void show_error(const String& text) {
  const VHMessageFuncs* m = vantrel_module.host.messages;
  if (m)
    m->error(m, text.c_str(), nullptr);
  else
    report_to_user("Vantrel", text.c_str());
}

int activate_interface(int version, VHGlobalFunc global, void* local, void*) {
  if (version != VH_INTERFACE_VERSION) return VH_ACTIVATE_BADVERSION;
  VHInterface* record = static_cast<VHInterface*>(local);
  vantrel* v = instance_of(record->instance);
  if (v->PanelOpen) return VH_ACTIVATE_OK;
  PanelOpenGuard open(*v);
  load_vantrel_ini();
  // The default's 3D answer goes with it, or 3D Stars would be refused for a
  // database that has distances.
  if (v->StarFile.empty()) {
    v->StarFile = vantrel_module.default_star_file;
    v->StarFileIs3D = vantrel_module.default_star_file_3d;
  }
  const auto* xp = static_cast<const VHPanelFuncs*>(global(VH_PANEL, 0));
  if (!xp) return VH_ACTIVATE_FAILED;
  vantrel_module.panel = xp;
  record->panel = get_panel(v);
  record->options = nullptr;
  record->command = nullptr;
  open.keep();
  return VH_ACTIVATE_OK;
}

VHPanelID get_panel(vantrel* v) {
  const VHPanelFuncs& xp = panel_toolkit();
  VHPanelID panel = xp.create(&xp, VH_PANEL_VIEW, panel_tables().controls);
  if (!panel) THROW_STR("error creating XPanel");
  xp.set_data(&xp, panel, 0, v);
  xp.hint(&xp, panel, 0, main_hints());
  xp.describe(&xp, panel, panel_tables().values, panel_get, panel_set);
  xp.bind_instance(&xp, panel, v);
  return panel;
}

void* panel_get(void* instance, uint32_t value_id) {
  void* value = nullptr;
  firewall([&] { value = get_value(*instance_of(instance), value_id); });
  return value;
}

int panel_set(void* instance, uint32_t value_id, void* value) {
  int refresh = VH_REFRESH_NONE;
  firewall([&] { refresh = set_value(*instance_of(instance), value_id, value); });
  return refresh;
}

void panel_destroyed(void* instance) {
  firewall([&] {
    vantrel* v = instance_of(instance);
    // First: a configuration file that cannot be written must not leave a
    // panel that can never be opened again.
    v->PanelOpen = false;
    vantrel_module.default_star_file = v->StarFile;
    vantrel_module.default_star_file_3d = v->StarFileIs3D;
    save_vantrel_ini();
  });
}

void draw_logo(VHPanelID, uint32_t, VHDrawArea area, int width, int height) {
  firewall([&] {
    const VHPanelDrawFuncs* draw = panel_toolkit().draw;
    const int rows = height < kLogoHeight ? height : kLogoHeight;
    const int columns = width < kLogoWidth ? width : kLogoWidth;
    for (int y = 0; y < rows; ++y) {
      // Rows are stored bottom first, pixels as blue, green, red.
      const unsigned char* px = vantrel_logo + 16 + (kLogoHeight - 1 - y) * kLogoWidth * 3;
      for (int x = 0; x < columns; ++x, px += 3)
        draw->rgb_pixel(draw, area, x, y, px[2], px[1], px[0]);
    }
  });
}
