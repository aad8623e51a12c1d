// The catalogue readers: any text gives stars and counted malformed lines, or
// one CatalogError, never a crash; every star kept is a sane star, stays one
// after its proper motion over any epoch the tool allows, and becomes a
// record with a finite, positive brightness.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstring>
#include <sstream>
#include <string>

#include "fuzz/fuzz.h"
#include "tools/catalog.h"

inline bool on_sphere(const stars::CatalogStar& s) {
  return s.ra >= 0 && s.ra <= 360 && s.dec >= -90 && s.dec <= 90;
}

inline int fuzz_catalog(const uint8_t* data, size_t size, stars::Format format) {
  std::istringstream in(std::string(reinterpret_cast<const char*>(data), size));
  stars::ReadReport report;
  std::vector<stars::CatalogStar> list;
  try {
    list = stars::read_catalog(in, format, report, false);
  } catch (const stars::CatalogError&) {
    return 0;
  }
  for (stars::CatalogStar s : list) {
    require(on_sphere(s) && s.mag >= stars::kMinMagnitude && s.mag <= stars::kMaxMagnitude &&
                std::isfinite(s.pm_ra) && std::isfinite(s.pm_dec) && s.distance >= 0 &&
                s.distance <= stars::kMaxDistance,
            "a star read is within the sane ranges");
    float brightness;
    memcpy(&brightness, stars::encode_record(s, true).data() + 16, 4);
    require(std::isfinite(brightness) && brightness > 0,
            "a record's brightness is finite and positive");
    // The farthest epochs either way, and one from the star's own numbers.
    for (const double years : {stars::kMaxEpochYears, -stars::kMaxEpochYears,
                               std::fmod(s.ra * 1000.0, stars::kMaxEpochYears)}) {
      stars::CatalogStar moved = s;
      stars::apply_proper_motion(moved, years);
      require(on_sphere(moved), "proper motion keeps a star on the sphere");
    }
  }
  return 0;
}
