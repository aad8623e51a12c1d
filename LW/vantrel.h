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
