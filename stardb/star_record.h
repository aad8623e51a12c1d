// The star database's 32-byte records and its header record: the one
// definition that the plug-in, the catalogue tool, tests and benchmarks share.
// Numbers are little-endian IEEE 754, as on every machine the plug-in runs on.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstring>

namespace star_db {

constexpr int kRecordSize = 32;
constexpr int kMagicSize = 8;
constexpr char kMagic1[] = "VANTREL1";  // no distances
constexpr char kMagic2[] = "VANTREL2";  // the records carry distances

// Byte offsets of the fields within a star record; byte 23 is not read.
enum Offset {
  kRa = 0,
  kDec = 8,
  kBrightness = 16,
  kRed = 20,
  kGreen = 21,
  kBlue = 22,
  kDistance = 24
};

struct StarRecord {
  double ra = 0;         // right ascension, degrees
  double dec = 0;        // declination, degrees
  float brightness = 0;  // linear flux, magnitude 0 at 1
  uint8_t red = 255;     // sRGB-encoded colour of the star's light
  uint8_t green = 255;
  uint8_t blue = 255;
  double distance = 0;  // parsecs; read only from version-2 files, 0 for none
};

// A record's brightness for a visual magnitude: linear flux, magnitude 0 at 1.
// The luminance threshold compares with these same numbers.
inline float brightness_of_magnitude(double magnitude) {
  return static_cast<float>(std::pow(10.0, -0.4 * magnitude));
}

template <class T>
T field(const unsigned char* record, int offset) {
  T v;
  memcpy(&v, record + offset, sizeof v);
  return v;
}

inline StarRecord decode(const unsigned char* record) {
  StarRecord s;
  s.ra = field<double>(record, kRa);
  s.dec = field<double>(record, kDec);
  s.brightness = field<float>(record, kBrightness);
  s.red = record[kRed];
  s.green = record[kGreen];
  s.blue = record[kBlue];
  s.distance = field<double>(record, kDistance);
  return s;
}

inline void encode(const StarRecord& s, unsigned char* record) {
  memset(record, 0, kRecordSize);
  memcpy(record + kRa, &s.ra, 8);
  memcpy(record + kDec, &s.dec, 8);
  memcpy(record + kBrightness, &s.brightness, 4);
  record[kRed] = s.red;
  record[kGreen] = s.green;
  record[kBlue] = s.blue;
  memcpy(record + kDistance, &s.distance, 8);
}

// The header record: the magic, then 24 bytes that are not read.
inline void encode_header(bool version2, unsigned char* record) {
  memset(record, 0, kRecordSize);
  memcpy(record, version2 ? kMagic2 : kMagic1, kMagicSize);
}

// 1 or 2 for a star database header, 0 for anything else; reads 8 bytes.
inline int header_version(const unsigned char* record) {
  if (memcmp(record, kMagic1, kMagicSize) == 0) return 1;
  if (memcmp(record, kMagic2, kMagicSize) == 0) return 2;
  return 0;
}

}  // namespace star_db
