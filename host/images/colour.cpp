#include "host/images/colour.h"

#include <OpenColorIO/OpenColorIO.h>

#include <cmath>
#include <cstdlib>

#include "host/core/error.h"

namespace OCIO = OCIO_NAMESPACE;

namespace host {

struct ColourConversion::Processor {
  OCIO::ConstCPUProcessorRcPtr cpu;
};

namespace {

using Matrix3 = std::array<std::array<double, 3>, 3>;

Matrix3 inverse(const Matrix3& m) {
  const double a = m[1][1] * m[2][2] - m[1][2] * m[2][1];
  const double b = m[1][2] * m[2][0] - m[1][0] * m[2][2];
  const double c = m[1][0] * m[2][1] - m[1][1] * m[2][0];
  const double det = m[0][0] * a + m[0][1] * b + m[0][2] * c;
  Matrix3 r;
  r[0] = {a / det, (m[0][2] * m[2][1] - m[0][1] * m[2][2]) / det,
          (m[0][1] * m[1][2] - m[0][2] * m[1][1]) / det};
  r[1] = {b / det, (m[0][0] * m[2][2] - m[0][2] * m[2][0]) / det,
          (m[0][2] * m[1][0] - m[0][0] * m[1][2]) / det};
  r[2] = {c / det, (m[0][1] * m[2][0] - m[0][0] * m[2][1]) / det,
          (m[0][0] * m[1][1] - m[0][1] * m[1][0]) / det};
  return r;
}

Matrix3 product(const Matrix3& a, const Matrix3& b) {
  Matrix3 r{};
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j)
      for (int k = 0; k < 3; ++k) r[i][j] += a[i][k] * b[k][j];
  return r;
}

// Linear Rec.709 RGB to CIE XYZ, D65 white.
const Matrix3 kRec709ToXYZ = {{{0.4123908, 0.3575843, 0.1804808},
                               {0.2126390, 0.7151687, 0.0721923},
                               {0.0193308, 0.1191948, 0.9505322}}};

// The target's primaries and white, found by converting the unit colours:
// its RGB-to-XYZ matrix is Rec.709's times the inverse of the conversion.
// None when the conversion is not a matrix (mixing two colours does not mix
// their conversions).
std::optional<std::array<float, 8>> measured_chromaticities(const OCIO::CPUProcessor& cpu) {
  float unit[5][3] = {{1, 0, 0}, {0, 1, 0}, {0, 0, 1}, {0.5f, 0.25f, 0.125f}, {0, 0, 0}};
  for (float* c : unit) cpu.applyRGB(c);
  Matrix3 m;
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) m[i][j] = unit[j][i];
  for (int i = 0; i < 3; ++i) {
    const double mixed = 0.5 * m[i][0] + 0.25 * m[i][1] + 0.125 * m[i][2];
    if (std::fabs(unit[4][i]) > 1e-6 ||
        std::fabs(unit[3][i] - mixed) > 1e-4 * (1 + std::fabs(mixed)))
      return std::nullopt;
  }
  const Matrix3 to_xyz = product(kRec709ToXYZ, inverse(m));
  std::array<float, 8> xy;
  for (int p = 0; p < 4; ++p) {
    double X = 0, Y = 0, Z = 0;  // a primary's column, or the sum of all for white
    for (int j = 0; j < 3; ++j)
      if (p == 3 || p == j) X += to_xyz[0][j], Y += to_xyz[1][j], Z += to_xyz[2][j];
    xy[2 * p] = static_cast<float>(X / (X + Y + Z));
    xy[2 * p + 1] = static_cast<float>(Y / (X + Y + Z));
  }
  return xy;
}

}  // namespace

ColourConversion::ColourConversion(const std::string& config, const std::string& from,
                                   const std::string& to)
    : to(to) {
  const char* env = getenv("OCIO");
  const std::string file = !config.empty() ? config : env ? env : "";
  if (file.empty())
    throw HostError("--colorspace " + to +
                    " needs an OpenColorIO configuration: set $OCIO or give --ocio-config");
  try {
    OCIO::ConstConfigRcPtr cfg = OCIO::Config::CreateFromFile(file.c_str());
    for (const std::string& name : {from, to})
      if (!cfg->getColorSpace(name.c_str()))
        throw HostError(file + " has no colour space '" + name + "'" +
                        (name == from ? " (the render's linear Rec.709; name it with "
                                        "--render-colorspace)"
                                      : ""));
    processor = std::make_unique<Processor>();
    processor->cpu = cfg->getProcessor(from.c_str(), to.c_str())->getDefaultCPUProcessor();
  } catch (const OCIO::Exception& e) {
    throw HostError(file + ": " + e.what());
  }
  target = measured_chromaticities(*processor->cpu);
}

ColourConversion::~ColourConversion() = default;

void ColourConversion::apply(float* px, size_t pixels, int channels) const {
  const ptrdiff_t f = sizeof(float);
  OCIO::PackedImageDesc image(px, static_cast<long>(pixels), 1, 3, OCIO::BIT_DEPTH_F32, f,
                              f * channels, f * channels * static_cast<ptrdiff_t>(pixels));
  processor->cpu->apply(image);
}

}  // namespace host
