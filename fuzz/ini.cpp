// The configuration file's line reader: any line adds its pairs to the map or
// is refused, never a crash; every value read back is a whole text.
#include <cstdint>
#include <cstring>
#include <string>

#include "LW/config_file.h"
#include "base/map.h"
#include "fuzz/fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  PtrMap<InString, String> map(16);
  size_t start = 0;
  while (start <= text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    const std::string line = text.substr(start, end - start);
    parse_ini_line(map, line.c_str());  // a NUL inside ends the line for it, as in a file
    start = end + 1;
  }
  const String file = ini_get_string(map, "DefaultStarFile", "");
  require(strlen(file.c_str()) == file.length(), "an ini value is one NUL-terminated text");
  ini_get_int(map, "DialogX", -9999);
  ini_get_int(map, "VantrelVersion", 0);
  return 0;
}
