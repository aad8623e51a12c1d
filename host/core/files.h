// Files as the host and the tools use them: written whole or not at all,
// read without blocking on a pipe or reading a device without end, and the
// text of messages kept on one line. C++ standard library and POSIX only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>
#include <string_view>

#include "host/core/error.h"

namespace host {

// A file open for reading, closed with this object.
class InputFile {
public:
  enum class Problem { None, CannotOpen, NotRegular };

  // Opens a regular file, or with pipes_too also a FIFO or pipe. Never blocks
  // on opening. On failure the file is not open and problem()/reason() say why.
  explicit InputFile(const std::string& path, bool pipes_too = false);
  InputFile() = default;  // not open
  InputFile(InputFile&& other) noexcept;
  InputFile& operator=(InputFile&& other) noexcept;
  InputFile(const InputFile&) = delete;
  InputFile& operator=(const InputFile&) = delete;
  ~InputFile();

  bool is_open() const { return fd >= 0; }
  Problem problem() const { return why; }
  // "No such file or directory", "a directory, not a regular file", ...
  const std::string& reason() const { return text; }
  const std::string& path() const { return name; }

  // Up to n bytes; 0 at the end. Throws FileError on a read error.
  size_t read(char* buffer, size_t n);
  // Up to n bytes from offset on, leaving the read position alone.
  size_t read_at(uint64_t offset, char* buffer, size_t n);
  uint64_t size() const;
  // The rest of the file; throws FileError when it holds more than limit bytes.
  std::string read_all(size_t limit);

private:
  int fd = -1;
  Problem why = Problem::None;
  std::string text, name;
};

// Scene and settings files are read whole: a larger one is no such file
// (a device or a runaway pipe), and is refused before memory runs out.
constexpr size_t kMaxTextFile = size_t{256} << 20;

// The whole of a file (or pipe) up to limit bytes; FileError "cannot read PATH: ...".
std::string read_file(const std::string& path, size_t limit);

// Writes bytes to a hidden temporary file beside path, checks every write, the
// flush to the disk and the close, and only then renames it over path. On any
// failure the temporary is removed and FileError "cannot write PATH: ..." is
// thrown; path keeps what it held.
void write_file_atomically(const std::string& path, std::string_view bytes);

// A file written a piece at a time, whole or not at all: the pieces go to the
// temporary beside path that write_file_atomically uses, and commit() checks
// the flush to the disk and the close and renames it over path. Destroyed
// without a commit (a failure on the way), it removes the temporary and path
// keeps what it held. Every failure is FileError "cannot write PATH: ...".
class AtomicFile {
public:
  explicit AtomicFile(const std::string& path);
  AtomicFile(const AtomicFile&) = delete;
  AtomicFile& operator=(const AtomicFile&) = delete;
  ~AtomicFile();

  void write(std::string_view bytes);
  // Overwrites bytes already written (a header completed at the end).
  void write_at(uint64_t offset, std::string_view bytes);
  void commit();
  const std::string& path() const { return target; }

private:
  [[noreturn]] void fail(int err);
  std::string target, tmp;
  int fd = -1;
  uint64_t end = 0;
};

// The temporary name write_file_atomically uses for path: ".NAME.tmp-PID" in its folder.
std::string temporary_name(const std::string& path);

// Removes from folder the temporaries of this pattern (".NAME.tmp-PID" and,
// as older versions wrote them, ".NAME.tmp-PID.EXT") whose NAME is_ours
// accepts and whose process is no longer running: what a killed writer left.
// Returns how many it removed.
int remove_stale_temporaries(const std::string& folder,
                             const std::function<bool(const std::string& name)>& is_ours);

// The folder part of a path ("." when none) and the name after it.
std::string folder_of(const std::string& path);
std::string name_of(const std::string& path);

}  // namespace host
