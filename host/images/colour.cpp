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

using Chromaticities = std::array<float, 8>;  // red, green, blue, white as x, y

Matrix3 diagonal(double a, double b, double c) { return {{{a, 0, 0}, {0, b, 0}, {0, 0, c}}}; }

std::array<double, 3> xyz_of(double x, double y) { return {x / y, 1.0, (1 - x - y) / y}; }

// RGB to XYZ for primaries and a white given as chromaticities.
Matrix3 rgb_to_xyz(const Chromaticities& c) {
  Matrix3 p;
  for (int j = 0; j < 3; ++j) {
    const std::array<double, 3> v = xyz_of(c[2 * j], c[2 * j + 1]);
    for (int i = 0; i < 3; ++i) p[i][j] = v[i];
  }
  const std::array<double, 3> w = xyz_of(c[6], c[7]);
  const Matrix3 inv = inverse(p);
  double s[3];
  for (int i = 0; i < 3; ++i) s[i] = inv[i][0] * w[0] + inv[i][1] * w[1] + inv[i][2] * w[2];
  return product(p, diagonal(s[0], s[1], s[2]));
}

// The xy of each column of an RGB-to-XYZ matrix, and of their sum (white).
Chromaticities chromaticities_of(const Matrix3& to_xyz) {
  Chromaticities xy;
  for (int p = 0; p < 4; ++p) {
    double X = 0, Y = 0, Z = 0;
    for (int j = 0; j < 3; ++j)
      if (p == 3 || p == j) X += to_xyz[0][j], Y += to_xyz[1][j], Z += to_xyz[2][j];
    xy[2 * p] = static_cast<float>(X / (X + Y + Z));
    xy[2 * p + 1] = static_cast<float>(Y / (X + Y + Z));
  }
  return xy;
}

// Spaces whose white is not the render's D65 are reached through a
// chromatic adaptation (Bradford), which moves their primaries as measured.
// A measurement that matches one of these, adapted, stands for its own values.
const Chromaticities kKnown[] = {
    {0.713f, 0.293f, 0.165f, 0.830f, 0.128f, 0.044f, 0.32168f, 0.33767f},  // ACES AP1
    {0.7347f, 0.2653f, 0.0f, 1.0f, 0.0001f, -0.077f, 0.32168f, 0.33767f},  // ACES AP0
    {0.708f, 0.292f, 0.170f, 0.797f, 0.131f, 0.046f, 0.3127f, 0.3290f},    // Rec.2020
    {0.680f, 0.320f, 0.265f, 0.690f, 0.150f, 0.060f, 0.3127f, 0.3290f},    // P3 D65
    {0.680f, 0.320f, 0.265f, 0.690f, 0.150f, 0.060f, 0.314f, 0.351f},      // DCI-P3
};

Chromaticities adapted_to_d65(const Chromaticities& c) {
  const Matrix3 bradford = {
      {{0.8951, 0.2664, -0.1614}, {-0.7502, 1.7135, 0.0367}, {0.0389, -0.0685, 1.0296}}};
  const std::array<double, 3> from = xyz_of(c[6], c[7]), to = xyz_of(0.3127, 0.3290);
  double scale[3];
  for (int i = 0; i < 3; ++i) {
    const double* row = bradford[i].data();
    scale[i] = (row[0] * to[0] + row[1] * to[1] + row[2] * to[2]) /
               (row[0] * from[0] + row[1] * from[1] + row[2] * from[2]);
  }
  const Matrix3 adapt =
      product(inverse(bradford), product(diagonal(scale[0], scale[1], scale[2]), bradford));
  return chromaticities_of(product(adapt, rgb_to_xyz(c)));
}

// The target's primaries and white, found by converting the unit colours:
// its RGB-to-XYZ matrix is Rec.709's times the inverse of the conversion.
// None when the conversion is not a matrix (mixing two colours does not mix
// their conversions).
std::optional<Chromaticities> measured_chromaticities(const OCIO::CPUProcessor& cpu) {
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
  const Chromaticities measured = chromaticities_of(product(kRec709ToXYZ, inverse(m)));
  for (const Chromaticities& known : kKnown) {
    const Chromaticities adapted = adapted_to_d65(known);
    bool same = true;
    for (int k = 0; k < 8; ++k) same = same && std::fabs(adapted[k] - measured[k]) < 0.002f;
    if (same) return known;
  }
  return measured;
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
