// The star database file, read through the host's "File IO 2": the test of
// its header, and the whole file in memory as the renderer's star source.
#pragma once

#include <cstdint>
#include <vector>

#include "base/array.h"
#include "base/string.h"
#include "libimgops/stars.h"

// What the first record of a file says about it as a star database.
struct StarFileHeader {
  bool opened = false;  // the host's file service could open it
  int bytes = 0;        // bytes of the 32-byte header that were there
  bool valid = false;   // a whole header with "VANTREL1" or "VANTREL2"
  bool is_3d = false;   // "VANTREL2": the records carry distances
  // Why an opened file is no star database, for messages.
  const char* problem() const;
};
StarFileHeader read_star_file_header(const char* path);

// True when the file is a star database ("VANTREL1" or "VANTREL2" header);
// is_3d receives whether it is a version-2 file, and stays untouched when the
// file cannot be opened at all. Never raises.
bool star_file_check(const char* path, bool* is_3d = nullptr);

// A whole star database read into memory through "File IO 2".
class LWStarFile : public StarInput {
public:
  // Raises "error opening star database" when the file cannot be opened.
  explicit LWStarFile(const char* path);
  const unsigned char* next() override;
  void rewind() override { cursor = 0; }
  int version() const override;
  // Worked out at the first call of either and kept with the records.
  const float* brightnesses() override;
  const SkyDirection* directions() override;

  int32_t cursor = 0;
  ByteArray records;
  String path;

private:
  void index();
  std::vector<float> bright;
  std::vector<SkyDirection> dirs;
};
