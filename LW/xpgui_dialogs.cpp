// The dialogs behind the main panel's buttons: the parent chooser (a modal
// form over the scene's items) and the settings files through the host's
// file requester.
#include <cstdio>

#include "LW/firewall.h"
#include "LW/xpgui.h"

namespace {

// Item kinds in the chooser's order, with the prefix each kind's names carry.
struct ItemKindRow {
  int kind;
  const char* prefix;
};
const ItemKindRow item_kinds[] = {
    {VH_ITEM_OBJECT, ""}, {VH_ITEM_LIGHT, "(Light) "}, {VH_ITEM_CAMERA, "(Camera) "}};

constexpr uint32_t kParentPopup = control_id(PanelControl::ParentPopup);
const VHPanelControl parent_controls[] = {{kParentPopup, "Parent:", "iPopChoice"},
                                          {0, nullptr, nullptr}};
const VHPanelValue parent_values[] = {{kParentPopup, "Parent:", "integer"}, {0, nullptr, nullptr}};

int parent_count(void*) {
  int count = 0;
  firewall([&] {
    if (const ParentChoices* c = vantrel_module.parent_choices)
      count = static_cast<int>(c->names.len());
  });
  return count;
}

const char* parent_name(void*, int index) {
  const char* name = "";
  firewall([&] {
    const ParentChoices* c = vantrel_module.parent_choices;
    if (c && index >= 0 && static_cast<size_t>(index) < c->names.len())
      name = c->names[static_cast<size_t>(index)].c_str();
  });
  return name;
}

const VHPanelToken* parent_hints() {
  using H = HintList;
  static HintList hints = [] {
    HintList h;
    h.add(VH_HINT_LABEL, {0, H::ptr("Parent Stars to Object"), 0})
        .add(VH_HINT_BUTTONS, {H::num(2)})
        .add(VH_HINT_POPUP, {H::id(kParentPopup), H::fn(parent_count), H::fn(parent_name)})
        .add(VH_HINT_FOCUS, {H::id(kParentPopup)});
    return h;
  }();
  return hints.tokens();
}

// The chooser's entries are reachable by the popup's operations while the
// dialog is up, and not after: the list dies with the dialog.
class ChoicesInUse {
public:
  explicit ChoicesInUse(const ParentChoices& c) { vantrel_module.parent_choices = &c; }
  ChoicesInUse(const ChoicesInUse&) = delete;
  ChoicesInUse& operator=(const ChoicesInUse&) = delete;
  ~ChoicesInUse() { vantrel_module.parent_choices = nullptr; }
};

// A form panel, destroyed on every way out.
class Form {
public:
  Form(const VHPanelFuncs& xp, const VHPanelControl* controls)
      : xp(xp), id(xp.create(&xp, VH_PANEL_FORM, controls)) {
    if (!id) THROW_STR("error creating XPanel");
  }
  Form(const Form&) = delete;
  Form& operator=(const Form&) = delete;
  ~Form() { xp.destroy(&xp, id); }

  const VHPanelFuncs& xp;
  const VHPanelID id;
};

int32_t parent_index(const ParentChoices& choices, VHItemID parent) {
  if (!parent) return 0;
  for (size_t i = 1; i < choices.items.len(); ++i)
    if (choices.items[i] == parent) return static_cast<int32_t>(i);
  return 0;  // an item that is no longer in the scene: "NONE"
}

void choose_parent(VHPanelID panel) {
  vantrel* v = panel_instance(panel);
  ParentChoices choices;
  build_parent_choices(vantrel_module.host.items, choices);
  ChoicesInUse in_use(choices);
  Form form(panel_toolkit(), parent_controls);
  const VHPanelFuncs& xp = form.xp;
  xp.hint(&xp, form.id, 0, parent_hints());
  xp.describe(&xp, form.id, parent_values, nullptr, nullptr);
  int32_t index = parent_index(choices, v->ParentID);
  xp.form_set(&xp, form.id, kParentPopup, &index);
  if (!xp.post(&xp, form.id)) return;
  const auto* chosen = static_cast<const int32_t*>(xp.form_get(&xp, form.id, kParentPopup));
  // An answer that names no entry keeps the parent as it was.
  if (chosen && *chosen >= 0 && static_cast<size_t>(*chosen) < choices.items.len())
    v->ParentID = choices.items[static_cast<size_t>(*chosen)];
}

template <class T>
const T* host_service(const char* name, const char* missing) {
  VHGlobalFunc global = vantrel_module.host.global;
  const T* service = global ? static_cast<const T*>(global(name, 0)) : nullptr;
  if (!service) THROW_STR("%s", missing);
  return service;
}

const char* answer_or_empty(const VHFileTypeFuncs* f, const char* type) {
  const char* a = f->answer(f, type);
  return a ? a : "";
}

void load_or_save(VHPanelID panel, uint32_t control) {
  vantrel* v = panel_instance(panel);
  const auto* request =
      host_service<VHFileRequestFuncs>(VH_FILE_REQUEST, "no file requester global");
  const auto* pattern = host_service<VHFileTypeFuncs>(VH_FILE_TYPE_PATTERN, "no file type global");
  const auto* folders = host_service<VHFileTypeFuncs>(VH_DIRECTORY_INFO, "no dir info global");
  char folder[4096], name[4096], full[4096] = {};
  snprintf(folder, sizeof folder, "%s", answer_or_empty(folders, "Settings"));
  snprintf(name, sizeof name, "%c%s", control == control_id(PanelControl::Load) ? '<' : '>',
           answer_or_empty(pattern, "Settings"));
  const int length = static_cast<int>(sizeof full);
  if (control == control_id(PanelControl::Load)) {
    if (!request->request(request, "Load Vantrel Settings From File", name, folder, full, length))
      return;
    full[sizeof full - 1] = '\0';
    vantrel_load_from_file(v, full);
    const VHPanelFuncs& xp = panel_toolkit();
    xp.refresh(&xp, panel);
  } else if (control == control_id(PanelControl::Save)) {
    if (!request->request(request, "Save Vantrel Settings To File", name, folder, full, length))
      return;
    full[sizeof full - 1] = '\0';
    vantrel_save_to_file(v, full);
  }
}

}  // namespace

void build_parent_choices(const VHItemInfo* items, ParentChoices& out) {
  out.names.append(String("NONE"));
  out.items.append(nullptr);
  if (!items) return;
  for (const ItemKindRow& k : item_kinds)
    for (VHItemID id = items->first(items, k.kind, nullptr); id; id = items->next(items, id)) {
      const char* name = items->name(items, id);
      out.names.append(String(k.prefix) + String(name ? name : ""));
      out.items.append(id);
    }
}

// A button's failure goes to the host's messages, where its panel shows them
// (the user's report when the host has none).
void do_ui_parent(VHPanelID panel, uint32_t) {
  firewall([&] { choose_parent(panel); }, FailureTo::Host);
}

void do_ui_loadsave(VHPanelID panel, uint32_t control) {
  firewall([&] { load_or_save(panel, control); }, FailureTo::Host);
}
