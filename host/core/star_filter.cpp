#include "host/core/star_filter.h"

#include <cstdint>
#include <cstdlib>

namespace host::star_filter {

namespace {

std::optional<std::string> first_token(const BlockList& settings, const char* keyword, Token want) {
  for (const Block& b : settings) {
    if (!b.leaf || b.keyword != keyword) continue;
    size_t cursor = 0;
    std::string value;
    if (read_token(b.text, cursor, value) == want) return value;
  }
  return std::nullopt;
}

}  // namespace

std::optional<bool> srgb(const FilterInstance& f) {
  for (const Block& b : f.save())
    if (b.keyword == kSrgbFrameBuffer && b.leaf) return std::stoi(b.text) != 0;
  return std::nullopt;
}

std::optional<std::string> star_file(const BlockList& settings) {
  std::optional<std::string> name = first_token(settings, kStarFile, Token::String);
  if (name && name->empty()) return std::nullopt;
  return name;
}

std::optional<std::string> projection(const BlockList& settings) {
  return first_token(settings, kProjection, Token::String);
}

std::optional<uint32_t> parent_id(const BlockList& settings) {
  for (const Block& b : settings) {
    if (!b.leaf || b.keyword != kParentId) continue;
    size_t cursor = 0;
    std::string value;
    read_token(b.text, cursor, value);
    char* end = nullptr;
    const long long id = strtoll(value.c_str(), &end, 10);
    if (end != value.c_str() + value.size() || id < INT32_MIN || id > INT32_MAX) continue;
    return static_cast<uint32_t>(static_cast<int32_t>(id));
  }
  return std::nullopt;
}

}  // namespace host::star_filter
