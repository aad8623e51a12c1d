#include "LW/settings.h"

#include <array>
#include <cmath>
#include <cstring>

#include "LW/config_file.h"
#include "LW/firewall.h"
#include "LW/instance.h"
#include "LW/load_state.h"
#include "LW/module_state.h"

namespace {

constexpr uint32_t ID(const char (&s)[5]) {
  return VH_BLOCK_ID(static_cast<unsigned char>(s[0]), static_cast<unsigned char>(s[1]),
                     static_cast<unsigned char>(s[2]), static_cast<unsigned char>(s[3]));
}

// The largest value the panel lets a user enter for a brightness or a size.
constexpr double kPanelMax = 99999999;

using S = VantrelSettings;

constexpr SettingRow special(const char (&id)[5], const char* keyword, SettingKind kind) {
  return {ID(id), keyword, kind, 0, false, 0, 0, nullptr, nullptr, {}};
}
constexpr SettingRow real(const char (&id)[5], const char* keyword, double S::*field,
                          double initial, bool ranged = false) {
  return {ID(id), keyword, SettingKind::Real, initial, ranged, 0, kPanelMax, field, nullptr, {}};
}
constexpr SettingRow integer(const char (&id)[5], const char* keyword, int32_t S::*field,
                             double initial, SettingKind kind = SettingKind::Integer) {
  return {ID(id), keyword, kind, initial, false, 0, 0, nullptr, field, {}};
}
constexpr SettingRow with_range(SettingRow row, double lo, double hi) {
  row.ranged = true;
  row.lo = lo;
  row.hi = hi;
  return row;
}
// Settings the panel gives no range still take only values a user could
// mean: a tint of 1e38 would write pixels of 6.6e37 without a word.
constexpr SettingRow with_bounds(SettingRow row, double lo, double hi) {
  row = with_range(row, lo, hi);
  row.bounds_only = true;
  return row;
}

// A control of the panel bound to the row: identifier, place in the control
// table, label and class; a row of the value table (name and place) when it
// has one; the number field's parameter hint (0: none).
constexpr SettingRow on_panel(SettingRow row, uint32_t control, int place, const char* label,
                              const char* control_class, const char* value_name = nullptr,
                              int value_place = 0, int numeric = 0) {
  row.panel = {control, place, label, control_class, value_name, value_place, numeric, 0};
  return row;
}
// A further component of the colour control of the row before.
constexpr SettingRow colour_part(SettingRow row, const SettingRow& first, int component) {
  row.panel = first.panel;
  row.panel.component = component;
  return row;
}

// Version-1 data names the projection by an inner block.
constexpr uint32_t PERS = ID("PERS"), HEMI = ID("HEMI"), ENDI = ID("ENDI");
const VHBlockID v1_projection_ids[] = {
    {PERS, "Perspective"}, {HEMI, "Hemispherical"}, {0, nullptr}};

const char* const projection_names[] = {"Perspective", "Hemispherical", "AzimuthalEquidistant"};

// Entries of the identifier table, its terminating entry included.
constexpr ptrdiff_t arraysize(const VHBlockID*) { return kBlockIdCount; }

}  // namespace

// Saturation is written before BrightnessBias: the order on disk, not the
// order of the fields.
constexpr SettingRow tint_red = on_panel(
    with_bounds(real("TINR", "TintRed", &S::TintRed, 1.0), 0, 1), 0x8004, 6, "Tint Color", "color");

// Saturation is written before BrightnessBias: the order on disk, not the
// order of the fields. The panel shows the settings in another order again:
// each row's place.
const SettingRow vantrel_settings[kSettingCount] = {
    special("VERS", "VantrelVersion", SettingKind::Version),
    on_panel(special("SFIL", "StarFile", SettingKind::Path), 0x8011, 18, "Star Database File",
             "sFileName", "Star Database File", 12),
    on_panel(real("SSIZ", "StarSize", &S::StarSize, 2.5, true), 0x8008, 9, "Star Spot Size",
             "float", "Star Spot Size", 4, 1),
    on_panel(real("SASP", "StarAspect", &S::StarAspect, 1.0, true), 0x8009, 10, "Star Aspect Ratio",
             "float", "Star Aspect Ratio", 5, 1),
    on_panel(real("LTHR", "LumThreshold", &S::LumThreshold, 0.001, true), 0x8007, 8,
             "Luminance Threshold", "float", "Luminance Threshold", 3),
    on_panel(real("LMAX", "LumMax", &S::LumMax, 0.5, true), 0x8006, 7, "Maximum Luminance", "float",
             "Maximum Luminance", 2, 1),
    on_panel(real("SBRI", "Brightness", &S::Brightness, 5.0, true), 0x8001, 2, "Star Brightness",
             "float", "Star Brightness", 0, 1),
    on_panel(real("SSAT", "Saturation", &S::Saturation, 0.4, true), 0x8005, 4, "Star Saturation",
             "float", "Star Saturation", 1, 1),
    on_panel(with_bounds(real("BIAS", "BrightnessBias", &S::BrightnessBias, 1.0), 0.01, 100),
             0x8002, 3, "Brightness Bias", "float"),
    on_panel(with_bounds(real("TSTR", "TintStrength", &S::TintStrength, 0.0), 0, 1), 0x8003, 5,
             "Tint Strength", "float", nullptr, 0, 1),
    tint_red,
    colour_part(with_bounds(real("TING", "TintGreen", &S::TintGreen, 1.0), 0, 1), tint_red, 1),
    colour_part(with_bounds(real("TINB", "TintBlue", &S::TintBlue, 1.0), 0, 1), tint_red, 2),
    on_panel(with_range(integer("BLSG", "BlurSegs", &S::BlurSegs, 1), 0, 100), 0x800A, 11,
             "Motion Blur Segments", "integer", "Motion Blur Segments", 6, 50),
    special("PRID", "ParentID", SettingKind::Parent),
    on_panel(integer("SRGB", "sRGBFrameBuffer", &S::sRGBFrameBuffer, 1), 0x800E, 16,
             "Treat Pixels As:", "iChoice", "Treat Pixels As:", 11),
    on_panel(integer("ADOF", "AnamorphicDOF", &S::AnamorphicDOF, 0), 0x800D, 17, "Anamorphic DOF",
             "iBoolean", "Anamorphic DOF", 10),
    on_panel(integer("THRD", "ThreeD", &S::ThreeD, 0), 0x8018, 14, "3D Stars", "iBoolean",
             "3D Stars", 7),
    on_panel(integer("PROJ", "Projection", &S::Projection, 0, SettingKind::Projection), 0x800C, 13,
             "Projection:", "iChoice", "Hemispherical Projection", 9),
    on_panel(with_bounds(real("PARA", "Parallax", &S::Parallax, 0.0), -1000, 1000), 0x8019, 15,
             "Parallax Crush", "float", "Parallax Crush", 8),
    special("ENDI", "END", SettingKind::End),
};

const VHBlockID* vantrel_block_ids() {
  static const std::array<VHBlockID, kBlockIdCount> ids = [] {
    std::array<VHBlockID, kBlockIdCount> a{};
    for (size_t i = 0; i < kBlockIdCount - 1; ++i)
      a[i] = VHBlockID{vantrel_settings[i].id, vantrel_settings[i].keyword};
    a[kBlockIdCount - 1] = VHBlockID{0, nullptr};
    return a;
  }();
  return ids.data();
}

const SettingRow* find_setting(uint32_t id) {
  for (const SettingRow& row : vantrel_settings)
    if (row.id == id) return &row;
  return nullptr;
}

void setting_defaults(VantrelSettings& s, const String& star_file, bool star_file_3d) {
  s.StarFile = star_file;
  s.StarFileIs3D = star_file_3d;
  s.ParentID = nullptr;
  for (const SettingRow& row : vantrel_settings) {
    if (row.real) s.*row.real = row.initial;
    if (row.integer) s.*row.integer = static_cast<int32_t>(row.initial);
  }
}

// Limits are compared as saved: 99999999 is stored as the float 1e8 and must read back.
// A value the stored float cannot hold would be saved as inf and lost on the next load.
bool setting_accepts(const SettingRow& row, double value) {
  return std::isfinite(static_cast<float>(value)) &&
         (!row.ranged ||
          (value >= static_cast<float>(row.lo) && value <= static_cast<float>(row.hi)));
}

const char* projection_name(int projection) {
  return projection >= 0 && projection < 3 ? projection_names[projection] : nullptr;
}

namespace {

// True when a value read for the setting may be kept; otherwise warns,
// naming the keyword, the value and what was expected.
bool acceptable(const SettingRow& row, double value) {
  if (setting_accepts(row, value)) return true;
  if (!std::isfinite(value)) {
    warning(VANTREL_FUNCTION, "%s %g is not a finite number; the setting is kept as it was",
            row.keyword, value);
  } else {
    warning(VANTREL_FUNCTION, "%s %g is outside %.10g to %.10g; the setting is kept as it was",
            row.keyword, value, row.lo, row.hi);
  }
  return false;
}

void write_setting(const SettingRow& row, const vantrel& v, const st_LWSaveState* s) {
  auto i4 = [s](int32_t value) { s->write_i4(s->data, &value, 1); };
  switch (row.kind) {
    case SettingKind::Version: i4(2); break;
    case SettingKind::Path: s->write_str(s->data, v.StarFile.c_str()); break;
    case SettingKind::Real: {
      const float f = static_cast<float>(v.*row.real);
      s->write_fp(s->data, &f, 1);
      break;
    }
    case SettingKind::Integer: i4(v.*row.integer); break;
    // Item identifiers fit in 32 bits: the low half is the whole of it.
    case SettingKind::Parent:
      i4(static_cast<int32_t>(static_cast<uint32_t>(reinterpret_cast<uintptr_t>(v.ParentID))));
      break;
    case SettingKind::Projection: s->write_str(s->data, projection_name(v.*row.integer)); break;
    case SettingKind::End: break;
  }
}

// The version-1 star file block holds the path between double quotes; false
// (with a warning) when it does not.
bool v1_star_file(const SettingRow& row, char* buf, String& path) {
  char* lastquote = buf[0] == '"' ? strrchr(buf + 1, '"') : nullptr;
  if (!lastquote) {
    warning(VANTREL_FUNCTION, "%s %s is not a path in double quotes; the setting is kept",
            row.keyword, buf);
    return false;
  }
  *lastquote = '\0';
  path = buf + 1;
  return true;
}

void read_star_file(const SettingRow& row, vantrel& v, int version, const st_LWLoadState* s) {
  char buf[4096];
  String path;
  if (version == 1) {
    const int n = s->read(s->data, buf, 4095);
    buf[n > 0 ? n : 0] = '\0';
    // A malformed path skips this one value; the blocks after it still count.
    if (!v1_star_file(row, buf, path)) return;
  } else {
    if (s->read_str(s->data, buf, sizeof buf) < 0) buf[0] = '\0';
    path = buf;
  }
  v.StarFile = path;
  // A database that cannot be used gives way to the default one, so that a
  // scene moved to another machine still renders; but never without a word,
  // or a mistyped path would render the wrong sky unnoticed.
  const StarFileHeader header = read_star_file_header(v.StarFile.c_str());
  v.StarFileIs3D = header.is_3d;
  if (header.valid || v.StarFile.empty()) {
    if (!header.valid) v.StarFile = default_star_file_path(&v.StarFileIs3D);
    return;
  }
  const String unusable = v.StarFile;
  v.StarFile = default_star_file_path(&v.StarFileIs3D);
  if (v.StarFile.empty())
    warning(VANTREL_FUNCTION, "star database %s: %s; there is no default database to use instead",
            unusable.c_str(), header.problem());
  else
    warning(VANTREL_FUNCTION, "star database %s: %s; using the default database %s instead",
            unusable.c_str(), header.problem(), v.StarFile.c_str());
}

int read_projection(int version, const st_LWLoadState* s) {
  if (version == 1)
    return s->find_block(s->data, v1_projection_ids) == HEMI ? Hemispherical : Perspective;
  char buf[4096];
  if (s->read_str(s->data, buf, sizeof buf) < 0) buf[0] = '\0';
  for (int p : {Perspective, Hemispherical, AzimuthalEquidistant})
    if (!strcmp(buf, projection_names[p])) return p;
  warning(VANTREL_FUNCTION,
          "Projection \"%s\" names no projection (Perspective, Hemispherical or "
          "AzimuthalEquidistant); Perspective is used",
          buf);
  return Perspective;
}

// Reads one block's value into the instance. A value that cannot be read, or
// that no panel would accept, leaves the setting as it was.
void read_setting(const SettingRow& row, int& version, vantrel& v, const st_LWLoadState* s) {
  int32_t x = 0;
  float f = 0.0f;
  switch (row.kind) {
    case SettingKind::Version:
      if (s->read_i4(s->data, &x, 1) != 1) break;
      version = x == 1 ? 1 : 2;
      if (x != 1 && x != 2)
        warning(VANTREL_FUNCTION,
                "VantrelVersion %d is neither 1 nor 2; the settings are read as version 2", x);
      break;
    case SettingKind::Path: read_star_file(row, v, version, s); break;
    case SettingKind::Real:
      if (s->read_fp(s->data, &f, 1) == 1 && acceptable(row, f)) v.*row.real = f;
      break;
    case SettingKind::Integer:
      if (s->read_i4(s->data, &x, 1) == 1 && acceptable(row, x)) v.*row.integer = x;
      break;
    case SettingKind::Parent:
      if (s->read_i4(s->data, &x, 1) == 1)
        v.ParentID = reinterpret_cast<VHItemID>(static_cast<uintptr_t>(static_cast<uint32_t>(x)));
      break;
    case SettingKind::Projection: v.*row.integer = read_projection(version, s); break;
    case SettingKind::End: break;
  }
}

}  // namespace

void vantrel_save(const vantrel* v, const st_LWSaveState* s, bool scene) {
  const VHBlockID* const idroot = vantrel_block_ids();
  const VHBlockID* id = idroot;
  // The cursor walks the identifier table row by row, as the rows are written.
  for (const SettingRow& row : vantrel_settings) {
    if (row.kind == SettingKind::Parent && !scene) {
      ++id;
      continue;
    }
    if (row.kind == SettingKind::Projection && !projection_name(v->*row.integer))
      THROW_STR("unknown projection");
    s->begin_block(s->data, id, 1);
    write_setting(row, *v, s);
    s->end_block(s->data);
    ++id;
  }
  ASSERT(id - idroot + 1 == arraysize(idroot));
}

void vantrel_load(vantrel* v, const st_LWLoadState* s) {
  int version = 2;
  for (;;) {
    const uint32_t id = s->find_block(s->data, vantrel_block_ids());
    if (id == 0 || id == ENDI) break;
    const SettingRow* row = find_setting(id);
    if (!row) THROW_STR("unknown id");
    read_setting(*row, version, *v, s);
    s->end_block(s->data);
  }
}

void vantrel_save_to_file(const vantrel* v, const char* path) {
  const VHFileIOFuncs* io = vantrel_module.host.fileio;
  st_LWSaveState* s = io ? io->open_save(io, path, VH_IO_TEXT) : nullptr;
  if (!s) THROW_STR("error saving settings file");
  try {
    vantrel_save(v, s, false);
  } catch (const Xception& e) {
    tell_failure(&e, nullptr, FailureTo::Host);
  }
  // The host writes the file when the state closes: a file it could not write is a failure.
  if (io->close_save(io, s) < 0) THROW_STR("error saving settings file");
}

void vantrel_load_from_file(vantrel* v, const char* path) {
  const VHFileIOFuncs* io = vantrel_module.host.fileio;
  LoadStateGuard load(io, io ? io->open_load(io, path, VH_IO_TEXT) : nullptr);
  if (!load.get()) THROW_STR("error opening settings file");
  try {
    vantrel_load(v, load.get());
  } catch (const Xception& e) {
    tell_failure(&e, nullptr, FailureTo::Host);
  }
}
