// A lens as people state it: a focal length on a film back, or an angle of
// view along a named axis, turned into the vertical angle the scene keeps.
#pragma once

#include <string>

namespace host::lens {

// Which side of the frame an angle of view or a film back's width spans.
enum class Axis { Horizontal, Vertical };
Axis parse_axis(const std::string& text, const std::string& option);

struct FilmBack {
  double width = 24.576, height = 18.672;  // millimetres
};
// "WxH" in millimetres; throws HostError naming the option otherwise.
FilmBack parse_film_back(const std::string& text, const std::string& option);

// The vertical angle of view (degrees) of a frame width / height = aspect
// whose angle along `axis` is `degrees`.
double vertical_fov(double degrees, Axis axis, double aspect);

// The vertical angle of view (degrees) of a lens of focal length `mm` on a
// film back fitted to the frame along `fit`: its width across the frame, or its height up it.
double vertical_fov(double mm, const FilmBack& back, Axis fit, double aspect);

}  // namespace host::lens
