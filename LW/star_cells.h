// A star database ordered in sky cells, read a cell at a time through the
// host's "File IO 2" and "File Seek 1": its index, and the cells recent
// passes read, kept within a window of memory.
#pragma once

#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <unordered_map>
#include <vector>

#include "base/string.h"
#include "libimgops/stars.h"
#include "stardb/sky_cells.h"

// Some records of a cell, in file order, with what the renderer reads of them.
struct CellRun {
  const unsigned char* records;
  const float* bright;
  const SkyDirection* dirs;
  size_t count;
  uint64_t end;  // records of the database up to the end of this run
};

class StarCells {
public:
  // The index beside the database at `path`, whose header record is given.
  // Null when the database is not ordered in cells, when the host cannot
  // seek, or when its index is missing or does not describe it: then
  // `problem` says why, for a database whose header says it is ordered.
  static std::unique_ptr<StarCells> open(const char* path, const unsigned char* header,
                                         String& problem);

  size_t cell_count() const { return entries.size(); }
  SkyPatch patch(size_t cell) const;
  // Runs of neighbouring cells in index order, each with a patch that holds
  // all of theirs: a pass that refuses a group's patch refuses its cells.
  struct Group {
    SkyPatch patch;
    uint32_t first, count;
  };
  const std::vector<Group>& groups() const { return cell_groups; }
  uint64_t record_count() const { return records; }  // the header not included
  uint64_t records_of(const std::vector<uint32_t>& cells) const;
  // Bytes of cells held between passes.
  size_t held_bytes() const { return held; }

  // Hands the records of the cells in `wanted` (ascending cell numbers) to
  // draw in file order, reading those not held. False when draw asked to
  // stop (it returns false). Raises "error reading star database" when the
  // file no longer holds a cell's records.
  bool visit(const std::vector<uint32_t>& wanted, const std::function<bool(const CellRun&)>& draw);
  // The runs of the cells in `wanted`, in file order, with every one held
  // at once (those not held are read): for passes that draw them more than
  // once side by side. False, with nothing read, when the window cannot
  // hold them all. The runs stay valid until the next visit or hold.
  bool hold(const std::vector<uint32_t>& wanted, std::vector<CellRun>& runs);

private:
  struct Block {
    std::vector<unsigned char> records;
    std::vector<float> bright;
    std::vector<SkyDirection> dirs;
    size_t bytes() const { return records.size() + bright.size() * 4 + dirs.size() * 24; }
  };
  class Reader;
  const Block* held_block(uint32_t cell);
  void keep(uint32_t cell, std::unique_ptr<Block> block);

  String path;
  void make_groups();

  std::vector<star_db::CellEntry> entries;
  std::vector<Group> cell_groups;
  uint64_t records = 0;
  // The cells held, most recently used first.
  std::list<uint32_t> recent;
  struct Held {
    std::unique_ptr<Block> block;
    std::list<uint32_t>::iterator place;
  };
  std::unordered_map<uint32_t, Held> cache;
  size_t held = 0;
};
