// The scene file parser: any text is a scene or one HostError, never a crash;
// and what was parsed, formatted and parsed again, formats the same.
#include <cstdint>
#include <string>

#include "fuzz/fuzz.h"
#include "host/core/scenefile.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  host::SceneFile first;
  try {
    first = host::parse_scene(text, "fuzz.vsc");
  } catch (const host::HostError&) {
    return 0;
  }
  const std::string once = host::format_scene(first.scene, first.filters);
  host::SceneFile second;
  try {
    second = host::parse_scene(once, "formatted.vsc");
  } catch (const host::HostError& e) {
    require(false, "a formatted scene parses again", e.what() + std::string("\n") + once);
  }
  const std::string twice = host::format_scene(second.scene, second.filters);
  require(twice == once, "formatting a reparsed scene gives the same text",
          once + "----\n" + twice);
  return 0;
}
