#include "host/core/plugin.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <dlfcn.h>
#include <elf.h>
#endif

#include <cstdio>
#include <cstring>

#include "host/core/files.h"
#include "host/core/host.h"

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

SharedLibrary::SharedLibrary(const std::string& path) {
  // A name without a slash would be looked for along the system's library
  // path; a plug-in named on a command line is a file here.
  const std::string file = path.find('/') == std::string::npos ? "./" + path : path;
  check_library_file(file);
  handle = dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
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
