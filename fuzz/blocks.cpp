// The host's text form of tagged blocks: parsing never crashes; what was
// parsed, formatted and parsed again, formats the same; and a load state
// walks any of it with every read operation.
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz/fuzz.h"
#include "host/core/blocks.h"

namespace {

// Every keyword of the blocks, for a table a reader hands to find_block.
void keywords(const host::BlockList& blocks, std::vector<std::string>& out) {
  for (const host::Block& b : blocks) {
    if (out.size() >= 32) return;
    out.push_back(b.keyword);
    keywords(b.children, out);
  }
}

// Enters every block the table finds and reads its values every way there is.
void walk(const st_LWLoadState* s, const VHBlockID* table, int depth) {
  char buffer[64];
  int32_t i4[4];
  float fp[4];
  while (const uint32_t id = s->find_block(s->data, table)) {
    switch (id % 4) {
      case 0: s->read_i4(s->data, i4, 4); break;
      case 1: s->read_fp(s->data, fp, 4); break;
      case 2: s->read_str(s->data, buffer, sizeof buffer); break;
      default: s->read(s->data, buffer, sizeof buffer); break;
    }
    if (depth < host::kMaxBlockDepth) walk(s, table, depth + 1);
    s->end_block(s->data);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  host::BlockList blocks;
  try {
    blocks = host::parse_blocks(text, "fuzz.blocks");
  } catch (const host::HostError&) {
    return 0;
  }
  const std::string once = host::format_blocks(blocks);
  host::BlockList again;
  try {
    again = host::parse_blocks(once, "formatted.blocks");
  } catch (const host::HostError& e) {
    require(false, "formatted blocks parse again", e.what() + std::string("\n") + once);
  }
  require(host::format_blocks(again) == once, "formatting reparsed blocks gives the same text",
          once);

  std::vector<std::string> names;
  keywords(blocks, names);
  std::vector<VHBlockID> table;
  for (size_t i = 0; i < names.size(); ++i)
    table.push_back({static_cast<uint32_t>(i + 1), names[i].c_str()});
  table.push_back({0, nullptr});
  host::LoadState state(std::move(blocks));
  walk(state.state(), table.data(), 0);
  return 0;
}
