// The CSV catalogue reader; see catalog.h for what is checked.
#include "fuzz/catalog.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  return fuzz_catalog(data, size, stars::Format::CSV);
}
