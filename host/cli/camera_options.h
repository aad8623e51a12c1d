// The options that place a new scene's camera: aimed at the sky, or moved by
// a channel file's track, with its lens as an angle of view or a focal length.
#pragma once

#include <CLI/CLI.hpp>

#include <string>
#include <vector>

#include "host/core/scene.h"

namespace host {

struct CameraOptions {
  double ra = 0, dec = 0, fov = 40;
  std::string fov_axis = "vertical";
  double focal = 0;  // millimetres; 0: none given
  std::string film_back = "24.576x18.672", fit = "horizontal";
  std::string chan, rotation_order = "ZXY", shutter = "open";
  const CLI::Option* frames_option = nullptr;  // given or not
  // The sky of a place and time.
  std::string site, time;
  double dut1 = 0, north_heading = 0, azimuth = 0, altitude = 30;
  bool refraction = false, horizon = false;
  double pressure = 1013.25, temperature = 10;
  std::vector<const CLI::Option*> sky_aim, horizon_aim;  // given or not
};

void add_camera_options(CLI::App* command, CameraOptions& o);
// Sets the camera's aim or track and its lens; a channel file sets the
// scene's frame range when --frames was not given. Throws HostError.
void make_camera(const CameraOptions& o, Scene& scene, Item& camera);
// With --site and --time, adds the item that carries the sky over the frame
// range, fitted where the camera looks at each frame; its identifier, or 0
// without a site.
uint32_t make_sky(const CameraOptions& o, Scene& scene, const Item& camera);

// The track of a channel file as the camera's motion (and lens, where it
// gives one), over the scene's frame range.
void apply_chan_file(const std::string& path, const std::string& order, Scene& scene, Item& camera);

}  // namespace host
