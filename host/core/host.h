// The host: answers a plug-in's global lookups with its services over one
// scene. Global lookups carry no context, so the lookup function reaches the
// host that is current: the most recently constructed one still alive, in
// whatever order hosts end.
#pragma once

#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "host/core/blocks.h"
#include "host/core/scene.h"
#include "hostapi/globals.h"
#include "hostapi/module.h"

namespace host {

struct Message {
  enum Kind { Info, Error, Warning } kind;
  std::string first;
  std::string second;  // empty when none was given
};

class Host {
public:
  Host();
  Host(const Host&) = delete;
  Host& operator=(const Host&) = delete;
  ~Host();

  // The lookup function handed to activations.
  static void* global_lookup(const char* name, int use);
  static Host* current();
  void* global(const char* name);

  // Services named here answer null: a host that lacks them.
  std::set<std::string> withheld;
  // What "Product Info" answers; bits 20 to 23 hold the major version.
  uint32_t product_info = 11u << 20;
  // Extra globals by name (a panel toolkit, a file requester); they stand in
  // for the host's own services of the same name.
  std::map<std::string, void*> extra_globals;

  Scene scene;
  std::vector<Message> messages;
  std::map<std::string, int> lookups;  // global lookups by name, for tests
  std::vector<std::string> written;    // paths that save states were written to whole
  bool echo_messages = true;           // also write them to the standard error stream
  // Where relative paths that plug-ins open are looked up first: the scene's folder.
  std::string content_dir;

  // Item identifiers as the plug-in sees them.
  static VHItemID to_id(uint32_t id) {
    return reinterpret_cast<VHItemID>(static_cast<uintptr_t>(id));
  }
  static uint32_t from_id(VHItemID id) {
    return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(id));
  }

  // Refreshes the scene-info record from the scene; done before every global lookup.
  void sync_scene_info();

  // File service in C++ terms; the "File IO 2" record calls these.
  st_LWLoadState* open_load(const char* path, int mode);
  void close_load(st_LWLoadState* state);
  st_LWSaveState* open_save(const char* path, int mode);
  int close_save(st_LWSaveState* state);

  void message(Message::Kind kind, const char* first, const char* second);
  // A relative path as plug-ins mean it: beside the scene when there, else as given.
  std::string resolve(const std::string& path) const;

private:
  // The service records' operations, set once by the constructor.
  void wire_camera_info();
  void wire_item_info();
  void wire_messages_and_files();

  VHSceneInfo scene_info;
  VHCameraInfo camera_info;
  VHItemInfo item_info;
  VHMessageFuncs message_funcs;
  VHFileIOFuncs file_io;
  VHFilterRows filter_rows;
  VHFileSeek file_seek;
  std::string scene_filename;

  struct OpenSave {
    std::unique_ptr<SaveState> state;
    std::string path;
  };
  struct OpenLoad {
    std::unique_ptr<LoadState> state;
    std::string path;  // for messages about what it holds
  };
  std::vector<OpenLoad> open_loads;
  LoadState* open_load_of(st_LWLoadState* state);
  std::vector<OpenSave> open_saves;
};

// The Host behind a record's host pointer.
inline Host& host_of(void* h) { return *static_cast<Host*>(h); }

}  // namespace host
