// Pixel memory and the image library's own error.
#pragma once

#include <cstdint>

#include "base/string.h"

namespace Kesh {

// When on, the pixel memory operations trace themselves on the standard error stream.
extern bool verbose;

class Error : public Xception {
public:
  enum Code {
    OK = 0,
    UNKNOWN = 1,
    OPEN = 2,
    STAT = 3,
    NO_MEMORY = 4,
    READ = 5,
    TOO_SHORT = 6,
    UNKNOWN_FORMAT = 7,
    INVALID_FILE = 8,
    BAD_FORMAT_OPERATION = 9,
    WRITE = 10,
    UNIMPLEMENTED_TRANSLATION = 11,
  };
  explicit Error(int code) : code(code) {}
  // "libkeshimage error: <text>\n" on the standard error stream.
  void report() const override;
  String message_text() const override;
  // The code's text; "unknown error" for a code outside the table.
  static const char* text(int code);

  int code;
};

// Never returns null: an exhausted heap raises StrXception "out of memory".
char* malloc_pixels(uint64_t size);
// The size serves the trace only. Null is a no-op.
void free_pixels(void* block, uint64_t size);

}  // namespace Kesh
