#include "host/plugin.h"

#include <dlfcn.h>

#include <cstdio>
#include <cstring>

#include "host/host.h"

namespace host {

PluginLibrary::PluginLibrary(const std::string& path) : file(path) {
  handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!handle) {
    const char* why = dlerror();
    throw HostError("cannot load plug-in " + path + ": " + (why ? why : "unknown reason"));
  }
  desc = static_cast<const VHModuleDescriptor*>(dlsym(handle, VH_MODULE_SYMBOL));
  char word[16];
  if (!desc) {
    dlclose(handle);
    throw HostError(path + " is not a plug-in: it has no " VH_MODULE_SYMBOL);
  }
  if (desc->sync_word != VH_MODULE_SYNC) {
    snprintf(word, sizeof word, "0x%08X", desc->sync_word);
    dlclose(handle);
    throw HostError(path + ": module descriptor has synchronisation word " + word +
                    ", expected 0x04121994");
  }
  if (desc->version != VH_MODULE_VERSION) {
    const unsigned v = desc->version;
    dlclose(handle);
    throw HostError(path + ": module descriptor version " + std::to_string(v) + ", expected 3");
  }
  if (desc->startup) {
    startup_value = desc->startup();
    if (!startup_value) {
      dlclose(handle);
      throw HostError(path + ": the plug-in's start-up failed");
    }
  }
}

PluginLibrary::~PluginLibrary() {
  if (desc && desc->shutdown) desc->shutdown(startup_value);
  dlclose(handle);
}

const VHServerRecord& PluginLibrary::server(const char* class_name, const char* name) const {
  for (const VHServerRecord* s = desc->servers; s && s->class_name; ++s)
    if (!strcmp(s->class_name, class_name) && s->name && !strcmp(s->name, name)) return *s;
  throw HostError(file + " has no " + class_name + " server named \"" + name + "\"");
}

int activate(const VHServerRecord& server, void* local, int version) {
  return server.activate(version, &Host::global_lookup, local, nullptr);
}

}  // namespace host
