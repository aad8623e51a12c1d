// What the plug-in keeps from its load to its unload: the host's services,
// the configuration file's values and the panel's shared tables, one record
// for every instance.
#pragma once

#include <cstdint>

#include "base/string.h"
#include "hostapi/globals.h"
#include "hostapi/module.h"
#include "hostapi/panel.h"
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
  const VHFileSeek* seek = nullptr;    // optional: null when databases are read from the start
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
  // The most bytes of a database read in sky cells that stay in memory
  // between passes: a 32-bit process keeps its address space for frames.
  size_t cell_window = sizeof(void*) == 4 ? size_t{256} << 20 : size_t{1} << 30;
  // Bands a pass is drawn in, a thread each; 0: as many as
  // pass_band_count finds.
  int bands = 0;
  // New threads a frame's work may start at once; -1: as many as the system
  // gives. Tests lower it to stand for a system that runs out of threads.
  int thread_limit = -1;
};
extern VantrelModule vantrel_module;
// Back to the state of a freshly loaded library, the module handle kept (tests).
void reset_vantrel_module();

// The directory holding the plug-in file; empty when the system cannot tell.
String plugin_directory();
// The load-time entry: keeps the module handle when the library is attached (reason 1).
int vantrel_load_entry(const void* module, int reason);
