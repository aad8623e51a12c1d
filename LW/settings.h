// An instance's settings: the value type, the one table that describes every
// saved setting (block identifier, keyword, kind, default, range, field), and
// the tagged blocks they travel as, in scenes (with the parent item) and in
// settings files of their own (without it). Defaults, copies, saving and
// loading are loops over the table.
#pragma once

#include <cstddef>
#include <cstdint>

#include "base/string.h"
#include "hostapi/filter.h"
#include "hostapi/io.h"

// The user's settings of one filter instance, named by their keywords.
struct VantrelSettings {
  String StarFile;
  bool StarFileIs3D;  // not saved: the magic test's answer for StarFile
  double StarSize;
  double StarAspect;
  double LumThreshold;
  double LumMax;
  double Brightness;
  double BrightnessBias;
  double Saturation;
  double TintStrength;
  double TintRed;
  double TintGreen;
  double TintBlue;
  double Parallax;
  int32_t BlurSegs;
  VHItemID ParentID;
  int32_t sRGBFrameBuffer;
  int32_t AnamorphicDOF;
  int32_t ThreeD;
  int32_t Projection;
};

enum class SettingKind {
  Version,     // the format version: written as 2, not kept
  Path,        // StarFile, a string
  Real,        // a double, saved as a 32-bit float
  Integer,     // a 32-bit integer
  Parent,      // ParentID, an item identifier; written into scenes only
  Projection,  // an integer saved by name
  End,         // the empty end block
};

// How a setting shows on the panel. The control's identifier is also its
// value's. The tint colour is one control over three rows, one per component.
struct PanelColumns {
  uint32_t control = 0;  // 0: not on the panel
  int place = 0;         // position in the panel's control table
  const char* label = nullptr;
  const char* control_class = nullptr;  // the toolkit's: "float", "integer", "color", ...
  const char* value_name = nullptr;     // its row of the value table; null: it has none
  int value_place = 0;                  // position of that row in the value table
  int numeric = 0;                      // the number field's parameter hint; 0: none
  int component = 0;                    // of a colour: 0 red, 1 green, 2 blue
};

// One saved setting. Rows are in the order of writing.
struct SettingRow {
  uint32_t id;  // four characters, the first in the most significant byte
  const char* keyword;
  SettingKind kind;
  double initial;  // the default of a Real or Integer setting
  bool ranged;     // lo to hi are kept, and offered by the panel unless bounds_only
  double lo, hi;
  double VantrelSettings::*real;
  int32_t VantrelSettings::*integer;  // Integer and Projection
  PanelColumns panel;
  // lo to hi bound what is kept, but the panel offers no range for it.
  bool bounds_only = false;
};

constexpr size_t kSettingCount = 21;
extern const SettingRow vantrel_settings[kSettingCount];
// Controls of the panel and rows of its value table.
constexpr int kPanelControlCount = 21;
constexpr int kPanelValueCount = 13;
// The identifier table handed to the host: one entry per row, then id 0.
const VHBlockID* vantrel_block_ids();
constexpr size_t kBlockIdCount = 22;
// The row of a block identifier, or null.
const SettingRow* find_setting(uint32_t id);
// True when a value may be kept for the setting: finite, and inside the
// row's range as a saved value reads back. A value outside would be refused
// when the settings are read again.
bool setting_accepts(const SettingRow& row, double value);

// Every setting at its default; StarFile and StarFileIs3D from the arguments.
void setting_defaults(VantrelSettings& s, const String& star_file, bool star_file_3d);

// "Perspective", "Hemispherical", "AzimuthalEquidistant"; null for another value.
const char* projection_name(int projection);

struct vantrel;

// Raises "unknown projection" for a projection other than 0, 1 and 2.
void vantrel_save(const vantrel* v, const st_LWSaveState* state, bool scene);
// Reads blocks until the end marker or the end of the data; version 1 and 2
// forms. A value that is not finite or outside its range is refused with a
// warning; the blocks after it still count.
void vantrel_load(vantrel* v, const st_LWLoadState* state);

// Raise "error saving settings file" / "error opening settings file" when the
// file cannot be opened (or, saving, not written); failures while writing or
// reading the blocks are reported and the file is still closed.
void vantrel_save_to_file(const vantrel* v, const char* path);
void vantrel_load_from_file(vantrel* v, const char* path);
