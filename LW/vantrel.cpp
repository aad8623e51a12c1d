// The plug-in module: descriptor, activation, and the filter instance callbacks.
#include "LW/vantrel.h"

#include <cstring>
#include <new>

#include "LW/settings.h"
#include "osapi/osapi.h"

#ifdef _WIN32
#include <windows.h>
// The DLL's exports are listed in vantrel.def.
#define VANTREL_EXPORT
#else
#define VANTREL_EXPORT __attribute__((visibility("default")))
#endif

String default_star_file;
bool default_star_file_3d = false;

namespace {

const void* module_handle = nullptr;

#ifndef _WIN32
// The library's load-time entry on this platform: an address inside the
// library stands for its handle.
__attribute__((constructor)) void on_load() { vantrel_load_entry(&module_handle, 1); }
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

}  // namespace

extern "C" VANTREL_EXPORT const VHModuleDescriptor _mod_descrip = {
    VH_MODULE_SYNC,  VH_MODULE_VERSION, VH_MODULE_MACHINE,
    vantrel_startup, vantrel_shutdown,  vantrel_servers};

int vantrel_load_entry(const void* module, int reason) {
  if (reason == 1) module_handle = module;
  return 1;
}

#ifdef _WIN32
// The DLL's load-time entry; the reasons are DLL_PROCESS_ATTACH (1) and the others.
extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
  return vantrel_load_entry(instance, static_cast<int>(reason));
}
#endif

String plugin_directory() {
  return module_handle ? OSAPI::module_directory(module_handle) : String();
}

// ---------------------------------------------------------------------------
// Activation

int vantrel_activate(int version, VHGlobalFunc global, void* local, void* /*server_data*/) {
  if (version != VH_INTERFACE_VERSION) return VH_ACTIVATE_BADVERSION;
  vantrel_host.global = global;

  // The callbacks go in before the globals are tested: a failed activation
  // still leaves them in place.
  auto* handler = static_cast<VHImageFilterHandler*>(local);
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

  vantrel_host.scene = fetch<VHSceneInfo>(global, VH_SCENE_INFO);
  vantrel_host.camera = fetch<VHCameraInfo>(global, VH_CAMERA_INFO);
  vantrel_host.items = fetch<VHItemInfo>(global, VH_ITEM_INFO);
  vantrel_host.messages = fetch<VHMessageFuncs>(global, VH_MESSAGES);
  vantrel_host.fileio = fetch<VHFileIOFuncs>(global, VH_FILE_IO);
  if (!vantrel_host.scene || !vantrel_host.camera || !vantrel_host.items ||
      !vantrel_host.messages || !vantrel_host.fileio)
    return VH_ACTIVATE_FAILED;

  load_vantrel_ini();

  const auto product =
      static_cast<uint32_t>(reinterpret_cast<uintptr_t>(global(VH_PRODUCT_INFO, 0)));
  host_time_from_frame = ((product >> 20) & 0xF) >= 9;
  return VH_ACTIVATE_OK;
}

int vantrel_handler_entry(int version, VHGlobalFunc global, void* local, void* server_data) {
  try {
    return vantrel_activate(version, global, local, server_data);
  } catch (const Xception& e) {
    e.report();
    return VH_ACTIVATE_FAILED;
  }
}

int vantrel_interface_entry(int version, VHGlobalFunc, void*, void*) {
  // The panel is not part of this build: the host is told the interface is unavailable.
  return version != VH_INTERFACE_VERSION ? VH_ACTIVATE_BADVERSION : VH_ACTIVATE_FAILED;
}

// ---------------------------------------------------------------------------
// Instances

void vantrel_defaults(vantrel* v) {
  v->StarFile = default_star_file;
  v->StarFileIs3D = default_star_file_3d;
  v->StarSize = 2.5;
  v->StarAspect = 1.0;
  v->LumThreshold = 0.001;
  v->LumMax = 0.5;
  v->Brightness = 5.0;
  v->BrightnessBias = 1.0;
  v->Saturation = 0.4;
  v->TintStrength = 0.0;
  v->TintRed = 1.0;
  v->TintGreen = 1.0;
  v->TintBlue = 1.0;
  v->Parallax = 0.0;
  v->BlurSegs = 1;
  v->ParentID = nullptr;
  v->sRGBFrameBuffer = 1;
  v->AnamorphicDOF = 0;
  v->ThreeD = 0;
  v->Projection = Perspective;
  v->PanelOpen = false;
  v->StarSource = nullptr;
}

VHInstance vantrel_create(void*, void*, const char** error) {
  // Value-initialised: the panel scratch fields start as zeros, not garbage.
  vantrel* v = new (std::nothrow) vantrel();
  if (!v) {
    if (error) *error = "Out of memory";
    return nullptr;
  }
  try {
    v->StarFile = String();
    vantrel_defaults(v);
  } catch (const Xception& e) {
    e.report();
    delete v;
    return nullptr;
  }
  return v;
}

void vantrel_destroy(VHInstance instance) {
  vantrel* v = static_cast<vantrel*>(instance);
  if (!v) return;
  delete v->StarSource;
  delete v;
}

const char* vantrel_copy(VHInstance from_, VHInstance to_) {
  const vantrel* from = static_cast<const vantrel*>(from_);
  vantrel* to = static_cast<vantrel*>(to_);
  try {
    to->StarFile = from->StarFile;
    to->StarFileIs3D = from->StarFileIs3D;
    to->StarSize = from->StarSize;
    to->StarAspect = from->StarAspect;
    to->LumThreshold = from->LumThreshold;
    to->LumMax = from->LumMax;
    to->Brightness = from->Brightness;
    to->BrightnessBias = from->BrightnessBias;
    to->Saturation = from->Saturation;
    to->TintStrength = from->TintStrength;
    to->TintRed = from->TintRed;
    to->TintGreen = from->TintGreen;
    to->TintBlue = from->TintBlue;
    to->Parallax = from->Parallax;
    to->BlurSegs = from->BlurSegs;
    to->ParentID = from->ParentID;
    to->sRGBFrameBuffer = from->sRGBFrameBuffer;
    to->AnamorphicDOF = from->AnamorphicDOF;
    to->ThreeD = from->ThreeD;
    to->Projection = from->Projection;
    to->PanelProjection = from->PanelProjection;
    memmove(to->PanelStarFileText, from->PanelStarFileText, sizeof to->PanelStarFileText);
    // The copy reads its own database at its next frame; no two instances share one.
    if (to != from) {
      delete to->StarSource;
      to->StarSource = nullptr;
    }
    to->PanelOpen = false;
  } catch (const Xception& e) {
    e.report();
  }
  return nullptr;
}

const char* vantrel_load_state(VHInstance instance, const st_LWLoadState* state) {
  try {
    vantrel_load(static_cast<vantrel*>(instance), state);
  } catch (const Xception& e) {
    e.report();
  }
  return nullptr;
}

const char* vantrel_save_state(VHInstance instance, const st_LWSaveState* state) {
  try {
    vantrel_save(static_cast<const vantrel*>(instance), state, true);
  } catch (const Xception& e) {
    e.report();
  }
  return nullptr;
}

const char* vantrel_describe(VHInstance) { return "Vantrel 1.6"; }

const VHItemID* vantrel_use_items(VHInstance) { return nullptr; }

void vantrel_change_id(VHInstance instance, const VHItemID* pairs) {
  vantrel* v = static_cast<vantrel*>(instance);
  for (; pairs && pairs[0]; pairs += 2)
    if (pairs[0] == v->ParentID) v->ParentID = pairs[1];
}

void vantrel_process(VHInstance instance, const VHFilterAccess* access) {
  try {
    vantrel_render_frame(static_cast<vantrel*>(instance), access);
  } catch (const Xception& e) {
    e.report();
  }
}

unsigned int vantrel_flags(VHInstance) { return 0; }
