// The panel toolkit model's own rules, driven through its C table as a
// plug-in would: decoding, refusing what it does not know, painting, the
// file requester, closing, and its one thread.
#include "host/panel/panel.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <thread>

namespace {

const VHPanelFuncs* toolkit() {
  return static_cast<const VHPanelFuncs*>(host::Host::global_lookup(VH_PANEL, 0));
}

bool noted(const host::PanelToolkit& kit, const std::string& text) {
  return std::any_of(kit.problems.begin(), kit.problems.end(),
                     [&](const std::string& p) { return p.find(text) != std::string::npos; });
}

void* closed_with = nullptr;

// Paints one pixel inside, one outside, and one too bright.
void paint_three(VHPanelID, uint32_t, VHDrawArea area, int, int) {
  const VHPanelDrawFuncs* d = toolkit()->draw;
  d->rgb_pixel(d, area, 0, 0, 10, 20, 30);
  d->rgb_pixel(d, area, -1, 0, 10, 20, 30);
  d->rgb_pixel(d, area, 1, 1, 300, 0, 0);
}

}  // namespace

// A form with a float, a drawing area, a control of a class the model does
// not know and a file name, given hints of every kind, some of them wrong.
class FormPanel : public ::testing::Test {
protected:
  FormPanel() : kit(h, front) { h.echo_messages = false; }
  void SetUp() override {
    closed_with = nullptr;
    ASSERT_NE(xp, nullptr);
    const VHPanelControl controls[] = {{1, "Amount", "float"},
                                       {2, "Area", "dThumbnail"},
                                       {3, "Knob", "knob"},
                                       {4, "Path", "sFileName"},
                                       {0, nullptr, nullptr}};
    id = xp->create(xp, VH_PANEL_FORM, controls);
    ASSERT_NE(id, nullptr);
    xp->set_data(xp, id, 0, &user);
    const VHPanelToken hints[] = {
        VH_HINT_RANGE, 1, VH_TOKEN_NUM(-5), VH_TOKEN_NUM(5), 1,
        // An unknown tag with one fixed token: passed over whole.
        0x3D7F0001, 99, VH_HINT_DRAW, 1,
        reinterpret_cast<VHPanelToken>(paint_three),  // not a drawing area
        VH_HINT_DRAW, 2, reinterpret_cast<VHPanelToken>(paint_three), VH_HINT_DIVIDER, 1, 2, 7, 0,
        // A 32-bit number that was not sign-extended to the token's width.
        VH_HINT_AREA, 2, 0, static_cast<VHPanelToken>(static_cast<uint32_t>(0x80000000u)),
        VH_HINT_DESTROY, reinterpret_cast<VHPanelToken>(+[](void* d) { closed_with = d; }), 0,
        VH_HINT_FOCUS, 2, 0};
    xp->hint(xp, id, 0, hints);
    const VHPanelValue values[] = {{1, "Amount", "integer"}, {0, nullptr, nullptr}};
    xp->describe(xp, id, values, nullptr, nullptr);
  }
  host::Panel& panel() { return kit.panel(id); }

  host::Host h;
  host::ScriptedFrontEnd front;
  host::PanelToolkit kit;
  const VHPanelFuncs* xp = toolkit();
  VHPanelID id = nullptr;
  int user = 0;
};

TEST_F(FormPanel, DecodesHintsAndNotesWhatItDoesNotKnow) {
  host::Panel& p = panel();
  const host::Control& amount = p.control(1);
  EXPECT_TRUE(amount.ranged);
  EXPECT_EQ(amount.min, -5);
  EXPECT_EQ(amount.max, 5);
  EXPECT_EQ(amount.draw, nullptr);
  EXPECT_TRUE(amount.divider_after);
  EXPECT_TRUE(p.control(2).divider_after);
  EXPECT_FALSE(p.control(4).divider_after);
  EXPECT_EQ(p.first_focus(), 2u);
  EXPECT_TRUE(noted(kit, "control 0x3 of unknown class \"knob\""));
  EXPECT_TRUE(noted(kit, "unknown hint 0x3D7F0001"));
  EXPECT_TRUE(noted(kit, "hint 0x3D016502 does not apply to float control \"Amount\""));
  EXPECT_TRUE(noted(kit, "names no control 0x7"));
  EXPECT_TRUE(noted(kit, "value \"Amount\" of type \"integer\" for a float control"));
  EXPECT_EQ(noted(kit, "is not a sign-extended 32-bit number"), sizeof(VHPanelToken) == 8);
}

// A form keeps its values; the user's are limited to the range.
TEST_F(FormPanel, KeepsItsValuesWithinTheirRange) {
  host::Panel& p = panel();
  const size_t problems = kit.problems.size();
  p.set_value(1, host::Value::of_real(9));
  EXPECT_EQ(*static_cast<const double*>(xp->form_get(xp, id, 1)), 5.0);
  EXPECT_THROW(p.set_value(1, host::Value::of_real(std::nan(""))), host::HostError);
  EXPECT_EQ(p.value(1).real[0], 5.0);
  double two = 2;
  xp->form_set(xp, id, 1, &two);
  EXPECT_EQ(p.value(1).real[0], 2.0);
  EXPECT_EQ(kit.problems.size(), problems);  // values, not faults of the plug-in
}

// Painting: only inside the area, components 0 to 255, and only while drawing.
TEST_F(FormPanel, PaintsInsideTheAreaWhileDrawing) {
  host::Panel& p = panel();
  p.set_area_size(2, 4, 3);
  const host::Raster& r = p.raster(2);
  EXPECT_EQ(r.painted_count(), 2);
  EXPECT_EQ(r.at(0, 0)[0], 10);
  EXPECT_EQ(r.at(0, 0)[2], 30);
  EXPECT_EQ(r.at(1, 1)[0], 255);
  EXPECT_EQ(r.at(3, 2)[0], host::Raster::kBackground);
  EXPECT_TRUE(noted(kit, "pixel (-1, 0) is outside its 4 x 3 area"));
  EXPECT_TRUE(noted(kit, "a colour component 300"));
  EXPECT_FALSE(noted(kit, "outside a drawing operation"));
  xp->draw->rgb_pixel(xp->draw, const_cast<host::Raster*>(&r), 0, 0, 1, 1, 1);
  EXPECT_TRUE(noted(kit, "a pixel painted outside a drawing operation"));
  EXPECT_EQ(r.at(0, 0)[0], 10);
}

// Only the thread that made the toolkit may use it.
TEST_F(FormPanel, RefusesOtherThreads) {
  host::Panel& p = panel();
  bool refused = false;
  std::thread other([&] {
    try {
      p.set_value(1, host::Value::of_real(1));
    } catch (const host::HostError&) {
      refused = true;
    }
  });
  other.join();
  EXPECT_TRUE(refused);
  p.set_value(1, host::Value::of_real(1));  // this thread may
  EXPECT_EQ(p.value(1).real[0], 1.0);
}

// Closing runs the destroy notification with the form's user data, once.
TEST_F(FormPanel, ClosingNotifiesOnce) {
  kit.close(id);
  EXPECT_EQ(closed_with, &user);
  EXPECT_EQ(kit.open_panels(), 0u);
  EXPECT_EQ(kit.find(id), nullptr);
  closed_with = nullptr;
  EXPECT_FALSE(noted(kit, "destroy of a panel that is not open"));
  xp->destroy(xp, id);
  EXPECT_TRUE(noted(kit, "destroy of a panel that is not open"));
  EXPECT_EQ(closed_with, nullptr);
}

// A chosen path longer than the plug-in's buffers is not handed over cut
// short; one that fits is split into name and folder.
TEST(PanelToolkit, FileRequesterKeepsToThePluginsBuffers) {
  host::Host h;
  h.echo_messages = false;
  host::ScriptedFrontEnd front;
  host::PanelToolkit kit(h, front);
  front.files.push_back("/a/rather/long/path.settings");
  char name[16] = "<*.settings", folder[16] = ".", full[16] = "";
  const VHFileRequestFuncs* fr =
      static_cast<const VHFileRequestFuncs*>(host::Host::global_lookup(VH_FILE_REQUEST, 0));
  EXPECT_EQ(fr->request(fr, "Pick", name, folder, full, 16), 0);
  EXPECT_STREQ(full, "");
  ASSERT_EQ(h.messages.size(), 1u);
  EXPECT_NE(h.messages[0].first.find("longer than the plug-in can take (15 bytes)"),
            std::string::npos);
  front.files.push_back("/t/a.settings");
  EXPECT_EQ(fr->request(fr, "Pick", name, folder, full, 16), 1);
  EXPECT_STREQ(full, "/t/a.settings");
  EXPECT_STREQ(name, "a.settings");
  EXPECT_STREQ(folder, "/t");
  EXPECT_FALSE(front.requests[0].save);
  EXPECT_EQ(front.requests[0].pattern, "*.settings");
}
