#include "LW/star_cells.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>

#include "LW/load_state.h"
#include "LW/module_state.h"

namespace {

// Records of a cell larger than this many bytes are read and drawn in runs
// and not kept: one cell never takes the window.
uint64_t run_records(size_t window) {
  return std::max<uint64_t>(4096, window / 8 / (star_db::kRecordSize + 28));
}

}  // namespace

// The database file, opened for one visit and moved from cell to cell.
class StarCells::Reader {
public:
  explicit Reader(const char* path)
      : io(vantrel_module.host.fileio),
        load(io, io ? io->open_load(io, path, VH_IO_BINARY) : nullptr) {
    if (!load.get()) THROW_STR("error opening star database");
  }
  void read(uint64_t first, uint64_t count, unsigned char* out) {
    const VHFileSeek* seek = vantrel_module.host.seek;
    const int64_t at = static_cast<int64_t>((first + 1) * star_db::kRecordSize);
    if (at != position && (!seek || seek->seek(seek, load.get(), at) != 0))
      THROW_STR("error reading star database");
    const uint64_t bytes = count * star_db::kRecordSize;
    if (read_up_to(load.get(), out, bytes) != bytes) THROW_STR("error reading star database");
    position = at + static_cast<int64_t>(bytes);
  }

private:
  const VHFileIOFuncs* io;
  LoadStateGuard load;
  int64_t position = -1;
};

std::unique_ptr<StarCells> StarCells::open(const char* path, const unsigned char* header,
                                           String& problem) {
  problem = String();
  const star_db::Layout layout = star_db::decode_layout(header);
  const VHFileIOFuncs* io = vantrel_module.host.fileio;
  const VHFileSeek* seek = vantrel_module.host.seek;
  if (!layout.ordered || !io || !seek) return nullptr;

  // The database's size says how many whole records it holds.
  int64_t size = -1;
  {
    LoadStateGuard db(io, io->open_load(io, path, VH_IO_BINARY));
    if (db.get()) size = seek->size(seek, db.get());
  }
  const std::string index = star_db::index_path(path);
  LoadStateGuard load(io, io->open_load(io, index.c_str(), VH_IO_BINARY));
  if (!load.get()) {
    problem = "the cell index is missing";
    return nullptr;
  }
  unsigned char head_bytes[star_db::kIndexHeadSize];
  star_db::IndexHead head;
  if (read_up_to(load.get(), head_bytes, sizeof head_bytes) != sizeof head_bytes ||
      !star_db::decode_head(head_bytes, head)) {
    problem = "the cell index is not an index of this format";
    return nullptr;
  }
  // The entries as the file holds them, up to one byte more than its level
  // allows (to find a longer file): a head that claims more cells than the
  // file holds allocates nothing for them.
  const int64_t index_size = seek->size(seek, load.get());
  const uint64_t limit = std::min(index_size > star_db::kIndexHeadSize
                                      ? static_cast<uint64_t>(index_size) - star_db::kIndexHeadSize
                                      : uint64_t{0},
                                  star_db::max_entry_bytes(head.level) + 1);
  std::vector<unsigned char> bytes;
  try {
    if (limit > SIZE_MAX / 2) throw std::bad_alloc();
    bytes.resize(static_cast<size_t>(limit));
  } catch (const std::bad_alloc&) {
    problem = "the cell index is too large";
    return nullptr;
  }
  const uint64_t got = read_up_to(load.get(), bytes.data(), limit);
  const bool whole = size >= star_db::kRecordSize && (size % star_db::kRecordSize) == 0;
  const uint64_t records = whole ? static_cast<uint64_t>(size) / star_db::kRecordSize - 1 : ~0ull;
  if (const char* why = star_db::index_problem(layout, records, head, bytes.data(), got)) {
    problem = why;
    return nullptr;
  }
  std::unique_ptr<StarCells> cells(new StarCells);
  cells->path = path;
  cells->records = records;
  cells->entries.reserve(static_cast<size_t>(head.cells));
  for (uint64_t i = 0; i < head.cells; ++i)
    cells->entries.push_back(star_db::decode_cell(bytes.data() + i * star_db::kCellEntrySize));
  cells->make_groups();
  return cells;
}

void StarCells::make_groups() {
  // Cells numbered in nested order lie together in index order: 64 of them
  // make a patch a few cells wide. Any other order still gives true bounds.
  const uint32_t kPerGroup = 64;
  for (uint32_t first = 0; first < entries.size(); first += kPerGroup) {
    const uint32_t count =
        std::min<uint32_t>(kPerGroup, static_cast<uint32_t>(entries.size()) - first);
    double sum[3] = {0, 0, 0};
    for (uint32_t i = first; i < first + count; ++i)
      for (int k = 0; k < 3; ++k) sum[k] += entries[i].centre[k];
    const double length = std::sqrt(sum[0] * sum[0] + sum[1] * sum[1] + sum[2] * sum[2]);
    SkyPatch p{SkyDirection{0, 0, 1}, 4.0, entries[first].brightest, entries[first].nearest};
    if (length > 1e-6) p.centre = SkyDirection{sum[0] / length, sum[1] / length, sum[2] / length};
    double radius = 0;
    for (uint32_t i = first; i < first + count; ++i) {
      const star_db::CellEntry& e = entries[i];
      const double d =
          p.centre.x * e.centre[0] + p.centre.y * e.centre[1] + p.centre.z * e.centre[2];
      // The margin covers the rounding of acos and of the sum's direction.
      radius = std::max(radius, std::acos(std::clamp(d, -1.0, 1.0)) + e.radius + 1e-9);
      // A value that is not a number stays, so that the group is never refused for it.
      if (std::isnan(p.brightest) || !(e.brightest <= p.brightest)) p.brightest = e.brightest;
      if (std::isnan(p.nearest) || !(e.nearest >= p.nearest)) p.nearest = e.nearest;
    }
    if (length > 1e-6) p.radius = radius;
    cell_groups.push_back(Group{p, first, count});
  }
}

SkyPatch StarCells::patch(size_t cell) const {
  const star_db::CellEntry& e = entries[cell];
  return SkyPatch{SkyDirection{e.centre[0], e.centre[1], e.centre[2]}, e.radius, e.brightest,
                  e.nearest};
}

const StarCells::Block* StarCells::held_block(uint32_t cell) {
  const auto found = cache.find(cell);
  if (found == cache.end()) return nullptr;
  recent.splice(recent.begin(), recent, found->second.place);
  return found->second.block.get();
}

void StarCells::keep(uint32_t cell, std::unique_ptr<Block> block) {
  const size_t window = vantrel_module.cell_window;
  const size_t bytes = block->bytes();
  if (bytes > window) return;
  while (held + bytes > window && !recent.empty()) {
    const auto last = cache.find(recent.back());
    held -= last->second.block->bytes();
    cache.erase(last);
    recent.pop_back();
  }
  recent.push_front(cell);
  held += bytes;
  cache[cell] = Held{std::move(block), recent.begin()};
}

uint64_t StarCells::records_of(const std::vector<uint32_t>& cells) const {
  uint64_t n = 0;
  for (const uint32_t cell : cells) n += entries[cell].count;
  return n;
}

bool StarCells::hold(const std::vector<uint32_t>& wanted, std::vector<CellRun>& runs) {
  const size_t window = vantrel_module.cell_window;
  const uint64_t per_run = run_records(window);
  uint64_t bytes = 0;
  for (const uint32_t cell : wanted) {
    const uint64_t n = entries[cell].count;
    if (n > per_run) return false;
    bytes += n * (star_db::kRecordSize + sizeof(float) + sizeof(SkyDirection));
  }
  if (bytes > window) return false;
  // Every cell held here was used this pass, later than any other: the
  // window makes room by letting the others go.
  runs.clear();
  const bool read = visit(wanted, [](const CellRun&) { return true; });
  for (const uint32_t cell : wanted) {
    const Block* b = held_block(cell);
    ASSERT(read && b);
    const star_db::CellEntry& e = entries[cell];
    runs.push_back(CellRun{b->records.data(), b->bright.data(), b->dirs.data(), b->dirs.size(),
                           e.first + e.count});
  }
  return true;
}

bool StarCells::visit(const std::vector<uint32_t>& wanted,
                      const std::function<bool(const CellRun&)>& draw) {
  std::unique_ptr<Reader> reader;
  const uint64_t per_run = run_records(vantrel_module.cell_window);
  for (const uint32_t cell : wanted) {
    const star_db::CellEntry& e = entries[cell];
    if (const Block* b = held_block(cell)) {
      if (!draw(CellRun{b->records.data(), b->bright.data(), b->dirs.data(), b->dirs.size(),
                        e.first + e.count}))
        return false;
      continue;
    }
    if (!reader) reader = std::make_unique<Reader>(path.c_str());
    // A cell is read whole and kept when it fits a run, else run by run.
    for (uint64_t done = 0; done < e.count;) {
      const uint64_t n = std::min(per_run, e.count - done);
      auto block = std::make_unique<Block>();
      block->records.resize(static_cast<size_t>(n * star_db::kRecordSize));
      block->bright.resize(static_cast<size_t>(n));
      block->dirs.resize(static_cast<size_t>(n));
      reader->read(e.first + done, n, block->records.data());
      star_lookups(block->records.data(), static_cast<size_t>(n), block->bright.data(),
                   block->dirs.data());
      done += n;
      if (!draw(CellRun{block->records.data(), block->bright.data(), block->dirs.data(),
                        static_cast<size_t>(n), e.first + done}))
        return false;
      if (n == e.count) keep(cell, std::move(block));
    }
  }
  return true;
}
