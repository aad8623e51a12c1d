// The star database file: the magic test, and the whole file in memory.
#include "LW/star_file.h"

#include <cstring>
#include <string>

#include "LW/load_state.h"
#include "LW/module_state.h"
#include "stardb/star_record.h"

StarFileHeader read_star_file_header(const char* path) {
  StarFileHeader h;
  const VHFileIOFuncs* io = vantrel_module.host.fileio;
  if (!io) return h;
  LoadStateGuard load(io, io->open_load(io, path ? path : "", VH_IO_BINARY));
  if (!load.get()) return h;
  h.opened = true;
  unsigned char header[star_db::kRecordSize];
  h.bytes = static_cast<int>(read_up_to(load.get(), header, star_db::kRecordSize));
  if (h.bytes == star_db::kRecordSize) {
    const int version = star_db::header_version(header);
    h.valid = version != 0;
    h.is_3d = version == 2;
  }
  return h;
}

const char* StarFileHeader::problem() const {
  if (!opened) return "the file cannot be opened";
  if (bytes == 0) return "the file is empty";
  if (bytes < star_db::kRecordSize) return "the file is shorter than the 32-byte header";
  if (!valid) return "the file does not begin with VANTREL1 or VANTREL2";
  return "no problem";
}

bool star_file_check(const char* path, bool* is_3d) {
  const StarFileHeader h = read_star_file_header(path);
  if (h.opened && is_3d) *is_3d = h.is_3d;
  return h.valid;
}

LWStarFile::LWStarFile(const char* file) : path(file) {
  const VHFileIOFuncs* io = vantrel_module.host.fileio;
  LoadStateGuard load(io, io ? io->open_load(io, path.c_str(), VH_IO_BINARY) : nullptr);
  if (!load.get()) THROW_STR("error opening star database");
  char header[star_db::kRecordSize] = {};
  const int got = static_cast<int>(read_up_to(load.get(), header, star_db::kRecordSize));
  if (got == star_db::kRecordSize && open_cells(reinterpret_cast<unsigned char*>(header))) return;
  read_whole(load.get(), header, got);
}

bool LWStarFile::open_cells(const unsigned char* header) {
  String problem;
  cells = StarCells::open(path.c_str(), header, problem);
  if (!cells) {
    const VHMessageFuncs* m = vantrel_module.host.messages;
    if (*problem.c_str() && m) {
      const std::string index = star_db::index_path(path.c_str());
      const std::string why = index + ": " + problem.c_str() + "; every star is read";
      m->warning(m, "Vantrel: The star database's cell index cannot be used", why.c_str());
    }
    return false;
  }
  records.realloc(star_db::kRecordSize);
  memcpy(records.bytes, header, star_db::kRecordSize);
  records.length = star_db::kRecordSize;
  record_count = static_cast<uint32_t>(cells->record_count() + 1);
  return true;
}

void LWStarFile::read_whole(st_LWLoadState* st, const char* head, int head_bytes) {
  auto new_slot = [this] {
    if (records.capacity < records.length + star_db::kRecordSize)
      records.reserve(records.length + star_db::kRecordSize);
    char* slot = records.bytes + records.length;
    memset(slot, 0, star_db::kRecordSize);
    records.length += star_db::kRecordSize;
    return slot;
  };
  // The header as already read, then records until one comes short: a
  // partial last record counts, zero-padded. The slot after the last record
  // stays, zeroed, but is no record.
  memcpy(new_slot(), head, static_cast<size_t>(head_bytes));
  for (int got = head_bytes; got > 0;) {
    char* slot = new_slot();
    got = got == star_db::kRecordSize ? static_cast<int>(read_up_to(st, slot, star_db::kRecordSize))
                                      : 0;
  }
  record_count = static_cast<uint32_t>(records.length / star_db::kRecordSize - 1);
  records.compact();
  cursor = 0;
}

int LWStarFile::version() const {
  return star_db::header_version(reinterpret_cast<const unsigned char*>(records.bytes));
}

const unsigned char* LWStarFile::next() {
  return reinterpret_cast<const unsigned char*>(records.bytes) +
         static_cast<size_t>(cursor++) * star_db::kRecordSize;
}

void LWStarFile::index() {
  // Cells carry their own lookups, made as they are read.
  if (cells || !dirs.empty() || record_count == 0) return;
  dirs.resize(record_count);
  bright.resize(record_count);
  // Entry 0 stands for the header and stays unused.
  star_lookups(reinterpret_cast<const unsigned char*>(records.bytes) + star_db::kRecordSize,
               record_count - 1, bright.data() + 1, dirs.data() + 1);
}

const float* LWStarFile::brightnesses() {
  index();
  return bright.empty() ? nullptr : bright.data();
}

const SkyDirection* LWStarFile::directions() {
  index();
  return dirs.empty() ? nullptr : dirs.data();
}
