// Databases ordered in sky cells, through the plug-in's core and the host's
// file services: the frames drawn from the cells that can reach them are the
// frames drawn from every record, bit for bit, and an index that does not fit
// its database is warned and passed over.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "LW/frame.h"
#include "stardb/sky_cells.h"
#include "testsupport/test_harness.h"

namespace {

using harness::Star;

std::string bytes_of(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

void put_bytes(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

// Writes stars as a database ordered in cells of a plain grid (bands of
// declination by slices of right ascension; the plug-in reads only what the
// index says of each cell), brightest first within a cell, with its index.
void write_ordered(harness::StaticPlugin& p, const std::string& path, std::vector<Star> stars) {
  auto cell_of = [](const Star& s) {
    const int band = std::min(17, static_cast<int>((s.dec + 90.0) / 10.0));
    const int slice = static_cast<int>(std::fmod(s.ra + 360.0, 360.0) / 10.0) % 36;
    return band * 36 + slice;
  };
  std::stable_sort(stars.begin(), stars.end(), [&](const Star& a, const Star& b) {
    return cell_of(a) != cell_of(b) ? cell_of(a) < cell_of(b) : a.brightness > b.brightness;
  });
  harness::write_db(p.host, path, stars);
  std::string db = bytes_of(path);
  star_db::Digest records;
  records.add(reinterpret_cast<const unsigned char*>(db.data()) + star_db::kRecordSize,
              db.size() - star_db::kRecordSize);
  const star_db::Layout layout{true, 3, records.value(), stars.size()};
  star_db::encode_layout(layout, reinterpret_cast<unsigned char*>(&db[0]));
  put_bytes(path, db);

  std::string entries;
  for (size_t i = 0; i < stars.size();) {
    size_t end = i;
    while (end < stars.size() && cell_of(stars[end]) == cell_of(stars[i])) ++end;
    star_db::CellEntry e;
    e.first = i, e.count = end - i;
    e.cell = static_cast<uint32_t>(cell_of(stars[i]));
    e.brightest = stars[i].brightness;
    e.nearest = INFINITY;
    double sum[3] = {0, 0, 0};
    std::vector<SkyDirection> dirs;
    for (size_t k = i; k < end; ++k) {
      dirs.push_back(sky_direction(stars[k].ra, stars[k].dec));
      sum[0] += dirs.back().x, sum[1] += dirs.back().y, sum[2] += dirs.back().z;
      if (stars[k].distance > 0) e.nearest = std::min(e.nearest, stars[k].distance);
    }
    const double n = std::sqrt(sum[0] * sum[0] + sum[1] * sum[1] + sum[2] * sum[2]);
    for (int c = 0; c < 3; ++c) e.centre[c] = sum[c] / n;
    e.radius = 0;
    for (const SkyDirection& d : dirs)
      e.radius = std::max(e.radius, std::acos(std::min(1.0, d.x * e.centre[0] + d.y * e.centre[1] +
                                                                d.z * e.centre[2])));
    e.radius += 1e-6;
    unsigned char bytes[star_db::kCellEntrySize];
    star_db::encode_cell(e, bytes);
    entries.append(reinterpret_cast<const char*>(bytes), sizeof bytes);
    i = end;
  }
  star_db::Digest digest;
  digest.add(reinterpret_cast<const unsigned char*>(entries.data()), entries.size());
  const star_db::IndexHead head{3, entries.size() / star_db::kCellEntrySize, stars.size(),
                                layout.id, digest.value()};
  unsigned char head_bytes[star_db::kIndexHeadSize];
  star_db::encode_head(head, head_bytes);
  put_bytes(star_db::index_path(path),
            std::string(reinterpret_cast<const char*>(head_bytes), sizeof head_bytes) + entries);
}

// A sky of every brightness, dense ahead of the unturned camera, some stars near.
std::vector<Star> random_sky(int n, uint32_t seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<double> u(0.0, 1.0);
  std::vector<Star> stars;
  for (int i = 0; i < n; ++i) {
    Star s{360.0 * u(rng), std::asin(2 * u(rng) - 1) * 180 / harness::kPi,
           static_cast<float>(std::pow(10, -3.5 * u(rng)))};
    if (i % 4 == 0) s.ra = 90 + 20 * (u(rng) - 0.5), s.dec = 20 * (u(rng) - 0.5);
    s.r = static_cast<unsigned char>(255 * u(rng));
    s.distance = i % 10 ? 0.0 : 0.5 + 30.0 * u(rng);
    stars.push_back(s);
  }
  return stars;
}

struct CellSky {
  harness::StaticPlugin p;
  host::Item* cam;
  std::string ordered, flat;  // the same bytes; only the first has its index

  explicit CellSky(int stars = 4000) {
    host::Scene& scene = p.host.scene;
    scene.render.width = 160, scene.render.height = 90, scene.render.fps = 24.0;
    cam = &scene.add(host::ItemKind::Camera, "Camera");
    p.host.global(VH_SCENE_INFO);
    vantrel_module.host.seek = static_cast<const VHFileSeek*>(p.host.global(VH_FILE_SEEK));
    ordered = p.dir.file("sky.stars");
    write_ordered(p, ordered, random_sky(stars, 5));
    flat = p.dir.file("flat.stars");
    put_bytes(flat, bytes_of(ordered));
  }

  host::FrameImage render(harness::Instance& in, const std::string& db, int frame = 0) {
    vantrel& v = *in.v;
    v.StarFile = db.c_str();
    v.sRGBFrameBuffer = 0;
    host::FrameImage image(160, 90);
    for (size_t i = 0; i < image.red.size(); ++i) image.alpha[i] = i % 5 ? 0.0f : 0.5f;
    double start, end;
    host::frame_times(p.host, frame, start, end);
    const host::Progress progress;
    host::FrameAccess access(image, frame, start, end, progress);
    vantrel_process(in.v, access.access());
    return image;
  }
  std::vector<std::string> warnings() const {
    std::vector<std::string> w;
    for (const host::Message& m : p.host.messages)
      if (m.kind == host::Message::Warning) w.push_back(m.first + "|" + m.second);
    return w;
  }
};

bool same_bits(const host::FrameImage& a, const host::FrameImage& b) {
  return a.red == b.red && a.green == b.green && a.blue == b.blue && a.alpha == b.alpha;
}

double light(const host::FrameImage& im) {
  double s = 0;
  for (float v : im.red) s += v;
  return s;
}

}  // namespace

// Random cameras: turned, moving and zooming within the exposure, under a
// turning parent, in every projection, with fields, regions and 3D stars;
// each side drawn in one to four bands of rows, a thread each.
TEST(StarCells, FramesEqualTheFramesOfEveryRecord) {
  CellSky sky;
  host::Scene& scene = sky.p.host.scene;
  host::Item& rig = scene.add(host::ItemKind::Object, "Rig");
  std::mt19937 rng(11);
  auto u = [&](double a, double b) { return std::uniform_real_distribution<double>(a, b)(rng); };
  int narrow = 0, lit = 0;
  for (int trial = 0; trial < 24; ++trial) {
    host::Item& cam = *sky.cam;
    cam.motion = host::Motion();
    cam.camera = host::CameraSettings();
    const double zoom = trial % 6 == 0 ? u(1, 3) : u(5, 30);
    cam.camera.zoom = host::Channel(zoom);
    const bool blur = trial % 2 == 1;
    cam.camera.motion_blur = blur;
    cam.camera.blur_length = host::Channel(u(0.2, 1.0));
    for (int a = 0; a < 3; ++a) {
      cam.motion.rotation[a].set(0.0, u(-20, 20));
      cam.motion.rotation[a].set(1.0 / 24, cam.motion.rotation[a].at(0) + u(-3, 3));
      cam.motion.position[a].set(0.0, u(-0.2, 0.2));
      cam.motion.position[a].set(1.0 / 24, u(-0.2, 0.2));
    }
    rig.motion = host::Motion();
    rig.motion.rotation[0] = host::Channel(u(-10, 10));
    rig.motion.rotation[1].set(0.0, 0.0);
    rig.motion.rotation[1].set(1.0 / 24, u(-2, 2));
    scene.render.render_options = trial % 5 == 0 ? VH_ROPT_FIELDS : 0;
    scene.render.limited_region = trial % 4 == 2;
    scene.render.region_x0 = 30, scene.render.region_y0 = 10;
    scene.render.region_x1 = 129, scene.render.region_y1 = 59;
    sky.p.host.global(VH_SCENE_INFO);

    const double parallax = u(-5, 5), size = u(1, 12);
    harness::Instance cells, every;
    for (vantrel* v : {cells.v, every.v}) {
      v->Projection = trial % 3 == 0   ? Perspective
                      : trial % 3 == 1 ? Hemispherical
                                       : AzimuthalEquidistant;
      v->ThreeD = trial % 4 == 1;
      v->Parallax = parallax;
      v->ParentID = trial % 3 == 1 ? host::Host::to_id(rig.id) : nullptr;
      v->BlurSegs = blur ? 1 + trial % 6 : 0;
      v->StarSize = size;
    }
    // Some frames find fewer threads than bands, and draw on one.
    vantrel_module.bands = 1 + trial % 4;
    vantrel_module.thread_limit = trial % 5 == 3 ? trial % 3 : -1;
    const host::FrameImage a = sky.render(cells, sky.ordered);
    vantrel_module.bands = 1 + (trial + 2) % 4;
    vantrel_module.thread_limit = -1;
    const host::FrameImage b = sky.render(every, sky.flat);
    ASSERT_TRUE(same_bits(a, b)) << "trial " << trial;
    ASSERT_TRUE(cells.v->StarSource && cells.v->StarSource->cells) << "read in cells";
    if (light(a) > 0) ++lit;
    // A narrow view reads a part of the sky.
    if (zoom > 5 && trial % 3 == 0) {
      ++narrow;
      EXPECT_LT(cells.v->StarSource->cells->held_bytes(), 4000u * 60 / 2) << "trial " << trial;
    }
  }
  EXPECT_GT(lit, 18);
  EXPECT_GT(narrow, 0);
  // Only the flat copy was warned of: its index is missing.
  for (const std::string& w : sky.warnings())
    EXPECT_NE(w.find("flat.stars.cells"), std::string::npos) << w;
}

// A damaged, stale or missing index is named in a warning and the frame is
// drawn from every record; so is one whose host cannot seek, without a word.
TEST(StarCells, AnIndexThatDoesNotFitIsWarnedAndPassedOver) {
  CellSky sky(600);
  sky.cam->camera.zoom = host::Channel(1.5);
  harness::Instance every;
  const host::FrameImage want = sky.render(every, sky.flat);
  ASSERT_GT(light(want), 0);
  const std::string index = star_db::index_path(sky.ordered), good = bytes_of(index);

  // An empty text stands for no index file at all.
  auto frame_with_index = [&](const std::string& bytes, const char* problem) {
    std::remove(index.c_str());
    if (!bytes.empty()) put_bytes(index, bytes);
    sky.p.host.messages.clear();
    harness::Instance in;
    EXPECT_TRUE(same_bits(sky.render(in, sky.ordered), want)) << problem;
    EXPECT_FALSE(in.v->StarSource->cells) << problem;
    const std::vector<std::string> w = sky.warnings();
    ASSERT_EQ(w.size(), 1u) << problem;
    EXPECT_NE(w[0].find("cell index cannot be used"), std::string::npos) << w[0];
    EXPECT_NE(w[0].find(index + ": " + problem), std::string::npos) << w[0] << " for " << problem;
  };
  std::string damaged = good;
  damaged[star_db::kIndexHeadSize + 20] ^= 0x40;  // a cell's centre
  frame_with_index(damaged, "the index is damaged");
  frame_with_index(good.substr(0, good.size() - 10), "the index is cut short or too long");
  std::string other = good;
  other[32] ^= 1;  // the database it names
  frame_with_index(other, "the index belongs to another database");
  frame_with_index("not an index at all, just some text of some length ......................",
                   "the cell index is not an index of this format");
  frame_with_index("", "the cell index is missing");
  // A head that claims billions of cells at the deepest level: nothing is
  // allocated for them (the file holds a few), and it is another database's.
  std::string huge = good;
  const uint32_t level = star_db::kMaxLevel;
  const uint64_t cells = uint64_t{1} << 32;
  memcpy(&huge[8], &level, 4);
  memcpy(&huge[16], &cells, 8);
  frame_with_index(huge, "the index belongs to another database");

  // A database grown by a record after it was indexed: the count no longer fits.
  put_bytes(index, good);
  const std::string db = bytes_of(sky.ordered);
  put_bytes(sky.ordered, db + db.substr(star_db::kRecordSize, star_db::kRecordSize));
  {
    harness::Instance in;
    sky.render(in, sky.ordered);
    EXPECT_FALSE(in.v->StarSource->cells);
  }
  put_bytes(sky.ordered, db);

  sky.p.host.messages.clear();
  vantrel_module.host.seek = nullptr;
  harness::Instance in;
  EXPECT_TRUE(same_bits(sky.render(in, sky.ordered), want));
  EXPECT_FALSE(in.v->StarSource->cells);
  EXPECT_TRUE(sky.warnings().empty());
}

// A database larger than the memory window (as in the 32-bit plug-in) is
// read cell by cell, keeps no more than the window between frames, and
// draws the frames of every record, twice over.
TEST(StarCells, ADatabaseLargerThanTheWindow) {
  CellSky sky;
  sky.cam->camera.zoom = host::Channel(0.6);  // a wide view: most cells reach it
  harness::Instance every, cells;
  cells.v->Projection = Hemispherical, every.v->Projection = Hemispherical;
  vantrel_module.cell_window = 48 << 10;  // under a quarter of the database's cells
  vantrel_module.bands = 3;               // which cannot draw cells it cannot hold at once
  for (int frame = 0; frame < 2; ++frame) {
    sky.cam->motion.rotation[0] = host::Channel(40.0 * frame);
    const host::FrameImage a = sky.render(cells, sky.ordered, frame);
    EXPECT_TRUE(same_bits(a, sky.render(every, sky.flat, frame))) << "frame " << frame;
    EXPECT_GT(light(a), 0);
    ASSERT_TRUE(cells.v->StarSource->cells);
    EXPECT_LE(cells.v->StarSource->cells->held_bytes(), size_t{48} << 10);
    EXPECT_GT(cells.v->StarSource->cells->held_bytes(), 0u);
  }
}
