// The plug-in module: descriptor, activation, the filter instance callbacks,
// and the firewall that every one of them runs behind.
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

#include "LW/callbacks.h"
#include "LW/config_file.h"
#include "LW/firewall.h"
#include "LW/frame.h"
#include "LW/instance.h"
#include "LW/module_state.h"
#include "LW/xpgui.h"
#include "hostapi/module.h"
#include "osapi/osapi.h"

#ifdef _WIN32
#include <windows.h>
// The DLL's exports are listed in vantrel.def.
#define VANTREL_EXPORT
#else
#define VANTREL_EXPORT __attribute__((visibility("default")))
#endif

// Constant-initialised, before any code of the library runs: the load-time
// entry may come first and must find it in place.
VantrelModule vantrel_module;

void reset_vantrel_module() {
  const void* handle = vantrel_module.module_handle;
  vantrel_module = VantrelModule();
  vantrel_module.module_handle = handle;
}

namespace {

#ifndef _WIN32
// The library's load-time entry on this platform: an address inside the
// library stands for its handle.
__attribute__((constructor)) void on_load() { vantrel_load_entry(&vantrel_module, 1); }
#endif

void* vantrel_startup() { return reinterpret_cast<void*>(4); }
void vantrel_shutdown(void*) {}

const VHTagInfo vantrel_tags[] = {{"Vantrel", 0}, {nullptr, 0}};

const VHServerRecord vantrel_servers[] = {
    {VH_CLASS_IMAGE_FILTER, "Vantrel", vantrel_handler_entry, vantrel_tags},
    {VH_CLASS_IMAGE_FILTER_UI, "Vantrel", vantrel_interface_entry, vantrel_tags},
    {nullptr, nullptr, nullptr, nullptr},
};

template <class T>
const T* fetch(VHGlobalFunc global, const char* name) {
  return static_cast<const T*>(global(name, 0));
}

vantrel* instance_of(VHInstance instance) { return static_cast<vantrel*>(instance); }

}  // namespace

extern "C" VANTREL_EXPORT const VHModuleDescriptor _mod_descrip = {
    VH_MODULE_SYNC,  VH_MODULE_VERSION, VH_MODULE_MACHINE,
    vantrel_startup, vantrel_shutdown,  vantrel_servers};

int vantrel_load_entry(const void* module, int reason) {
  if (reason == 1) {
    vantrel_module.module_handle = module;
    // Reports reach the user through the platform's own box.
    set_report_sink(OSAPI::message_box);
  }
  return 1;
}

#ifdef _WIN32
// The DLL's load-time entry; the reasons are DLL_PROCESS_ATTACH (1) and the others.
extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
  return vantrel_load_entry(instance, static_cast<int>(reason));
}
#endif

String plugin_directory() {
  const void* handle = vantrel_module.module_handle;
  return handle ? OSAPI::module_directory(handle) : String();
}

namespace {

void keep_text(FailureText* keep, const char* text) noexcept {
  if (keep) snprintf(keep->text, sizeof keep->text, "%s", text ? text : "unknown error");
}

}  // namespace

void tell_failure(const Xception* e, const char* text, FailureTo to, FailureText* keep) noexcept {
  try {
    const String message = e ? e->message_text() : String(text);
    keep_text(keep, message.c_str());
    const VHMessageFuncs* m = vantrel_module.host.messages;
    if (to == FailureTo::Host && m) {
      const String line = String("Vantrel: ") + message;
      m->error(m, line.c_str(), nullptr);
    } else if (e) {
      e->report();
    } else {
      report_to_user("Error", text);
    }
  } catch (...) {
    // Telling failed too (no memory left, a host service that throws): the
    // plain report needs no allocation.
    keep_text(keep, text ? text : "Out of memory");
    try {
      report_to_user("Error", text ? text : "Out of memory");
    } catch (...) {
    }
  }
}

// ---------------------------------------------------------------------------
// Activation

namespace {

void fill_handler(VHImageFilterHandler* handler) {
  handler->inst->priv = nullptr;
  handler->inst->create = vantrel_create;
  handler->inst->destroy = vantrel_destroy;
  handler->inst->copy = vantrel_copy;
  handler->inst->load = vantrel_load_state;
  handler->inst->save = vantrel_save_state;
  handler->inst->describe = vantrel_describe;
  if (handler->item) {
    handler->item->use_items = vantrel_use_items;
    handler->item->change_id = vantrel_change_id;
  }
  handler->process = vantrel_process;
  handler->flags = vantrel_flags;
}

}  // namespace

int vantrel_activate(int version, VHGlobalFunc global, void* local, void* /*server_data*/) {
  if (version != VH_INTERFACE_VERSION) return VH_ACTIVATE_BADVERSION;
  VantrelHost& host = vantrel_module.host;
  host.global = global;
  // The callbacks go in before the globals are tested: a failed activation
  // still leaves them in place.
  fill_handler(static_cast<VHImageFilterHandler*>(local));

  host.scene = fetch<VHSceneInfo>(global, VH_SCENE_INFO);
  host.camera = fetch<VHCameraInfo>(global, VH_CAMERA_INFO);
  host.items = fetch<VHItemInfo>(global, VH_ITEM_INFO);
  host.messages = fetch<VHMessageFuncs>(global, VH_MESSAGES);
  host.fileio = fetch<VHFileIOFuncs>(global, VH_FILE_IO);
  if (!host.scene || !host.camera || !host.items || !host.messages || !host.fileio)
    return VH_ACTIVATE_FAILED;
  host.rows = fetch<VHFilterRows>(global, VH_FILTER_ROWS);
  host.seek = fetch<VHFileSeek>(global, VH_FILE_SEEK);

  load_vantrel_ini();

  const auto product =
      static_cast<uint32_t>(reinterpret_cast<uintptr_t>(global(VH_PRODUCT_INFO, 0)));
  vantrel_module.host_time_from_frame = ((product >> 20) & 0xF) >= 9;
  return VH_ACTIVATE_OK;
}

namespace {

// An activation whose failures are reported and answered with 2.
int guarded(VHActivateFunc activation, int version, VHGlobalFunc global, void* local,
            void* server_data) {
  int result = VH_ACTIVATE_FAILED;
  firewall([&] { result = activation(version, global, local, server_data); });
  return result;
}

}  // namespace

int vantrel_handler_entry(int version, VHGlobalFunc global, void* local, void* server_data) {
  return guarded(vantrel_activate, version, global, local, server_data);
}

int vantrel_interface_entry(int version, VHGlobalFunc global, void* local, void* server_data) {
  return guarded(activate_interface, version, global, local, server_data);
}

// ---------------------------------------------------------------------------
// Instances

void vantrel_defaults(vantrel* v) {
  setting_defaults(*v, vantrel_module.default_star_file, vantrel_module.default_star_file_3d);
  v->PanelOpen = false;
  v->StarSource.reset();
}

namespace {

// The text of the last failed creation: no instance is there to keep it.
FailureText create_failure;

}  // namespace

VHInstance vantrel_create(void*, void*, const char** error) {
  std::unique_ptr<vantrel> v(new (std::nothrow) vantrel());
  if (!v) {
    if (error) *error = "Out of memory";
    return nullptr;
  }
  if (firewall([&] { vantrel_defaults(v.get()); }, FailureTo::User, &create_failure))
    return v.release();
  if (error) *error = create_failure.text;
  return nullptr;
}

void vantrel_destroy(VHInstance instance) {
  firewall([&] { std::unique_ptr<vantrel> gone(instance_of(instance)); });
}

namespace {

// Runs a callback that answers with an error text: null, or the failure's
// text kept in the instance.
template <class Work>
const char* answer_text(vantrel* v, Work&& work) {
  return firewall(work, FailureTo::User, &v->Failure) ? nullptr : v->Failure.text;
}

}  // namespace

const char* vantrel_copy(VHInstance from_, VHInstance to_) {
  vantrel* to = instance_of(to_);
  return answer_text(to, [&] {
    const vantrel* from = instance_of(from_);
    static_cast<VantrelSettings&>(*to) = *from;
    to->PanelProjection = from->PanelProjection;
    memmove(to->PanelStarFileText, from->PanelStarFileText, sizeof to->PanelStarFileText);
    // The copy reads its own database at its next frame; no two instances share one.
    if (to != from) to->StarSource.reset();
    to->PanelOpen = false;
  });
}

const char* vantrel_load_state(VHInstance instance, const st_LWLoadState* state) {
  vantrel* v = instance_of(instance);
  return answer_text(v, [&] { vantrel_load(v, state); });
}

const char* vantrel_save_state(VHInstance instance, const st_LWSaveState* state) {
  vantrel* v = instance_of(instance);
  return answer_text(v, [&] { vantrel_save(v, state, true); });
}

const char* vantrel_describe(VHInstance) { return "Vantrel 1.6"; }

const VHItemID* vantrel_use_items(VHInstance) { return nullptr; }

void vantrel_change_id(VHInstance instance, const VHItemID* pairs) {
  firewall([&] {
    vantrel* v = instance_of(instance);
    for (; pairs && pairs[0]; pairs += 2)
      if (pairs[0] == v->ParentID) v->ParentID = pairs[1];
  });
}

void vantrel_process(VHInstance instance, const VHFilterAccess* access) {
  // A failed frame is told to the host, which knows the frame is not whole.
  firewall([&] { vantrel_render_frame(instance_of(instance), access); }, FailureTo::Host);
}

unsigned int vantrel_flags(VHInstance) { return 0; }
