#include "host/core/error.h"

#include <cstdio>

namespace host {

std::string printable(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (const char c : text) {
    const unsigned char u = static_cast<unsigned char>(c);
    if (u >= 0x20 && u != 0x7F) {
      out += c;
      continue;
    }
    char hex[5];
    snprintf(hex, sizeof hex, "\\x%02X", u);
    out += hex;
  }
  return out;
}

}  // namespace host
