// Helpers shared by tests: a temporary folder that cleans up after itself, and
// small file utilities. Paths are joined with the platform's own separator.
// On Windows, error boxes can be turned into lines on the standard error stream.
#pragma once

#ifdef _WIN32
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
// Segment keywords of old that the headers still define as macros.
#undef near
#undef far
#endif

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <stdexcept>
#include <string>
#include <system_error>

namespace testing_support {

struct TempDir {
  TempDir() {
    namespace fs = std::filesystem;
    std::random_device seed;
    std::mt19937_64 pick(seed());
    const fs::path base = fs::temp_directory_path();
    for (int attempt = 0; attempt < 100; ++attempt) {
      fs::path p = base / ("vantrel-test-" + std::to_string(pick() % 1000000000u));
      std::error_code ec;
      if (fs::create_directory(p, ec)) {
        path = p.make_preferred().string();
        return;
      }
    }
    throw std::runtime_error("cannot make a temporary folder in " + base.string());
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  ~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path, ec);
  }
  std::string file(const std::string& name) const {
    return (std::filesystem::path(path) / name).make_preferred().string();
  }
  std::string path;
};

inline void write_bytes(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

inline std::string read_bytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Makes a folder and its parents; the tests' stand-in for "mkdir -p".
inline void make_dirs(const std::string& path) {
  std::error_code ec;
  std::filesystem::create_directories(path, ec);
}

#ifdef _WIN32
// Error boxes on Windows: the plug-in's reports go to MessageBoxA, which a
// test cannot read. The tests point a module's import of it at box_to_stderr,
// which records the box's owner and style and writes "caption: text" to the
// standard error stream, as the reports read on other platforms.
struct BoxSeen {
  int count = 0;
  HWND owner = nullptr;
  UINT style = 0;
};
inline BoxSeen& boxes_seen() {
  static BoxSeen seen;
  return seen;
}

inline int WINAPI box_to_stderr(HWND owner, LPCSTR text, LPCSTR caption, UINT style) {
  BoxSeen& seen = boxes_seen();
  ++seen.count;
  seen.owner = owner;
  seen.style = style;
  fprintf(stderr, "%s: %s\n", caption, text);
  return IDOK;
}

// The module whose image holds the address.
inline HMODULE module_at(const void* address) {
  HMODULE module = nullptr;
  GetModuleHandleExA(
      GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
      static_cast<const char*>(address), &module);
  return module;
}

// Rewrites the module's import slot for USER32!MessageBoxA; false when the
// module does not import it.
inline bool capture_error_boxes(HMODULE module) {
  auto* base = reinterpret_cast<BYTE*>(module);
  const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(
      base + reinterpret_cast<const IMAGE_DOS_HEADER*>(base)->e_lfanew);
  const IMAGE_DATA_DIRECTORY& dir = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
  if (!dir.VirtualAddress) return false;
  for (auto* imp = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(base + dir.VirtualAddress); imp->Name;
       ++imp) {
    if (_stricmp(reinterpret_cast<const char*>(base + imp->Name), "USER32.dll") != 0) continue;
    auto* names = reinterpret_cast<IMAGE_THUNK_DATA*>(base + imp->OriginalFirstThunk);
    auto* slots = reinterpret_cast<IMAGE_THUNK_DATA*>(base + imp->FirstThunk);
    for (; names->u1.AddressOfData; ++names, ++slots) {
      if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal)) continue;
      const auto* by_name = reinterpret_cast<IMAGE_IMPORT_BY_NAME*>(base + names->u1.AddressOfData);
      if (strcmp(reinterpret_cast<const char*>(by_name->Name), "MessageBoxA") != 0) continue;
      DWORD was;
      VirtualProtect(&slots->u1.Function, sizeof slots->u1.Function, PAGE_READWRITE, &was);
      slots->u1.Function = reinterpret_cast<ULONG_PTR>(&box_to_stderr);
      VirtualProtect(&slots->u1.Function, sizeof slots->u1.Function, was, &was);
      return true;
    }
  }
  return false;
}
#endif

}  // namespace testing_support
