#include "host/plugin.h"

#include <dlfcn.h>
#include <elf.h>

#include <cstdio>
#include <cstring>

#include "host/files.h"
#include "host/host.h"

namespace host {

namespace {

// The system loader maps a library's segments as its program headers give
// them: a file cut short is caught here, as touching a page past its end
// would end the program (SIGBUS) inside the loader.
template <class Ehdr, class Phdr>
void check_segments(InputFile& f, const std::string& path) {
  const uint64_t size = f.size();
  Ehdr eh;
  if (f.read_at(0, reinterpret_cast<char*>(&eh), sizeof eh) != sizeof eh)
    throw HostError("cannot load plug-in " + path + ": the file is cut short (" +
                    std::to_string(size) + " bytes)");
  for (uint64_t i = 0; i < eh.e_phnum; ++i) {
    Phdr ph;
    const uint64_t at = eh.e_phoff + i * eh.e_phentsize;
    const bool whole = eh.e_phentsize >= sizeof ph &&
                       f.read_at(at, reinterpret_cast<char*>(&ph), sizeof ph) == sizeof ph;
    const uint64_t end = whole ? uint64_t{ph.p_offset} + ph.p_filesz : at + sizeof ph;
    if (!whole || end > size)
      throw HostError("cannot load plug-in " + path + ": the file is cut short (" +
                      std::to_string(size) + " bytes, its program headers need " +
                      std::to_string(end) + ")");
  }
}

void check_library_file(const std::string& path) {
  InputFile f(path);
  if (!f.is_open()) throw HostError("cannot load plug-in " + path + ": " + f.reason());
  unsigned char ident[EI_NIDENT] = {};
  f.read_at(0, reinterpret_cast<char*>(ident), sizeof ident);
  // What is not ELF at all, the loader names well enough.
  if (memcmp(ident, ELFMAG, SELFMAG) != 0) return;
  if (ident[EI_CLASS] == ELFCLASS64)
    check_segments<Elf64_Ehdr, Elf64_Phdr>(f, path);
  else if (ident[EI_CLASS] == ELFCLASS32)
    check_segments<Elf32_Ehdr, Elf32_Phdr>(f, path);
}

}  // namespace

PluginLibrary::PluginLibrary(const std::string& path) : file(path) {
  // A name without a slash would be looked for along the system's library
  // path; a plug-in named on a command line is a file here.
  if (file.find('/') == std::string::npos) file = "./" + file;
  check_library_file(file);
  handle = dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
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
