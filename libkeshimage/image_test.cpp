#include "libkeshimage/image.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <string>

using Kesh::Image;
using Kesh::ImageSpec;

namespace {

std::string failure(const std::function<void()>& f) {
  try {
    f();
  } catch (const StrXception& e) {
    return e.message.c_str();
  } catch (const AssertXception& e) {
    return std::string("assert: ") + e.expression;
  }
  return "(nothing raised)";
}

bool starts(const std::string& s, const std::string& prefix) { return s.rfind(prefix, 0) == 0; }

int live_infos = 0;
struct Tag : Kesh::MetaInfo {
  Tag() { ++live_infos; }
  Tag(const Tag&) : Kesh::MetaInfo() { ++live_infos; }
  ~Tag() override { --live_infos; }
  Kesh::MetaInfo* clone() const override { return new Tag(*this); }
};

// Records the description of the image under watch when its metadata is
// released. That happens while the ImageSpec part is being destroyed, so its
// fields may still be read; after the destructor returns they may not.
const ImageSpec* watched = nullptr;
struct Seen {
  bool taken = false;
  ImageSpec::PixelFormat format = ImageSpec::BGRA_U8;
  int width = 0, height = 0;
  unsigned stride = 1;
} seen;
struct Witness : Kesh::MetaInfo {
  ~Witness() override {
    if (!watched) return;
    seen.taken = true;
    seen.format = watched->format;
    seen.width = watched->width;
    seen.height = watched->height;
    seen.stride = watched->stride;
  }
  Kesh::MetaInfo* clone() const override { return new Witness(*this); }
};

}  // namespace

TEST(ImageSpec, StridesOfEveryFormat) {
  ImageSpec spec(100, 50, ImageSpec::BGRA_FLOAT);
  EXPECT_EQ(spec.stride, 1600u);
  EXPECT_EQ(spec.meta, nullptr);
  Image image(spec);
  EXPECT_EQ(image.block_size, 80000u);
  EXPECT_EQ(image.pixels, image.block);

  using S = ImageSpec;
  EXPECT_EQ(S::natural_stride(6, S::YCBCR_422_10), 128u);
  EXPECT_EQ(S::natural_stride(8, S::YCBCR_422_10), 128u);
  EXPECT_EQ(S::natural_stride(48, S::YCBCR_422_10), 128u);
  EXPECT_EQ(S::natural_stride(49, S::YCBCR_422_10), 256u);
  EXPECT_EQ(S::natural_stride(720, S::YCBCR_422_10), 1920u);
  EXPECT_EQ(S::natural_stride(1920, S::YCBCR_422_10), 5120u);
  EXPECT_EQ(S::natural_stride(1, S::YCBCR_422_10), 128u);
  EXPECT_EQ(S::natural_stride(3, S::YCBCR_422_8), 12u);
  EXPECT_EQ(S::natural_stride(4, S::YCBCR_422_8), 12u);
  EXPECT_EQ(S::natural_stride(5, S::YCBCR_422_8), 24u);
  EXPECT_EQ(S::natural_stride(7, S::YCBCR_422_8), 24u);
  EXPECT_EQ(S::natural_stride(720, S::DV_NTSC), 250u);
  EXPECT_EQ(S::natural_stride(720, S::DV50_NTSC), 500u);
  EXPECT_EQ(S::natural_stride(1280, S::DV100_1080i60), 445u);
  EXPECT_EQ(S::natural_stride(1920, S::DNXHD_1080i60_10BIT), 850u);
  EXPECT_EQ(S::natural_stride(10, S::BGRA_U16), 80u);
  EXPECT_EQ(S::natural_stride(10, S::G_U8), 10u);
  EXPECT_EQ(failure([] { S::natural_stride(719, S::DV_NTSC); }), "assert: width == 720");
  EXPECT_EQ(failure([] { S::natural_stride(721, S::DV50_NTSC); }), "assert: width == 720");
  EXPECT_EQ(failure([] { S::natural_stride(1920, S::DV100_1080i60); }), "assert: width == 1280");
  EXPECT_EQ(failure([] { S::natural_stride(1280, S::DNXHD_1080i60_10BIT); }),
            "assert: width == 1920");
  EXPECT_STREQ(S::pixel_format_str(S::DV100_1080i60), "DV100_1080i60");
  EXPECT_STREQ(S::pixel_format_str(S::BGRA_FLOAT), "BGRA_FLOAT");
}

TEST(ImageSpec, UnknownFormats) {
  // The 32-bit build names the format before refusing it.
  const std::string refusal = sizeof(void*) == 4 ? "unknown format" : "unhandled format";
  for (int f : {0, 2, 5, 8, 9, 9999}) {
    auto format = static_cast<ImageSpec::PixelFormat>(f);
    EXPECT_TRUE(starts(failure([=] { ImageSpec::bytes_per_pixel(format); }), refusal)) << f;
    EXPECT_TRUE(starts(failure([=] { ImageSpec::natural_stride(4, format); }), refusal)) << f;
    EXPECT_TRUE(starts(failure([=] { ImageSpec::pixel_format_str(format); }), "unknown format"))
        << f;
  }
  ImageSpec invalid(4, 4, ImageSpec::BGRA_U8);
  invalid.format = ImageSpec::INVALID_FORMAT;
  EXPECT_EQ(failure([&] { Image image(invalid); }),
            "assert: spec.format != ImageSpec::INVALID_FORMAT");
}

TEST(Image, AllocationGuards) {
  ImageSpec narrow(100, 10, ImageSpec::BGRA_FLOAT);
  narrow.stride = 100 * 16 - 1;
  EXPECT_TRUE(
      starts(failure([&] { Image image(narrow); }),
             "ImageSpec stride is too small for width - did you forget set_natural_stride?"));
  narrow.set_natural_stride();
  EXPECT_EQ(narrow.stride, 1600u);

  // 300 million float pixels per row: the 32-bit row computation wraps to a
  // small stride, which must not pass as enough.
  ImageSpec wide(300000000, 1, ImageSpec::BGRA_FLOAT);
  EXPECT_TRUE(starts(failure([&] { Image image(wide); }), "ImageSpec stride is too small"))
      << wide.stride;
  // stride * height beyond 32 bits is refused rather than wrapped.
  ImageSpec tall(65536, 65536, ImageSpec::G_U8);
  EXPECT_TRUE(
      starts(failure([&] { Image image(tall); }), "image of 65536 bytes per row and 65536 rows"));
  ImageSpec negative(10, -1, ImageSpec::G_U8);
  EXPECT_TRUE(
      starts(failure([&] { Image image(negative); }), "ImageSpec size 10 x -1 is negative"));
}

TEST(Image, ClearAndEmptyStateAfterDestruction) {
  // The witness rides in the image's metadata, which the ImageSpec part
  // releases after the image's own destructor has run.
  ImageSpec spec(3, 2, ImageSpec::BGRA_FLOAT);
  spec.meta = new PtrMap<InString, Kesh::MetaInfoRef>(4);
  spec.meta->insert("witness", Kesh::MetaInfoRef(new Witness));
  {
    Image image(spec);
    image.clear();
    for (uint64_t i = 0; i < image.block_size; ++i) ASSERT_EQ(image.block[i], 0);
    reinterpret_cast<float*>(image.row(1))[0] = 1.5f;
    EXPECT_EQ(reinterpret_cast<float*>(image.pixels)[12], 1.5f);
    watched = &image;
  }
  watched = nullptr;
  ASSERT_TRUE(seen.taken);
  EXPECT_EQ(seen.format, ImageSpec::INVALID_FORMAT);
  EXPECT_EQ(seen.width, -666);
  EXPECT_EQ(seen.height, -666);
  EXPECT_EQ(seen.stride, 0u);
}

TEST(ImageSpec, MetadataIsClonedAndReleased) {
  {
    ImageSpec plain(2, 2, ImageSpec::G_FLOAT);
    ImageSpec copy(plain);
    EXPECT_EQ(copy.meta, nullptr);
  }
  {
    ImageSpec spec(2, 2, ImageSpec::G_FLOAT);
    spec.meta = new PtrMap<InString, Kesh::MetaInfoRef>(4);
    spec.meta->insert("origin", Kesh::MetaInfoRef(new Tag));
    EXPECT_EQ(live_infos, 1);
    ImageSpec copy(spec);
    EXPECT_EQ(live_infos, 2);
    ASSERT_NE(copy.meta->find("origin"), nullptr);
    EXPECT_NE(copy.meta->find("origin")->get(), spec.meta->find("origin")->get());
    // A failing Image construction releases its copied metadata.
    spec.stride = 1;
    try {
      Image image(spec);
    } catch (const Xception&) {
    }
    EXPECT_EQ(live_infos, 2);
  }
  EXPECT_EQ(live_infos, 0);
}

TEST(KeshError, ReportsItsText) {
  testing::internal::CaptureStderr();
  Kesh::Error(Kesh::Error::NO_MEMORY).report();
  Kesh::Error(11).report();
  Kesh::Error(42).report();
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "libkeshimage error: error allocating memory\n"
            "libkeshimage error: unimplemented image format translation\n"
            "libkeshimage error: unknown error\n");
  Kesh::verbose = true;
  testing::internal::CaptureStderr();
  { Image image(ImageSpec(1, 1, ImageSpec::G_U8)); }
  Kesh::verbose = false;
  std::string trace = testing::internal::GetCapturedStderr();
  // The block's address as the platform prints a pointer, the same in both lines.
  const std::string head = "libkeshimage: malloc_pixels(1) = ";
  ASSERT_TRUE(starts(trace, head)) << trace;
  const std::string block = trace.substr(head.size(), trace.find('\n') - head.size());
  EXPECT_FALSE(block.empty());
  EXPECT_EQ(trace.substr(trace.find('\n') + 1), "libkeshimage: free_pixels(" + block + ", 1)\n");
}
