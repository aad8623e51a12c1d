// The parts of the operating-system layer that every platform shares: paths
// and the file input stream.
#include <cstring>

#include "osapi/osapi.h"

namespace OSAPI {

String dirname(const char* path) {
  if (!path || !*path) return String();
  const char* slash = strrchr(path, DIR_SEPARATOR);
  if (!slash) return String(".");
  if (slash == path) return String("/");
  return String(path, static_cast<size_t>(slash - path));
}

int FileInput::read(void* dst, int n) {
  int got = read_file(*file, dst, n);
  position += got;
  return got;
}

int64_t FileInput::seek(int64_t target) {
  if (target == position) return position;
  position = seek_file(*file, target);
  return position;
}

int64_t FileInput::skip(int64_t offset) {
  if (offset == 0) return position;
  position = skip_file(*file, offset);
  return position;
}

}  // namespace OSAPI
