// The star database through the host's file service: the magic test and the
// reader take any bytes from a file, and the renderer draws whatever records
// they hold into a small frame, never crashing.
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "LW/module_state.h"
#include "LW/star_file.h"
#include "fuzz/fuzz.h"
#include "host/core/host.h"
#include "stardb/star_record.h"

namespace {

struct Setup {
  Setup() {
    host.echo_messages = false;
    vantrel_module.host.fileio = static_cast<const VHFileIOFuncs*>(host.global(VH_FILE_IO));
    // In memory where there is a tmpfs: the file is rewritten for every input.
    std::string name =
        std::string(access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp") + "/vantrel-fuzz-XXXXXX";
    const int fd = mkstemp(name.data());
    if (fd >= 0) close(fd);
    path = name;
  }
  ~Setup() { unlink(path.c_str()); }
  host::Host host;
  std::string path;
};

// The plug-in's defaults over a 32 x 24 frame seen through one still camera.
void draw(LWStarFile& db, bool three_d) {
  std::vector<float> px(32 * 24 * 4, 0.0f);
  const StarFramebuffer fb{&px[1], &px[2], &px[3], &px[0], 32, 24, 32 * 4, 4};
  StarRendererData d = {};
  d.screen_left = -4.0 / 3;
  d.screen_right = 4.0 / 3;
  d.screen_bottom = -1;
  d.screen_top = 1;
  d.star_width = d.star_height = 2.5;
  d.lum_threshold = 0.001;
  d.lum_max = 0.5;
  d.brightness = 5;
  d.saturation = 0.4;
  d.brightness_power = 1;
  d.parallax = 1;
  d.tint = VectorN<float, 3>{{1, 1, 1}};
  d.projection = Perspective;
  d.lines = AllLines;
  d.three_d = three_d;
  Array<camera> cams;
  cams.append(camera{Matrix4<double>::identity(), 2.0, 1.0, -1.0});
  StarRenderer renderer(d, fb, db, cams);
  bool drew = false;
  for (uint32_t i = 1; i < db.record_count && renderer.render_next(drew);) ++i;
  db.rewind();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Setup setup;
  // Written plainly: the file is the fuzzer's own scratch, not worth a flush to the disk.
  std::ofstream(setup.path, std::ios::binary | std::ios::trunc)
      .write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
  bool is_3d = false;
  const bool ok = star_file_check(setup.path.c_str(), &is_3d);
  require(ok == (size >= star_db::kRecordSize && star_db::header_version(data) != 0),
          "the magic test accepts exactly a whole header with the magic");
  if (!ok) return 0;
  try {
    LWStarFile db(setup.path.c_str());
    require(db.record_count == (size + star_db::kRecordSize - 1) / star_db::kRecordSize,
            "every record, a partial last one too, is read");
    draw(db, is_3d);
  } catch (const Xception&) {
  }
  return 0;
}
