// The plug-in core: module-wide host state, the star database file, the
// filter instance and its callbacks, the per-frame pass and the configuration file.
#pragma once

#include "base/array.h"
#include "base/string.h"
#include "hostapi/filter.h"
#include "hostapi/globals.h"
#include "hostapi/module.h"
#include "libimgops/stars.h"

// Host services fetched at activation and shared by every instance. The scene
// service is fetched again at every frame.
struct VantrelHost {
  VHGlobalFunc global = nullptr;
  const VHSceneInfo* scene = nullptr;
  const VHCameraInfo* camera = nullptr;
  const VHItemInfo* items = nullptr;
  const VHMessageFuncs* messages = nullptr;
  const VHFileIOFuncs* fileio = nullptr;
};
extern VantrelHost vantrel_host;
// The host's major version is 9 or more: exposure times come from the frame number.
extern bool host_time_from_frame;

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

  int32_t cursor = 0;
  ByteArray records;
  String path;
};

// The directory holding the plug-in file; empty when the system cannot tell.
String plugin_directory();
// The load-time entry: keeps the module handle when the library is attached (reason 1).
int vantrel_load_entry(const void* module, int reason);

// The configuration file's defaults for new instances.
extern String default_star_file;
extern bool default_star_file_3d;

// One use of the filter in a scene. Fields 1 and 3 to 20 are the settings,
// named by their keywords in saved data.
struct vantrel {
  String StarFile;
  bool StarFileIs3D;
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
  bool PanelOpen;
  LWStarFile* StarSource;   // owned; the database loaded for StarFile
  int32_t PanelProjection;  // panel scratch
  char PanelStarFileText[4096];
};

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
// The per-frame pass.

// Columns and rows of the host image that the pass draws into, inclusive.
struct star_rect {
  int x0, y0, x1, y1;
};

void vantrel_render_frame(vantrel* v, const VHFilterAccess* access);
VHItemID get_camera_id(double time);
void build_camera_list(Array<camera>& list, VHItemID cam, VHItemID parent, double start, double end,
                       int segments);
void camera_at_time(camera& c, VHItemID cam, VHItemID parent, double time);
// Spot sizes and a brightness factor under depth of field; sizes never shrink.
void dof_star_scale(const vantrel* v, VHItemID cam, double time, int width, int height, double left,
                    double right, double bottom, double top, double sx, double sy, double& out_sx,
                    double& out_sy, double& factor);
float srgb_decode(float v);
float srgb_encode(float v);

namespace Kesh {
class Image;
}
// Copies star_rect of the host's buffers into a BGRA_FLOAT image (alpha, red,
// green, blue per pixel), through the sRGB decoding curve when srgb is set.
void framebuffer_from_host(const VHFilterAccess* access, Kesh::Image& image, const star_rect& r,
                           bool srgb);
// Writes the image back into star_rect; with whole_image, every pixel outside
// star_rect is written back unchanged first.
void framebuffer_to_host(const VHFilterAccess* access, Kesh::Image& image, const star_rect& r,
                         bool srgb, bool whole_image);

// ---------------------------------------------------------------------------
// The configuration file "vantrel.ini" beside the plug-in.

template <class K, class V>
class PtrMap;
class InString;

extern int dialog_x;
extern int dialog_y;
extern int enable_auto_update;

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
