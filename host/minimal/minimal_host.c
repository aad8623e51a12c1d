/* The smallest host that can use an image filter plug-in, in plain C.
 *
 *   minimal_host PLUGIN.so        (PLUGIN.dll on Windows)
 *   minimal_host --descriptor PLUGIN.so
 *
 * It loads the library, checks its module descriptor, activates the
 * "Vantrel" image filter, creates an instance, prints the settings that the
 * instance saves, and tears everything down again. It renders nothing: for
 * that see host/render.cpp. Everything it needs is in hostapi/.
 *
 * With --descriptor it prints the module descriptor and its servers instead,
 * one field a line, and calls nothing in the library.
 */
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include "hostapi/filter.h"
#include "hostapi/globals.h"
#include "hostapi/module.h"

/* --- The system's loader ----------------------------------------------------
 * A plug-in is a shared library: the host opens it, looks up one symbol and
 * closes it when done. */

#ifdef _WIN32
#include <windows.h>
typedef HMODULE Library;
static Library open_library(const char* path) { return LoadLibraryA(path); }
static void* find_symbol(Library lib, const char* name) { return (void*)GetProcAddress(lib, name); }
static void close_library(Library lib) { FreeLibrary(lib); }
static void print_load_error(const char* path) {
  fprintf(stderr, "cannot load %s: system error %lu\n", path, (unsigned long)GetLastError());
}
#else
#include <dlfcn.h>
typedef void* Library;
static Library open_library(const char* path) { return dlopen(path, RTLD_NOW | RTLD_LOCAL); }
static void* find_symbol(Library lib, const char* name) { return dlsym(lib, name); }
static void close_library(Library lib) { dlclose(lib); }
static void print_load_error(const char* path) {
  fprintf(stderr, "cannot load %s: %s\n", path, dlerror());
}
#endif

/* --- Services ------------------------------------------------------------
 * A filter asks for five services when it is activated and refuses to work
 * without them. This host has no scene and no files, so each answers as a
 * host with nothing to offer would: no camera, no items, no file. */

static VHItemID no_camera(const VHSceneInfo* self, double time) {
  (void)self, (void)time;
  return NULL;
}
static VHSceneInfo scene_info = {NULL, "minimal", "", 24.0, 640, 480, 1,        1,
                                 1,    0,         0,  0,    639, 479, no_camera};

static VHCameraInfo camera_info; /* never asked: there is no camera */

static VHItemID no_item(const VHItemInfo* self, int kind, VHItemID parent) {
  (void)self, (void)kind, (void)parent;
  return NULL;
}
static VHItemInfo item_info = {NULL, no_item, NULL, NULL, NULL, NULL, NULL};

/* Messages are data: print them, never use them as a format. */
static void show(const VHMessageFuncs* self, const char* first, const char* second) {
  (void)self;
  fputs(first, stderr);
  if (second) fputs("\n  ", stderr), fputs(second, stderr);
  fputc('\n', stderr);
}
static VHMessageFuncs messages = {NULL, show, show, show};

/* No file can be opened here: the filter then falls back to its defaults. */
static st_LWLoadState* no_file(const VHFileIOFuncs* self, const char* path, int mode) {
  (void)self, (void)path, (void)mode;
  return NULL;
}
static VHFileIOFuncs file_io = {NULL, no_file, NULL, NULL, NULL};

/* The lookup handed to the activation: a service by its name, or null. */
static void* global(const char* name, int use) {
  (void)use;
  if (!strcmp(name, VH_SCENE_INFO)) return &scene_info;
  if (!strcmp(name, VH_CAMERA_INFO)) return &camera_info;
  if (!strcmp(name, VH_ITEM_INFO)) return &item_info;
  if (!strcmp(name, VH_MESSAGES)) return &messages;
  if (!strcmp(name, VH_FILE_IO)) return &file_io;
  if (!strcmp(name, VH_PRODUCT_INFO)) return (void*)(uintptr_t)(11u << 20); /* version 11 */
  return NULL;
}

/* --- A save state that prints ---------------------------------------------
 * A filter writes its settings as tagged blocks through a save state. This
 * one prints each block as "Keyword value ..." on a line. */

static void begin(void* data, const VHBlockID* id, int leaf) {
  (void)data, (void)leaf;
  printf("%s", id->token);
}
static void end(void* data) {
  (void)data;
  printf("\n");
}
static void ints(void* data, const int32_t* v, int n) {
  (void)data;
  for (int i = 0; i < n; ++i) printf(" %d", (int)v[i]);
}
static void floats(void* data, const float* v, int n) {
  (void)data;
  for (int i = 0; i < n; ++i) printf(" %.9g", (double)v[i]);
}
static void text(void* data, const char* s) {
  (void)data;
  printf(" \"%s\"", s);
}

/* The descriptor as read; its servers only once the synchronisation word and
 * version say that the rest is laid out as this host expects. */
static int print_descriptor(const VHModuleDescriptor* d) {
  if (!d) return 1;
  printf("synchronisation word 0x%08X\n", (unsigned)d->sync_word);
  printf("version %u\n", (unsigned)d->version);
  printf("machine 0x%X\n", (unsigned)d->machine);
  if (d->sync_word != VH_MODULE_SYNC || d->version != VH_MODULE_VERSION) return 1;
  for (const VHServerRecord* s = d->servers; s && s->class_name; ++s)
    printf("server %s %s\n", s->class_name, s->name ? s->name : "(null)");
  return 0;
}

int main(int argc, char** argv) {
  const int describe = argc == 3 && !strcmp(argv[1], "--descriptor");
  if (argc != 2 && !describe) {
    fprintf(stderr, "usage: minimal_host [--descriptor] PLUGIN\n");
    return 2;
  }
  const char* path = argv[argc - 1];

  /* 1. Load the library and find its descriptor. */
  Library lib = open_library(path);
  if (!lib) {
    print_load_error(path);
    return 1;
  }
  const VHModuleDescriptor* d = (const VHModuleDescriptor*)find_symbol(lib, VH_MODULE_SYMBOL);
  if (describe) {
    const int status = print_descriptor(d);
    close_library(lib);
    return status;
  }

  /* 2. The synchronisation word and version come first: nothing else of the
   *    descriptor is trusted before they match. */
  if (!d || d->sync_word != VH_MODULE_SYNC || d->version != VH_MODULE_VERSION) {
    fprintf(stderr, "%s is not a plug-in of this interface\n", path);
    close_library(lib);
    return 1;
  }
  void* started = d->startup ? d->startup() : (void*)1;

  /* 3. Find the image filter server by class and name. */
  const VHServerRecord* server = d->servers;
  while (server && server->class_name &&
         (strcmp(server->class_name, VH_CLASS_IMAGE_FILTER) || strcmp(server->name, "Vantrel")))
    ++server;
  if (!server || !server->class_name) {
    fprintf(stderr, "no Vantrel image filter in %s\n", path);
    return 1;
  }

  /* 4. Activate it: the filter fills the handler record with its callbacks. */
  VHInstanceFuncs inst;
  VHItemFuncs items;
  VHImageFilterHandler handler = {&inst, &items, NULL, NULL};
  int result = server->activate(VH_INTERFACE_VERSION, global, &handler, NULL);
  if (result != VH_ACTIVATE_OK) {
    fprintf(stderr, "activation answered %d\n", result);
    return 1;
  }

  /* 5. An instance: create it, ask what it is, have it save its settings. */
  const char* error = NULL;
  VHInstance instance = inst.create(inst.priv, NULL, &error);
  if (!instance) {
    fprintf(stderr, "no instance: %s\n", error ? error : "no reason given");
    return 1;
  }
  printf("# %s\n", inst.describe(instance));
  st_LWSaveState out = {1, NULL, NULL, begin, end, NULL, ints, floats, text};
  inst.save(instance, &out);

  /* 6. Tear down in the reverse order. */
  inst.destroy(instance);
  if (d->shutdown) d->shutdown(started);
  close_library(lib);
  return 0;
}
