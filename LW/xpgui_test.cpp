// The filter's panel as a host shows it: the built plug-in's interface
// activated through the host's loader, on the host's panel toolkit model,
// answered by a scripted front end.
#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <string>
#include <vector>

#include "LW/xpgui.h"
#include "testsupport/test_harness.h"

namespace {

using harness::Harness;
using harness::PanelHarness;
using host::ControlClass;
using host::Value;

// Control identifiers, as the panel hands them to the toolkit.
constexpr uint32_t kBrightness = 0x8001;
constexpr uint32_t kBias = 0x8002;
constexpr uint32_t kTintStrength = 0x8003;
constexpr uint32_t kTint = 0x8004;
constexpr uint32_t kSaturation = 0x8005;
constexpr uint32_t kLumMax = 0x8006;
constexpr uint32_t kThreshold = 0x8007;
constexpr uint32_t kSize = 0x8008;
constexpr uint32_t kAspect = 0x8009;
constexpr uint32_t kBlur = 0x800A;
constexpr uint32_t kParent = 0x800B;
constexpr uint32_t kProjection = 0x800C;
constexpr uint32_t kAnamorphic = 0x800D;
constexpr uint32_t kPixels = 0x800E;
constexpr uint32_t kLoad = 0x800F;
constexpr uint32_t kSave = 0x8010;
constexpr uint32_t kStarFile = 0x8011;
constexpr uint32_t kPreview = 0x8012;
constexpr uint32_t kLogo = 0x8015;
constexpr uint32_t kThreeD = 0x8018;
constexpr uint32_t kParallax = 0x8019;

std::string ini_of(const Harness& hn) {
  return testing_support::read_bytes(hn.dir.file("plugin/vantrel.ini"));
}

bool black(const host::Raster& r) {
  for (uint8_t b : r.rgb)
    if (b) return false;
  return true;
}

}  // namespace

TEST(Panel, ControlsValuesAndHintsAsTheToolkitReadsThem) {
  PanelHarness hn;
  auto f = hn.instance("");
  host::OpenInterface ui(hn.kit, *hn.library, *f);
  const host::Panel& p = ui.panel();
  struct Row {
    uint32_t id;
    const char* label;
    ControlClass cls;
    const char* value_name;  // "" when the value table has no row for it
    const char* value_type;
  };
  using K = ControlClass;
  const Row rows[] = {
      {kLogo, "Logo", K::Thumbnail, "", ""},
      {kPreview, "Preview", K::Thumbnail, "", ""},
      {kBrightness, "Star Brightness", K::Float, "Star Brightness", "float"},
      {kBias, "Brightness Bias", K::Float, "", ""},
      {kSaturation, "Star Saturation", K::Float, "Star Saturation", "float"},
      {kTintStrength, "Tint Strength", K::Float, "", ""},
      {kTint, "Tint Color", K::Color, "", ""},
      {kLumMax, "Maximum Luminance", K::Float, "Maximum Luminance", "float"},
      {kThreshold, "Luminance Threshold", K::Float, "Luminance Threshold", "float"},
      {kSize, "Star Spot Size", K::Float, "Star Spot Size", "float"},
      {kAspect, "Star Aspect Ratio", K::Float, "Star Aspect Ratio", "float"},
      {kBlur, "Motion Blur Segments", K::Integer, "Motion Blur Segments", "integer"},
      {kParent, "Parent Object", K::Button, "", ""},
      {kProjection, "Projection:", K::Choice, "Hemispherical Projection", "integer"},
      {kThreeD, "3D Stars", K::Boolean, "3D Stars", "integer"},
      {kParallax, "Parallax Crush", K::Float, "Parallax Crush", "float"},
      {kPixels, "Treat Pixels As:", K::Choice, "Treat Pixels As:", "integer"},
      {kAnamorphic, "Anamorphic DOF", K::Boolean, "Anamorphic DOF", "integer"},
      {kStarFile, "Star Database File", K::FileName, "Star Database File", "string"},
      {kLoad, "Load Settings", K::Button, "", ""},
      {kSave, "Save Settings", K::Button, "", ""},
  };
  ASSERT_EQ(p.controls().size(), std::size(rows));
  for (size_t i = 0; i < std::size(rows); ++i) {
    const host::Control& c = p.controls()[i];
    SCOPED_TRACE(rows[i].label);
    EXPECT_EQ(c.id, rows[i].id);
    EXPECT_EQ(c.label, rows[i].label);
    EXPECT_EQ(c.cls, rows[i].cls);
    EXPECT_EQ(c.value_name, rows[i].value_name);
    EXPECT_EQ(c.value_type, rows[i].value_type);
  }
  EXPECT_EQ(p.value_order(), (std::vector<uint32_t>{kBrightness, kSaturation, kLumMax, kThreshold,
                                                    kSize, kAspect, kBlur, kThreeD, kParallax,
                                                    kProjection, kAnamorphic, kPixels, kStarFile}));
  EXPECT_EQ(p.title(), "Vantrel");
  EXPECT_EQ(p.first_focus(), kBrightness);
  for (const host::Control& c : p.controls()) {
    SCOPED_TRACE(c.label);
    const bool big = c.id == kBrightness || c.id == kSaturation || c.id == kLumMax ||
                     c.id == kThreshold || c.id == kSize || c.id == kAspect;
    EXPECT_EQ(c.ranged, big || c.id == kBlur);
    if (c.ranged) {
      EXPECT_EQ(c.min, 0);
      EXPECT_EQ(c.max, big ? 99999999 : 100);
      EXPECT_EQ(c.step, 1);
    }
    const int numeric = c.id == kBlur ? 50 : big && c.id != kThreshold ? 1 : 0;
    EXPECT_EQ(c.numeric, c.id == kTintStrength ? 1 : numeric);
    EXPECT_EQ(c.divider_after, c.id == kLogo || c.id == kBlur || c.id == kParallax ||
                                   c.id == kAnamorphic || c.id == kStarFile);
    EXPECT_EQ(c.row_partner, c.id == kProjection ? uint32_t{kThreeD}
                             : c.id == kLoad     ? uint32_t{kSave}
                                                 : 0u);
    EXPECT_EQ(c.button != nullptr, c.cls == K::Button);
    EXPECT_EQ(c.draw != nullptr, c.cls == K::Thumbnail);
    if (c.cls == K::Thumbnail) {
      // The second number is sign-extended to the token's width.
      EXPECT_EQ(c.area_config[0], 0);
      EXPECT_EQ(c.area_config[1], INT32_MIN);
    }
  }
  EXPECT_EQ(p.control(kPixels).choices, (std::vector<std::string>{"Linear Luminance", "sRGB"}));
  EXPECT_EQ(p.control(kProjection).choices,
            (std::vector<std::string>{"Persp", "HemiSph", "AzEqu"}));
  const host::FileField& file = p.control(kStarFile).file;
  EXPECT_TRUE(file.present);
  EXPECT_EQ(file.mode, 0);
  EXPECT_EQ(file.title, "Choose Star Database File");
  EXPECT_EQ(file.file_type, "");
}

TEST(Panel, ActivationOpensOnePanelPerInstance) {
  PanelHarness hn;
  host::FilterInstance f(*hn.server);
  vantrel& v = Harness::settings(f);
  auto activate = [&](VHInterface& record, int version = VH_INTERFACE_VERSION) {
    return host::activate_interface(*hn.library, "Vantrel", f.handle(), record, version);
  };
  VHInterface record{};
  EXPECT_EQ(activate(record, 3), VH_ACTIVATE_BADVERSION);
  EXPECT_FALSE(v.PanelOpen);
  // No toolkit, or no panel from it: no panel, and the instance can open one later.
  hn.host.withheld.insert(VH_PANEL);
  EXPECT_EQ(activate(record), VH_ACTIVATE_FAILED);
  EXPECT_FALSE(v.PanelOpen);
  hn.host.withheld.clear();
  hn.kit.refused_kinds.insert(VH_PANEL_VIEW);
  testing::internal::CaptureStderr();
  EXPECT_EQ(activate(record), VH_ACTIVATE_FAILED);
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(err.rfind("Error: error creating XPanel", 0), 0u) << err;
  EXPECT_FALSE(v.PanelOpen);
  EXPECT_EQ(hn.kit.open_panels(), 0u);
  hn.kit.refused_kinds.clear();

  // The configuration file is read again when the panel opens: an instance
  // without a database takes the default (and its 3D answer) before the
  // first value is read.
  const std::string db = hn.db({harness::ahead(0, 0)}, "VANTREL2", "default.stars");
  testing_support::write_bytes(hn.dir.file("plugin/vantrel.ini"),
                               "VantrelVersion 1\r\nDefaultStarFile \"" + db + "\"\r\n");
  ASSERT_TRUE(v.StarFile.empty());
  {
    host::OpenInterface ui(hn.kit, *hn.library, f);
    EXPECT_EQ(ui.panel().value(kStarFile).text, db);
    EXPECT_EQ(ui.panel().instance(), f.handle());
    EXPECT_TRUE(v.StarFileIs3D);
    EXPECT_TRUE(v.PanelOpen);
    // A second activation while it is open answers 0 and makes nothing.
    int mark = 0;
    VHInterface again{nullptr, &mark, &mark, &mark};
    EXPECT_EQ(activate(again), VH_ACTIVATE_OK);
    EXPECT_EQ(again.panel, &mark);
    EXPECT_EQ(hn.kit.open_panels(), 1u);
  }
  EXPECT_FALSE(v.PanelOpen);
  EXPECT_EQ(hn.kit.open_panels(), 0u);
}

TEST(Panel, EveryValueReachesItsSetting) {
  PanelHarness hn;
  const std::string db3 = hn.db({harness::ahead(0, 0)}, "VANTREL2", "three.stars");
  const std::string db2 = hn.db({harness::ahead(0, 0)}, "VANTREL1", "two.stars");
  auto f = hn.instance(db3);
  vantrel& v = Harness::settings(*f);
  v.StarFileIs3D = true;
  host::OpenInterface ui(hn.kit, *hn.library, *f);
  host::Panel& p = ui.panel();
  p.take_changes();
  const struct {
    uint32_t id;
    Value value;
  } entered[] = {
      {kBrightness, Value::of_real(3.5)},      {kBias, Value::of_real(1.5)},
      {kSaturation, Value::of_real(0.75)},     {kTintStrength, Value::of_real(0.25)},
      {kTint, Value::of_color(0.1, 0.2, 0.3)}, {kLumMax, Value::of_real(0.8)},
      {kThreshold, Value::of_real(0.002)},     {kSize, Value::of_real(3.25)},
      {kAspect, Value::of_real(1.75)},         {kBlur, Value::of_integer(7)},
      {kProjection, Value::of_integer(2)},     {kThreeD, Value::of_integer(1)},
      {kParallax, Value::of_real(0.5)},        {kPixels, Value::of_integer(0)},
      {kAnamorphic, Value::of_integer(1)},     {kStarFile, Value::of_text(db2 + "x")},
  };
  testing_support::write_bytes(db2 + "x", testing_support::read_bytes(db3));
  for (const auto& e : entered) {
    SCOPED_TRACE(p.control(e.id).label);
    p.set_value(e.id, e.value);
    // A stored value is redrawn with the drawing areas, and nothing else.
    EXPECT_EQ(p.take_changes(), (std::set<uint32_t>{e.id, kLogo, kPreview}));
    const Value& shown = p.value(e.id);
    EXPECT_TRUE(shown.present);
    EXPECT_EQ(shown.real[0], e.value.real[0]);
    EXPECT_EQ(shown.real[2], e.value.real[2]);
    EXPECT_EQ(shown.integer, e.value.integer);
    EXPECT_EQ(shown.text, e.value.text);
  }
  EXPECT_EQ(v.Brightness, 3.5);
  EXPECT_EQ(v.BrightnessBias, 1.5);
  EXPECT_EQ(v.Saturation, 0.75);
  EXPECT_EQ(v.TintStrength, 0.25);
  EXPECT_EQ(v.TintRed, 0.1);
  EXPECT_EQ(v.TintGreen, 0.2);
  EXPECT_EQ(v.TintBlue, 0.3);
  EXPECT_EQ(v.LumMax, 0.8);
  EXPECT_EQ(v.LumThreshold, 0.002);
  EXPECT_EQ(v.StarSize, 3.25);
  EXPECT_EQ(v.StarAspect, 1.75);
  EXPECT_EQ(v.BlurSegs, 7);
  EXPECT_EQ(v.Projection, 2);
  EXPECT_EQ(v.ThreeD, 1);
  EXPECT_EQ(v.Parallax, 0.5);
  EXPECT_EQ(v.sRGBFrameBuffer, 0);
  EXPECT_EQ(v.AnamorphicDOF, 1);
  EXPECT_EQ(v.StarFile, String((db2 + "x").c_str()));
  EXPECT_TRUE(hn.errors().empty());

  // A database without distances while 3D Stars is on: 3D goes off and every control is read again.
  p.set_value(kStarFile, Value::of_text(db2));
  EXPECT_EQ(v.StarFile, String(db2.c_str()));
  EXPECT_FALSE(v.StarFileIs3D);
  EXPECT_EQ(v.ThreeD, 0);
  EXPECT_EQ(p.value(kThreeD).integer, 0);
  EXPECT_EQ(p.take_changes().size(), p.controls().size());
  // With 3D Stars off, such a database is taken with a plain redraw.
  p.set_value(kStarFile, Value::of_text(db2));
  EXPECT_EQ(p.take_changes(), (std::set<uint32_t>{kStarFile, kLogo, kPreview}));
  // Switching 3D Stars on is now refused with the message; switching it off
  // never is, or a settings file that turned it on would trap it there.
  p.set_value(kThreeD, Value::of_integer(1));
  EXPECT_EQ(v.ThreeD, 0);
  v.ThreeD = 1;  // as a settings file might have it
  p.set_value(kThreeD, Value::of_integer(0));
  EXPECT_EQ(v.ThreeD, 0);
  const std::string refused =
      "Star database " + db2 + " does not support 3D star option (try hipparcos3D.stars).";
  EXPECT_EQ(hn.errors(), (std::vector<std::string>{refused}));
  // A file that is no star database is refused with the chosen path; the old one stays.
  const std::string text = hn.dir.file("notes.txt");
  testing_support::write_bytes(text, "these are not stars, these are words");
  p.set_value(kStarFile, Value::of_text(text));
  EXPECT_EQ(v.StarFile, String(db2.c_str()));
  EXPECT_EQ(p.value(kStarFile).text, db2);
  EXPECT_EQ(hn.errors().back(), text + " is not a valid star database file.");
  // The toolkit keeps numbers in their ranges as a field does.
  p.set_value(kBlur, Value::of_integer(1000));
  EXPECT_EQ(v.BlurSegs, 100);
  p.set_value(kBrightness, Value::of_real(-4));
  EXPECT_EQ(v.Brightness, 0.0);
  EXPECT_THROW(p.set_value(kProjection, Value::of_integer(3)), host::HostError);
  EXPECT_EQ(v.Projection, 2);
  // Settings the panel offers no range for still refuse what their float
  // cannot hold, and what no user would mean; the stored value stays.
  for (const auto& [id, value] : {std::pair{kBias, 1e300},
                                  {kBias, 0.0},
                                  {kTintStrength, 1e38},
                                  {kTintStrength, -0.5},
                                  {kParallax, 1e300}}) {
    SCOPED_TRACE(p.control(id).label + " " + std::to_string(value));
    const Value before = p.value(id);
    p.set_value(id, Value::of_real(value));
    EXPECT_EQ(p.value(id).real[0], before.real[0]);
  }
  p.set_value(kTint, Value::of_color(0.5, 2.0, 0.5));
  EXPECT_EQ(v.TintRed, 0.1);
  EXPECT_EQ(v.TintGreen, 0.2);
  EXPECT_EQ(v.BrightnessBias, 1.5);
  EXPECT_EQ(v.TintStrength, 0.25);
  EXPECT_EQ(v.Parallax, 0.5);
}

TEST(Panel, ClosingMakesTheDatabaseTheDefault) {
  PanelHarness hn;  // no default database beside the plug-in
  {
    host::FilterInstance f(*hn.server);
    host::OpenInterface ui(hn.kit, *hn.library, f);
    EXPECT_EQ(ui.panel().value(kStarFile).text, "NO FILE!");
  }
  // An empty database closes into a file without a "DefaultStarFile" line.
  EXPECT_EQ(ini_of(hn), "VantrelVersion 1\r\nDialogX -9999\r\nDialogY -9999\r\n");
  const std::string db = hn.db({harness::ahead(0, 0)}, "VANTREL1", "my sky.stars");
  {
    host::FilterInstance f(*hn.server);
    host::OpenInterface ui(hn.kit, *hn.library, f);
    ui.panel().set_value(kStarFile, Value::of_text(db));
  }
  EXPECT_EQ(ini_of(hn), "VantrelVersion 1\r\nDefaultStarFile \"" + db +
                            "\"\r\nDialogX -9999\r\nDialogY -9999\r\n");
  host::FilterInstance next(*hn.server);
  EXPECT_EQ(Harness::settings(next).StarFile, String(db.c_str()));
  EXPECT_FALSE(Harness::settings(next).StarFileIs3D);
  // The default keeps whether its database has distances: new instances may use 3D Stars.
  const std::string db3 = hn.db({harness::ahead(0, 0)}, "VANTREL2", "deep sky.stars");
  {
    host::OpenInterface ui(hn.kit, *hn.library, next);
    ui.panel().set_value(kStarFile, Value::of_text(db3));
  }
  host::FilterInstance third(*hn.server);
  EXPECT_EQ(Harness::settings(third).StarFile, String(db3.c_str()));
  EXPECT_TRUE(Harness::settings(third).StarFileIs3D);
}

TEST(Panel, LogoIsPaintedInTheTopLeftCorner) {
  PanelHarness hn;
  auto f = hn.instance("");
  host::OpenInterface ui(hn.kit, *hn.library, *f);
  host::Panel& p = ui.panel();
  auto logo_pixel = [](int x, int y, int c) {
    // Rows bottom first, pixels blue, green, red.
    return vantrel_logo[16 + ((kLogoHeight - 1 - y) * kLogoWidth + x) * 3 + (2 - c)];
  };
  p.set_area_size(kLogo, 100, 40);
  const host::Raster& small = p.raster(kLogo);
  EXPECT_EQ(small.painted_count(), 100 * 40);
  for (int y = 0; y < 40; ++y)
    for (int x = 0; x < 100; ++x)
      for (int c = 0; c < 3; ++c)
        ASSERT_EQ(small.at(x, y)[c], logo_pixel(x, y, c)) << x << "," << y;
  p.set_area_size(kLogo, 400, 100);
  const host::Raster& big = p.raster(kLogo);
  EXPECT_EQ(big.painted_count(), kLogoWidth * kLogoHeight);
  for (int y = 0; y < 100; ++y)
    for (int x = 0; x < 400; ++x) ASSERT_EQ(big.painted_at(x, y), x < 292 && y < 61);
  for (int c = 0; c < 3; ++c) EXPECT_EQ(big.at(291, 60)[c], logo_pixel(291, 60, c));
  // The picture's header: width and height, then zeros.
  EXPECT_EQ(vantrel_logo[0] | vantrel_logo[1] << 8, 292);
  EXPECT_EQ(vantrel_logo[4] | vantrel_logo[5] << 8, 61);
  for (int i : {2, 3, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15}) EXPECT_EQ(vantrel_logo[i], 0);
}

// The preview's star loop stops when its time budget runs out, which a busy
// or emulated machine can reach: what is checked here holds for any number
// of stars drawn (the first ten always are). Exact counts and sizes are
// checked on the core with a clock of the test's own.
TEST(Panel, PreviewFollowsTheSettings) {
  PanelHarness hn;
  auto f = hn.instance("");
  host::OpenInterface ui(hn.kit, *hn.library, *f);
  host::Panel& p = ui.panel();
  p.set_area_size(kPreview, 200, 150);
  const host::Raster plain = p.raster(kPreview);
  EXPECT_EQ(plain.painted_count(), 200 * 150);
  EXPECT_FALSE(black(plain));
  auto with = [&](uint32_t id, Value v) {
    p.set_value(id, v);
    return p.raster(kPreview);
  };
  // No star is as bright as 0.9999: an all-black area.
  EXPECT_TRUE(black(with(kThreshold, Value::of_real(0.9999))));
  EXPECT_FALSE(black(with(kThreshold, Value::of_real(0.001))));
  // A spot of no size shows nothing.
  EXPECT_TRUE(black(with(kSize, Value::of_real(0))));
  p.set_value(kSize, Value::of_real(4));
  EXPECT_TRUE(black(with(kAspect, Value::of_real(0))));
  p.set_value(kAspect, Value::of_real(1));
  // Full tint at full saturation: every spot has exactly the tint colour.
  p.set_value(kTintStrength, Value::of_real(1));
  p.set_value(kSaturation, Value::of_real(1));
  const host::Raster red = with(kTint, Value::of_color(1, 0, 0));
  EXPECT_FALSE(black(red));
  for (int y = 0; y < 150; ++y)
    for (int x = 0; x < 200; ++x) {
      ASSERT_EQ(red.at(x, y)[1], 0);
      ASSERT_EQ(red.at(x, y)[2], 0);
    }
  // No saturation: grey, whatever the tint.
  const host::Raster grey = with(kSaturation, Value::of_real(0));
  EXPECT_FALSE(black(grey));
  for (int y = 0; y < 150; ++y)
    for (int x = 0; x < 200; ++x) {
      ASSERT_EQ(grey.at(x, y)[0], grey.at(x, y)[1]);
      ASSERT_EQ(grey.at(x, y)[1], grey.at(x, y)[2]);
    }
  // "Treat Pixels As:" picks the byte table: sRGB-encoded bytes are brighter
  // than linear ones for every value between black and white.
  const host::Raster srgb = with(kPixels, Value::of_integer(1));
  const host::Raster linear = with(kPixels, Value::of_integer(0));
  int brighter = 0;
  for (int y = 0; y < 150; ++y)
    for (int x = 0; x < 200; ++x) {
      ASSERT_GE(srgb.at(x, y)[0], linear.at(x, y)[0]) << x << "," << y;
      brighter += srgb.at(x, y)[0] > linear.at(x, y)[0];
    }
  EXPECT_GT(brighter, 100);
  p.set_area_size(kPreview, 1, 1);
  EXPECT_EQ(p.raster(kPreview).painted_count(), 1);
}

TEST(Panel, ParentChooser) {
  PanelHarness hn;
  host::Scene& scene = hn.host.scene;
  const uint32_t rock = scene.add(host::ItemKind::Object, "Rock").id;
  const uint32_t tree = scene.add(host::ItemKind::Object, "Tree").id;
  const uint32_t sun = scene.add(host::ItemKind::Light, "Sun").id;
  auto f = hn.instance("");
  vantrel& v = Harness::settings(*f);
  host::OpenInterface ui(hn.kit, *hn.library, *f);
  // Each dialog: what it opened on, then the answer.
  std::vector<std::string> entries;
  int opened_on = -1;
  auto answer = [&](int index, bool confirm) {
    hn.front.dialogs.push_back([&, index, confirm](host::Panel& form) {
      EXPECT_TRUE(form.is_form());
      EXPECT_EQ(form.title(), "Parent Stars to Object");
      EXPECT_EQ(form.button_set(), 2);
      EXPECT_EQ(form.first_focus(), 0x8001u);
      EXPECT_EQ(form.control(0x8001).label, "Parent:");
      EXPECT_EQ(form.control(0x8001).cls, ControlClass::PopChoice);
      entries = form.choices(0x8001);
      opened_on = form.value(0x8001).integer;
      form.set_value(0x8001, Value::of_integer(index));
      return confirm;
    });
    ui.panel().press(kParent);
    EXPECT_EQ(hn.kit.open_panels(), 1u);  // the form is gone again
  };
  answer(3, true);
  EXPECT_EQ(entries,
            (std::vector<std::string>{"NONE", "Rock", "Tree", "(Light) Sun", "(Camera) Camera"}));
  EXPECT_EQ(opened_on, 0);
  EXPECT_EQ(v.ParentID, host::Host::to_id(sun));
  answer(1, false);  // cancelled: the parent stays
  EXPECT_EQ(opened_on, 3);
  EXPECT_EQ(v.ParentID, host::Host::to_id(sun));
  v.ParentID = host::Host::to_id(tree);
  answer(0, true);  // NONE clears it
  EXPECT_EQ(opened_on, 2);
  EXPECT_EQ(v.ParentID, nullptr);
  // An item that is no longer in the scene opens on NONE; confirming clears it.
  v.ParentID = host::Host::to_id(4242);
  answer(0, true);
  EXPECT_EQ(opened_on, 0);
  EXPECT_EQ(v.ParentID, nullptr);
  // No form from the toolkit: told to the host (whose panel shows it), the
  // parent stays, nothing is posted.
  v.ParentID = host::Host::to_id(rock);
  hn.kit.refused_kinds.insert(VH_PANEL_FORM);
  ui.panel().press(kParent);
  ASSERT_FALSE(hn.host.messages.empty());
  EXPECT_EQ(hn.host.messages.back().kind, host::Message::Error);
  EXPECT_EQ(hn.host.messages.back().first, "Vantrel: error creating XPanel");
  EXPECT_EQ(v.ParentID, host::Host::to_id(rock));
  EXPECT_EQ(hn.front.posted.size(), 4u);
}

TEST(Panel, SettingsFilesThroughTheRequester) {
  PanelHarness hn;
  auto f = hn.instance("");
  vantrel& v = Harness::settings(*f);
  host::OpenInterface ui(hn.kit, *hn.library, *f);
  host::Panel& p = ui.panel();
  p.set_value(kSize, Value::of_real(3.25));
  p.take_changes();
  const std::string first = hn.dir.file("first.settings"), second = hn.dir.file("second.settings");

  hn.front.files.push_back(first);
  p.press(kSave);
  ASSERT_EQ(hn.front.requests.size(), 1u);
  const host::FileRequest& save = hn.front.requests[0];
  EXPECT_EQ(save.title, "Save Vantrel Settings To File");
  EXPECT_TRUE(save.save);
  EXPECT_EQ(save.pattern, "*.settings");
  EXPECT_EQ(save.folder, ".");
  EXPECT_NE(testing_support::read_bytes(first).find("\nStarSize 3.25\n"), std::string::npos);
  // Saving does not refresh the panel: a value changed behind its back still shows the old one.
  v.StarSize = 9;
  hn.front.files.push_back(second);
  p.press(kSave);
  EXPECT_TRUE(p.take_changes().empty());
  EXPECT_EQ(p.value(kSize).real[0], 3.25);
  // Loading does: every control shows what was loaded.
  v.StarSize = 2;
  hn.front.files.push_back(second);
  p.press(kLoad);
  EXPECT_EQ(hn.front.requests.back().title, "Load Vantrel Settings From File");
  EXPECT_FALSE(hn.front.requests.back().save);
  EXPECT_EQ(v.StarSize, 9.0);
  EXPECT_EQ(p.value(kSize).real[0], 9.0);
  EXPECT_EQ(p.take_changes().size(), p.controls().size());

  // A cancelled requester reads, writes and reports nothing.
  v.StarSize = 5;
  const size_t told = hn.host.messages.size();
  testing::internal::CaptureStderr();
  hn.front.files.push_back(std::nullopt);
  p.press(kLoad);
  hn.front.files.push_back(std::nullopt);
  p.press(kSave);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  EXPECT_EQ(hn.host.messages.size(), told);
  EXPECT_EQ(v.StarSize, 5.0);
  EXPECT_TRUE(p.take_changes().empty());
  EXPECT_EQ(hn.host.written, (std::vector<std::string>{first, second}));
  // The plug-in's failures go to the host's messages, which its panel shows.
  auto last_error = [&] {
    return hn.host.messages.size() > told && hn.host.messages.back().kind == host::Message::Error
               ? hn.host.messages.back().first
               : std::string("(no error)");
  };
  // A file that cannot be opened is reported, and the panel is not refreshed.
  hn.front.files.push_back(hn.dir.file("missing.settings"));
  p.press(kLoad);
  EXPECT_EQ(last_error(), "Vantrel: error opening settings file");
  EXPECT_TRUE(p.take_changes().empty());
  hn.front.files.push_back(hn.dir.file("no/such/folder.settings"));
  p.press(kSave);
  EXPECT_EQ(last_error(), "Vantrel: error saving settings file");
  // Each missing service is named; the requester is not shown.
  const size_t asked = hn.front.requests.size();
  const std::pair<const char*, const char*> services[] = {
      {VH_FILE_REQUEST, "no file requester global"},
      {VH_FILE_TYPE_PATTERN, "no file type global"},
      {VH_DIRECTORY_INFO, "no dir info global"}};
  for (const auto& [global, message] : services) {
    hn.host.withheld = {global};
    p.press(kSave);
    EXPECT_EQ(last_error(), std::string("Vantrel: ") + message);
  }
  EXPECT_EQ(hn.front.requests.size(), asked);
}
