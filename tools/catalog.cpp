#include "tools/catalog.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <sstream>
#include <unordered_map>

#include "host/core/files.h"
#include "stardb/star_record.h"
#include "tools/sky_db.h"

namespace stars {

namespace {

const double kPi = 3.14159265358979323846;

std::string trim(const std::string& s) {
  size_t b = s.find_first_not_of(" \t\r\n");
  if (b == std::string::npos) return "";
  size_t e = s.find_last_not_of(" \t\r\n");
  return s.substr(b, e - b + 1);
}

// A whole field as a number; false for anything else (blank included).
bool number(const std::string& field, double& out) {
  const std::string t = trim(field);
  // Decimal only: strtod alone would take "0x.00" as hexadecimal, and "nan".
  if (t.empty() || t.find_first_not_of("0123456789+-.eE") != std::string::npos) return false;
  char* end = nullptr;
  errno = 0;
  out = strtod(t.c_str(), &end);
  return *end == '\0' && errno == 0 && std::isfinite(out);
}

struct LineError {
  std::string what;
};

double need(const std::string& field, const char* name) {
  double v;
  if (!number(field, v)) throw LineError{std::string("bad ") + name + " '" + trim(field) + "'"};
  return v;
}

// One KStars stars.dat line (fixed columns; see the file's header comment).
CatalogStar kstars_line(const std::string& l) {
  if (l.size() < 56)
    throw LineError{"line too short for the catalogue's columns (" + std::to_string(l.size()) +
                    " characters)"};
  CatalogStar s;
  const double h = need(l.substr(0, 2), "RA hours"), m = need(l.substr(2, 2), "RA minutes"),
               sec = need(l.substr(4, 5), "RA seconds");
  // Seconds of exactly 60 occur where the catalogue rounded up without carrying.
  if (h >= 24 || m >= 60 || sec > 60) throw LineError{"RA out of range '" + l.substr(0, 9) + "'"};
  s.ra = 15.0 * (h + m / 60 + sec / 3600);
  const char sign = l[10];
  if (sign != '+' && sign != '-') throw LineError{"Dec without its sign '" + l.substr(10, 9) + "'"};
  const double d = need(l.substr(11, 2), "Dec degrees"), dm = need(l.substr(13, 2), "Dec minutes"),
               ds = need(l.substr(15, 4), "Dec seconds");
  if (d > 90 || dm >= 60 || ds > 60) throw LineError{"Dec out of range '" + l.substr(10, 9) + "'"};
  s.dec = (sign == '-' ? -1 : 1) * (d + dm / 60 + ds / 3600);
  if (std::fabs(s.dec) > 90) throw LineError{"Dec out of range '" + l.substr(10, 9) + "'"};
  s.pm_ra = need(l.substr(20, 9), "pmRA");
  s.pm_dec = need(l.substr(29, 9), "pmDec");
  double plx = 0;
  if (!trim(l.substr(38, 7)).empty()) plx = need(l.substr(38, 7), "parallax");
  s.distance = plx > 0 ? 1000.0 / plx : 0.0;
  s.mag = need(l.substr(45, 6), "magnitude");
  s.has_bv = number(l.substr(51, 5), s.bv);
  if (!s.has_bv && !trim(l.substr(51, 5)).empty())
    throw LineError{"bad B-V '" + trim(l.substr(51, 5)) + "'"};
  return s;
}

std::vector<std::string> split_csv(const std::string& line) {
  std::vector<std::string> out;
  std::string cur;
  bool quoted = false;
  for (size_t i = 0; i < line.size(); ++i) {
    const char c = line[i];
    if (quoted) {
      if (c == '"' && i + 1 < line.size() && line[i + 1] == '"')
        cur += '"', ++i;
      else if (c == '"')
        quoted = false;
      else
        cur += c;
    } else if (c == '"') {
      quoted = true;
    } else if (c == ',') {
      out.push_back(cur);
      cur.clear();
    } else if (c != '\r' && c != '\n') {
      cur += c;
    }
  }
  out.push_back(cur);
  return out;
}

class CsvColumns {
public:
  CsvColumns(const std::string& header, const std::vector<std::string>& required) {
    const std::vector<std::string> names = split_csv(header);
    for (size_t i = 0; i < names.size(); ++i) {
      std::string n = trim(names[i]);
      for (char& c : n) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
      // Which of two columns of one name holds the value is anyone's guess.
      if (!n.empty() && !index.emplace(n, i).second)
        throw CatalogError("the header names the column '" + n + "' twice");
    }
    for (const std::string& r : required)
      if (!index.count(r)) throw CatalogError("the header has no column '" + r + "'");
  }
  bool has(const std::string& name) const { return index.count(name) > 0; }
  const std::string& get(const std::vector<std::string>& fields, const std::string& name) const {
    static const std::string empty;
    const auto it = index.find(name);
    if (it == index.end()) return empty;
    if (it->second >= fields.size())
      throw LineError{"too few fields (" + std::to_string(fields.size()) + ")"};
    return fields[it->second];
  }

private:
  std::map<std::string, size_t> index;
};

double optional_number(const std::string& field, const char* name, double fallback) {
  if (trim(field).empty()) return fallback;
  return need(field, name);
}

// The ranges a real star's values keep. Outside them a line is damaged: its
// brightness would overflow to infinity or vanish to zero, its motion carry
// it round the sky many times over.
void check_star(const CatalogStar& s) {
  if (s.ra < 0 || s.ra > 360 || s.dec < -90 || s.dec > 90) throw LineError{"position out of range"};
  auto out_of = [](const char* what, double v, double lo, double hi) {
    if (v < lo || v > hi) {
      char text[160];
      snprintf(text, sizeof text, "%s %g outside %g to %g", what, v, lo, hi);
      throw LineError{text};
    }
  };
  out_of("magnitude", s.mag, kMinMagnitude, kMaxMagnitude);
  if (s.has_bv) out_of("B-V", s.bv, -2, 7);
  out_of("proper motion in RA (mas/yr)", s.pm_ra, -kMaxProperMotion, kMaxProperMotion);
  out_of("proper motion in Dec (mas/yr)", s.pm_dec, -kMaxProperMotion, kMaxProperMotion);
  out_of("distance (pc)", s.distance, 0, kMaxDistance);
}

// One row of a HYG or plain CSV catalogue, by its header's columns.
CatalogStar csv_star(const CsvColumns& columns, const std::vector<std::string>& f, Format format) {
  CatalogStar s;
  if (format == Format::HYG) {
    s.ra = need(columns.get(f, "ra"), "ra") * 15.0;
    s.dec = need(columns.get(f, "dec"), "dec");
    s.mag = need(columns.get(f, "mag"), "mag");
    const double dist = optional_number(columns.get(f, "dist"), "dist", 0.0);
    s.distance = dist > 0 && dist < 100000 ? dist : 0.0;  // 100000 marks an unknown distance
    s.has_bv = number(columns.get(f, "ci"), s.bv);
    s.pm_ra = optional_number(columns.get(f, "pmra"), "pmra", 0.0);
    s.pm_dec = optional_number(columns.get(f, "pmdec"), "pmdec", 0.0);
  } else {
    s.ra = need(columns.get(f, "ra_deg"), "ra_deg");
    s.dec = need(columns.get(f, "dec_deg"), "dec_deg");
    s.mag = need(columns.get(f, "mag"), "mag");
    s.has_bv = number(columns.get(f, "bv"), s.bv);
    const double plx = optional_number(columns.get(f, "parallax_mas"), "parallax_mas", 0.0);
    const double dist = optional_number(columns.get(f, "dist_pc"), "dist_pc", 0.0);
    s.distance = dist > 0 ? dist : plx > 0 ? 1000.0 / plx : 0.0;
    s.pm_ra = optional_number(columns.get(f, "pmra_mas"), "pmra_mas", 0.0);
    s.pm_dec = optional_number(columns.get(f, "pmdec_mas"), "pmdec_mas", 0.0);
  }
  return s;
}

// Bytes first to last (1-based, inclusive) of a fixed-column record.
std::string columns_of(const std::string& l, size_t first, size_t last) {
  return l.substr(first - 1, last - first + 1);
}

bool blank(const std::string& field) { return trim(field).empty(); }

// One record of the Tycho-2 main catalogue (206 bytes, '|' between fields).
// Stars flagged X have no mean position or proper motion: their observed
// position, at epoch 1990 plus the record's value, stands as it is.
CatalogStar tycho2_line(const std::string& l, ReadReport& report) {
  if (l.size() < 182)
    throw LineError{"line too short for a Tycho-2 record (" + std::to_string(l.size()) +
                    " characters, not 206)"};
  CatalogStar s;
  const char flag = l[13];
  if (flag == 'X') {
    s.ra = need(columns_of(l, 153, 164), "observed RA");
    s.dec = need(columns_of(l, 166, 177), "observed Dec");
    s.epoch = 1990 + need(columns_of(l, 179, 182), "observed RA epoch");
  } else if (flag == ' ' || flag == 'P') {
    s.ra = need(columns_of(l, 16, 27), "mean RA");
    s.dec = need(columns_of(l, 29, 40), "mean Dec");
    s.pm_ra = need(columns_of(l, 42, 48), "pmRA");
    s.pm_dec = need(columns_of(l, 50, 56), "pmDE");
  } else {
    throw LineError{"unknown position flag '" + std::string(1, flag) + "'"};
  }
  const bool has_bt = !blank(columns_of(l, 111, 116)), has_vt = !blank(columns_of(l, 124, 129));
  const double bt = has_bt ? need(columns_of(l, 111, 116), "BT") : 0;
  const double vt = has_vt ? need(columns_of(l, 124, 129), "VT") : 0;
  if (!has_bt && !has_vt) throw LineError{"neither BT nor VT"};
  if (has_bt && has_vt) {
    s.mag = tycho_v(bt, vt);
    s.bv = tycho_bv(bt, vt);
    s.has_bv = true;
  } else {
    s.mag = has_vt ? vt : bt;
    ++report.no_colour;
  }
  if (!blank(columns_of(l, 143, 148))) s.hip = std::lround(need(columns_of(l, 143, 148), "HIP"));
  return s;
}

// A Gaia archive value: empty and null stand for none.
bool gaia_value(const std::string& field, const char* name, double& out) {
  std::string t = trim(field);
  for (char& c : t) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
  if (t.empty() || t == "null") return false;
  out = need(field, name);
  return true;
}

// One row of a Gaia archive CSV. False for a source without a G magnitude.
bool gaia_star(const CsvColumns& columns, const std::vector<std::string>& f,
               const ReadOptions& options, ReadReport& report, CatalogStar& s) {
  s = CatalogStar();
  s.ra = need(columns.get(f, "ra"), "ra");
  s.dec = need(columns.get(f, "dec"), "dec");
  double g = 0, c = 0, epoch = 2016.0, plx = 0, snr = 0, err = 0;
  if (!gaia_value(columns.get(f, "phot_g_mean_mag"), "phot_g_mean_mag", g)) return false;
  gaia_value(columns.get(f, "ref_epoch"), "ref_epoch", epoch);
  s.epoch = epoch;
  gaia_value(columns.get(f, "pmra"), "pmra", s.pm_ra);
  gaia_value(columns.get(f, "pmdec"), "pmdec", s.pm_dec);
  if (gaia_value(columns.get(f, "bp_rp"), "bp_rp", c)) {
    s.mag = gaia_v(g, c);
    s.bv = gaia_bv(c);
    s.has_bv = true;
  } else {
    s.mag = g;
    ++report.no_colour;
  }
  const bool has_plx = gaia_value(columns.get(f, "parallax"), "parallax", plx);
  bool has_snr = gaia_value(columns.get(f, "parallax_over_error"), "parallax_over_error", snr);
  if (!has_snr && has_plx && gaia_value(columns.get(f, "parallax_error"), "parallax_error", err) &&
      err > 0) {
    snr = plx / err;
    has_snr = true;
  }
  if (has_plx && has_snr && plx > 0 && snr >= options.min_parallax_snr) s.distance = 1000.0 / plx;
  return true;
}

// One line, ended by LF, CR LF or a CR alone; false at the end of the input.
// A line longer than kMaxLine is cut there (cut is set) and the rest skipped.
bool next_line(std::streambuf& in, std::string& line, bool& cut) {
  constexpr int eof = std::char_traits<char>::eof();
  line.clear();
  cut = false;
  int c = in.sbumpc();
  if (c == eof) return false;
  for (; c != eof && c != '\n'; c = in.sbumpc()) {
    if (c == '\r') {
      if (in.sgetc() == '\n') in.sbumpc();
      break;
    }
    if (line.size() < kMaxLine)
      line += static_cast<char>(c);
    else
      cut = true;
  }
  return true;
}

}  // namespace

Format format_from_name(const std::string& given) {
  std::string name = given;
  for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (name == "kstars") return Format::KStars;
  if (name == "hyg") return Format::HYG;
  if (name == "csv") return Format::CSV;
  if (name == "tycho2") return Format::Tycho2;
  if (name == "gaia") return Format::Gaia;
  throw CatalogError("unknown catalogue format '" + name + "' (kstars, hyg, csv, tycho2, gaia)");
}

const char* name_of(Format f) {
  switch (f) {
    case Format::KStars: return "kstars";
    case Format::HYG: return "hyg";
    case Format::CSV: return "csv";
    case Format::Tycho2: return "tycho2";
    case Format::Gaia: return "gaia";
  }
  return "kstars";
}

namespace {

std::string lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

bool ends_with(const std::string& s, const std::string& tail) {
  return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

// A Tycho-2 main-catalogue record: 206 bytes, the first fields' '|' at these
// byte columns (the numbers TYC1 to TYC3 are parted by spaces).
bool tycho2_record(const std::string& line) {
  const std::string l = ends_with(line, "\r") ? line.substr(0, line.size() - 1) : line;
  if (l.size() != 206) return false;
  for (size_t bar : {13, 15, 28, 41})
    if (l[bar - 1] != '|') return false;
  return true;
}

Format csv_format(const std::string& header, const std::string& name) {
  std::vector<std::string> columns = split_csv(lower(header));
  for (std::string& c : columns) c = trim(c);
  auto has = [&](const char* c) {
    return std::find(columns.begin(), columns.end(), c) != columns.end();
  };
  if (has("phot_g_mean_mag")) return Format::Gaia;
  if (has("ra_deg")) return Format::CSV;
  if ((has("ra") && has("dec") && has("mag")) || name.find("hyg") != std::string::npos)
    return Format::HYG;
  // The archive's CSV is the usual one of a size worth converting.
  return Format::Gaia;
}

}  // namespace

Format guess_format(const std::string& path, const std::string& first_line) {
  std::string name = lower(path.substr(path.find_last_of('/') + 1));
  if (ends_with(name, ".gz")) name.resize(name.size() - 3);
  // Catalogues come in parts: tyc2.dat.00 to tyc2.dat.19.
  const size_t dot = name.find_last_of('.');
  if (dot != std::string::npos && dot + 1 < name.size() &&
      name.find_first_not_of("0123456789", dot + 1) == std::string::npos)
    name.resize(dot);
  if (ends_with(name, ".csv")) return csv_format(first_line, name);
  if (ends_with(name, ".dat") && tycho2_record(first_line)) return Format::Tycho2;
  return Format::KStars;
}

double catalog_epoch(Format f) { return f == Format::Gaia ? 2016.0 : 2000.0; }

double tycho_v(double bt, double vt) { return vt - 0.090 * (bt - vt); }
double tycho_bv(double bt, double vt) { return 0.850 * (bt - vt); }

namespace {
// The relations were fitted to stars of these colours.
double gaia_colour(double bp_rp) { return std::clamp(bp_rp, -0.5, 5.0); }
}  // namespace

double gaia_v(double g, double bp_rp) {
  const double c = gaia_colour(bp_rp);
  return g - (-0.02704 + 0.01424 * c - 0.2156 * c * c + 0.01426 * c * c * c);
}

double gaia_bv(double bp_rp) {
  // BP-RP and B-V of main-sequence stars from B0 to M6 (Pecaut and Mamajek
  // 2013, as extended in Mamajek's table of mean dwarf colours): followed
  // piecewise linearly between the rows; docs/star-database.md lists them.
  static const double knots[][2] = {{-0.50, -0.33}, {-0.36, -0.30}, {-0.17, -0.16}, {0.00, 0.00},
                                    {0.38, 0.30},   {0.59, 0.44},   {0.75, 0.59},   {0.82, 0.65},
                                    {0.98, 0.82},   {1.45, 1.15},   {1.84, 1.43},   {2.50, 1.51},
                                    {3.20, 1.83},   {5.00, 2.10}};
  const double c = gaia_colour(bp_rp);
  size_t i = 1;
  while (i + 1 < std::size(knots) && c > knots[i][0]) ++i;
  const double t = (c - knots[i - 1][0]) / (knots[i][0] - knots[i - 1][0]);
  return knots[i - 1][1] + t * (knots[i][1] - knots[i - 1][1]);
}

namespace {

// The columns a header must name for each CSV format.
std::vector<std::string> required_columns(Format format) {
  switch (format) {
    case Format::HYG: return {"ra", "dec", "mag"};
    case Format::Gaia: return {"ra", "dec", "phot_g_mean_mag"};
    default: return {"ra_deg", "dec_deg", "mag"};
  }
}

// One data line of any format; false for a line that holds no star to keep.
bool read_line(const std::string& line, Format format, std::unique_ptr<CsvColumns>& columns,
               const ReadOptions& options, ReadReport& report, CatalogStar& s) {
  if (format == Format::KStars) {
    s = kstars_line(line);
  } else if (format == Format::Tycho2) {
    s = tycho2_line(line, report);
  } else if (!columns) {
    columns = std::make_unique<CsvColumns>(line, required_columns(format));
    return false;
  } else {
    const std::vector<std::string> f = split_csv(line);
    // HYG keeps the Sun as its first row, at 0.000005 parsecs.
    if (format == Format::HYG && trim(columns->get(f, "proper")) == "Sol") return false;
    if (format != Format::Gaia) {
      s = csv_star(*columns, f, format);
    } else if (!gaia_star(*columns, f, options, report, s)) {
      ++report.no_magnitude;
      return false;
    }
  }
  check_star(s);
  return true;
}

}  // namespace

void read_catalog_each(std::istream& in, Format format, ReadReport& report,
                       const ReadOptions& options,
                       const std::function<void(const CatalogStar&)>& each) {
  std::string line;
  bool cut = false;
  std::unique_ptr<CsvColumns> columns;
  while (next_line(*in.rdbuf(), line, cut)) {
    // A byte-order mark says UTF-8, which the catalogues are anyway.
    if (++report.lines == 1 && line.compare(0, 3, "\xEF\xBB\xBF") == 0) line.erase(0, 3);
    const std::string t = trim(line);
    if (t.empty() || t[0] == '#') continue;
    CatalogStar s;
    try {
      if (cut) throw LineError{"line longer than " + std::to_string(kMaxLine) + " bytes"};
      if (!read_line(line, format, columns, options, report, s)) continue;
    } catch (const LineError& e) {
      ++report.malformed;
      const std::string where =
          host::printable("line " + std::to_string(report.lines) + ": " + e.what);
      if (options.strict) throw CatalogError(where);
      if (report.first_problems.size() < 5) report.first_problems.push_back(where);
      continue;
    } catch (const CatalogError& e) {
      throw CatalogError("line " + std::to_string(report.lines) + ": " + e.what());
    }
    each(s);
  }
  if (in.bad()) throw CatalogError("read error after line " + std::to_string(report.lines));
}

std::vector<CatalogStar> read_catalog(std::istream& in, Format format, ReadReport& report,
                                      bool strict) {
  std::vector<CatalogStar> out;
  ReadOptions options;
  options.strict = strict;
  read_catalog_each(in, format, report, options, [&](const CatalogStar& s) { out.push_back(s); });
  return out;
}

void apply_proper_motion(CatalogStar& s, double years) {
  const double mas_to_deg = 1.0 / 3.6e6;
  const double cosd = std::cos(s.dec * kPi / 180);
  if (cosd > 1e-9) s.ra += s.pm_ra * mas_to_deg * years / cosd;
  // Declination runs on round a great circle through the poles: across a pole
  // the star comes down the other side, half a turn round, as often as it goes.
  double d = std::remainder(s.dec + s.pm_dec * mas_to_deg * years, 360.0);  // -180 to 180
  if (d > 90) d = 180 - d, s.ra += 180;
  if (d < -90) d = -180 - d, s.ra += 180;
  s.dec = d;
  s.ra = std::fmod(std::fmod(s.ra, 360.0) + 360.0, 360.0);
}

double bv_to_temperature(double bv) {
  return 4600.0 * (1.0 / (0.92 * bv + 1.7) + 1.0 / (0.92 * bv + 0.62));
}

namespace {
// Piecewise Gaussian lobe of the colour-matching functions' analytic fit
// (Wyman, Sloan and Shirley 2013), accurate to a few tenths of a percent.
double lobe(double l, double mu, double s1, double s2) {
  const double t = (l - mu) / (l < mu ? s1 : s2);
  return std::exp(-0.5 * t * t);
}
}  // namespace

std::array<double, 3> blackbody_rgb(double kelvin) {
  double X = 0, Y = 0, Z = 0;
  for (double l = 380.0; l <= 780.0; l += 1.0) {
    const double planck = std::pow(l, -5.0) / std::expm1(1.4387769e7 / (l * kelvin));
    X += planck * (1.056 * lobe(l, 599.8, 37.9, 31.0) + 0.362 * lobe(l, 442.0, 16.0, 26.7) -
                   0.065 * lobe(l, 501.1, 20.4, 26.2));
    Y += planck * (0.821 * lobe(l, 568.8, 46.9, 40.5) + 0.286 * lobe(l, 530.9, 16.3, 31.1));
    Z += planck * (1.217 * lobe(l, 437.0, 11.8, 36.0) + 0.681 * lobe(l, 459.0, 26.0, 13.8));
  }
  std::array<double, 3> rgb = {3.2404542 * X - 1.5371385 * Y - 0.4985314 * Z,
                               -0.9692660 * X + 1.8760108 * Y + 0.0415560 * Z,
                               0.0556434 * X - 0.2040259 * Y + 1.0572252 * Z};
  for (double& c : rgb) c = std::max(c, 0.0);  // outside the sRGB gamut: the nearest inside
  const double top = std::max({rgb[0], rgb[1], rgb[2]});
  if (top > 0)
    for (double& c : rgb) c /= top;
  return rgb;
}

std::array<uint8_t, 3> star_colour(const CatalogStar& s) {
  if (!s.has_bv) return {255, 255, 255};
  // Catalogues give B-V to a few decimals: the same values come again and again,
  // and each takes a spectrum's integral.
  static std::unordered_map<double, std::array<uint8_t, 3>> known;
  const auto found = known.find(s.bv);
  if (found != known.end()) return found->second;
  const std::array<double, 3> rgb = blackbody_rgb(bv_to_temperature(std::clamp(s.bv, -0.4, 2.5)));
  std::array<uint8_t, 3> out;
  for (int i = 0; i < 3; ++i) {
    const double v = rgb[i];
    const double e = v > 0.0031308 ? 1.055 * std::pow(v, 1 / 2.4) - 0.055 : 12.92 * v;
    out[i] = static_cast<uint8_t>(std::lround(std::clamp(e, 0.0, 1.0) * 255));
  }
  if (known.size() < (size_t{1} << 20)) known.emplace(s.bv, out);
  return out;
}

double brightness_of(double mag) { return std::pow(10.0, -0.4 * mag); }

std::string encode_record(const CatalogStar& s, bool with_distance) {
  star_db::StarRecord r;
  r.ra = s.ra;
  r.dec = s.dec;
  r.brightness = star_db::brightness_of_magnitude(s.mag);
  const std::array<uint8_t, 3> c = star_colour(s);
  r.red = c[0], r.green = c[1], r.blue = c[2];
  r.distance = with_distance ? s.distance : 0.0;
  unsigned char bytes[star_db::kRecordSize];
  star_db::encode(r, bytes);
  return std::string(reinterpret_cast<const char*>(bytes), sizeof bytes);
}

void write_database(const std::string& path, const std::vector<CatalogStar>& list, bool version2) {
  DatabaseWriter out(path, WriterOptions());
  for (const CatalogStar& s : list)
    out.add(reinterpret_cast<const unsigned char*>(encode_record(s, version2).data()));
  out.finish(version2);
}

namespace {

void count_record(const unsigned char* bytes, DatabaseInfo& info, std::map<int, uint64_t>& hist) {
  const star_db::StarRecord r = star_db::decode(bytes);
  const double ra = r.ra, dec = r.dec, dist = r.distance;
  const float b = r.brightness;
  if (!std::isfinite(ra) || !std::isfinite(dec) || !std::isfinite(b) || b <= 0) {
    ++info.bad_values;
    return;
  }
  if (info.version == 2 && dist > 0 && std::isfinite(dist)) ++info.with_distance;
  const bool first = hist.empty();
  info.min_brightness = first ? b : std::min<double>(info.min_brightness, b);
  info.max_brightness = first ? b : std::max<double>(info.max_brightness, b);
  ++hist[static_cast<int>(std::floor(-2.5 * std::log10(b)))];
}

}  // namespace

DatabaseInfo inspect_database(const std::string& path) {
  // Read a piece at a time: a database may be larger than the memory.
  host::InputFile in(path);
  if (!in.is_open()) throw CatalogError("cannot read " + path + ": " + in.reason());
  DatabaseInfo info;
  info.bytes = in.size();
  constexpr size_t size = star_db::kRecordSize;
  unsigned char header[size];
  if (info.bytes < size || in.read_at(0, reinterpret_cast<char*>(header), size) != size)
    throw CatalogError(path + " is not a star database: " + std::to_string(info.bytes) +
                       " bytes, shorter than its 32-byte header");
  info.version = star_db::header_version(header);
  if (info.version == 0) {
    std::string start;
    for (int i = 0; i < 8; ++i)
      start += isprint(static_cast<unsigned char>(header[i])) ? header[i] : '.';
    throw CatalogError(path + " is not a star database: it begins \"" + start +
                       "\", not VANTREL1 or VANTREL2");
  }
  info.stars = (info.bytes - size) / size;
  info.trailing = (info.bytes - size) % size;
  std::map<int, uint64_t> hist;
  std::vector<unsigned char> chunk(size * 4096);
  for (uint64_t i = 0; i < info.stars;) {
    const uint64_t want = std::min<uint64_t>(info.stars - i, chunk.size() / size);
    const size_t got =
        in.read_at(size * (i + 1), reinterpret_cast<char*>(chunk.data()), size * want) / size;
    if (got == 0) throw CatalogError("cannot read " + path + ": it is shorter than it was");
    for (size_t k = 0; k < got; ++k) count_record(&chunk[size * k], info, hist);
    i += got;
  }
  if (!hist.empty()) {
    info.histogram_start = hist.begin()->first;
    info.histogram.assign(static_cast<size_t>(hist.rbegin()->first - info.histogram_start + 1), 0);
    for (const auto& [m, n] : hist)
      info.histogram[static_cast<size_t>(m - info.histogram_start)] = n;
  }
  return info;
}

std::string describe(const DatabaseInfo& info, const std::string& path) {
  std::ostringstream o;
  char buf[160];
  o << "file:        " << path << "\n";
  o << "version:     " << info.version
    << (info.version == 2 ? " (VANTREL2: distances may be given)" : " (VANTREL1: no distances)")
    << "\n";
  o << "stars:       " << info.stars << "\n";
  o << "size:        " << info.bytes << " bytes: "
    << (info.trailing ? "NOT a whole number of records (" + std::to_string(info.trailing) +
                            " bytes of a partial record at the end)"
                      : std::string("header and whole 32-byte records"))
    << "\n";
  if (info.version == 2) o << "distances:   " << info.with_distance << " stars\n";
  if (info.bad_values)
    o << "damaged:     " << info.bad_values
      << " records with a position or brightness that is not a finite positive number\n";
  if (info.stars > info.bad_values) {
    snprintf(buf, sizeof buf, "brightness:  %.6g to %.6g (magnitude %.2f to %.2f)\n",
             info.min_brightness, info.max_brightness, -2.5 * std::log10(info.max_brightness),
             -2.5 * std::log10(info.min_brightness));
    o << buf;
    o << "magnitudes:\n";
    const uint64_t most = *std::max_element(info.histogram.begin(), info.histogram.end());
    for (size_t i = 0; i < info.histogram.size(); ++i) {
      const int m = info.histogram_start + static_cast<int>(i);
      const int bar = most ? static_cast<int>(std::lround(40.0 * info.histogram[i] / most)) : 0;
      snprintf(buf, sizeof buf, "  %3d to %3d %8llu  %s\n", m, m + 1,
               static_cast<unsigned long long>(info.histogram[i]), std::string(bar, '#').c_str());
      o << buf;
    }
  }
  return o.str();
}

}  // namespace stars
