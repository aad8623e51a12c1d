/* A minimal plug-in for the loader tests: one server whose activation
 * records what it was given and asks the host for one global. */
#include <stddef.h>

#include "hostapi/filter.h"
#include "hostapi/module.h"

#ifndef TEST_SYNC_WORD
#define TEST_SYNC_WORD VH_MODULE_SYNC
#endif
#ifndef TEST_VERSION
#define TEST_VERSION VH_MODULE_VERSION
#endif

#ifdef _WIN32
#define EXPORT __declspec(dllexport)
#else
#define EXPORT __attribute__((visibility("default")))
#endif

static int started, stopped;
EXPORT int test_plugin_started(void) { return started; }
EXPORT int test_plugin_stopped(void) { return stopped; }

static void* startup(void) {
  ++started;
  return (void*)4;
}
static void shutdown(void* value) { stopped += value == (void*)4; }

/* Fills the int the host hands in with the version, or -1 when the host has
 * no "Info Messages 2". */
static int activate(int version, VHGlobalFunc global, void* local, void* server_data) {
  (void)server_data;
  if (version != VH_INTERFACE_VERSION) return VH_ACTIVATE_BADVERSION;
  *(int*)local = global("Info Messages 2", 0) ? version : -1;
  return *(int*)local < 0 ? VH_ACTIVATE_FAILED : VH_ACTIVATE_OK;
}

/* An image filter whose copy, load and save all fail, answering why. */
static int instance_store;
static VHInstance failing_create(void* priv, void* context, const char** error) {
  (void)priv, (void)context, (void)error;
  return &instance_store;
}
static void failing_destroy(VHInstance instance) { (void)instance; }
static const char* failing_copy(VHInstance from, VHInstance to) {
  (void)from, (void)to;
  return "out of memory while copying";
}
static const char* failing_load(VHInstance instance, const st_LWLoadState* state) {
  (void)instance, (void)state;
  return "the settings are damaged";
}
static const char* failing_save(VHInstance instance, const st_LWSaveState* state) {
  (void)instance, (void)state;
  return "out of memory while saving";
}
static void failing_process(VHInstance instance, const VHFilterAccess* access) {
  (void)instance, (void)access;
}
static int activate_failing(int version, VHGlobalFunc global, void* local, void* server_data) {
  VHImageFilterHandler* handler = (VHImageFilterHandler*)local;
  (void)global, (void)server_data;
  if (version != VH_INTERFACE_VERSION) return VH_ACTIVATE_BADVERSION;
  handler->inst->create = failing_create;
  handler->inst->destroy = failing_destroy;
  handler->inst->copy = failing_copy;
  handler->inst->load = failing_load;
  handler->inst->save = failing_save;
  handler->process = failing_process;
  return VH_ACTIVATE_OK;
}

static const VHTagInfo tags[] = {{"Test", 0}, {NULL, 0}};
static const VHServerRecord servers[] = {{"ImageFilterHandler", "Test", activate, tags},
                                         {"ImageFilterHandler", "Failing", activate_failing, tags},
                                         {NULL, NULL, NULL, NULL}};

EXPORT const VHModuleDescriptor _mod_descrip = {TEST_SYNC_WORD, TEST_VERSION, VH_MODULE_MACHINE,
                                                startup,        shutdown,     servers};
