// The filter's interface on the host's panel toolkit ("LWXPanel"): the main
// panel over one instance (every setting, the logo, a live preview of the
// star look), the parent chooser, and the settings files through the host's
// file requester. Every operation the toolkit calls runs behind the firewall.
#pragma once

#include <cstdint>
#include <initializer_list>

#include "LW/instance.h"
#include "LW/module_state.h"
#include "LW/panel_data.h"
#include "hostapi/panel.h"
#include "libimgops/stars.h"

// Control identifiers of the panel-only controls (the settings' own are in
// the settings table).
enum class PanelControl : uint32_t {
  Logo = 0x8015,
  Preview = 0x8012,
  Parent = 0x800B,
  Load = 0x800F,
  Save = 0x8010,
  ParentPopup = 0x8001,  // the parent chooser's one control
};
// The identifier the toolkit knows the control by.
constexpr uint32_t control_id(PanelControl c) { return static_cast<uint32_t>(c); }

// The interface activation: answers 0, 1 (version not supported) or 2 (no
// toolkit, or no panel). local is the host's VHInterface.
int activate_interface(int version, VHGlobalFunc global, void* local, void* server_data);
// Creates the main panel over the instance; raises "error creating XPanel".
VHPanelID get_panel(vantrel* v);

// The toolkit's callbacks.
void* panel_get(void* instance, uint32_t value_id);
int panel_set(void* instance, uint32_t value_id, void* value);
void panel_destroyed(void* instance);
void draw_logo(VHPanelID panel, uint32_t control, VHDrawArea area, int width, int height);
void draw_preview(VHPanelID panel, uint32_t control, VHDrawArea area, int width, int height);
void do_ui_parent(VHPanelID panel, uint32_t control);
void do_ui_loadsave(VHPanelID panel, uint32_t control);

// The star loop stops at a multiple of ten stars once this has passed.
constexpr uint64_t kPreviewBudgetUs = 100000;

struct PreviewStats {
  int reached = 0;  // stars looked at before the time budget ran out
  int drawn = 0;    // spots handed to the rasteriser
};
// Draws the preview stars for the settings into the framebuffer, timing
// itself with the clock (microseconds).
PreviewStats draw_preview_stars(const VantrelSettings& s, const StarFramebuffer& fb,
                                uint64_t (*clock_us)());
// The byte the preview paints for a float, through the sRGB or the linear
// table (built on first use).
unsigned char preview_byte(float value, bool srgb);

// The parent chooser's entries: "NONE" without an item, then every object,
// light ("(Light) " first) and camera ("(Camera) " first) in the host's order.
struct ParentChoices {
  Array<String> names;
  Array<VHItemID> items;
};
void build_parent_choices(const VHItemInfo* items, ParentChoices& out);

// ---------------------------------------------------------------------------
// Shared by the panel's sources.

// The toolkit's table; raises when no interface activation has fetched it.
const VHPanelFuncs& panel_toolkit();
// The instance a panel's user data 0 holds; raises when it holds none.
vantrel* panel_instance(VHPanelID panel);
// The host's error message (the error operation of "Info Messages 2"), or
// the user's report when the host has no message service.
void show_error(const String& text);

// A hint list as the toolkit reads it: tags, their tokens, a closing 0.
class HintList {
public:
  // Adds a hint; the fixed tokens must be as many as the tag says, and a list
  // is given exactly when the tag says that one follows.
  HintList& add(uint32_t tag, std::initializer_list<VHPanelToken> fixed,
                std::initializer_list<VHPanelToken> list = {});
  // The tokens with the closing 0.
  const VHPanelToken* tokens();

  static VHPanelToken num(int32_t n) { return VH_TOKEN_NUM(n); }
  static VHPanelToken id(uint32_t control) { return VH_TOKEN_NUM(control); }
  static VHPanelToken id(PanelControl control) { return id(control_id(control)); }
  static VHPanelToken ptr(const void* p) { return VH_TOKEN_PTR(p); }
  template <class F>
  static VHPanelToken fn(F* f) {
    return reinterpret_cast<VHPanelToken>(f);
  }

private:
  Array<VHPanelToken> list_;
  bool closed_ = false;
};
