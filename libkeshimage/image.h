// Image descriptions and images that own their pixel memory.
#pragma once

#include <cstdint>

#include "base/map.h"
#include "libkeshimage/core.h"

namespace Kesh {

// A metadata entry: polymorphic, cloned when a spec is copied.
class MetaInfo {
public:
  virtual ~MetaInfo();
  virtual MetaInfo* clone() const = 0;
};

// Owning, pointer-sized handle to a MetaInfo: copying clones, destroying releases.
class MetaInfoRef {
public:
  explicit MetaInfoRef(MetaInfo* info = nullptr) : info(info) {}
  MetaInfoRef(const MetaInfoRef& other) : info(other.info ? other.info->clone() : nullptr) {}
  MetaInfoRef& operator=(const MetaInfoRef&) = delete;
  ~MetaInfoRef() { delete info; }
  MetaInfo* get() const { return info; }

private:
  MetaInfo* info;
};

class ImageSpec {
public:
  enum PixelFormat {
    BGRA_U8 = 1,
    G_U8 = 3,
    BGRA_FLOAT = 4,
    G_FLOAT = 6,
    YCBCR_422_8 = 7,
    DV_NTSC = 10,
    YCBCR_422_10 = 11,
    YCBCR_444_FLOAT = 12,
    CINEON = 13,
    G_U16 = 14,
    DV100_1080i60 = 15,
    DV50_NTSC = 16,
    BGRA_U16 = 17,
    DNXHD_1080i60_10BIT = 18,
    INVALID_FORMAT = 9999,
  };

  ImageSpec(int width, int height, PixelFormat format);
  ImageSpec(const ImageSpec& other);
  ImageSpec& operator=(const ImageSpec&) = delete;
  ~ImageSpec();

  // 0 for packed formats whose rows have a fixed length.
  static unsigned bytes_per_pixel(PixelFormat format);
  static unsigned natural_stride(int width, PixelFormat format);
  static const char* pixel_format_str(PixelFormat format);
  void set_natural_stride();

  int width;
  int height;
  unsigned stride;  // bytes from one row to the next
  PixelFormat format;
  PtrMap<InString, MetaInfoRef>* meta;  // owned; null without metadata
};

// An ImageSpec with the pixel memory it describes; the memory is not cleared.
class Image : public ImageSpec {
public:
  explicit Image(const ImageSpec& spec);
  Image(const Image&) = delete;
  Image& operator=(const Image&) = delete;
  // Releases the pixels and leaves the empty description (INVALID_FORMAT, -666 x -666).
  ~Image();

  void alloc();
  void clear();
  char* row(int y) { return pixels + static_cast<size_t>(y) * stride; }

  char* pixels = nullptr;
  char* block = nullptr;
  uint64_t block_size = 0;
};

}  // namespace Kesh
