// Merging databases: a star that an earlier input holds already (within an
// arc second and half a magnitude) is left out of a later one. The records
// hold no catalogue numbers, so position and brightness are all there is.
#include <algorithm>
#include <cmath>
#include <cstring>

#include "tools/catalog.h"
#include "tools/sky_db.h"

namespace stars {

namespace {

const double kPi = 3.14159265358979323846;
constexpr double kMatchDegrees = 1.0 / 3600;
constexpr double kMatchMagnitudes = 0.5;
constexpr double kZoneDegrees = 1.0 / 60;  // declination bands searched

struct MergeStar {
  double ra, dec;
  float mag;  // NaN for a brightness that gives none: never matched
  uint32_t input;
  uint64_t seq;  // over all inputs in order
  int64_t zone() const { return static_cast<int64_t>(std::floor((dec + 90) / kZoneDegrees)); }
};

bool before(const MergeStar& a, int64_t zone, double ra) {
  return a.zone() != zone ? a.zone() < zone : a.ra < ra;
}

double separation_degrees(const MergeStar& a, const MergeStar& b) {
  const double d2r = kPi / 180;
  const double sd = std::sin((b.dec - a.dec) * d2r / 2), sa = std::sin((b.ra - a.ra) * d2r / 2);
  const double h = sd * sd + std::cos(a.dec * d2r) * std::cos(b.dec * d2r) * sa * sa;
  return 2 * std::asin(std::sqrt(std::min(1.0, h))) / d2r;
}

class Matcher {
public:
  explicit Matcher(std::vector<MergeStar>& all) : stars(all) {
    std::sort(stars.begin(), stars.end(),
              [](const MergeStar& a, const MergeStar& b) { return before(a, b.zone(), b.ra); });
  }
  // Whether a kept star of an earlier input matches s.
  bool matched(const MergeStar& s, const std::vector<bool>& kept) const {
    const double cosd = std::cos((std::fabs(s.dec) + kZoneDegrees) * kPi / 180);
    const double span = cosd > 1e-6 ? kMatchDegrees / cosd : 360;
    for (int64_t z = s.zone() - 1; z <= s.zone() + 1; ++z) {
      if (span >= 180) {
        if (scan(s, kept, z, -1, 361)) return true;
        continue;
      }
      if (scan(s, kept, z, s.ra - span, s.ra + span) ||
          (s.ra - span < 0 && scan(s, kept, z, s.ra - span + 360, 361)) ||
          (s.ra + span >= 360 && scan(s, kept, z, -1, s.ra + span - 360)))
        return true;
    }
    return false;
  }

private:
  bool scan(const MergeStar& s, const std::vector<bool>& kept, int64_t zone, double lo,
            double hi) const {
    auto it =
        std::lower_bound(stars.begin(), stars.end(), lo,
                         [zone](const MergeStar& a, double ra) { return before(a, zone, ra); });
    for (; it != stars.end() && it->zone() == zone && it->ra <= hi; ++it)
      if (it->input < s.input && kept[it->seq] && std::fabs(it->mag - s.mag) <= kMatchMagnitudes &&
          separation_degrees(*it, s) <= kMatchDegrees)
        return true;
    return false;
  }
  std::vector<MergeStar>& stars;
};

MergeStar merge_star(const unsigned char* r, uint32_t input, uint64_t seq) {
  const double ra = star_db::field<double>(r, star_db::kRa);
  const double dec = star_db::field<double>(r, star_db::kDec);
  const float b = star_db::field<float>(r, star_db::kBrightness);
  MergeStar s{ra, dec, static_cast<float>(b > 0 ? -2.5 * std::log10(b) : std::nan("")), input, seq};
  if (!std::isfinite(ra) || !std::isfinite(dec) || std::fabs(dec) > 90) s.mag = std::nanf("");
  return s;
}

}  // namespace

MergeReport merge_databases(const std::vector<std::string>& inputs, const std::string& output,
                            const WriterOptions& options) {
  MergeReport report;
  std::vector<MergeStar> all;
  bool version2 = false;
  for (uint32_t i = 0; i < inputs.size(); ++i) {
    DatabaseReader in(inputs[i]);
    version2 = version2 || in.version() == 2;
    report.read.push_back(in.count());
    all.reserve(all.size() + in.count());
    while (const unsigned char* r = in.next()) all.push_back(merge_star(r, i, all.size()));
  }
  std::vector<bool> kept(all.size(), true);
  {
    Matcher matcher(all);
    for (uint32_t input = 1; input < inputs.size(); ++input)
      for (const MergeStar& s : all)
        if (s.input == input && s.mag == s.mag && matcher.matched(s, kept)) kept[s.seq] = false;
  }
  all.clear();
  all.shrink_to_fit();
  DatabaseWriter out(output, options);
  uint64_t seq = 0;
  for (uint32_t i = 0; i < inputs.size(); ++i) {
    DatabaseReader in(inputs[i]);
    if (in.count() != report.read[i])
      throw CatalogError(inputs[i] + " changed while it was being merged");
    uint64_t n = 0;
    while (const unsigned char* r = in.next()) {
      if (!kept[seq++]) continue;
      unsigned char rec[star_db::kRecordSize];
      memcpy(rec, r, sizeof rec);
      // A version-1 file's distance bytes are not read: no distance.
      if (in.version() != 2) memset(rec + star_db::kDistance, 0, 8);
      out.add(rec);
      ++n;
    }
    report.kept.push_back(n);
  }
  if (out.count() == 0) throw CatalogError("no stars to write");
  out.finish(version2);
  return report;
}

}  // namespace stars
