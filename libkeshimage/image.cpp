#include "libkeshimage/image.h"

#include <cstring>

namespace Kesh {

MetaInfo::~MetaInfo() = default;

ImageSpec::ImageSpec(int width, int height, PixelFormat format)
    : width(width),
      height(height),
      stride(natural_stride(width, format)),
      format(format),
      meta(nullptr) {}

ImageSpec::ImageSpec(const ImageSpec& other)
    : width(other.width),
      height(other.height),
      stride(other.stride),
      format(other.format),
      meta(other.meta ? new PtrMap<InString, MetaInfoRef>(*other.meta) : nullptr) {}

ImageSpec::~ImageSpec() { delete meta; }

const char* ImageSpec::pixel_format_str(PixelFormat format) {
  switch (format) {
    case BGRA_U8: return "BGRA_U8";
    case G_U8: return "G_U8";
    case BGRA_FLOAT: return "BGRA_FLOAT";
    case G_FLOAT: return "G_FLOAT";
    case YCBCR_422_8: return "YCBCR_422_8";
    case DV_NTSC: return "DV_NTSC";
    case YCBCR_422_10: return "YCBCR_422_10";
    case YCBCR_444_FLOAT: return "YCBCR_444_FLOAT";
    case CINEON: return "CINEON";
    case G_U16: return "G_U16";
    case DV100_1080i60: return "DV100_1080i60";
    case DV50_NTSC: return "DV50_NTSC";
    case BGRA_U16: return "BGRA_U16";
    case DNXHD_1080i60_10BIT: return "DNXHD_1080i60_10BIT";
    default: THROW_STR("unknown format");
  }
}

unsigned ImageSpec::bytes_per_pixel(PixelFormat format) {
  switch (format) {
    case BGRA_U8: return 4;
    case G_U8: return 1;
    case BGRA_FLOAT: return 16;
    case G_FLOAT: return 4;
    case YCBCR_422_8: return 3;
    case YCBCR_444_FLOAT: return 12;
    case CINEON: return 4;
    case G_U16: return 2;
    case BGRA_U16: return 8;
    case DV_NTSC:
    case YCBCR_422_10:
    case DV100_1080i60:
    case DV50_NTSC:
    case DNXHD_1080i60_10BIT: return 0;
    default:
#if UINTPTR_MAX == 0xFFFFFFFFu
      // The 32-bit build names the format first, and that raises "unknown format".
      pixel_format_str(format);
#endif
      THROW_STR("unhandled format");
  }
}

unsigned ImageSpec::natural_stride(int width, PixelFormat format) {
  switch (format) {
    case DV_NTSC: ASSERT(width == 720); return 250;
    case DV50_NTSC: ASSERT(width == 720); return 500;
    case DV100_1080i60: ASSERT(width == 1280); return 445;
    case DNXHD_1080i60_10BIT: ASSERT(width == 1920); return 850;
    case YCBCR_422_10: {
      unsigned groups = static_cast<unsigned>(width) / 6 + (width % 6 ? 1 : 0);
      unsigned s = 16 * groups;
      return (s + 127) / 128 * 128;
    }
    case YCBCR_422_8: {
      unsigned s = static_cast<unsigned>(width) * 3;
      return (s + 11) / 12 * 12;
    }
    default: return static_cast<unsigned>(width) * bytes_per_pixel(format);
  }
}

void ImageSpec::set_natural_stride() { stride = natural_stride(width, format); }

Image::Image(const ImageSpec& spec) : ImageSpec(spec) {
  // The ImageSpec base is complete here, so its metadata is released if we throw.
  ASSERT(spec.format != ImageSpec::INVALID_FORMAT);
  alloc();
}

Image::~Image() {
  free_pixels(block, block_size);
  format = INVALID_FORMAT;
  width = -666;
  height = -666;
  stride = 0;
}

void Image::alloc() {
  if (width < 0 || height < 0) THROW_STR("ImageSpec size %d x %d is negative", width, height);
  // Compared in 64 bits: a row need that wraps in 32 bits must not pass.
  const uint64_t row_need =
      static_cast<uint64_t>(bytes_per_pixel(format)) * static_cast<uint64_t>(width);
  if (stride < row_need)
    THROW_STR("ImageSpec stride is too small for width - did you forget set_natural_stride?");
  const uint64_t size = static_cast<uint64_t>(stride) * static_cast<uint64_t>(height);
  if (size > 0xFFFFFFFFu)
    THROW_STR("image of %u bytes per row and %d rows does not fit in 4 GiB", stride, height);
  block = malloc_pixels(size);
  if (!block) throw Error(Error::NO_MEMORY);
  block_size = size;
  pixels = block;
}

void Image::clear() { memset(block, 0, static_cast<size_t>(block_size)); }

}  // namespace Kesh
