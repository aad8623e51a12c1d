// The star database file: the magic test, and the whole file in memory.
#include "LW/star_file.h"

#include <cstring>

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
  // A file service may hand out short reads: the header is what the file holds.
  while (h.bytes < star_db::kRecordSize) {
    const int n = load.get()->read(load.get()->data, reinterpret_cast<char*>(header) + h.bytes,
                                   star_db::kRecordSize - h.bytes);
    if (n <= 0) break;
    h.bytes += n;
  }
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
  LoadStateGuard load(io, io ? io->open_load(io, file ? file : "", VH_IO_BINARY) : nullptr);
  if (!load.get()) THROW_STR("error opening star database");
  st_LWLoadState* st = load.get();
  record_count = 0;
  for (;;) {
    if (records.capacity < records.length + star_db::kRecordSize)
      records.reserve(records.length + star_db::kRecordSize);
    char* slot = records.bytes + records.length;
    memset(slot, 0, star_db::kRecordSize);
    records.length += star_db::kRecordSize;
    // Fill the whole record even if the host hands out short reads; a read
    // error ends the file like its end.
    int got = 0;
    while (got < star_db::kRecordSize) {
      const int r = st->read(st->data, slot + got, star_db::kRecordSize - got);
      if (r <= 0) break;
      got += r;
    }
    if (got == 0) break;
  }
  // The last slot took the read that found the end: it stays, zeroed, but is no record.
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
  if (!dirs.empty() || record_count == 0) return;
  dirs.resize(record_count);
  bright.resize(record_count);
  const unsigned char* bytes = reinterpret_cast<const unsigned char*>(records.bytes);
  for (uint32_t i = 1; i < record_count; ++i) {
    const unsigned char* record = bytes + static_cast<size_t>(i) * star_db::kRecordSize;
    bright[i] = star_db::field<float>(record, star_db::kBrightness);
    dirs[i] = sky_direction(star_db::field<double>(record, star_db::kRa),
                            star_db::field<double>(record, star_db::kDec));
  }
}

const float* LWStarFile::brightnesses() {
  index();
  return bright.empty() ? nullptr : bright.data();
}

const SkyDirection* LWStarFile::directions() {
  index();
  return dirs.empty() ? nullptr : dirs.data();
}
