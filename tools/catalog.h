// Star catalogues to star databases: reading the KStars, HYG, plain CSV,
// Tycho-2 and Gaia catalogues, star colour from B-V, and the 32-byte records.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <istream>
#include <stdexcept>
#include <string>
#include <vector>

#include "host/core/files.h"

namespace stars {

class CatalogError : public std::runtime_error {
public:
  // Text from the input is shown with its control bytes escaped: one whole line.
  explicit CatalogError(const std::string& what) : std::runtime_error(host::printable(what)) {}
};

// A catalogue line with a value outside these is malformed: counted, skipped.
constexpr double kMinMagnitude = -30, kMaxMagnitude = 40;
constexpr double kMaxProperMotion = 100000;   // mas/yr, either way: ten times the fastest star
constexpr double kMaxDistance = 1e9;          // parsecs
constexpr size_t kMaxLine = size_t{1} << 20;  // bytes
// How far from the catalogue's epoch --epoch may move the stars, in years.
constexpr double kMaxEpochYears = 100000;

struct CatalogStar {
  double ra = 0;   // degrees, catalogue epoch
  double dec = 0;  // degrees
  double mag = 0;  // visual magnitude
  bool has_bv = false;
  double bv = 0;
  double pm_ra = 0;     // mas/yr, along the sky (already times cos dec)
  double pm_dec = 0;    // mas/yr
  double distance = 0;  // parsecs; 0 when unknown
  double epoch = 2000;  // the year of ra and dec
  long hip = 0;         // Hipparcos number; 0 when none is given
};

enum class Format { KStars, HYG, CSV, Tycho2, Gaia };
// A format's name, in any case: kstars, hyg, csv, tycho2, gaia.
Format format_from_name(const std::string& name);
const char* name_of(Format f);
// The format a catalogue file suggests without --format: by its name's
// extension (a trailing .gz and a part number such as .07 set aside), .csv by
// its header's columns, .dat by its first data line; kstars for the rest.
// first_line is the file's first line that is neither blank nor a comment.
Format guess_format(const std::string& path, const std::string& first_line);
// The epoch of a format's positions (the KStars and HYG catalogues are J2000;
// Gaia's are those of each row's ref_epoch, 2016.0 in DR3).
double catalog_epoch(Format f);

struct ReadOptions {
  bool strict = false;
  // Gaia: a parallax gives a distance only when it is positive and at least
  // this many times its standard error.
  double min_parallax_snr = 5;
};

struct ReadReport {
  long lines = 0;                           // lines read, comments and header included
  long malformed = 0;                       // lines that could not be read, skipped
  long no_magnitude = 0;                    // stars without a magnitude, skipped
  long no_colour = 0;                       // stars read without a colour
  std::vector<std::string> first_problems;  // "line N: what", the first few
};

// Reads a catalogue, handing each star on as it is read. Malformed lines are
// counted and skipped; with strict the first one throws CatalogError naming
// its line.
void read_catalog_each(std::istream& in, Format format, ReadReport& report,
                       const ReadOptions& options,
                       const std::function<void(const CatalogStar&)>& each);
// The same, kept in a list.
std::vector<CatalogStar> read_catalog(std::istream& in, Format format, ReadReport& report,
                                      bool strict);

// Johnson V and B-V from Tycho-2's BT and VT (the catalogue's own relations).
double tycho_v(double bt, double vt);
double tycho_bv(double bt, double vt);
// V from Gaia's G and C = BP-RP (the DR3 documentation's polynomial), and B-V
// from C along the mean dwarf sequence; C is held to the relations' range.
double gaia_v(double g, double bp_rp);
double gaia_bv(double bp_rp);

// Moves a star along its proper motion by the given years.
void apply_proper_motion(CatalogStar& s, double years);

// Effective temperature from B-V (Ballesteros 2012).
double bv_to_temperature(double bv);
// The linear sRGB (D65) colour of a blackbody through the CIE 1931 2-degree
// colour-matching functions, scaled so that the largest channel is 1.
std::array<double, 3> blackbody_rgb(double kelvin);
// sRGB-encoded bytes of a star's colour; white without B-V.
std::array<uint8_t, 3> star_colour(const CatalogStar& s);

// brightness = 10^(-0.4 mag): magnitude 0 is 1.0.
double brightness_of(double mag);
std::string encode_record(const CatalogStar& s, bool with_distance);
// Writes a database ("VANTREL2" with distances, else "VANTREL1") ordered on
// the sky with its index, whole or not at all (see tools/sky_db.h).
void write_database(const std::string& path, const std::vector<CatalogStar>& stars, bool version2);

struct DatabaseInfo {
  int version = 0;  // 1 or 2; 0 when the magic is wrong
  uint64_t bytes = 0;
  uint64_t stars = 0;     // whole star records after the header
  uint64_t trailing = 0;  // bytes of a partial last record
  uint64_t with_distance = 0;
  uint64_t bad_values = 0;  // records with positions or brightness that are not finite
  double min_brightness = 0, max_brightness = 0;
  std::vector<uint64_t> histogram;  // star count per whole magnitude, from histogram_start
  int histogram_start = 0;
};
// Reads a database a piece at a time; throws CatalogError for a file that is
// not one (a folder or a device included).
DatabaseInfo inspect_database(const std::string& path);
std::string describe(const DatabaseInfo& info, const std::string& path);

}  // namespace stars
