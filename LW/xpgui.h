// The filter's interface on the host's panel toolkit ("LWXPanel"): the main
// panel over one instance (every setting, the logo, a live preview of the
// star look), the parent chooser, and the settings files through the host's
// file requester. Every operation the toolkit calls runs behind the firewall.
#pragma once

#include <cstdint>
#include <initializer_list>

#include "LW/vantrel.h"
#include "hostapi/panel.h"
#include "libimgops/stars.h"

// Control identifiers of the panel-only controls (the settings' own are in
// the settings table).
enum PanelControl : uint32_t {
  kLogoControl = 0x8015,
  kPreviewControl = 0x8012,
  kParentControl = 0x800B,
  kLoadControl = 0x800F,
  kSaveControl = 0x8010,
  kParentPopup = 0x8001,  // the parent chooser's one control
};

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

// The logo: a 16-byte header (width 292 and height 61 as 32-bit little-endian
// numbers, eight zeros), then blue, green, red per pixel, rows bottom first.
constexpr int kLogoWidth = 292, kLogoHeight = 61;
constexpr int kLogoBytes = 16 + kLogoWidth * kLogoHeight * 3;
extern const unsigned char vantrel_logo[kLogoBytes];

// The preview's fixed stars: position as fractions of the area (0 the left
// edge and the top row), linear luminance, colour parameter (0 yellow, 1 blue).
struct PreviewStar {
  float x, y, luminance, colour;
};
constexpr int kPreviewStars = 200;
extern const PreviewStar preview_stars[kPreviewStars];

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
  static VHPanelToken ptr(const void* p) { return VH_TOKEN_PTR(p); }
  template <class F>
  static VHPanelToken fn(F* f) {
    return reinterpret_cast<VHPanelToken>(f);
  }

private:
  Array<VHPanelToken> list_;
  bool closed_ = false;
};
