// The operating-system layer: the few file, clock and module calls the plug-in
// makes itself. Every failing system call ends in die_win32, which raises a
// StrXception naming the call, so callers never test return codes.
#pragma once

#include <cstdint>

#include "base/io.h"
#include "base/string.h"

namespace OSAPI {

enum OpenMode {
  OPEN_READ = 1,
  OPEN_WRITE = 2,
  OPEN_UNBUFFERED = 4,
  OPEN_NEW_ONLY = 8,  // with OPEN_WRITE: fail when the file exists
};

// An open file; closed by its destructor. Movable, not copyable.
class FileHandle {
public:
  FileHandle() = default;
  explicit FileHandle(intptr_t native) : handle(native) {}
  FileHandle(FileHandle&& other) noexcept : handle(other.handle) { other.handle = INVALID; }
  FileHandle& operator=(FileHandle&& other) noexcept;
  FileHandle(const FileHandle&) = delete;
  FileHandle& operator=(const FileHandle&) = delete;
  ~FileHandle();

  bool valid() const { return handle != INVALID; }
  intptr_t native() const { return handle; }

  static constexpr intptr_t INVALID = -1;
  intptr_t handle = INVALID;
};

// An invalid handle when the open fails; nothing is raised.
FileHandle open_file(const char* path, int mode);
// Raises "CreateFile <path>" when the open fails.
FileHandle open_file_or_die(const char* path, int mode);
int read_file(FileHandle& file, void* dst, int count);
// A short write is not retried.
int write_file(FileHandle& file, const void* src, int count);
int64_t seek_file(FileHandle& file, int64_t position);
int64_t skip_file(FileHandle& file, int64_t offset);
void close(FileHandle& file);
// Makes what was written reach the disk before the handle is closed.
void flush_file(FileHandle& file);
// Replaces `to` by `from` in one step: readers see the old file or the new, never a mix.
void rename_file(const char* from, const char* to);
// False when there was nothing to remove or it could not be removed.
bool remove_file(const char* path);

// The platform's directory separator: a backslash on Windows.
#ifdef _WIN32
constexpr char DIR_SEPARATOR = '\\';
#else
constexpr char DIR_SEPARATOR = '/';
#endif

// Directory part of a path, split at the last DIR_SEPARATOR: "." without a
// separator, "/" for a separator only at the start, the empty String for the
// empty path.
String dirname(const char* path);
// A clock in microseconds for measuring intervals: monotonic here; on Windows
// the millisecond tick count times 1000, which wraps every 2^32 milliseconds.
uint64_t clock_us();
// Directory of the loaded module (shared library or program) that contains
// the given address; the empty String when the system cannot tell.
String module_directory(const void* address);

// Raises a StrXception "<call>:[ <detail>]\n(\"<system text>\")" for the
// system error that the named call has just left. The detail is never read as
// a format.
[[noreturn]] void die_win32(const char* call, const char* detail);

// The platform's own error box: a modal box with an error icon on Windows, a
// line "caption: text" on the standard error stream elsewhere. Reports reach
// it through the report sink of base/, which the plug-in's load-time entry
// points at it.
void message_box(const char* caption, const char* text);

// An Input over an open file handle; the handle is not owned.
class FileInput : public Input {
public:
  explicit FileInput(FileHandle& file) : file(&file) {}
  int64_t tell() override { return position; }
  int read(void* dst, int n) override;
  int64_t seek(int64_t target) override;
  int64_t skip(int64_t offset) override;

private:
  int64_t position = 0;
  FileHandle* file;
};

}  // namespace OSAPI
