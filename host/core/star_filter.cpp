#include "host/core/star_filter.h"

#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <filesystem>

#include "host/core/files.h"
#include "host/core/words.h"

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

std::vector<std::string> unknown_keywords(const BlockList& settings, const std::string& source) {
  const std::vector<std::string> known(std::begin(kKeywords), std::end(kKeywords));
  std::vector<std::string> said;
  for (const Block& b : settings)
    if (std::find(known.begin(), known.end(), b.keyword) == known.end())
      said.push_back(source + ":" + std::to_string(b.line) + ": " + b.keyword +
                     " is not a setting of " + kServer + did_you_mean(b.keyword, known) +
                     "; it is ignored");
  return said;
}

std::string database_path(const std::string& written, const std::string& scene_dir) {
  namespace fs = std::filesystem;
  if (fs::path(written).is_absolute()) return written;
  const std::string beside = scene_dir + "/" + written;
  // Found nowhere, it is named where it was looked for first.
  const bool from_here = access(beside.c_str(), R_OK) != 0 && access(written.c_str(), R_OK) == 0;
  return fs::absolute(fs::path(from_here ? written : beside)).lexically_normal().string();
}

std::string database_problem(const std::string& path) {
  // Never blocks on a FIFO nor takes a device for a file.
  InputFile in(path);
  if (!in.is_open()) return "cannot read the star database " + path + ": " + in.reason();
  char magic[8] = {};
  const std::string m(magic, in.read_at(0, magic, sizeof magic));
  if (m != "VANTREL1" && m != "VANTREL2")
    return "the star database " + path + " does not begin with VANTREL1 or VANTREL2";
  return "";
}

void make_star_file_absolute(FilterInstance& f, const Host& host) {
  BlockList settings = f.save();
  const std::optional<std::string> name = star_file(settings);
  if (!name || std::filesystem::path(*name).is_absolute()) return;
  const std::string path = database_path(*name, host.content_dir);
  for (Block& b : settings)
    if (b.leaf && b.keyword == kStarFile) b.text = " " + quote(path);
  f.load(settings);
}

}  // namespace host::star_filter
