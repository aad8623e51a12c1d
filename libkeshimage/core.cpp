#include "libkeshimage/core.h"

#include <cstdio>
#include <cstdlib>

namespace Kesh {

bool verbose = false;

namespace {
const char* const kErrorTexts[] = {
    "OK",
    "unknown error",
    "error opening file",
    "error stat()ing file",
    "error allocating memory",
    "error reading from file",
    "file is too short",
    "unknown file format",
    "invalid file",
    "operation cannot be performed on this image format",
    "error writing to file",
    "unimplemented image format translation",
};
}  // namespace

const char* Error::text(int code) {
  const int n = static_cast<int>(sizeof kErrorTexts / sizeof kErrorTexts[0]);
  return code >= 0 && code < n ? kErrorTexts[code] : kErrorTexts[UNKNOWN];
}

void Error::report() const { fprintf(stderr, "libkeshimage error: %s\n", text(code)); }

String Error::message_text() const { return String::format("libkeshimage error: %s", text(code)); }

char* malloc_pixels(uint64_t size) {
  if (verbose)
    fprintf(stderr, "libkeshimage: malloc_pixels(%llu)", static_cast<unsigned long long>(size));
  char* block =
      size <= SIZE_MAX ? static_cast<char*>(malloc(size ? static_cast<size_t>(size) : 1)) : nullptr;
  if (verbose) fprintf(stderr, " = %p\n", static_cast<void*>(block));
  if (!block) THROW_STR("out of memory");
  return block;
}

void free_pixels(void* block, uint64_t size) {
  if (verbose)
    fprintf(stderr, "libkeshimage: free_pixels(%p, %llu)\n", block,
            static_cast<unsigned long long>(size));
  free(block);
}

}  // namespace Kesh
