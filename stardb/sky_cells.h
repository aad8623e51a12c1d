// A star database ordered on the sky, and its cell index: the layout that the
// catalogue tool writes and a reader of the plug-in's kind (C++ standard
// library only) reads. docs/star-database.md describes it in words.
//
// The records of an ordered database run cell by cell (equal-area cells, in
// the tool's numbering), within a cell from the brightest down. The header's
// unread bytes say so and name the database; the index lives in a sidecar
// file beside it (path + ".cells"), since nothing may follow the records.
// Numbers are little-endian, like the records.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>

#include "stardb/star_record.h"

namespace star_db {

// Header bytes 8 to 31 of an ordered database.
constexpr int kLayoutTagAt = 8;     // 4 bytes "CEL1"
constexpr int kLayoutLevelAt = 12;  // 1 byte: the cells' level (12 x 4^level cells)
constexpr int kLayoutIdAt = 16;     // 8 bytes: database_id of the records
constexpr int kLayoutCountAt = 24;  // 8 bytes: the number of records
constexpr char kLayoutTag[] = "CEL1";
constexpr int kMaxLevel = 13;

struct Layout {
  bool ordered = false;
  int level = 0;
  uint64_t id = 0;
  uint64_t records = 0;
};

inline void encode_layout(const Layout& l, unsigned char* header) {
  memset(header + kLayoutTagAt, 0, kRecordSize - kLayoutTagAt);
  if (!l.ordered) return;
  memcpy(header + kLayoutTagAt, kLayoutTag, 4);
  header[kLayoutLevelAt] = static_cast<unsigned char>(l.level);
  memcpy(header + kLayoutIdAt, &l.id, 8);
  memcpy(header + kLayoutCountAt, &l.records, 8);
}

inline Layout decode_layout(const unsigned char* header) {
  Layout l;
  if (memcmp(header + kLayoutTagAt, kLayoutTag, 4) != 0 || header[kLayoutLevelAt] > kMaxLevel)
    return l;
  l.ordered = true;
  l.level = header[kLayoutLevelAt];
  memcpy(&l.id, header + kLayoutIdAt, 8);
  memcpy(&l.records, header + kLayoutCountAt, 8);
  return l;
}

// A 64-bit digest of bytes, eight at a time (a final short piece zero-padded):
// the records' digest names the database, the entries' digest guards the index.
class Digest {
public:
  void add(const unsigned char* bytes, size_t n) {
    for (size_t i = 0; i < n; ++i) {
      word |= static_cast<uint64_t>(bytes[i]) << (8 * fill);
      if (++fill == 8) flush();
    }
  }
  uint64_t value() const {
    Digest d = *this;
    if (d.fill) d.flush();
    return d.h ^ (d.length * 0x9E3779B97F4A7C15ull);
  }

private:
  void flush() {
    h = (h ^ word) * 0x100000001B3ull;
    h ^= h >> 29;
    word = 0;
    fill = 0;
    ++length;
  }
  uint64_t h = 0xCBF29CE484222325ull, word = 0, length = 0;
  int fill = 0;
};

// The sidecar: a 64-byte head, then one 64-byte entry per cell that holds
// stars, in the order of their records.
constexpr char kIndexMagic[] = "VNTCELL1";
constexpr int kIndexHeadSize = 64;
constexpr int kCellEntrySize = 64;

inline std::string index_path(const std::string& database) { return database + ".cells"; }

// The most bytes of entries an index of this level can hold: one entry a
// cell and one for the stars without a position. A reader reads no more.
inline uint64_t max_entry_bytes(int level) {
  return ((uint64_t{12} << (2 * level)) + 1) * kCellEntrySize;
}

struct IndexHead {
  int level = 0;
  uint64_t cells = 0;    // entries that follow
  uint64_t records = 0;  // the database's records
  uint64_t id = 0;       // the database's id, as in its header
  uint64_t digest = 0;   // Digest of the entries' bytes
};

// A cell: its stars lie within `radius` radians of the unit vector `centre`
// (the plug-in's sky direction: x = cos dec cos ra, y = sin dec, z = cos dec
// sin ra; the radius has a margin for directions worked out in single
// precision), none brighter than `brightest` nor nearer than `nearest`, and
// they are the records first to first + count - 1 (0 is the first record
// after the header).
struct CellEntry {
  uint64_t first = 0;
  uint64_t count = 0;
  double centre[3] = {0, 0, 1};
  double radius = 0;
  float brightest = 0;
  uint32_t cell = 0;  // the cell's number in the tool's numbering
  // The smallest distance (parsecs) of the cell's stars that have one;
  // infinity when none has (all of a VANTREL1 database's).
  double nearest = 0;
};

inline void encode_head(const IndexHead& h, unsigned char* out) {
  memset(out, 0, kIndexHeadSize);
  memcpy(out, kIndexMagic, 8);
  const uint32_t level = static_cast<uint32_t>(h.level), size = kCellEntrySize;
  memcpy(out + 8, &level, 4);
  memcpy(out + 12, &size, 4);
  memcpy(out + 16, &h.cells, 8);
  memcpy(out + 24, &h.records, 8);
  memcpy(out + 32, &h.id, 8);
  memcpy(out + 40, &h.digest, 8);
}

// False for bytes that are not an index head of this layout.
inline bool decode_head(const unsigned char* in, IndexHead& h) {
  uint32_t level, size;
  memcpy(&level, in + 8, 4);
  memcpy(&size, in + 12, 4);
  if (memcmp(in, kIndexMagic, 8) != 0 || size != kCellEntrySize || level > kMaxLevel) return false;
  h.level = static_cast<int>(level);
  memcpy(&h.cells, in + 16, 8);
  memcpy(&h.records, in + 24, 8);
  memcpy(&h.id, in + 32, 8);
  memcpy(&h.digest, in + 40, 8);
  return true;
}

inline void encode_cell(const CellEntry& c, unsigned char* out) {
  memset(out, 0, kCellEntrySize);
  memcpy(out, &c.first, 8);
  memcpy(out + 8, &c.count, 8);
  memcpy(out + 16, c.centre, 24);
  memcpy(out + 40, &c.radius, 8);
  memcpy(out + 48, &c.brightest, 4);
  memcpy(out + 52, &c.cell, 4);
  memcpy(out + 56, &c.nearest, 8);
}

inline CellEntry decode_cell(const unsigned char* in) {
  CellEntry c;
  memcpy(&c.first, in, 8);
  memcpy(&c.count, in + 8, 8);
  memcpy(c.centre, in + 16, 24);
  memcpy(&c.radius, in + 40, 8);
  memcpy(&c.brightest, in + 48, 4);
  memcpy(&c.cell, in + 52, 4);
  memcpy(&c.nearest, in + 56, 8);
  return c;
}

// Why an index does not describe the database whose header gave layout and
// whose file holds `records` whole records; nullptr when it does. entries are
// the head.cells entries' bytes as read (`bytes` of them).
inline const char* index_problem(const Layout& layout, uint64_t records, const IndexHead& head,
                                 const unsigned char* entries, uint64_t bytes) {
  if (!layout.ordered) return "the database is not ordered by cell";
  if (head.id != layout.id || head.level != layout.level || head.records != layout.records)
    return "the index belongs to another database";
  if (layout.records != records) return "the database does not hold the records its header counts";
  if (head.cells > bytes / kCellEntrySize || bytes != head.cells * kCellEntrySize)
    return "the index is cut short or too long";
  Digest digest;
  digest.add(entries, static_cast<size_t>(bytes));
  if (digest.value() != head.digest) return "the index is damaged";
  uint64_t next = 0;
  for (uint64_t i = 0; i < head.cells; ++i) {
    const CellEntry c = decode_cell(entries + i * kCellEntrySize);
    const double r2 =
        c.centre[0] * c.centre[0] + c.centre[1] * c.centre[1] + c.centre[2] * c.centre[2];
    if (c.first != next || c.count == 0 || c.count > records - next || !(r2 > 0.999) ||
        !(r2 < 1.001) || !(c.radius >= 0) || !(c.radius <= 4) || !(c.nearest > 0))
      return "the index's cells do not cover the records";
    next += c.count;
  }
  if (next != records) return "the index's cells do not cover the records";
  return nullptr;
}

}  // namespace star_db
