// The plug-in's settings reader over the host's load state: any text ends in
// settings or an Xception the plug-in reports, never a crash; and settings
// saved, read and saved again give the same blocks.
#include <cstdint>
#include <string>

#include "LW/instance.h"
#include "LW/settings.h"
#include "fuzz/fuzz.h"
#include "host/core/blocks.h"

namespace {

// The instance's settings as the host would store them in a scene.
std::string saved(const vantrel& v) {
  host::SaveState save(VH_IO_TEXT);
  try {
    vantrel_save(&v, save.state(), true);
  } catch (const Xception&) {
    return "(refused)";
  }
  require(save.error().empty() && save.balanced(), "the plug-in writes well-formed blocks",
          save.error() + "\n" + save.text());
  return save.text();
}

void load(vantrel& v, host::BlockList blocks) {
  host::LoadState state(std::move(blocks));
  try {
    vantrel_load(&v, state.state());
  } catch (const Xception&) {
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  host::BlockList blocks;
  try {
    blocks = host::parse_blocks(std::string(reinterpret_cast<const char*>(data), size), "fuzz");
  } catch (const host::HostError&) {
    return 0;
  }
  vantrel v;
  vantrel_defaults(&v);
  load(v, std::move(blocks));
  const std::string once = saved(v);
  if (once == "(refused)") return 0;
  vantrel again;
  vantrel_defaults(&again);
  load(again, host::parse_blocks(once, "saved"));
  require(saved(again) == once, "saved settings read back save the same", once);
  return 0;
}
