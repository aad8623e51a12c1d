/* The image filter handler record a plug-in fills at activation, and the
 * filter access record the host hands to its process callback per frame. */
#ifndef VANTREL_HOSTAPI_FILTER_H
#define VANTREL_HOSTAPI_FILTER_H

#include "hostapi/io.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef void* VHInstance;
/* Host item identifiers: opaque, pointer-sized, small enough for 32 bits;
 * null means none. */
typedef void* VHItemID;

typedef struct VHInstanceFuncs {
  void* priv;
  /* error: where to store a static error text when null is returned. */
  VHInstance (*create)(void* priv, void* context, const char** error);
  void (*destroy)(VHInstance instance);
  /* Copies the settings of from into to; returns an error text or null. */
  const char* (*copy)(VHInstance from, VHInstance to);
  const char* (*load)(VHInstance instance, const st_LWLoadState* state);
  const char* (*save)(VHInstance instance, const st_LWSaveState* state);
  const char* (*describe)(VHInstance instance);
} VHInstanceFuncs;

typedef struct VHItemFuncs {
  /* Items the instance depends on, ended by null; or null for none. */
  const VHItemID* (*use_items)(VHInstance instance);
  /* Pairs (old, new), ended by a pair whose old id is null. */
  void (*change_id)(VHInstance instance, const VHItemID* pairs);
} VHItemFuncs;

/* Buffer codes for get_line. */
enum { VH_BUF_RED = 32, VH_BUF_GREEN = 33, VH_BUF_BLUE = 34, VH_BUF_ALPHA = 35 };

typedef struct VHMonitor {
  void* data;
  void (*init)(void* data, unsigned int total);
  /* Non-zero: the user asked to cancel. */
  int (*step)(void* data, unsigned int increment);
  void (*done)(void* data);
} VHMonitor;

typedef struct VHFilterAccess VHFilterAccess;
struct VHFilterAccess {
  int width;
  int height;
  int frame;
  double start; /* exposure, seconds */
  double end;
  /* Row y of one buffer, width floats; colour is premultiplied by alpha. */
  const float* (*get_line)(const VHFilterAccess* access, int buffer, int y);
  void (*set_rgb)(const VHFilterAccess* access, int x, int y, const float rgb[3]);
  void (*set_alpha)(const VHFilterAccess* access, int x, int y, float alpha);
  VHMonitor* monitor; /* may be null */
  void* host_data;
};

typedef struct VHImageFilterHandler {
  VHInstanceFuncs* inst;
  VHItemFuncs* item; /* may be null: then the item callbacks are not wanted */
  void (*process)(VHInstance instance, const VHFilterAccess* access);
  unsigned int (*flags)(VHInstance instance);
} VHImageFilterHandler;

/* The record handed to an interface activation. */
typedef struct VHInterface {
  VHInstance instance;
  void* panel;   /* filled by the plug-in: its panel, or null */
  void* options; /* set to null by the plug-in */
  void* command; /* set to null by the plug-in */
} VHInterface;

#ifdef __cplusplus
}
#endif

#endif
