#include "host/core/lens.h"

#include <cmath>
#include <cstdlib>

#include "host/core/error.h"
#include "host/core/scene.h"

namespace host::lens {

namespace {
double positive(const std::string& text, const std::string& whole, const std::string& option) {
  char* end = nullptr;
  const double d = strtod(text.c_str(), &end);
  if (text.empty() || end != text.c_str() + text.size() || !(d > 0) || !std::isfinite(d))
    throw HostError(option + " expects WIDTHxHEIGHT in millimetres, found '" + whole + "'");
  return d;
}
}  // namespace

Axis parse_axis(const std::string& text, const std::string& option) {
  if (text == "horizontal") return Axis::Horizontal;
  if (text == "vertical") return Axis::Vertical;
  throw HostError(option + " expects horizontal or vertical, found '" + text + "'");
}

FilmBack parse_film_back(const std::string& text, const std::string& option) {
  const std::string::size_type x = text.find_first_of("xX");
  if (x == std::string::npos)
    throw HostError(option + " expects WIDTHxHEIGHT in millimetres, found '" + text + "'");
  return FilmBack{positive(text.substr(0, x), text, option),
                  positive(text.substr(x + 1), text, option)};
}

double vertical_fov(double degrees, Axis axis, double aspect) {
  if (axis == Axis::Vertical) return degrees;
  const double half = std::tan(degrees * kRadiansPerDegree / 2) / aspect;
  return 2 * std::atan(half) / kRadiansPerDegree;
}

double vertical_fov(double mm, const FilmBack& back, Axis fit, double aspect) {
  const double side = fit == Axis::Horizontal ? back.width : back.height;
  return vertical_fov(2 * std::atan(side / (2 * mm)) / kRadiansPerDegree, fit, aspect);
}

}  // namespace host::lens
