#include "tools/sky_db.h"

#include <chealpix.h>
#include <unistd.h>

#include <csignal>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <queue>

#include "tools/catalog.h"

namespace stars {

namespace {

const double kPi = 3.14159265358979323846;
// Records are first sorted by cells this fine; a database's cells are groups
// of them (the nested numbering keeps a cell's sub-cells together).
constexpr int kFineLevel = 13;
// Records whose position is no number go last, in a cell that covers the sky.
constexpr uint32_t kNoCell = 0xFFFFFFFFu;
// Directions in the plug-in are worked out in single precision: a cell's
// radius is widened by more than that error.
constexpr double kRadiusMargin = 1e-6;

uint32_t fine_cell(double ra, double dec) {
  if (!std::isfinite(ra) || !std::isfinite(dec) || std::fabs(dec) > 90) return kNoCell;
  long pix = 0;
  ang2pix_nest(1L << kFineLevel, (90.0 - dec) * kPi / 180, std::fmod(ra, 360.0) * kPi / 180, &pix);
  return static_cast<uint32_t>(pix);
}

// The plug-in's sky direction, in full precision.
void direction(double ra, double dec, double out[3]) {
  const double a = ra * kPi / 180, d = dec * kPi / 180;
  out[0] = std::cos(d) * std::cos(a);
  out[1] = std::sin(d);
  out[2] = std::cos(d) * std::sin(a);
}

double angle_between(const double a[3], const double b[3]) {
  const double cx = a[1] * b[2] - a[2] * b[1], cy = a[2] * b[0] - a[0] * b[2],
               cz = a[0] * b[1] - a[1] * b[0];
  return std::atan2(std::sqrt(cx * cx + cy * cy + cz * cz),
                    a[0] * b[0] + a[1] * b[1] + a[2] * b[2]);
}

// Brightest first; a brightness that is no number, which no threshold lets
// through, last.
float order_key(float b) { return b == b ? b : -INFINITY; }

bool stderr_is_terminal() { return isatty(2) == 1; }

}  // namespace

namespace {
volatile std::sig_atomic_t stop_signal = 0;
extern "C" void on_stop_signal(int sig) { stop_signal = sig; }
}  // namespace

void stop_on_signals() {
  std::signal(SIGINT, on_stop_signal);
  std::signal(SIGTERM, on_stop_signal);
}

void check_stopped() {
  if (stop_signal)
    throw CatalogError(std::string(stop_signal == SIGINT ? "interrupted" : "terminated") +
                       ": nothing written");
}

int level_for(uint64_t stars) {
  int level = 0;
  while (level < 9 && 12.0 * std::pow(4.0, level) * 1024 < static_cast<double>(stars)) ++level;
  return level;
}

struct DatabaseWriter::Item {
  uint32_t fine;
  uint32_t pad;
  uint64_t seq;
  unsigned char record[star_db::kRecordSize];
  bool operator<(const Item& o) const { return fine != o.fine ? fine < o.fine : seq < o.seq; }
};

// Sorted runs on the disk beside the output, merged back in order.
class DatabaseWriter::Runs {
public:
  explicit Runs(const std::string& output) : base(host::temporary_name(output) + ".run") {}
  ~Runs() {
    for (auto& r : readers)
      if (r.file) fclose(r.file);
    for (const std::string& n : names) unlink(n.c_str());
  }
  void write(const std::vector<Item>& items) {
    names.push_back(base + std::to_string(names.size()));
    FILE* f = fopen(names.back().c_str(), "wb");
    if (!f) throw CatalogError("cannot write " + names.back() + ": " + strerror(errno));
    const size_t n = fwrite(items.data(), sizeof(Item), items.size(), f);
    const bool ok = n == items.size() && fflush(f) == 0;
    const int err = errno;
    if (fclose(f) != 0 || !ok)
      throw CatalogError("cannot write " + names.back() + ": " + strerror(ok ? errno : err));
  }
  size_t count() const { return names.size(); }
  void open() {
    readers.resize(names.size());
    for (size_t i = 0; i < names.size(); ++i) {
      readers[i].file = fopen(names[i].c_str(), "rb");
      if (!readers[i].file) throw CatalogError("cannot read " + names[i] + ": " + strerror(errno));
      setvbuf(readers[i].file, nullptr, _IOFBF, 1 << 16);
      if (advance(i)) heap.push({readers[i].item, i});
    }
  }
  // The next item of all runs in order; false when all are done.
  bool next(Item& out) {
    if (heap.empty()) return false;
    const size_t i = heap.top().second;
    out = heap.top().first;
    heap.pop();
    if (advance(i)) heap.push({readers[i].item, i});
    return true;
  }

private:
  struct Reader {
    FILE* file = nullptr;
    Item item;
  };
  bool advance(size_t i) {
    if (fread(&readers[i].item, sizeof(Item), 1, readers[i].file) == 1) return true;
    if (ferror(readers[i].file)) throw CatalogError("cannot read " + names[i]);
    return false;
  }
  struct Later {
    bool operator()(const std::pair<Item, size_t>& a, const std::pair<Item, size_t>& b) const {
      return b.first < a.first;
    }
  };
  std::string base;
  std::vector<std::string> names;
  std::vector<Reader> readers;
  std::priority_queue<std::pair<Item, size_t>, std::vector<std::pair<Item, size_t>>, Later> heap;
};

DatabaseWriter::DatabaseWriter(const std::string& file, const WriterOptions& o)
    : path(file), options(o) {
  options.run_stars = std::max<size_t>(options.run_stars, 1);
  items.reserve(std::min<size_t>(options.run_stars, size_t{1} << 16));
}

DatabaseWriter::~DatabaseWriter() = default;

void DatabaseWriter::add(const unsigned char* record) {
  Item it;
  it.fine = fine_cell(star_db::field<double>(record, star_db::kRa),
                      star_db::field<double>(record, star_db::kDec));
  it.pad = 0;
  it.seq = total++;
  memcpy(it.record, record, star_db::kRecordSize);
  items.push_back(it);
  if (items.size() >= options.run_stars) spill();
  if (total % 4096 == 0) check_stopped();
  if (options.progress && total % (1u << 20) == 0 && stderr_is_terminal())
    fprintf(stderr, "\r%llu stars read", static_cast<unsigned long long>(total));
}

void DatabaseWriter::spill() {
  std::sort(items.begin(), items.end());
  if (!runs) runs = std::make_unique<Runs>(path);
  runs->write(items);
  items.clear();
}

namespace {

// One cell's records, brightest first, to the database; its entry to the index.
struct CellWriter {
  host::AtomicFile& db;
  host::AtomicFile& index;
  int level;
  bool version2;
  star_db::Digest records_digest, entries_digest;
  uint64_t written = 0, cells = 0;
  std::string buffer;

  void write(uint32_t cell, std::vector<const unsigned char*>& group) {
    std::stable_sort(group.begin(), group.end(),
                     [](const unsigned char* a, const unsigned char* b) {
                       return order_key(star_db::field<float>(a, star_db::kBrightness)) >
                              order_key(star_db::field<float>(b, star_db::kBrightness));
                     });
    star_db::CellEntry e;
    e.first = written;
    e.count = group.size();
    e.cell = cell;
    e.brightest = -INFINITY;
    e.nearest = INFINITY;
    if (cell == kNoCell) {
      e.radius = 4;  // more than any angle: the whole sky
    } else {
      double v[3];
      pix2vec_nest(1L << level, cell, v);
      e.centre[0] = v[0], e.centre[1] = v[2], e.centre[2] = v[1];
    }
    for (const unsigned char* r : group) {
      unsigned char out[star_db::kRecordSize];
      memcpy(out, r, sizeof out);
      if (!version2) memset(out + star_db::kDistance, 0, 8);
      records_digest.add(out, sizeof out);
      buffer.append(reinterpret_cast<const char*>(out), sizeof out);
      const float b = star_db::field<float>(r, star_db::kBrightness);
      if (b == b) e.brightest = std::max(e.brightest, b);
      const double distance = version2 ? star_db::field<double>(r, star_db::kDistance) : 0;
      if (distance > 0) e.nearest = std::min(e.nearest, distance);
      if (cell == kNoCell) continue;
      double d[3];
      direction(star_db::field<double>(r, star_db::kRa), star_db::field<double>(r, star_db::kDec),
                d);
      e.radius = std::max(e.radius, angle_between(e.centre, d) + kRadiusMargin);
    }
    if (buffer.size() >= (size_t{1} << 20)) flush();
    unsigned char entry[star_db::kCellEntrySize];
    star_db::encode_cell(e, entry);
    entries_digest.add(entry, sizeof entry);
    index.write(std::string_view(reinterpret_cast<const char*>(entry), sizeof entry));
    written += group.size();
    ++cells;
  }
  void flush() {
    db.write(buffer);
    buffer.clear();
  }
};

}  // namespace

void DatabaseWriter::finish(bool version2) {
  chosen_level = options.level >= 0 ? std::min(options.level, 9) : level_for(total);
  const int shift = 2 * (kFineLevel - chosen_level);
  const bool on_disk = runs != nullptr;
  if (on_disk) {
    spill();
    runs->open();
  } else {
    std::sort(items.begin(), items.end());
  }
  try {
    host::AtomicFile db(path), index(star_db::index_path(path));
    const std::string blank_head(star_db::kRecordSize, '\0');
    db.write(blank_head);
    index.write(std::string(star_db::kIndexHeadSize, '\0'));
    CellWriter out{db, index, chosen_level, version2, {}, {}, 0, 0, {}};
    // Each cell's records gathered, then written: a cell is small beside the whole.
    std::vector<Item> cell_items;
    std::vector<const unsigned char*> group;
    uint32_t current = 0;
    auto write_cell = [&] {
      group.clear();
      for (const Item& it : cell_items) group.push_back(it.record);
      if (!group.empty()) out.write(current, group);
      cell_items.clear();
    };
    size_t at = 0;
    Item it;
    while (on_disk ? runs->next(it) : at < items.size()) {
      if (!on_disk) it = items[at++];
      const uint32_t cell = it.fine == kNoCell ? kNoCell : it.fine >> shift;
      if (cell != current) {
        write_cell();
        check_stopped();
      }
      current = cell;
      cell_items.push_back(it);
    }
    write_cell();
    out.flush();
    star_db::Layout layout{true, chosen_level, out.records_digest.value(), total};
    unsigned char head[star_db::kRecordSize];
    star_db::encode_header(version2, head);
    star_db::encode_layout(layout, head);
    db.write_at(0, std::string_view(reinterpret_cast<const char*>(head), sizeof head));
    star_db::IndexHead ih{chosen_level, out.cells, total, layout.id, out.entries_digest.value()};
    unsigned char ihead[star_db::kIndexHeadSize];
    star_db::encode_head(ih, ihead);
    index.write_at(0, std::string_view(reinterpret_cast<const char*>(ihead), sizeof ihead));
    // The database first: an index left from before names other records, and is ignored.
    db.commit();
    index.commit();
    cell_count = out.cells;
  } catch (const host::FileError& e) {
    throw CatalogError(e.what());
  }
  if (options.progress && total >= (1u << 20) && stderr_is_terminal()) fputc('\n', stderr);
  items.clear();
  items.shrink_to_fit();
  runs.reset();
}

DatabaseReader::DatabaseReader(const std::string& file)
    : in(file), path(file), chunk(star_db::kRecordSize * 8192) {
  if (!in.is_open()) throw CatalogError("cannot read " + path + ": " + in.reason());
  const uint64_t bytes = in.size();
  if (bytes < star_db::kRecordSize ||
      in.read_at(0, reinterpret_cast<char*>(head), sizeof head) != sizeof head)
    throw CatalogError(path + " is not a star database: shorter than its 32-byte header");
  header_version = star_db::header_version(head);
  if (header_version == 0)
    throw CatalogError(path + " is not a star database: it does not begin VANTREL1 or VANTREL2");
  if ((bytes - star_db::kRecordSize) % star_db::kRecordSize != 0)
    throw CatalogError(path + ": " + std::to_string((bytes - star_db::kRecordSize) % 32) +
                       " bytes of a partial record at the end (a damaged database)");
  records = bytes / star_db::kRecordSize - 1;
}

const unsigned char* DatabaseReader::next() {
  if (at == filled) {
    if (done == records) return nullptr;
    check_stopped();
    const uint64_t want = std::min<uint64_t>(records - done, chunk.size() / star_db::kRecordSize);
    const uint64_t offset = star_db::kRecordSize * (done + 1);
    filled = in.read_at(offset, reinterpret_cast<char*>(chunk.data()),
                        static_cast<size_t>(want * star_db::kRecordSize));
    at = 0;
    if (filled < want * star_db::kRecordSize)
      throw CatalogError("cannot read " + path + ": it is shorter than it was");
  }
  const unsigned char* r = &chunk[at];
  at += star_db::kRecordSize;
  ++done;
  return r;
}

void index_database(const std::string& input, const std::string& output,
                    const WriterOptions& options) {
  DatabaseReader in(input);
  DatabaseWriter out(output, options);
  while (const unsigned char* r = in.next()) out.add(r);
  if (out.count() == 0) throw CatalogError(input + " holds no stars");
  out.finish(in.version() == 2);
}

IndexState read_index_state(const std::string& path) {
  IndexState s;
  DatabaseReader db(path);
  s.layout = star_db::decode_layout(db.header());
  if (!s.layout.ordered) return s;
  host::InputFile side(star_db::index_path(path));
  if (!side.is_open()) {
    s.problem = "no index " + star_db::index_path(path) + ": " + side.reason();
    return s;
  }
  unsigned char head[star_db::kIndexHeadSize];
  if (side.read_at(0, reinterpret_cast<char*>(head), sizeof head) != sizeof head ||
      !star_db::decode_head(head, s.head)) {
    s.problem = star_db::index_path(path) + " is not a star database index";
    return s;
  }
  const uint64_t bytes = side.size() - star_db::kIndexHeadSize;
  if (bytes > star_db::max_entry_bytes(s.head.level)) {
    s.problem = star_db::index_path(path) + ": the index is cut short or too long";
    return s;
  }
  std::vector<unsigned char> entries(static_cast<size_t>(bytes));
  if (side.read_at(star_db::kIndexHeadSize, reinterpret_cast<char*>(entries.data()),
                   entries.size()) != entries.size()) {
    s.problem = "cannot read " + star_db::index_path(path);
    return s;
  }
  if (const char* p =
          star_db::index_problem(s.layout, db.count(), s.head, entries.data(), entries.size()))
    s.problem = star_db::index_path(path) + ": " + p;
  else
    s.has_index = true;
  return s;
}

}  // namespace stars
