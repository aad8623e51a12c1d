// The star database file, read through the host's "File IO 2": the test of
// its header, and the whole file in memory as the renderer's star source.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "LW/star_cells.h"
#include "base/array.h"
#include "base/string.h"
#include "hostapi/io.h"
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

// A star database read through "File IO 2": one ordered in sky cells with a
// usable index is read a cell at a time as passes ask (`cells`; `records`
// then holds the header only), any other is read whole into memory.
class LWStarFile : public StarInput {
public:
  // Raises "error opening star database" when the file cannot be opened. An
  // ordered database whose index cannot be used is read whole, and the host
  // is warned why.
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
  std::unique_ptr<StarCells> cells;

private:
  bool open_cells(const unsigned char* header);
  void read_whole(st_LWLoadState* st, const char* head, int head_bytes);
  void index();
  std::vector<float> bright;
  std::vector<SkyDirection> dirs;
};
