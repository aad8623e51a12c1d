#include <cstring>

#include "LW/vantrel.h"

VantrelHost vantrel_host;
bool host_time_from_frame = false;

StarFileHeader read_star_file_header(const char* path) {
  StarFileHeader h;
  const VHFileIOFuncs* io = vantrel_host.fileio;
  if (!io) return h;
  LoadStateGuard load(io, io->open_load(io, path ? path : "", VH_IO_BINARY));
  if (!load.get()) return h;
  h.opened = true;
  char header[STAR_RECORD_SIZE];
  // A file service may hand out short reads: the header is what the file holds.
  while (h.bytes < STAR_RECORD_SIZE) {
    const int n = load.get()->read(load.get()->data, header + h.bytes, STAR_RECORD_SIZE - h.bytes);
    if (n <= 0) break;
    h.bytes += n;
  }
  if (h.bytes == STAR_RECORD_SIZE) {
    h.is_3d = !memcmp(header, "VANTREL2", 8);
    h.valid = h.is_3d || !memcmp(header, "VANTREL1", 8);
  }
  return h;
}

const char* StarFileHeader::problem() const {
  if (!opened) return "the file cannot be opened";
  if (bytes == 0) return "the file is empty";
  if (bytes < STAR_RECORD_SIZE) return "the file is shorter than the 32-byte header";
  if (!valid) return "the file does not begin with VANTREL1 or VANTREL2";
  return "no problem";
}

bool star_file_check(const char* path, bool* is_3d) {
  const StarFileHeader h = read_star_file_header(path);
  if (h.opened && is_3d) *is_3d = h.is_3d;
  return h.valid;
}

LWStarFile::LWStarFile(const char* file) : path(file) {
  const VHFileIOFuncs* io = vantrel_host.fileio;
  LoadStateGuard load(io, io ? io->open_load(io, file ? file : "", VH_IO_BINARY) : nullptr);
  if (!load.get()) THROW_STR("error opening star database");
  st_LWLoadState* st = load.get();
  record_count = 0;
  for (;;) {
    if (records.capacity < records.length + STAR_RECORD_SIZE)
      records.reserve(records.length + STAR_RECORD_SIZE);
    char* slot = records.bytes + records.length;
    memset(slot, 0, STAR_RECORD_SIZE);
    records.length += STAR_RECORD_SIZE;
    // Fill the whole record even if the host hands out short reads; a read
    // error ends the file like its end.
    int got = 0;
    while (got < STAR_RECORD_SIZE) {
      const int r = st->read(st->data, slot + got, STAR_RECORD_SIZE - got);
      if (r <= 0) break;
      got += r;
    }
    if (got == 0) break;
  }
  // The last slot took the read that found the end: it stays, zeroed, but is no record.
  record_count = static_cast<uint32_t>(records.length / STAR_RECORD_SIZE - 1);
  records.compact();
  cursor = 0;
}

const unsigned char* LWStarFile::next() {
  return reinterpret_cast<const unsigned char*>(records.bytes) +
         static_cast<size_t>(cursor++) * STAR_RECORD_SIZE;
}
