// Where the panels of a contact strip lie. The strip tool writes this into
// the PNG's description ("strip 480x270 8,8 496,8"), so that a reader of the
// picture (the guide's test) finds the panels without knowing the drawing.
#pragma once

#include <sstream>
#include <string>
#include <vector>

namespace guide {

struct StripLayout {
  int panel_width = 0, panel_height = 0;
  struct Origin {
    int x, y;
  };
  std::vector<Origin> panels;  // top left corners, in reading order
};

inline std::string format_layout(const StripLayout& layout) {
  std::ostringstream out;
  out << "strip " << layout.panel_width << 'x' << layout.panel_height;
  for (const StripLayout::Origin& o : layout.panels) out << ' ' << o.x << ',' << o.y;
  return out.str();
}

// False when the text is not a layout (or names no panel).
inline bool parse_layout(const std::string& text, StripLayout& layout) {
  std::istringstream in(text);
  std::string word;
  char x = 0;
  if (!(in >> word >> layout.panel_width >> x >> layout.panel_height) || word != "strip" ||
      x != 'x' || layout.panel_width <= 0 || layout.panel_height <= 0)
    return false;
  layout.panels.clear();
  StripLayout::Origin o{};
  char comma = 0;
  while (in >> o.x >> comma >> o.y) {
    if (comma != ',') return false;
    layout.panels.push_back(o);
  }
  return in.eof() && !layout.panels.empty();
}

}  // namespace guide
