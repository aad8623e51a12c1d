// The star renderer over random records and extreme settings: any record,
// camera and setting a database or a scene can hold gives light or none in
// the frame, never a crash or undefined behaviour; and light is never
// written outside the frame's planes.
#include <fuzzer/FuzzedDataProvider.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <vector>

#include "fuzz/fuzz.h"
#include "libimgops/stars.h"
#include "stardb/star_record.h"

namespace {

// A double from the whole range, with the special values made likely.
double extreme(FuzzedDataProvider& in) {
  switch (in.ConsumeIntegralInRange(0, 9)) {
    case 0: return std::numeric_limits<double>::quiet_NaN();
    case 1: return std::numeric_limits<double>::infinity();
    case 2: return -std::numeric_limits<double>::infinity();
    case 3: return 0.0;
    case 4: return std::numeric_limits<double>::denorm_min();
    case 5: return in.ConsumeFloatingPoint<double>();
    default: return in.ConsumeFloatingPointInRange(-4.0, 4.0);
  }
}

// Records from the rest of the input, behind a header the renderer accepts.
class Records : public StarInput {
public:
  Records(FuzzedDataProvider& in) {
    bytes.assign(star_db::kRecordSize, 0);
    star_db::encode_header(in.ConsumeBool(), bytes.data());
    const std::vector<unsigned char> rest = in.ConsumeRemainingBytes<unsigned char>();
    bytes.insert(bytes.end(), rest.begin(), rest.end() - rest.size() % star_db::kRecordSize);
    record_count = static_cast<uint32_t>(bytes.size() / star_db::kRecordSize);
  }
  const unsigned char* next() override { return &bytes[star_db::kRecordSize * cursor++]; }
  void rewind() override { cursor = 0; }
  int version() const override { return star_db::header_version(bytes.data()); }

private:
  std::vector<unsigned char> bytes;
  size_t cursor = 0;
};

StarRendererData settings(FuzzedDataProvider& in) {
  StarRendererData d;
  d.screen_left = extreme(in);
  d.screen_right = extreme(in);
  d.screen_bottom = extreme(in);
  d.screen_top = extreme(in);
  d.star_width = extreme(in);
  d.star_height = extreme(in);
  d.lum_threshold = extreme(in);
  d.lum_max = extreme(in);
  d.brightness = extreme(in);
  d.saturation = extreme(in);
  d.brightness_power = extreme(in);
  d.tint_strength = extreme(in);
  d.parallax = extreme(in);
  for (int c = 0; c < 3; ++c) d.tint[c] = static_cast<float>(extreme(in));
  d.projection = static_cast<op_stars_projection>(in.ConsumeIntegralInRange(0, 2));
  d.lines = static_cast<op_stars_lines>(in.ConsumeIntegralInRange(0, 2));
  d.three_d = in.ConsumeBool();
  d.path = in.ConsumeBool() ? ExactPath : FastPath;
  return d;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider in(data, size);
  const int w = in.ConsumeIntegralInRange(1, 48), h = in.ConsumeIntegralInRange(1, 48);
  const StarRendererData d = settings(in);
  Array<camera> cams;
  for (int n = in.ConsumeIntegralInRange(1, 4); n > 0; --n) {
    camera c{Matrix4<double>::identity(), extreme(in), 1.0, -1.0};
    // Mostly a turn and a position, sometimes anything at all.
    const bool any = in.ConsumeIntegralInRange(0, 7) == 0;
    for (int k = 0; k < 16; ++k)
      if (any || k >= 12) c.matrix.m[k] = k == 15 && !any ? 1.0 : extreme(in);
    cams.append(c);
  }
  // A margin of guard values on both sides of the planes.
  const size_t margin = 64;
  std::vector<float> px(static_cast<size_t>(w) * h * 4 + 2 * margin, 0.0f);
  float* planes = px.data() + margin;
  const StarFramebuffer fb{planes + 1, planes + 2, planes + 3, planes, w, h, w * 4, 4};
  Records records(in);
  try {
    StarRenderer renderer(d, fb, records, cams);
    bool drew = false;
    for (uint32_t i = 1; i < records.record_count && renderer.render_next(drew);) ++i;
  } catch (const Xception&) {
  }
  for (size_t i = 0; i < margin; ++i)
    require(px[i] == 0.0f && px[px.size() - 1 - i] == 0.0f, "nothing is drawn outside the frame");
  return 0;
}
