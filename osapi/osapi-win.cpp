// Windows implementation of the operating-system layer: the Win32 file calls,
// the module's file name, the millisecond tick and the error box.
#include <windows.h>

#include <cstdio>

#include "osapi/osapi.h"

namespace OSAPI {

namespace {

HANDLE win_handle(const FileHandle& file) { return reinterpret_cast<HANDLE>(file.handle); }

// The system's text for an error code, without the closing period and line
// break; "error <code>" when the system has no text for it.
String system_text(DWORD code) {
  char* text = nullptr;
  const DWORD n = FormatMessageA(
      FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_ALLOCATE_BUFFER,
      nullptr, code, LANG_USER_DEFAULT, reinterpret_cast<char*>(&text), 0, nullptr);
  String result;
  if (n > 0 && text) {
    // The system ends its texts in ".\r\n"; strip that, never a letter of the text.
    size_t end = n;
    while (end > 0 && (text[end - 1] == '\r' || text[end - 1] == '\n' || text[end - 1] == ' '))
      --end;
    if (end > 0 && text[end - 1] == '.') --end;
    result = String(text, end);
  }
  if (text) LocalFree(text);
  if (result.empty()) result = String::format("error %lu", static_cast<unsigned long>(code));
  return result;
}

}  // namespace

FileHandle& FileHandle::operator=(FileHandle&& other) noexcept {
  if (this != &other) {
    if (valid()) CloseHandle(win_handle(*this));
    handle = other.handle;
    other.handle = INVALID;
  }
  return *this;
}

FileHandle::~FileHandle() {
  // A destructor must not throw; an explicit close() reports failures.
  if (valid()) CloseHandle(win_handle(*this));
}

void die_win32(const char* call, const char* detail) {
  const DWORD code = GetLastError();  // before any other call can change it
  const String text = system_text(code);
  char buffer[4096];
  snprintf(buffer, sizeof buffer, "%s:%s%s\n(\"%s\")", call, detail ? " " : "",
           detail ? detail : "", text.c_str());
  THROW_STR("%s", buffer);
}

FileHandle open_file(const char* path, int mode) {
  if (!(mode & (OPEN_READ | OPEN_WRITE))) {
    SetLastError(ERROR_INVALID_PARAMETER);  // neither reading nor writing: nothing to open for
    return FileHandle();
  }
  DWORD access = 0, creation = OPEN_EXISTING, attributes = FILE_ATTRIBUTE_READONLY;
  if (mode & OPEN_READ) access |= GENERIC_READ;
  if (mode & OPEN_WRITE) {
    access |= GENERIC_WRITE;
    creation = (mode & OPEN_NEW_ONLY) ? CREATE_NEW : CREATE_ALWAYS;
    attributes = FILE_ATTRIBUTE_NORMAL;
  }
  if (mode & OPEN_UNBUFFERED) attributes |= FILE_FLAG_NO_BUFFERING;
  HANDLE h = CreateFileA(path, access, FILE_SHARE_READ, nullptr, creation, attributes, nullptr);
  if (h == INVALID_HANDLE_VALUE) return FileHandle();
  FileHandle file(reinterpret_cast<intptr_t>(h));
  // Handles of a plug-in must not leak into programs the host starts.
  if (!SetHandleInformation(h, HANDLE_FLAG_INHERIT, 0)) die_win32("SetHandleInformation", nullptr);
  return file;
}

FileHandle open_file_or_die(const char* path, int mode) {
  FileHandle file = open_file(path, mode);
  if (!file.valid()) die_win32("CreateFile", path);
  return file;
}

int read_file(FileHandle& file, void* dst, int count) {
  DWORD got = 0;
  if (!ReadFile(win_handle(file), dst, count > 0 ? static_cast<DWORD>(count) : 0, &got, nullptr))
    die_win32("ReadFile", nullptr);
  return static_cast<int>(got);
}

int write_file(FileHandle& file, const void* src, int count) {
  DWORD put = 0;
  if (!WriteFile(win_handle(file), src, count > 0 ? static_cast<DWORD>(count) : 0, &put, nullptr))
    die_win32("WriteFile", nullptr);
  return static_cast<int>(put);
}

namespace {

int64_t move_pointer(FileHandle& file, int64_t distance, DWORD method) {
  LONG high = static_cast<LONG>(distance >> 32);
  // All bits set is also a valid low part: only the error code tells them apart.
  SetLastError(NO_ERROR);
  const DWORD low =
      SetFilePointer(win_handle(file), static_cast<LONG>(distance & 0xFFFFFFFF), &high, method);
  if (low == INVALID_SET_FILE_POINTER && GetLastError() != NO_ERROR)
    die_win32("SetFilePointer", nullptr);
  return static_cast<int64_t>((static_cast<uint64_t>(static_cast<DWORD>(high)) << 32) | low);
}

}  // namespace

int64_t seek_file(FileHandle& file, int64_t position) {
  return move_pointer(file, position, FILE_BEGIN);
}

int64_t skip_file(FileHandle& file, int64_t offset) {
  return move_pointer(file, offset, FILE_CURRENT);
}

void close(FileHandle& file) {
  if (!file.valid()) return;
  HANDLE h = win_handle(file);
  file.handle = FileHandle::INVALID;  // the handle is gone even when CloseHandle reports an error
  if (!CloseHandle(h)) die_win32("CloseHandle", nullptr);
}

void flush_file(FileHandle& file) {
  if (!FlushFileBuffers(win_handle(file))) die_win32("FlushFileBuffers", nullptr);
}

void rename_file(const char* from, const char* to) {
  if (!MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
    die_win32("MoveFileEx", to);
}

bool remove_file(const char* path) { return DeleteFileA(path) != 0; }

uint64_t clock_us() { return static_cast<uint64_t>(GetTickCount()) * 1000u; }

String module_directory(const void* address) {
  HMODULE module = nullptr;
  if (!GetModuleHandleExA(
          GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
          static_cast<const char*>(address), &module))
    return String();
  char name[4096];
  const DWORD n = GetModuleFileNameA(module, name, sizeof name);
  // A name that fills the buffer was cut short: no directory rather than a wrong one.
  if (n == 0 || n >= sizeof name) return String();
  return dirname(name);
}

void message_box(const char* caption, const char* text) {
  MessageBoxA(nullptr, text ? text : "", caption ? caption : "", MB_ICONERROR);
}

}  // namespace OSAPI
