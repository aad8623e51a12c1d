/* The module descriptor a host reads from a plug-in library, the server
 * records it finds there, and the activation call. Plain C: plug-ins and
 * hosts written in either language include it. */
#ifndef VANTREL_HOSTAPI_MODULE_H
#define VANTREL_HOSTAPI_MODULE_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* The exported symbol's name. */
#define VH_MODULE_SYMBOL "_mod_descrip"

enum {
  VH_MODULE_SYNC = 0x04121994, /* checked before anything else is read */
  VH_MODULE_VERSION = 3,
  VH_MODULE_MACHINE = 0x300
};

/* Every activation and global lookup of this interface is at version 4. */
enum { VH_INTERFACE_VERSION = 4 };

/* Activation results. */
enum { VH_ACTIVATE_OK = 0, VH_ACTIVATE_BADVERSION = 1, VH_ACTIVATE_FAILED = 2 };

/* Looks up a host service by name; the second argument is always 0.
 * Null when the host has no such service. */
typedef void* (*VHGlobalFunc)(const char* name, int use);

/* local: the record the activation fills (a handler or interface record). */
typedef int (*VHActivateFunc)(int version, VHGlobalFunc global, void* local, void* server_data);

typedef struct VHTagInfo {
  const char* text; /* null ends the list */
  uint32_t tag;
} VHTagInfo;

typedef struct VHServerRecord {
  const char* class_name; /* null ends the table */
  const char* name;
  VHActivateFunc activate;
  const VHTagInfo* tags;
} VHServerRecord;

/* Three 32-bit numbers, then pointers, each aligned to its own size. */
typedef struct VHModuleDescriptor {
  uint32_t sync_word;
  uint32_t version;
  uint32_t machine;
  void* (*startup)(void); /* non-null on success */
  void (*shutdown)(void* startup_value);
  const VHServerRecord* servers;
} VHModuleDescriptor;

/* Server classes of this interface. */
#define VH_CLASS_IMAGE_FILTER "ImageFilterHandler"
#define VH_CLASS_IMAGE_FILTER_UI "ImageFilterInterface"

#ifdef __cplusplus
}
#endif

#endif
