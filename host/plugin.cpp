#include "host/plugin.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <dlfcn.h>
#endif

#include <cstdio>
#include <cstring>

#include "host/host.h"

namespace host {

#ifdef _WIN32

namespace {

std::string last_error_text() {
  const DWORD code = GetLastError();
  char* text = nullptr;
  const DWORD n = FormatMessageA(
      FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_ALLOCATE_BUFFER,
      nullptr, code, LANG_USER_DEFAULT, reinterpret_cast<char*>(&text), 0, nullptr);
  std::string why = n && text ? std::string(text, n) : "error " + std::to_string(code);
  if (text) LocalFree(text);
  while (!why.empty() && strchr(".\r\n ", why.back())) why.pop_back();
  return why;
}

}  // namespace

SharedLibrary::SharedLibrary(const std::string& path)
    : handle(reinterpret_cast<void*>(LoadLibraryA(path.c_str()))) {
  if (!handle) throw HostError("cannot load plug-in " + path + ": " + last_error_text());
}

SharedLibrary::~SharedLibrary() { FreeLibrary(static_cast<HMODULE>(handle)); }

void* SharedLibrary::symbol(const char* name) const {
  return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(handle), name));
}

#else

SharedLibrary::SharedLibrary(const std::string& path)
    : handle(dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL)) {
  if (!handle) {
    const char* why = dlerror();
    throw HostError("cannot load plug-in " + path + ": " + (why ? why : "unknown reason"));
  }
}

SharedLibrary::~SharedLibrary() { dlclose(handle); }

void* SharedLibrary::symbol(const char* name) const { return dlsym(handle, name); }

#endif

PluginLibrary::PluginLibrary(const std::string& path) : file(path), library(path) {
  desc = static_cast<const VHModuleDescriptor*>(library.symbol(VH_MODULE_SYMBOL));
  if (!desc) throw HostError(path + " is not a plug-in: it has no " VH_MODULE_SYMBOL);
  if (desc->sync_word != VH_MODULE_SYNC) {
    char word[16];
    snprintf(word, sizeof word, "0x%08X", desc->sync_word);
    throw HostError(path + ": module descriptor has synchronisation word " + word +
                    ", expected 0x04121994");
  }
  if (desc->version != VH_MODULE_VERSION)
    throw HostError(path + ": module descriptor version " + std::to_string(desc->version) +
                    ", expected 3");
  if (desc->startup) {
    startup_value = desc->startup();
    if (!startup_value) throw HostError(path + ": the plug-in's start-up failed");
  }
}

PluginLibrary::~PluginLibrary() {
  if (desc && desc->shutdown) desc->shutdown(startup_value);
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
