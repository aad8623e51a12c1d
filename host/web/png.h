// PNG images in memory, for the panel's browser page.
#pragma once

#include <cstdint>
#include <string>

namespace host {

// An 8-bit RGB image, 3 bytes per pixel, rows top first, as a PNG file's bytes.
std::string encode_png(const uint8_t* rgb, int width, int height);

}  // namespace host
