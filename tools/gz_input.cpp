#include "tools/gz_input.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "host/core/files.h"
#include "tools/catalog.h"

namespace stars {

GzInput::GzInput(const std::string& name) : path(name), buffer(size_t{1} << 18) {
  // A pipe is a fine catalogue; a folder or a device is none.
  host::InputFile kind(path, true);
  if (!kind.is_open()) throw CatalogError("cannot read " + path + ": " + kind.reason());
  size = kind.size();
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) throw CatalogError("cannot read " + path + ": " + strerror(errno));
  file = gzdopen(fd, "rb");
  if (!file) {
    ::close(fd);
    throw CatalogError("cannot read " + path + ": out of memory");
  }
  gzbuffer(file, 1 << 17);
}

GzInput::~GzInput() {
  if (file) gzclose(file);
}

uint64_t GzInput::raw_offset() const {
  const z_off_t at = gzoffset(file);
  return at > 0 ? static_cast<uint64_t>(at) : 0;
}

GzInput::int_type GzInput::underflow() {
  if (gptr() < egptr()) return traits_type::to_int_type(*gptr());
  const int got = gzread(file, buffer.data(), static_cast<unsigned>(buffer.size()));
  int code = Z_OK;
  const char* what = gzerror(file, &code);
  // A gzip stream cut short reads to its cut and then reports it.
  if (got < 0 || (code != Z_OK && code != Z_STREAM_END))
    throw CatalogError("cannot read " + path + ": " +
                       (code == Z_ERRNO ? std::string(strerror(errno))
                                        : "damaged gzip data (" + std::string(what) + ")"));
  if (got == 0) return traits_type::eof();
  setg(buffer.data(), buffer.data(), buffer.data() + got);
  return traits_type::to_int_type(*gptr());
}

}  // namespace stars
