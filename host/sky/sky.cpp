#include "host/sky/sky.h"

#include <erfa.h>
#include <erfam.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "host/core/error.h"

namespace host::sky {

namespace {

constexpr double kRad = kRadiansPerDegree;

Vec3 cross(const Vec3& a, const Vec3& b) {
  return {a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2], a[0] * b[1] - a[1] * b[0]};
}

Vec3 unit(const Vec3& v) {
  const double n = std::sqrt(v[0] * v[0] + v[1] * v[1] + v[2] * v[2]);
  return {v[0] / n, v[1] / n, v[2] / n};
}

// The catalogue's own frame: right ascension 0 along +X, 90 along +Z, the pole along +Y.
Vec3 catalogue(double ra_rad, double dec_rad) {
  return {std::cos(dec_rad) * std::cos(ra_rad), std::sin(dec_rad),
          std::cos(dec_rad) * std::sin(ra_rad)};
}

double number(const std::string& text, const std::string& whole, const std::string& option,
              const char* expected) {
  char* end = nullptr;
  const double d = strtod(text.c_str(), &end);
  if (text.empty() || end != text.c_str() + text.size() || !std::isfinite(d))
    throw HostError(option + " expects " + expected + ", found '" + whole + "'");
  return d;
}

// ERFA's arguments for the place at a time.
struct Observer {
  double utc1, utc2, dut1, elong, phi, hm, phpa, tc, rh, wl;
  Observer(const Place& p, double seconds)
      : utc1(p.time.jd1),
        utc2(p.time.jd2 + seconds / ERFA_DAYSEC),
        dut1(p.dut1),
        elong(p.site.longitude * kRad),
        phi(p.site.latitude * kRad),
        hm(p.site.height),
        phpa(p.air.refraction ? p.air.pressure : 0.0),  // no air: no refraction
        tc(p.air.temperature),
        rh(p.air.humidity),
        wl(p.air.wavelength) {}
};

void check(int status, const char* routine) {
  // 1 is "dubious year": a time far from the leap-second table's; still usable.
  if (status < 0) throw HostError(std::string("the sky's astronomy failed (") + routine + ")");
}

}  // namespace

Site parse_site(const std::string& text, const std::string& option) {
  const char* expected = "LATITUDE,LONGITUDE[,HEIGHT] in degrees and metres";
  std::vector<std::string> parts;
  size_t start = 0;
  for (size_t comma; (comma = text.find(',', start)) != std::string::npos; start = comma + 1)
    parts.push_back(text.substr(start, comma - start));
  parts.push_back(text.substr(start));
  if (parts.size() < 2 || parts.size() > 3)
    throw HostError(option + " expects " + expected + ", found '" + text + "'");
  Site s;
  s.latitude = number(parts[0], text, option, expected);
  s.longitude = number(parts[1], text, option, expected);
  if (parts.size() == 3) s.height = number(parts[2], text, option, expected);
  if (std::fabs(s.latitude) > 90 || std::fabs(s.longitude) > 360 || std::fabs(s.height) > 1e5)
    throw HostError(option +
                    " expects a latitude from -90 to 90, a longitude from -360 to 360 "
                    "and a height within 100 km, found '" +
                    text + "'");
  return s;
}

Utc parse_time(const std::string& text, const std::string& option) {
  int y, mo, d, h, mi, used = 0;
  double s;
  const bool read =
      sscanf(text.c_str(), "%4d-%2d-%2dT%2d:%2d:%lf%n", &y, &mo, &d, &h, &mi, &s, &used) == 6;
  const std::string zone = read ? text.substr(static_cast<size_t>(used)) : "";
  Utc u;
  if (!read || (zone != "Z" && zone != "+00:00") ||
      eraDtf2d("UTC", y, mo, d, h, mi, s, &u.jd1, &u.jd2) < 0)
    throw HostError(option + " expects a UTC time such as 2026-08-12T22:30:00Z, found '" + text +
                    "'");
  return u;
}

Vec3 horizon_direction(const Place& p, double azimuth, double altitude) {
  const double a = (azimuth + p.north_heading) * kRad, e = altitude * kRad;
  return {std::sin(a) * std::cos(e), std::sin(e), std::cos(a) * std::cos(e)};
}

Vec3 observed(const Place& p, double seconds, double ra, double dec) {
  const Observer o(p, seconds);
  double aob, zob, hob, dob, rob, eo;
  check(eraAtco13(ra * kRad, dec * kRad, 0, 0, 0, 0, o.utc1, o.utc2, o.dut1, o.elong, o.phi, o.hm,
                  0, 0, o.phpa, o.tc, o.rh, o.wl, &aob, &zob, &hob, &dob, &rob, &eo),
        "eraAtco13");
  return horizon_direction(p, aob / kRad, 90 - zob / kRad);
}

Frame sky_frame(const Place& p, double seconds, const Vec3& view) {
  // The catalogue direction seen along the view, and one a degree from it.
  const Vec3 v = unit(view);
  const double heading = std::atan2(v[0], v[2]) - p.north_heading * kRad;
  const double zenith = std::acos(std::fmax(-1.0, std::fmin(1.0, v[1])));
  const Observer o(p, seconds);
  double rc, dc;
  check(eraAtoc13("A", heading, zenith, o.utc1, o.utc2, o.dut1, o.elong, o.phi, o.hm, 0, 0, o.phpa,
                  o.tc, o.rh, o.wl, &rc, &dc),
        "eraAtoc13");
  const double dc2 = dc + (dc > 0 ? -1.0 : 1.0) * kRad;
  const Vec3 a0 = catalogue(rc, dc), a1 = catalogue(rc, dc2);
  const Vec3 b0 = unit(observed(p, seconds, rc / kRad, dc / kRad));
  const Vec3 b1 = unit(observed(p, seconds, rc / kRad, dc2 / kRad));
  // The turn that takes the catalogue's triad onto the observed one.
  const Vec3 a[3] = {a0, unit(cross(a0, a1)), cross(a0, unit(cross(a0, a1)))};
  const Vec3 b[3] = {b0, unit(cross(b0, b1)), cross(b0, unit(cross(b0, b1)))};
  Frame f;
  Vec3* axes[3] = {&f.right, &f.up, &f.forward};
  for (int k = 0; k < 3; ++k)
    for (int c = 0; c < 3; ++c)
      (*axes[k])[c] = b[0][c] * a[0][k] + b[1][c] * a[1][k] + b[2][c] * a[2][k];
  return f;
}

}  // namespace host::sky
