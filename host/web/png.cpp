#include "host/web/png.h"

#include <zlib.h>

#include <vector>

#include "host/core/error.h"

namespace host {

namespace {

void put32(std::string& out, uint32_t v) {
  for (int shift = 24; shift >= 0; shift -= 8)
    out.push_back(static_cast<char>((v >> shift) & 0xFF));
}

// Length, type, data and the CRC over type and data.
void chunk(std::string& out, const char* type, const std::string& data) {
  put32(out, static_cast<uint32_t>(data.size()));
  const std::string body = std::string(type, 4) + data;
  out += body;
  put32(out, static_cast<uint32_t>(crc32(0, reinterpret_cast<const Bytef*>(body.data()),
                                         static_cast<uInt>(body.size()))));
}

}  // namespace

std::string encode_png(const uint8_t* rgb, int width, int height) {
  if (width <= 0 || height <= 0) throw HostError("a PNG image needs a positive size");
  const size_t row = static_cast<size_t>(width) * 3;
  // Each row is led by its filter type; 0 leaves the bytes as they are.
  std::vector<uint8_t> raw((row + 1) * static_cast<size_t>(height));
  for (int y = 0; y < height; ++y) {
    uint8_t* dst = &raw[(row + 1) * static_cast<size_t>(y)];
    dst[0] = 0;
    std::copy(rgb + row * static_cast<size_t>(y), rgb + row * (static_cast<size_t>(y) + 1),
              dst + 1);
  }
  uLongf packed_size = compressBound(static_cast<uLong>(raw.size()));
  std::string packed(packed_size, '\0');
  if (compress2(reinterpret_cast<Bytef*>(packed.data()), &packed_size, raw.data(),
                static_cast<uLong>(raw.size()), 6) != Z_OK)
    throw HostError("cannot compress a PNG image");
  packed.resize(packed_size);

  std::string header;
  put32(header, static_cast<uint32_t>(width));
  put32(header, static_cast<uint32_t>(height));
  header +=
      std::string("\x08\x02\x00\x00\x00", 5);  // 8 bits, RGB, deflate, no filter set, no interlace
  std::string out("\x89PNG\r\n\x1a\n", 8);
  chunk(out, "IHDR", header);
  chunk(out, "IDAT", packed);
  chunk(out, "IEND", "");
  return out;
}

}  // namespace host
