// A synthetic sky for benchmarks and tests: the same stars for the same seed
// on every machine (no library distributions, whose algorithms may differ).
#include <algorithm>
#include <cmath>
#include <cstring>

#include "tools/catalog.h"
#include "tools/sky_db.h"

namespace stars {

namespace {

const double kPi = 3.14159265358979323846;

class Random {
public:
  explicit Random(uint64_t seed) : state(seed) {}
  uint64_t bits() {
    uint64_t z = (state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
  double uniform() { return static_cast<double>(bits() >> 11) * 0x1.0p-53; }  // [0, 1)
  double open_uniform() { return (static_cast<double>(bits() >> 11) + 0.5) * 0x1.0p-53; }
  double normal() {
    return std::sqrt(-2 * std::log(open_uniform())) * std::cos(2 * kPi * uniform());
  }

private:
  uint64_t state;
};

// Galactic to equatorial (ICRS) directions: the transpose of the IAU rotation.
const double kGalactic[3][3] = {{-0.0548755604, -0.8734370902, -0.4838350155},
                                {0.4941094279, -0.4448296300, 0.7469822445},
                                {-0.8676661490, -0.1980763734, 0.4559837762}};

void galactic_to_equatorial(double l, double b, double& ra, double& dec) {
  const double g[3] = {std::cos(b) * std::cos(l), std::cos(b) * std::sin(l), std::sin(b)};
  double e[3];
  for (int i = 0; i < 3; ++i)
    e[i] = kGalactic[0][i] * g[0] + kGalactic[1][i] * g[1] + kGalactic[2][i] * g[2];
  dec = std::asin(std::clamp(e[2], -1.0, 1.0)) * 180 / kPi;
  ra = std::atan2(e[1], e[0]) * 180 / kPi;
  if (ra < 0) ra += 360;
  if (ra >= 360) ra -= 360;
}

struct SkyModel {
  double faintest;  // about 5000 stars to magnitude 6 and three times more a magnitude on
  double brightest = -1.5;
  double disk_share = 0.6;            // stars in the thin layer, the rest all over
  double disk_scale = 8 * kPi / 180;  // of galactic latitude
};

CatalogStar synthetic_star(Random& r, const SkyModel& m) {
  CatalogStar s;
  const double l = 2 * kPi * r.uniform();
  double b;
  if (r.uniform() < m.disk_share) {
    b = std::min(-m.disk_scale * std::log(r.open_uniform()), kPi / 2);
    if (r.uniform() < 0.5) b = -b;
  } else {
    b = std::asin(2 * r.uniform() - 1);
  }
  galactic_to_equatorial(l, b, s.ra, s.dec);
  // Counts rising threefold a magnitude: N(< m) in proportion to 3^m.
  const double u = r.open_uniform();
  s.mag =
      m.faintest + std::log(u + (1 - u) * std::pow(3.0, m.brightest - m.faintest)) / std::log(3.0);
  // Colours: hot stars, Sun-like dwarfs and red giants.
  const double pick = r.uniform();
  const double bv = pick < 0.15   ? 0.05 + 0.15 * r.normal()
                    : pick < 0.65 ? 0.6 + 0.22 * r.normal()
                                  : 1.1 + 0.25 * r.normal();
  s.has_bv = true;
  s.bv = std::round(std::clamp(bv, -0.35, 2.0) * 1000) / 1000;  // a thousandth, like catalogues
  // Absolute magnitudes: giants bright, dwarfs along the main sequence.
  const double absolute =
      pick < 0.65 ? 0.6 + 5.0 * s.bv + 0.8 * r.normal() : 0.7 + 1.0 * r.normal();
  s.distance = std::clamp(std::pow(10.0, (s.mag - absolute + 5) / 5), 1.3, 1e5);
  return s;
}

}  // namespace

void synthesize(const SynthOptions& synth, const std::string& output,
                const WriterOptions& options) {
  if (synth.stars == 0) throw CatalogError("--stars expects a positive number of stars");
  SkyModel model;
  model.faintest =
      std::max(2.0, 6 + std::log(static_cast<double>(synth.stars) / 5000) / std::log(3.0));
  Random random(synth.seed);
  DatabaseWriter out(output, options);
  for (uint64_t i = 0; i < synth.stars; ++i) {
    const CatalogStar star = synthetic_star(random, model);
    if (star.mag < synth.fainter_than) continue;
    const std::string rec = encode_record(star, true);
    out.add(reinterpret_cast<const unsigned char*>(rec.data()));
  }
  out.finish(true);
}

}  // namespace stars
