// The host's scene: items with keyframed motion and parents, cameras, and the
// render settings a frame needs.
//
// World frame: left-handed, +X right, +Y up, +Z forward. An item maps a point
// p of its own frame to (p - pivot) * R + position in its parent's frame,
// where R's rows are the item's right, up and forward axes from heading
// (about Y, +Z towards +X), pitch (about X, +Z towards -Y) and bank (about Z,
// +X towards +Y), applied bank first.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace host {

using Vec3 = std::array<double, 3>;

// A keyframed value: linear between keys, held before the first and after the last.
struct Channel {
  struct Key {
    double time;
    double value;
  };
  std::vector<Key> keys;

  Channel() = default;
  explicit Channel(double constant) { keys.push_back({0.0, constant}); }
  double at(double time) const;
  void set(double time, double value);  // adds or replaces the key at that time
};

struct Motion {
  Channel position[3];
  Channel rotation[3];  // heading, pitch, bank in degrees, as scene files hold them
  Motion();
};

struct CameraSettings {
  Channel zoom{3.2};  // screen-window units: x * zoom / z; 3.2 is about 35 degrees tall
  double aperture_height = 0.015;  // metres; focal length = zoom * aperture_height / 2
  Channel focal_distance{10.0};    // metres
  Channel f_stop{4.0};
  Channel blur_length{0.5};  // frames
  bool motion_blur = false;
  bool limited_region = false;
  int region_x0 = 0, region_y0 = 0, region_x1 = 0, region_y1 = 0;  // inclusive pixels
};

enum class ItemKind { Object = 0, Light = 1, Camera = 2 };

struct Item {
  uint32_t id = 0;  // small enough for 32-bit identifiers in saved settings
  ItemKind kind = ItemKind::Object;
  std::string name;
  uint32_t parent = 0;  // 0: none
  Vec3 pivot{0, 0, 0};
  Motion motion;
  CameraSettings camera;  // used when kind is Camera
};

// A transform as the rows of a row-vector matrix: three axes and a position.
struct Frame {
  Vec3 right{1, 0, 0}, up{0, 1, 0}, forward{0, 0, 1}, position{0, 0, 0};
  Vec3 apply(const Vec3& p) const;       // a point of this frame in the outer frame
  Frame then(const Frame& outer) const;  // this frame, then the outer one
};

constexpr double kRadiansPerDegree = 3.14159265358979323846 / 180.0;

// The zoom of a camera whose vertical field of view is the given degrees.
Channel zoom_for_vertical_fov(double degrees);

// Rotation rows from heading, pitch and bank (radians).
Frame rotation_frame(double heading, double pitch, double bank);
// Heading, pitch and bank (degrees) of an item whose axes are a frame's; with
// `previous`, heading and bank are the turns nearest to it, so that keys
// interpolated between do not spin the long way round.
Vec3 heading_pitch_bank(const Frame& f, const Vec3* previous = nullptr);

// Where the shutter is open around a frame's time t = frame / fps, for the
// render camera's blur length b: [t, t + b], [t - b/2, t + b/2] or [t - b, t].
enum class Shutter { Open, Centred, Close };
const char* shutter_name(Shutter s);  // "Open", "Centred", "Close"
// Reads a name in any case; false for none of them.
bool shutter_named(const std::string& name, Shutter& s);

struct RenderSettings {
  double fps = 24.0;
  int width = 640, height = 480;
  int first_frame = 1, last_frame = 1, frame_step = 1;
  unsigned render_options = 0;  // VH_ROPT_* bits
  bool limited_region = false;
  int region_x0 = 0, region_y0 = 0, region_x1 = 0, region_y1 = 0;
  uint32_t camera = 0;  // render camera; 0: the first camera
  Shutter shutter = Shutter::Open;
  bool horizon = false;  // stars held back below the world's horizontal plane
};

class Scene {
public:
  Item& add(ItemKind kind, const std::string& name, uint32_t parent = 0);
  Item* find(uint32_t id);
  const Item* find(uint32_t id) const;
  Item* find_named(const std::string& name);
  const std::vector<std::unique_ptr<Item>>& items() const { return all; }

  // The item's frame in its parent's frame at a time, pivot included.
  Frame local_frame(const Item& item, double time) const;
  // The item's frame in the world, through all its parents.
  Frame world_frame(const Item& item, double time) const;
  uint32_t render_camera() const;
  // Full field-of-view angles of a camera at a time, radians, from its zoom
  // and the frame's aspect: tan(v/2) = 1/zoom, tan(h/2) = aspect * tan(v/2).
  void fov(const Item& camera, double time, double& horizontal, double& vertical) const;
  // The scene's time when the filter's clock reads t. The filter opens its
  // exposure at the frame's time; a centred or closing shutter moves that
  // window earlier by half or all of the blur length, for the camera and
  // every item alike.
  double scene_time(double t) const;
  // The limited region as inclusive pixel bounds: the whole frame when off.
  void region(int& x0, int& y0, int& x1, int& y1) const;

  std::string name = "untitled";
  RenderSettings render;

  // Adds an item under a given identifier; throws HostError when it is taken or 0.
  Item& add_with_id(ItemKind kind, const std::string& name, uint32_t id, uint32_t parent = 0);

private:
  std::vector<std::unique_ptr<Item>> all;
  uint32_t next_serial = 1;
};

}  // namespace host
