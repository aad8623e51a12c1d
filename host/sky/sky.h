// The sky over a place at a time: where the catalogue's stars stand in the
// local horizon frame, through the IAU's routines (ERFA): UTC to UT1,
// precession and nutation, the Earth's rotation, aberration and, when asked,
// refraction. The world of such a scene is that frame: +Y the zenith, +Z
// north (or north turned to a heading), +X east.
#pragma once

#include <string>

#include "host/core/scene.h"

namespace host::sky {

struct Site {
  double latitude = 0, longitude = 0;  // degrees, east positive
  double height = 0;                   // metres above the ellipsoid
};
// "LAT,LON[,HEIGHT]"; throws HostError naming the option otherwise.
Site parse_site(const std::string& text, const std::string& option);

// A UTC instant as ERFA takes it: a two-part Julian date.
struct Utc {
  double jd1 = 0, jd2 = 0;
};
// "YYYY-MM-DDTHH:MM:SS[.sss]Z" (or with +00:00); throws HostError otherwise.
Utc parse_time(const std::string& text, const std::string& option);

struct Air {
  bool refraction = false;
  double pressure = 1013.25;  // hPa
  double temperature = 10;    // degrees Celsius
  double humidity = 0.5;      // 0 to 1
  double wavelength = 0.55;   // micrometres
};

struct Place {
  Site site;
  Utc time;         // of the scene's first frame
  double dut1 = 0;  // UT1 - UTC, seconds
  Air air;
  double north_heading = 0;  // the heading of north in the world, degrees
};

// The world direction of an azimuth (from north through east) and an altitude, degrees.
Vec3 horizon_direction(const Place& place, double azimuth, double altitude);

// Where a catalogue direction (right ascension, declination, degrees) is
// seen `seconds` after the place's time, as a world direction.
Vec3 observed(const Place& place, double seconds, double ra, double dec);

// The frame of an item that carries the sky: its axes are the world
// directions of the catalogue's axes. The sky is not quite a turned sphere
// (aberration and refraction bend it), so the turn is fitted where the
// camera looks, `view`, and is exact there.
Frame sky_frame(const Place& place, double seconds, const Vec3& view);

}  // namespace host::sky
