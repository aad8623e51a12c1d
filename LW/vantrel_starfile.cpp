#include <cstring>

#include "LW/vantrel.h"

VantrelHost vantrel_host;
bool host_time_from_frame = false;

bool star_file_check(const char* path, bool* is_3d) {
  const VHFileIOFuncs* io = vantrel_host.fileio;
  if (!io) return false;
  LoadStateGuard load(io, io->open_load(io, path ? path : "", VH_IO_BINARY));
  if (!load.get()) return false;
  char header[STAR_RECORD_SIZE];
  const int n = load.get()->read(load.get()->data, header, STAR_RECORD_SIZE);
  bool ok = false, v2 = false;
  if (n == STAR_RECORD_SIZE) {
    if (!memcmp(header, "VANTREL1", 8)) {
      ok = true;
    } else if (!memcmp(header, "VANTREL2", 8)) {
      ok = true;
      v2 = true;
    }
  }
  if (is_3d) *is_3d = v2;
  return ok;
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
