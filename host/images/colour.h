// Colour conversions through OpenColorIO, from the render's own space (linear
// Rec.709 primaries, D65 white: the space the stars' colours are computed in)
// to a space a facility works in.
#pragma once

#include <array>
#include <memory>
#include <optional>
#include <string>

namespace host {

// The name the render's space has in the configurations we expect (the
// ACES studio configurations hold it as an alias of "Linear Rec.709 (sRGB)").
constexpr char kRenderColourSpace[] = "lin_rec709";

class ColourConversion {
public:
  // The configuration is the file named, or $OCIO's when config is empty.
  // Throws HostError naming the configuration and the space it lacks.
  ColourConversion(const std::string& config, const std::string& from, const std::string& to);
  ~ColourConversion();
  ColourConversion(const ColourConversion&) = delete;
  ColourConversion& operator=(const ColourConversion&) = delete;

  // The RGB of each of `pixels` pixels of `channels` floats, in place.
  void apply(float* px, size_t pixels, int channels) const;
  // The target's primaries and white as x, y pairs, when the conversion is a
  // matrix (a linear space); none for a space with a curve or a look-up table.
  // Measured from the conversion, so referred to the render's D65 white,
  // except for the ACES, Rec.2020 and P3 spaces, recognised and named by
  // their own values (white D60 for ACES).
  const std::optional<std::array<float, 8>>& chromaticities() const { return target; }
  const std::string& target_name() const { return to; }

private:
  struct Processor;
  std::unique_ptr<Processor> processor;
  std::string to;
  std::optional<std::array<float, 8>> target;
};

}  // namespace host
