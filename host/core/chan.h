// Camera tracks in channel files, the plain text that 3D packages and
// compositors exchange: one line a frame, "frame tx ty tz rx ry rz [vfov]".
// Their world is right-handed with Y up and the camera looking down -Z; ours
// is the same with Z negated, so an unturned camera looks along our +Z in both.
// Rotations are degrees about the axes in a stated order ("ZXY": about Z
// first, then X, then Y), each right-handed.
#pragma once

#include <array>
#include <optional>
#include <string>
#include <vector>

#include "host/core/scene.h"

namespace host::chan {

// The axes (0 X, 1 Y, 2 Z) in the order they turn the camera.
struct RotationOrder {
  std::array<int, 3> axis{2, 0, 1};
  std::string name() const;
};
// "XYZ", "ZXY", ... in either case; throws HostError naming the option otherwise.
RotationOrder parse_order(const std::string& text, const std::string& option);

struct Row {
  int frame = 0;
  Vec3 translate{0, 0, 0};
  Vec3 rotate{0, 0, 0};                // degrees about X, Y and Z
  std::optional<double> vertical_fov;  // degrees
};

// Parses a channel file's text; errors name the source and the line.
std::vector<Row> parse(const std::string& text, const std::string& source);
std::string format(const std::vector<Row>& rows);

// A camera's axes and position in our world from a row, and back.
Frame camera_frame(const Row& row, const RotationOrder& order);
Row row_of(const Frame& camera, const RotationOrder& order);

struct Track {
  int first, last;  // the frames that must be in the file
  double fps;
  RotationOrder order;
};

// Replaces the camera's motion (and its zoom, where the rows give an angle of
// view) with one key a frame at frame / fps. A frame of the range missing
// from the rows is an error naming it. Headings and banks are unwrapped from
// key to key so that a pan through 180 degrees does not spin the other way.
void apply(const std::vector<Row>& rows, const Track& track, Item& camera,
           const std::string& source);

// The camera's world frame and angle of view at each frame of the range.
std::vector<Row> track_of(const Scene& scene, const Item& camera, const Track& track);

}  // namespace host::chan
