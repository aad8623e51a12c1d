// POSIX implementation of the operating-system layer. Failures carry the same
// call names as the Windows layer, so messages read alike on every platform.
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "osapi/osapi.h"

namespace OSAPI {

FileHandle& FileHandle::operator=(FileHandle&& other) noexcept {
  if (this != &other) {
    if (valid()) ::close(static_cast<int>(handle));
    handle = other.handle;
    other.handle = INVALID;
  }
  return *this;
}

FileHandle::~FileHandle() {
  // A destructor must not throw; an explicit close() reports failures.
  if (valid()) ::close(static_cast<int>(handle));
}

void die_win32(const char* call, const char* detail) {
  int code = errno;  // before any other call can change it
  const char* text = strerror(code);
  char buffer[4096];
  snprintf(buffer, sizeof buffer, "%s:%s%s\n(\"%s\")", call, detail ? " " : "",
           detail ? detail : "", text ? text : "unknown error");
  THROW_STR("%s", buffer);
}

FileHandle open_file(const char* path, int mode) {
  int flags;
  if ((mode & OPEN_READ) && (mode & OPEN_WRITE))
    flags = O_RDWR;
  else if (mode & OPEN_WRITE)
    flags = O_WRONLY;
  else if (mode & OPEN_READ)
    flags = O_RDONLY;
  else {
    errno = EINVAL;  // neither reading nor writing: nothing to open for
    return FileHandle();
  }
  if (mode & OPEN_WRITE) flags |= O_CREAT | ((mode & OPEN_NEW_ONLY) ? O_EXCL : O_TRUNC);
  // Close-on-exec: descriptors of a plug-in must not leak into programs the host starts.
  flags |= O_CLOEXEC;
  int fd = ::open(path, flags, 0644);
  if (fd < 0) return FileHandle();
#ifdef POSIX_FADV_NOREUSE
  if (mode & OPEN_UNBUFFERED) posix_fadvise(fd, 0, 0, POSIX_FADV_NOREUSE);
#endif
  return FileHandle(fd);
}

FileHandle open_file_or_die(const char* path, int mode) {
  FileHandle file = open_file(path, mode);
  if (!file.valid()) die_win32("CreateFile", path);
  return file;
}

int read_file(FileHandle& file, void* dst, int count) {
  ssize_t n;
  do n = ::read(static_cast<int>(file.handle), dst, count > 0 ? count : 0);
  while (n < 0 && errno == EINTR);
  if (n < 0) die_win32("ReadFile", nullptr);
  return static_cast<int>(n);
}

int write_file(FileHandle& file, const void* src, int count) {
  ssize_t n;
  do n = ::write(static_cast<int>(file.handle), src, count > 0 ? count : 0);
  while (n < 0 && errno == EINTR);
  if (n < 0) die_win32("WriteFile", nullptr);
  return static_cast<int>(n);
}

int64_t seek_file(FileHandle& file, int64_t position) {
  off_t r = lseek(static_cast<int>(file.handle), static_cast<off_t>(position), SEEK_SET);
  if (r == static_cast<off_t>(-1)) die_win32("SetFilePointer", nullptr);
  return r;
}

int64_t skip_file(FileHandle& file, int64_t offset) {
  off_t r = lseek(static_cast<int>(file.handle), static_cast<off_t>(offset), SEEK_CUR);
  if (r == static_cast<off_t>(-1)) die_win32("SetFilePointer", nullptr);
  return r;
}

void close(FileHandle& file) {
  if (!file.valid()) return;
  int fd = static_cast<int>(file.handle);
  file.handle = FileHandle::INVALID;  // the descriptor is gone even when close reports an error
  if (::close(fd) != 0) die_win32("CloseHandle", nullptr);
}

void flush_file(FileHandle& file) {
  if (fsync(static_cast<int>(file.handle)) != 0) die_win32("FlushFileBuffers", nullptr);
}

void rename_file(const char* from, const char* to) {
  if (::rename(from, to) != 0) die_win32("MoveFileEx", to);
}

bool remove_file(const char* path) { return ::unlink(path) == 0; }

uint64_t clock_us() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000000u + static_cast<uint64_t>(ts.tv_nsec) / 1000u;
}

String module_directory(const void* address) {
  Dl_info info;
  if (!dladdr(address, &info) || !info.dli_fname || !*info.dli_fname) return String();
  char resolved[4096];
  if (realpath(info.dli_fname, resolved)) return dirname(resolved);
  return dirname(info.dli_fname);
}

void message_box(const char* caption, const char* text) {
  fprintf(stderr, "%s: %s\n", caption ? caption : "", text ? text : "");
}

}  // namespace OSAPI
