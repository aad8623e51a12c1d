// The Preview control: a fixed set of preview stars drawn with the render's
// own spot rasteriser under the instance's settings, painted into the
// toolkit's drawing area as bytes through a table lookup per channel.
#include <cmath>
#include <cstring>

#include "LW/firewall.h"
#include "LW/frame.h"
#include "LW/xpgui.h"
#include "libkeshimage/image.h"

namespace {

constexpr int kTableSize = 16384;  // indexed by the top 14 bits of a float's pattern

// A byte from a scaled value, truncated and clamped. A positive pattern
// whose middle is not a number lies in the bucket of infinity: 255.
unsigned char to_byte(float v) {
  if (std::isnan(v)) return 255;
  if (!(v > 0.0f)) return 0;
  return v >= 255.0f ? 255 : static_cast<unsigned char>(v);
}

void build_byte_tables() {
  VantrelModule& m = vantrel_module;
  if (m.preview_tables_built) return;
  // Patterns with the sign bit (indices from 8192 up) are negative: 0.
  for (uint32_t i = 0; i < kTableSize / 2; ++i) {
    // The middle of the floats that share these top bits.
    const uint32_t bits = (i << 18) | (1u << 17);
    float x;
    memcpy(&x, &bits, sizeof x);
    m.preview_srgb[i] = to_byte(srgb_encode(x) * 255.0f + 0.5f);
    m.preview_linear[i] = to_byte(x * 255.0f);
  }
  for (uint32_t i = kTableSize / 2; i < kTableSize; ++i)
    m.preview_srgb[i] = m.preview_linear[i] = 0;
  // Entry 16383 holds patterns that are not numbers.
  m.preview_srgb[0] = m.preview_linear[0] = 0;
  m.preview_srgb[kTableSize - 1] = m.preview_linear[kTableSize - 1] = 255;
  m.preview_tables_built = true;
}

unsigned char lookup(const unsigned char* table, float value) {
  uint32_t bits;
  memcpy(&bits, &value, sizeof bits);
  return table[bits >> 18];
}

// A star's colour under the settings: yellow to blue, tinted, then
// saturated towards grey 0.5, in single precision.
VectorN<float, 3> preview_colour(const VantrelSettings& s, float c) {
  const float tint_strength = static_cast<float>(s.TintStrength);
  const float saturation = static_cast<float>(s.Saturation);
  const float tint[3] = {static_cast<float>(s.TintRed), static_cast<float>(s.TintGreen),
                         static_cast<float>(s.TintBlue)};
  const float red_green = 0.2f * c + (1.0f - c);
  const float base[3] = {red_green, red_green, c};
  VectorN<float, 3> out;
  for (int k = 0; k < 3; ++k) {
    const float tinted = base[k] * (1.0f - tint_strength) + tint[k] * tint_strength;
    out[k] = tinted * saturation + (1.0f - saturation) * 0.5f;
  }
  return out;
}

void paint(const Kesh::Image& image, VHDrawArea area, bool srgb) {
  const VHPanelDrawFuncs* draw = panel_toolkit().draw;
  const unsigned char* table = srgb ? vantrel_module.preview_srgb : vantrel_module.preview_linear;
  for (int y = 0; y < image.height; ++y) {
    const float* px =
        reinterpret_cast<const float*>(image.pixels + static_cast<size_t>(y) * image.stride);
    for (int x = 0; x < image.width; ++x, px += 4)
      draw->rgb_pixel(draw, area, x, y, lookup(table, px[1]), lookup(table, px[2]),
                      lookup(table, px[3]));
  }
}

}  // namespace

unsigned char preview_byte(float value, bool srgb) {
  build_byte_tables();
  return lookup(srgb ? vantrel_module.preview_srgb : vantrel_module.preview_linear, value);
}

PreviewStats draw_preview_stars(const VantrelSettings& s, const StarFramebuffer& fb,
                                uint64_t (*clock_us)()) {
  PreviewStats stats;
  // The spots are smaller than the render's, and stop growing at size 10.
  const double size = (s.StarSize >= 10.0 ? 10.0 : s.StarSize) * 0.4;
  const float height = static_cast<float>(size);
  const float width = static_cast<float>(size * s.StarAspect);
  const uint64_t start = clock_us();
  for (int i = 0; i < kPreviewStars; ++i) {
    if (i % 10 == 0 && clock_us() - start > kPreviewBudgetUs) break;
    stats.reached = i + 1;
    const PreviewStar& star = preview_stars[i];
    if (star.luminance < s.LumThreshold) continue;
    // A spot of no size (StarSize or StarAspect 0) shows nothing.
    if (!(width > 0.0f && height > 0.0f)) continue;
    double f = std::pow(static_cast<double>(star.luminance), 1.0 / s.BrightnessBias);
    if (f >= s.LumMax) f = s.LumMax;
    const float amount = static_cast<float>(s.Brightness * 2.5 * f);
    const VectorN<float, 2> at{
        {star.x * static_cast<float>(fb.width), star.y * static_cast<float>(fb.height)}};
    op_star_streak(fb, at, at, amount, preview_colour(s, star.colour), width, height, AllLines);
    ++stats.drawn;
  }
  return stats;
}

void draw_preview(VHPanelID panel, uint32_t, VHDrawArea area, int width, int height) {
  firewall([&] {
    const vantrel* v = panel_instance(panel);
    if (width <= 0 || height <= 0) return;
    build_byte_tables();
    Kesh::Image image(Kesh::ImageSpec(width, height, Kesh::ImageSpec::BGRA_FLOAT));
    image.clear();
    draw_preview_stars(*v, star_framebuffer(image), vantrel_module.preview_clock);
    paint(image, area, v->sRGBFrameBuffer != 0);
  });
}
