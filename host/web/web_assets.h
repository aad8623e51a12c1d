// The panel page's files, built into the program (host/web/).
#pragma once

#include <cstddef>
#include <string_view>
#include <vector>

namespace host {

struct WebAsset {
  const char* name;  // the file name: "panel.html", "panel.js", ...
  const char* data;
  size_t size;
  std::string_view text() const { return {data, size}; }
};

const std::vector<WebAsset>& web_assets();

}  // namespace host
