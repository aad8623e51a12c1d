// Loading plug-in libraries: the module descriptor is checked by its
// synchronisation word and version before anything else of it is trusted.
#pragma once

#include <string>

#include "host/core/error.h"
#include "hostapi/module.h"

namespace host {

// A shared library (a DLL on Windows) loaded and unloaded with the system's
// own calls. Throws HostError naming the path and the system's reason.
class SharedLibrary {
public:
  explicit SharedLibrary(const std::string& path);
  SharedLibrary(const SharedLibrary&) = delete;
  SharedLibrary& operator=(const SharedLibrary&) = delete;
  ~SharedLibrary();

  // The exported symbol's address, or null.
  void* symbol(const char* name) const;

private:
  void* handle = nullptr;
};

// A loaded plug-in library. Construction loads it, checks its descriptor and
// runs its start-up; destruction runs its shut-down and unloads it.
class PluginLibrary {
public:
  explicit PluginLibrary(const std::string& path);
  PluginLibrary(const PluginLibrary&) = delete;
  PluginLibrary& operator=(const PluginLibrary&) = delete;
  ~PluginLibrary();

  // The server of that class and name; throws HostError when there is none.
  const VHServerRecord& server(const char* class_name, const char* name) const;
  const VHModuleDescriptor& descriptor() const { return *desc; }
  const std::string& path() const { return file; }

private:
  std::string file;
  SharedLibrary library;
  const VHModuleDescriptor* desc = nullptr;
  void* startup_value = nullptr;
};

// Runs a server's activation with this interface's version, the current
// host's global lookup and the record to fill; returns the activation's result.
int activate(const VHServerRecord& server, void* local, int version = VH_INTERFACE_VERSION);

}  // namespace host
