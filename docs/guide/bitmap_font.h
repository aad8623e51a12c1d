// A small bitmap font for the labels of the guide's pictures: printable ASCII
// in cells of 5 x 8 dots (caps and digits 7 dots tall, one row below the
// baseline for descenders), drawn with whole-pixel dots so that a label looks
// the same on every machine, with no font files needed.
#pragma once

#include <cstdint>
#include <string>

namespace guide {

struct TextStyle {
  int scale = 2;  // pixels per dot
  uint8_t rgb[3] = {220, 220, 220};
};

// Width and height in pixels of a line of text in the style.
int text_width(const std::string& text, const TextStyle& style);
int text_height(const TextStyle& style);

// True when every character of the text has a glyph.
bool can_draw(const std::string& text);

// An 8-bit RGB picture the text is drawn into; rows of width * 3 bytes.
struct RgbView {
  uint8_t* pixels;
  int width, height;
};

// Draws the text with its top left corner at (x, y); dots outside the
// picture are left out. Characters without a glyph draw as a box.
void draw_text(RgbView picture, int x, int y, const std::string& text, const TextStyle& style);

}  // namespace guide
