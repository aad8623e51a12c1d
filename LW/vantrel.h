// The plug-in core: module-wide state, the star database file, the filter
// instance and its callbacks, and the configuration file.
#pragma once

#include <vector>

#include "LW/settings.h"
#include "base/array.h"
#include "base/string.h"
#include "hostapi/filter.h"
#include "hostapi/globals.h"
#include "hostapi/module.h"
#include "hostapi/panel.h"
#include "libimgops/stars.h"
#include "osapi/osapi.h"

struct ParentChoices;

// Host services fetched at activation and shared by every instance. The scene
// service is fetched again at every frame.
struct VantrelHost {
  VHGlobalFunc global = nullptr;
  const VHSceneInfo* scene = nullptr;
  const VHCameraInfo* camera = nullptr;
  const VHItemInfo* items = nullptr;
  const VHMessageFuncs* messages = nullptr;
  const VHFileIOFuncs* fileio = nullptr;
  const VHFilterRows* rows = nullptr;  // optional: null when the host writes pixel by pixel
};

// Everything the plug-in keeps from its load to its unload, shared by all
// instances and written without locks (hosts call it from one thread at a
// time). The intern table of base/ lives as long, in base/ itself.
struct VantrelModule {
  const void* module_handle = nullptr;  // from the load-time entry
  VantrelHost host;
  // The host's major version is 9 or more: exposure times come from the frame number.
  bool host_time_from_frame = false;
  // The configuration file "vantrel.ini".
  String default_star_file;  // the database new instances start with
  bool default_star_file_3d = false;
  int dialog_x = 0;
  int dialog_y = 0;
  int enable_auto_update = 0;
  bool ini_is_foreign = false;  // the file on disk is another version's: read, never replaced
  // The panel toolkit, from the first interface activation on.
  const VHPanelFuncs* panel = nullptr;
  // The preview's float-to-byte tables, indexed by the top 14 bits of a
  // float's pattern; built at the first preview drawing.
  bool preview_tables_built = false;
  unsigned char preview_srgb[16384] = {};
  unsigned char preview_linear[16384] = {};
  // The clock the preview's time budget is measured with, microseconds.
  uint64_t (*preview_clock)() = OSAPI::clock_us;
  // The entries of the parent chooser while it is up; null otherwise.
  const ParentChoices* parent_choices = nullptr;
  // Frames are drawn the reference way (exact curves and rasteriser, the
  // whole rectangle copied): for tests that hold the fast path against it.
  bool render_reference = false;
};
extern VantrelModule vantrel_module;
// Back to the state of a freshly loaded library, the module handle kept (tests).
void reset_vantrel_module();

// Closes a load state from "File IO 2" on every way out.
class LoadStateGuard {
public:
  LoadStateGuard(const VHFileIOFuncs* io, st_LWLoadState* state) : io(io), state(state) {}
  LoadStateGuard(const LoadStateGuard&) = delete;
  LoadStateGuard& operator=(const LoadStateGuard&) = delete;
  ~LoadStateGuard() {
    if (state) io->close_load(io, state);
  }
  st_LWLoadState* get() const { return state; }

private:
  const VHFileIOFuncs* io;
  st_LWLoadState* state;
};

// What the first record of a file says about it as a star database.
struct StarFileHeader {
  bool opened = false;  // the host's file service could open it
  int bytes = 0;        // bytes of the 32-byte header that were there
  bool valid = false;   // a whole header with "VANTREL1" or "VANTREL2"
  bool is_3d = false;   // "VANTREL2": the records carry distances
  // Why an opened file is no star database, for messages.
  const char* problem() const;
};
StarFileHeader read_star_file_header(const char* path);

// True when the file is a star database ("VANTREL1" or "VANTREL2" header);
// is_3d receives whether it is a version-2 file, and stays untouched when the
// file cannot be opened at all. Never raises.
bool star_file_check(const char* path, bool* is_3d = nullptr);

// A whole star database read into memory through "File IO 2".
class LWStarFile : public StarInput {
public:
  // Raises "error opening star database" when the file cannot be opened.
  explicit LWStarFile(const char* path);
  const unsigned char* next() override;
  void rewind() override { cursor = 0; }
  // Worked out at the first call of either and kept with the records.
  const float* brightnesses() override;
  const SkyDirection* directions() override;

  int32_t cursor = 0;
  ByteArray records;
  String path;

private:
  void index();
  std::vector<float> bright;
  std::vector<SkyDirection> dirs;
};

// The memory a frame's fast path draws into (planes of light and coverage,
// and the flags of the chunks filled), kept by the instance from frame to
// frame so that a frame does not map fresh pages for it every time.
struct FrameMemory {
  std::vector<float> planes;
  std::vector<unsigned char> ready;
};

// The directory holding the plug-in file; empty when the system cannot tell.
String plugin_directory();
// The load-time entry: keeps the module handle when the library is attached (reason 1).
int vantrel_load_entry(const void* module, int reason);

// One use of the filter in a scene: its settings, and what the plug-in keeps for it.
struct vantrel : VantrelSettings {
  bool PanelOpen = false;
  LWStarFile* StarSource = nullptr;  // owned; the database loaded for StarFile
  FrameMemory* Pixels = nullptr;     // owned; null until the first frame
  int32_t PanelProjection = 0;       // panel scratch
  char PanelStarFileText[4096] = {};
};

// Every setting at its default, StarFile from the configuration file; the
// instance holds no database and no open panel. The panel scratch is kept.
void vantrel_defaults(vantrel* v);

// Handler callbacks, as the activation places them in the host's record.
VHInstance vantrel_create(void* priv, void* context, const char** error);
void vantrel_destroy(VHInstance instance);
const char* vantrel_copy(VHInstance from, VHInstance to);
const char* vantrel_load_state(VHInstance instance, const st_LWLoadState* state);
const char* vantrel_save_state(VHInstance instance, const st_LWSaveState* state);
const char* vantrel_describe(VHInstance instance);
const VHItemID* vantrel_use_items(VHInstance instance);
void vantrel_change_id(VHInstance instance, const VHItemID* pairs);
void vantrel_process(VHInstance instance, const VHFilterAccess* access);
unsigned int vantrel_flags(VHInstance instance);

int vantrel_activate(int version, VHGlobalFunc global, void* local, void* server_data);
int vantrel_handler_entry(int version, VHGlobalFunc global, void* local, void* server_data);
int vantrel_interface_entry(int version, VHGlobalFunc global, void* local, void* server_data);

// ---------------------------------------------------------------------------
// The configuration file "vantrel.ini" beside the plug-in.

template <class K, class V>
class PtrMap;
class InString;

String vantrel_ini_path();
void load_vantrel_ini();
void save_vantrel_ini();
void reset_vantrel_ini();
// "hipparcos3D.stars" beside the plug-in when it is a star database, else empty.
String default_star_file_path(bool* is_3d = nullptr);
int ini_get_int(PtrMap<InString, String>& map, const char* key, int fallback);
String ini_get_string(PtrMap<InString, String>& map, const char* key, const char* fallback);
// Adds every pair of the line to the map; false when the line is not well formed.
bool parse_ini_line(PtrMap<InString, String>& map, const char* line);
