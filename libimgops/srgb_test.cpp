// The sRGB curves over runs, in every vector variant the machine runs,
// against the reference functions.
#include "libimgops/srgb.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <vector>

#include "libimgops/isa.h"

namespace {

int32_t ordered(float f) {
  int32_t i;
  memcpy(&i, &f, sizeof i);
  return i < 0 ? INT32_MIN - i : i;
}

// Floats apart, counted along the number line; 0 for two NaNs.
int64_t ulps(float a, float b) {
  if (std::isnan(a) || std::isnan(b)) return std::isnan(a) && std::isnan(b) ? 0 : INT64_MAX;
  return std::llabs(int64_t{ordered(a)} - ordered(b));
}

// The curves from their definition, in double precision. The thresholds are
// the single-precision values 0.03928 and 0.00304 (the curve the host's
// pixels were made with), compared with the value as given.
double decode_exact(float v) {
  return v > 0.03928f ? std::pow((v + 0.055) / 1.055, 2.4) : v / 12.92;
}
double encode_exact(float v) {
  return v > 0.00304f ? 1.055 * std::pow(v, 1 / 2.4) - 0.055 : v * 12.92;
}

}  // namespace

// A dense sample of 0..1 (every 509th float), both thresholds and 0, 1 and
// 4 with their neighbourhoods, values far beyond 1, the largest float,
// negative values, infinities and NaN, in runs of every length up to two vectors and
// one odd tail. (bench/curves_bench sweeps every float of 0..1.)
#ifdef _WIN32
constexpr bool kWindows = true;
#else
constexpr bool kWindows = false;
#endif

TEST(SrgbRuns, TheCurvesForEveryValue) {
  std::vector<float> values;
  for (uint32_t u = 0; u <= 0x3f800000u; u += 509) {
    float f;
    memcpy(&f, &u, sizeof f);
    values.push_back(f);
  }
  for (float centre : {0.0f, 0.00304f, 0.03928f, 1.0f, 4.0f}) {
    values.push_back(centre);
    float lo = centre, hi = centre;
    for (int i = 0; i < 300; ++i) {
      values.push_back(lo = std::nextafter(lo, -1.0f));
      values.push_back(hi = std::nextafter(hi, 8.0f));
    }
  }
  for (float v : {1.5f, 3.99f, 4.01f, 17.0f, 1e6f, 1e30f, std::numeric_limits<float>::max(), -0.25f,
                  -1e-30f, std::numeric_limits<float>::infinity(),
                  -std::numeric_limits<float>::infinity(), std::nanf("")})
    values.push_back(v);

  const imgops::Isa before = imgops::isa_in_use();
  for (imgops::Isa isa : {imgops::Isa::Baseline, imgops::Isa::Avx2}) {
    if (!imgops::use_isa(isa)) continue;
    struct Curve {
      void (*run)(const float*, float*, int);
      float (*reference)(float);
    };
    for (const Curve& c :
         {Curve{srgb_decode_run, srgb_decode}, Curve{srgb_encode_run, srgb_encode}}) {
      std::vector<float> out(values.size());
      // Runs of 1 to 17 values, so that every tail length is met.
      for (size_t i = 0, len = 1; i < values.size(); i += len, len = len % 17 + 1) {
        const int n = static_cast<int>(std::min(len, values.size() - i));
        c.run(&values[i], &out[i], n);
      }
      // Bit for bit over 0..1, where glibc's powf is never close enough to
      // a rounding boundary to fool the vector power and its check; within
      // 1 ulp beyond, and everywhere on Windows, whose C library's powf is
      // not as close.
      for (size_t i = 0; i < values.size(); ++i)
        ASSERT_LE(ulps(out[i], c.reference(values[i])),
                  values[i] >= 0.0f && values[i] <= 1.0f && !kWindows ? 0 : 1)
            << "value " << values[i] << ": " << out[i] << " against " << c.reference(values[i])
            << (isa == imgops::Isa::Avx2 ? " (avx2)" : "");
      // In place, as the frame's copy-out uses it.
      std::vector<float> same = values;
      c.run(same.data(), same.data(), static_cast<int>(same.size()));
      for (size_t i = 0; i < values.size(); ++i) ASSERT_EQ(ulps(same[i], out[i]), 0) << values[i];
    }
    // Light added between the curves, as the frame hands its values back:
    // each value as the reference curves give it, and the host's own value,
    // bit for bit, wherever the light changes nothing in linear terms.
    for (const bool encoded : {true, false}) {
      std::vector<float> light(values.size()), out(values.size());
      for (size_t i = 0; i < values.size(); ++i)
        light[i] = i % 3 == 0 ? 0.0f : i % 3 == 1 ? 1e-12f : 0.01f * values[i * 7 % values.size()];
      for (size_t i = 0, len = 1; i < values.size(); i += len, len = len % 17 + 1) {
        const int n = static_cast<int>(std::min(len, values.size() - i));
        add_linear_light_run(&values[i], &light[i], &out[i], n, encoded);
      }
      int kept = 0;
      for (size_t i = 0; i < values.size(); ++i) {
        const float linear = encoded ? srgb_decode(values[i]) : values[i];
        const float sum = linear + light[i];
        if (sum == linear) {
          ASSERT_EQ(ordered(out[i]), ordered(values[i])) << values[i] << " + " << light[i];
          ++kept;
          continue;
        }
        const bool exact = !kWindows && values[i] >= 0.0f && sum >= 0.0f && sum <= 1.0f;
        ASSERT_LE(ulps(out[i], encoded ? srgb_encode(sum) : sum), exact ? 0 : 2)
            << values[i] << " + " << light[i] << (encoded ? " encoded" : " linear");
      }
      EXPECT_GT(kept, static_cast<int>(values.size()) / 4);
    }
  }
  imgops::use_isa(before);
}

// The reference curves against their definition: a sample of 0..1, the
// thresholds themselves and their neighbours (where the two pieces of each
// curve differ by a part in 10,000), within the float arithmetic's 4e-7.
TEST(SrgbCurves, AsDefined) {
  std::vector<float> values = {0.0f, 0.00304f, 0.03928f, 0.5f, 1.0f};
  for (uint32_t u = 0; u <= 0x3f800000u; u += 4099) {
    float f;
    memcpy(&f, &u, sizeof f);
    values.push_back(f);
  }
  for (float threshold : {0.00304f, 0.03928f})
    for (float lo = threshold, hi = threshold, i = 0; i < 50; ++i) {
      values.push_back(lo = std::nextafter(lo, 0.0f));
      values.push_back(hi = std::nextafter(hi, 1.0f));
    }
  for (float v : values) {
    const double d = decode_exact(v), e = encode_exact(v);
    const double tiny = 1e-44;  // subnormal results keep few digits
    ASSERT_LE(std::fabs(srgb_decode(v) - d), 1e-6 * d + tiny) << "decode " << v;
    ASSERT_LE(std::fabs(srgb_encode(v) - e), 1e-6 * e + tiny) << "encode " << v;
  }
}
