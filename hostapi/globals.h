/* Host services a plug-in looks up by name through its VHGlobalFunc. Each
 * record carries the host's own pointer, and every operation takes the
 * record first, so one process can run several hosts. */
#ifndef VANTREL_HOSTAPI_GLOBALS_H
#define VANTREL_HOSTAPI_GLOBALS_H

#include "hostapi/filter.h"
#include "hostapi/io.h"

#ifdef __cplusplus
extern "C" {
#endif

#define VH_SCENE_INFO "LW Scene Info 4"
#define VH_CAMERA_INFO "LW Camera Info 5"
#define VH_ITEM_INFO "LW Item Info 4"
#define VH_MESSAGES "Info Messages 2"
#define VH_FILE_IO "File IO 2"
/* Not a record: the looked-up pointer itself is the number; bits 20 to 23
 * hold the host's major version. */
#define VH_PRODUCT_INFO "Product Info"

/* Render option bits. */
enum {
  VH_ROPT_FIELDS = 0x08,
  VH_ROPT_EVEN_FIELD_FIRST = 0x10,
  VH_ROPT_MOTION_BLUR = 0x20,
  VH_ROPT_DEPTH_OF_FIELD = 0x40,
  VH_ROPT_LIMITED_REGION = 0x80
};

typedef struct VHSceneInfo VHSceneInfo;
struct VHSceneInfo {
  void* host;
  const char* name;
  const char* filename;
  double fps;
  int frame_width;
  int frame_height;
  int first_frame;
  int last_frame;
  int frame_step;
  unsigned int render_options;
  /* Inclusive pixel bounds; the whole frame when region rendering is off. */
  int region_x0, region_y0, region_x1, region_y1;
  VHItemID (*render_camera)(const VHSceneInfo* self, double time);
};

/* Camera flag bits. */
enum { VH_CAMF_LIMITED_REGION = 0x04, VH_CAMF_MOTION_BLUR = 0x80 };

typedef struct VHCameraInfo VHCameraInfo;
struct VHCameraInfo {
  void* host;
  /* Screen-window units: a camera-space point lands at x * zoom / z. */
  double (*zoom_factor)(const VHCameraInfo* self, VHItemID camera, double time);
  double (*focal_length)(const VHCameraInfo* self, VHItemID camera, double time);   /* mm */
  double (*focal_distance)(const VHCameraInfo* self, VHItemID camera, double time); /* m */
  double (*f_stop)(const VHCameraInfo* self, VHItemID camera, double time);
  double (*blur_length)(const VHCameraInfo* self, VHItemID camera, double time); /* frames */
  /* Full field-of-view angles, radians. */
  void (*fov_angles)(const VHCameraInfo* self, VHItemID camera, double time, double* horizontal,
                     double* vertical);
  unsigned int (*flags)(const VHCameraInfo* self, VHItemID camera);
  void (*region_limits)(const VHCameraInfo* self, VHItemID camera, int* x0, int* y0, int* x1,
                        int* y1);
};

/* Item kinds. */
enum { VH_ITEM_OBJECT = 0, VH_ITEM_LIGHT = 1, VH_ITEM_CAMERA = 2 };

/* Item parameter codes. */
enum {
  VH_PARAM_POSITION = 1, /* in the parent's frame */
  VH_PARAM_RIGHT = 2,    /* world-space unit axes */
  VH_PARAM_UP = 3,
  VH_PARAM_FORWARD = 4,
  VH_PARAM_ROTATION = 5, /* heading, pitch, bank in radians */
  VH_PARAM_SCALING = 6,
  VH_PARAM_PIVOT = 7,
  VH_PARAM_WORLD_POSITION = 8
};

typedef struct VHItemInfo VHItemInfo;
struct VHItemInfo {
  void* host;
  /* The first item of a kind whose parent is `parent` (null: any parent). */
  VHItemID (*first)(const VHItemInfo* self, int kind, VHItemID parent);
  /* The next item of the same kind, null after the last. */
  VHItemID (*next)(const VHItemInfo* self, VHItemID item);
  VHItemID (*parent)(const VHItemInfo* self, VHItemID item);
  const char* (*name)(const VHItemInfo* self, VHItemID item);
  int (*kind)(const VHItemInfo* self, VHItemID item);
  void (*param)(const VHItemInfo* self, VHItemID item, int code, double time, double out[3]);
};

typedef struct VHMessageFuncs VHMessageFuncs;
struct VHMessageFuncs {
  void* host;
  /* Texts are shown as data, never read as formats; second may be null. */
  void (*info)(const VHMessageFuncs* self, const char* first, const char* second);
  void (*error)(const VHMessageFuncs* self, const char* first, const char* second);
  void (*warning)(const VHMessageFuncs* self, const char* first, const char* second);
};

typedef struct VHFileIOFuncs VHFileIOFuncs;
struct VHFileIOFuncs {
  void* host;
  /* Null when the file cannot be opened. */
  st_LWLoadState* (*open_load)(const VHFileIOFuncs* self, const char* path, int mode);
  void (*close_load)(const VHFileIOFuncs* self, st_LWLoadState* state);
  st_LWSaveState* (*open_save)(const VHFileIOFuncs* self, const char* path, int mode);
  /* 0 when the file was written; negative when it could not be (nothing is left half-written). */
  int (*close_save)(const VHFileIOFuncs* self, st_LWSaveState* state);
};

/* Optional: the rows of a frame's output, written in place. A filter finds
 * this service at activation when the host offers it, and writes whole rows
 * instead of calling set_rgb and set_alpha pixel by pixel; without it (the
 * lookup answers null) it keeps to those two. */
#define VH_FILTER_ROWS "Filter Rows 1"

typedef struct VHFilterRows VHFilterRows;
struct VHFilterRows {
  void* host;
  /* Row y of an output buffer (VH_BUF_RED ... VH_BUF_ALPHA) of the frame of
   * the access record, width floats, colour premultiplied by alpha; null for
   * another buffer or a row outside the frame. What the filter stores there
   * is its output, as set_rgb and set_alpha would make it. When the pointer
   * is the row get_line gives, the frame is filtered in place: a pixel the
   * filter leaves alone keeps its value. Otherwise every pixel of the
   * output must be written. */
  float* (*output_line)(const VHFilterRows* self, const VHFilterAccess* access, int buffer, int y);
};

/* Optional: random access to the binary files "File IO 2" opens, for a
 * plug-in that reads only parts of a large file (a star database in sky
 * cells). Without it (the lookup answers null) such a plug-in reads files
 * from the start. */
#define VH_FILE_SEEK "File Seek 1"

typedef struct VHFileSeek VHFileSeek;
struct VHFileSeek {
  void* host;
  /* The size in bytes of the file a binary load state reads; -1 for a text
   * state or a state the host does not know. */
  int64_t (*size)(const VHFileSeek* self, st_LWLoadState* state);
  /* The state's next read starts at byte `offset` of its file; 0 when it
   * does, -1 when the state cannot move there (a text state, an offset
   * outside 0 .. size). */
  int (*seek)(const VHFileSeek* self, st_LWLoadState* state, int64_t offset);
};

#ifdef __cplusplus
}
#endif

#endif
