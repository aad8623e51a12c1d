#include "host/core/files.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#ifdef _WIN32
#include <io.h>
#include <windows.h>
#else
#include <signal.h>
#endif

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

namespace host {

namespace {

// The few calls that differ between POSIX and Windows, each in one place.
#ifdef _WIN32
// No FIFO blocks an open here and no terminal can become the controlling
// one; descriptors are kept from child processes and files are binary.
constexpr int kReadFlags = O_RDONLY | O_BINARY | O_NOINHERIT;
constexpr int kWriteFlags = O_WRONLY | O_CREAT | O_TRUNC | O_BINARY | O_NOINHERIT;
void end_nonblocking(int) {}
long read_from(int fd, char* buffer, size_t n, uint64_t offset) {
  if (_lseeki64(fd, static_cast<__int64>(offset), SEEK_SET) < 0) return -1;
  return ::read(fd, buffer, static_cast<unsigned>(std::min<size_t>(n, 1u << 30)));
}
int flush_to_disk(int fd) { return _commit(fd); }
int seek_to(int fd, uint64_t offset) {
  return _lseeki64(fd, static_cast<__int64>(offset), SEEK_SET) < 0 ? -1 : 0;
}
// C's rename does not replace an existing file here; errno as POSIX would set it.
int replace_file(const char* from, const char* to) {
  if (MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) return 0;
  const DWORD code = GetLastError();
  errno = code == ERROR_ACCESS_DENIED ? EACCES : code == ERROR_DISK_FULL ? ENOSPC : EIO;
  return -1;
}
bool process_running(long pid) {
  const HANDLE h = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, static_cast<DWORD>(pid));
  if (!h) return GetLastError() == ERROR_ACCESS_DENIED;  // there, but another user's
  DWORD code = 0;
  const bool running = GetExitCodeProcess(h, &code) && code == STILL_ACTIVE;
  CloseHandle(h);
  return running;
}
constexpr const char* kSeparators = "/\\";
#ifndef S_ISSOCK
#define S_ISSOCK(m) 0
#endif
#ifndef S_ISBLK
#define S_ISBLK(m) 0
#endif
#else
// Non-blocking only for the open itself: a FIFO without a writer would
// otherwise hold the open for ever before its kind could be checked.
constexpr int kReadFlags = O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY;
constexpr int kWriteFlags = O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC;
constexpr const char* kSeparators = "/";
void end_nonblocking(int fd) { fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK); }
long read_from(int fd, char* buffer, size_t n, uint64_t offset) {
  return pread(fd, buffer, n, static_cast<off_t>(offset));
}
int flush_to_disk(int fd) { return fsync(fd); }
int seek_to(int fd, uint64_t offset) {
  return lseek(fd, static_cast<off_t>(offset), SEEK_SET) < 0 ? -1 : 0;
}
int replace_file(const char* from, const char* to) { return rename(from, to); }
bool process_running(long pid) { return kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM; }
#endif

const char* kind_text(mode_t mode) {
  if (S_ISDIR(mode)) return "a directory, not a regular file";
  if (S_ISFIFO(mode)) return "a FIFO, not a regular file";
  if (S_ISCHR(mode) || S_ISBLK(mode)) return "a device, not a regular file";
  if (S_ISSOCK(mode)) return "a socket, not a regular file";
  return "not a regular file";
}

}  // namespace

InputFile::InputFile(const std::string& path, bool pipes_too) : name(path) {
  fd = ::open(path.c_str(), kReadFlags);
  if (fd < 0) {
    const int err = errno;
    // Windows will not open a folder at all: name what is there, as below.
    struct stat st;
    const bool other = stat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode);
    why = other ? Problem::NotRegular : Problem::CannotOpen;
    text = other ? kind_text(st.st_mode) : strerror(err);
    return;
  }
  struct stat st;
  if (fstat(fd, &st) != 0) {
    why = Problem::CannotOpen;
    text = strerror(errno);
  } else if (!S_ISREG(st.st_mode) && !(pipes_too && S_ISFIFO(st.st_mode))) {
    why = Problem::NotRegular;
    text = kind_text(st.st_mode);
  } else {
    end_nonblocking(fd);
    return;
  }
  ::close(fd);
  fd = -1;
}

InputFile::InputFile(InputFile&& o) noexcept
    : fd(o.fd), why(o.why), text(std::move(o.text)), name(std::move(o.name)) {
  o.fd = -1;
}

InputFile& InputFile::operator=(InputFile&& o) noexcept {
  if (this != &o) {
    if (fd >= 0) ::close(fd);
    fd = o.fd;
    why = o.why;
    text = std::move(o.text);
    name = std::move(o.name);
    o.fd = -1;
  }
  return *this;
}

InputFile::~InputFile() {
  if (fd >= 0) ::close(fd);
}

size_t InputFile::read(char* buffer, size_t n) {
  if (fd < 0) throw FileError("cannot read " + name + ": " + text);
  for (;;) {
    const ssize_t got = ::read(fd, buffer, n);
    if (got >= 0) return static_cast<size_t>(got);
    if (errno != EINTR) throw FileError("cannot read " + name + ": " + strerror(errno));
  }
}

size_t InputFile::read_at(uint64_t offset, char* buffer, size_t n) {
  if (fd < 0) throw FileError("cannot read " + name + ": " + text);
  size_t done = 0;
  while (done < n) {
    const long got = read_from(fd, buffer + done, n - done, offset + done);
    if (got == 0) break;
    if (got < 0 && errno != EINTR) throw FileError("cannot read " + name + ": " + strerror(errno));
    if (got > 0) done += static_cast<size_t>(got);
  }
  return done;
}

uint64_t InputFile::size() const {
  struct stat st;
  return fd >= 0 && fstat(fd, &st) == 0 ? static_cast<uint64_t>(st.st_size) : 0;
}

std::string InputFile::read_all(size_t limit) {
  std::string all;
  char chunk[65536];
  for (size_t n; (n = read(chunk, sizeof chunk)) > 0;) {
    if (all.size() + n > limit)
      throw FileError("cannot read " + name + ": larger than " + std::to_string(limit) + " bytes");
    all.append(chunk, n);
  }
  return all;
}

std::string read_file(const std::string& path, size_t limit) {
  InputFile in(path, true);
  if (!in.is_open()) throw FileError("cannot read " + path + ": " + in.reason());
  return in.read_all(limit);
}

std::string folder_of(const std::string& path) {
  const std::string::size_type slash = path.find_last_of(kSeparators);
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

std::string name_of(const std::string& path) {
  const std::string::size_type slash = path.find_last_of(kSeparators);
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string temporary_name(const std::string& path) {
  const std::string::size_type slash = path.find_last_of(kSeparators);
  const std::string dir = slash == std::string::npos ? "" : path.substr(0, slash + 1);
  return dir + "." + name_of(path) + ".tmp-" + std::to_string(getpid());
}

AtomicFile::AtomicFile(const std::string& path) : target(path), tmp(temporary_name(path)) {
  fd = ::open(tmp.c_str(), kWriteFlags, 0666);
  if (fd < 0) throw FileError("cannot write " + target + ": " + strerror(errno));
}

AtomicFile::~AtomicFile() {
  if (fd < 0) return;
  ::close(fd);
  unlink(tmp.c_str());
}

void AtomicFile::fail(int err) {
  if (fd >= 0) ::close(fd);
  fd = -1;
  unlink(tmp.c_str());
  throw FileError("cannot write " + target + ": " + strerror(err));
}

void AtomicFile::write(std::string_view bytes) {
  if (fd < 0) throw FileError("cannot write " + target + ": already closed");
  for (size_t done = 0; done < bytes.size();) {
    const auto n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n > 0)
      done += static_cast<size_t>(n);
    else if (n == 0)
      fail(EIO);
    else if (errno != EINTR)
      fail(errno);
  }
  end += bytes.size();
}

void AtomicFile::write_at(uint64_t offset, std::string_view bytes) {
  if (offset + bytes.size() > end) fail(EINVAL);
  if (seek_to(fd, offset) != 0) fail(errno);
  const uint64_t keep = end;
  write(bytes);
  end = keep;
  if (seek_to(fd, end) != 0) fail(errno);
}

void AtomicFile::commit() {
  if (fd < 0) throw FileError("cannot write " + target + ": already closed");
  // A full disk or a failing device may show only when the data reaches it.
  if (flush_to_disk(fd) != 0) fail(errno);
  const int closed = ::close(fd);
  fd = -1;
  if (closed != 0) fail(errno);
  if (replace_file(tmp.c_str(), target.c_str()) != 0) fail(errno);
}

void write_file_atomically(const std::string& path, std::string_view bytes) {
  AtomicFile out(path);
  out.write(bytes);
  out.commit();
}

namespace {

// The NAME and process of ".NAME.tmp-PID" or ".NAME.tmp-PID.EXT" (EXT that of NAME).
bool parse_temporary(const std::string& entry, std::string& name, long& pid) {
  if (entry.size() < 2 || entry[0] != '.') return false;
  const std::string::size_type mark = entry.rfind(".tmp-");
  if (mark == std::string::npos || mark < 2) return false;
  name = entry.substr(1, mark - 1);
  std::string::size_type end = mark + 5;
  const std::string::size_type digits = end;
  while (end < entry.size() && isdigit(static_cast<unsigned char>(entry[end]))) ++end;
  if (end == digits || end - digits > 9) return false;
  const std::string rest = entry.substr(end);
  const std::string::size_type dot = name.find_last_of('.');
  if (!rest.empty() && (dot == std::string::npos || rest != name.substr(dot))) return false;
  pid = std::stol(entry.substr(digits, end - digits));
  return pid > 0;
}

}  // namespace

int remove_stale_temporaries(const std::string& folder,
                             const std::function<bool(const std::string& name)>& is_ours) {
  std::unique_ptr<DIR, int (*)(DIR*)> dir(opendir(folder.c_str()), closedir);
  if (!dir) return 0;
  int removed = 0;
  while (const dirent* e = readdir(dir.get())) {
    std::string name;
    long pid = 0;
    if (!parse_temporary(e->d_name, name, pid) || pid == getpid() || !is_ours(name)) continue;
    if (process_running(pid)) continue;  // a writer still at work
    if (unlink((folder + "/" + e->d_name).c_str()) == 0) ++removed;
  }
  return removed;
}

}  // namespace host
