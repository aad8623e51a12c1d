// The entries the host calls: the activations of the two servers, and the
// handler's callbacks as the activation places them in the host's record.
#pragma once

#include "hostapi/filter.h"
#include "hostapi/globals.h"
#include "hostapi/module.h"

VHInstance vantrel_create(void* priv, void* context, const char** error);
void vantrel_destroy(VHInstance instance);
// Copy, load and save answer null, or the text of their failure (also told
// to the user), which stays valid until the instance's next failure.
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
