// Databases ordered on the sky: what the index promises holds of the records,
// sorting on the disk gives the bytes sorting in memory gives, merging keeps
// one star of each overlap.
#include "tools/sky_db.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <set>
#include <string>

#include "stardb/star_record.h"
#include "testsupport/test_support.h"
#include "tools/catalog.h"

namespace {

using testing_support::read_bytes;
using testing_support::TempDir;

struct Rec {
  double ra, dec;
  float b;
  std::string bytes;
};

std::vector<Rec> records(const std::string& path) {
  const std::string all = read_bytes(path);
  std::vector<Rec> out;
  for (size_t at = 32; at + 32 <= all.size(); at += 32) {
    Rec r;
    memcpy(&r.ra, &all[at], 8);
    memcpy(&r.dec, &all[at + 8], 8);
    memcpy(&r.b, &all[at + 16], 4);
    r.bytes = all.substr(at, 32);
    out.push_back(r);
  }
  return out;
}

void write(const std::string& path, const std::vector<stars::CatalogStar>& list) {
  stars::write_database(path, list, true);
}

stars::CatalogStar star(double ra, double dec, double mag) {
  stars::CatalogStar s;
  s.ra = ra, s.dec = dec, s.mag = mag;
  return s;
}

// Every promise of the index, checked against the records themselves.
void expect_index_holds(const std::string& path) {
  const stars::IndexState st = stars::read_index_state(path);
  ASSERT_TRUE(st.has_index) << st.problem;
  const std::string side = read_bytes(star_db::index_path(path));
  const std::vector<Rec> recs = records(path);
  uint64_t next = 0;
  for (uint64_t i = 0; i < st.head.cells; ++i) {
    const star_db::CellEntry c =
        star_db::decode_cell(reinterpret_cast<const unsigned char*>(side.data()) + 64 + 64 * i);
    ASSERT_EQ(c.first, next);
    float brightest = -INFINITY, last = INFINITY;
    double nearest = INFINITY;
    for (uint64_t k = c.first; k < c.first + c.count; ++k) {
      const Rec& r = recs[k];
      const double a = r.ra * M_PI / 180, d = r.dec * M_PI / 180;
      const double v[3] = {std::cos(d) * std::cos(a), std::sin(d), std::cos(d) * std::sin(a)};
      const double dot = v[0] * c.centre[0] + v[1] * c.centre[1] + v[2] * c.centre[2];
      EXPECT_GE(dot, std::cos(c.radius)) << "record " << k << " outside its cell";
      EXPECT_LE(r.b, last) << "record " << k << " brighter than the one before";
      last = r.b;
      brightest = std::max(brightest, r.b);
      double distance;
      memcpy(&distance, r.bytes.data() + 24, 8);
      if (distance > 0) nearest = std::min(nearest, distance);
    }
    EXPECT_EQ(c.brightest, brightest);
    EXPECT_EQ(c.nearest, nearest);
    next += c.count;
  }
  EXPECT_EQ(next, recs.size());
}

}  // namespace

TEST(SkyDb, OrderedIndexedAndTheSameWhetherSortedOnDiskOrInMemory) {
  TempDir dir;
  stars::SynthOptions synth;
  synth.stars = 20000;
  synth.seed = 7;
  stars::WriterOptions memory, disk;
  memory.level = disk.level = 3;
  disk.run_stars = 1500;  // fourteen runs
  stars::synthesize(synth, dir.file("m.stars"), memory);
  stars::synthesize(synth, dir.file("d.stars"), disk);
  EXPECT_EQ(read_bytes(dir.file("m.stars")), read_bytes(dir.file("d.stars")));
  EXPECT_EQ(read_bytes(dir.file("m.stars.cells")), read_bytes(dir.file("d.stars.cells")));
  expect_index_holds(dir.file("m.stars"));
  // No run is left beside the output.
  int files = 0;
  for (const auto& e : std::filesystem::directory_iterator(dir.path)) ++files, (void)e;
  EXPECT_EQ(files, 4);

  // Another seed, another sky; the same seed, the same.
  synth.seed = 8;
  stars::synthesize(synth, dir.file("o.stars"), memory);
  EXPECT_NE(read_bytes(dir.file("o.stars")), read_bytes(dir.file("m.stars")));
  // Leaving out the bright stars keeps the others as they were.
  synth.seed = 7;
  synth.fainter_than = 6.5;
  stars::synthesize(synth, dir.file("faint.stars"), memory);
  std::multiset<std::string> faint, faint_of_all;
  for (const Rec& r : records(dir.file("faint.stars"))) faint.insert(r.bytes);
  for (const Rec& r : records(dir.file("m.stars")))
    if (r.b <= star_db::brightness_of_magnitude(6.5)) faint_of_all.insert(r.bytes);
  EXPECT_EQ(faint, faint_of_all);
  EXPECT_GT(faint.size(), 5000u);
  EXPECT_LT(faint.size(), 20000u);
  synth.fainter_than = -100;

  // Ordering an ordered database again changes nothing; ordering keeps every record.
  stars::index_database(dir.file("m.stars"), dir.file("again.stars"), disk);
  EXPECT_EQ(read_bytes(dir.file("again.stars")), read_bytes(dir.file("m.stars")));
  std::vector<stars::CatalogStar> list;
  for (int i = 0; i < 500; ++i)
    list.push_back(star(std::fmod(i * 137.508, 360), 89.9 - i * 0.36, 5 + (i % 7)));
  list.push_back(star(360, 90, 1));  // the very edges of the ranges
  list.push_back(star(0, -90, 1));
  write(dir.file("edges.stars"), list);
  expect_index_holds(dir.file("edges.stars"));
  std::vector<std::string> in, out;
  for (const auto& s : list) in.push_back(stars::encode_record(s, true));
  for (const Rec& r : records(dir.file("edges.stars"))) out.push_back(r.bytes);
  std::sort(in.begin(), in.end());
  std::sort(out.begin(), out.end());
  EXPECT_EQ(in, out);
}

TEST(SkyDb, ADamagedOrForeignIndexIsNotUsed) {
  TempDir dir;
  std::vector<stars::CatalogStar> list;
  for (int i = 0; i < 300; ++i) list.push_back(star(i * 1.2, -60 + i * 0.4, 6));
  write(dir.file("a.stars"), list);
  list.push_back(star(1, 1, 1));
  write(dir.file("b.stars"), list);
  const std::string good = read_bytes(dir.file("a.stars.cells"));
  std::string flipped = good;
  flipped[64 + 70] ^= 1;
  const std::vector<std::pair<std::string, std::string>> cases = {
      {flipped, "the index is damaged"},
      {good.substr(0, good.size() - 10), "the index is cut short or too long"},
      {good + std::string(64 * 200, '\0'), "the index is cut short or too long"},
      {read_bytes(dir.file("b.stars.cells")), "the index belongs to another database"},
      {"junk", "is not a star database index"}};
  for (const auto& [bytes, why] : cases) {
    testing_support::write_bytes(dir.file("a.stars.cells"), bytes);
    const stars::IndexState st = stars::read_index_state(dir.file("a.stars"));
    EXPECT_FALSE(st.has_index) << why;
    EXPECT_NE(st.problem.find(why), std::string::npos) << st.problem;
  }
  // Records added to the end of an ordered database: its index no longer describes it.
  testing_support::write_bytes(dir.file("a.stars.cells"), good);
  std::string grown = read_bytes(dir.file("a.stars")) + std::string(32, '\0');
  testing_support::write_bytes(dir.file("a.stars"), grown);
  EXPECT_NE(stars::read_index_state(dir.file("a.stars")).problem.find("does not hold the records"),
            std::string::npos);
}

TEST(SkyDb, MergeKeepsTheEarlierInputsStarOfEachOverlap) {
  TempDir dir;
  const double arcsec = 1.0 / 3600;
  write(dir.file("a.stars"),
        {star(10, 20, 5.0), star(359.99999, 0, 7.0), star(200, 89.9999, 4), star(50, -30, 8)});
  write(dir.file("b.stars"),
        {
            star(10 + 0.5 * arcsec / std::cos(20 * M_PI / 180), 20, 5.3),  // same star: dropped
            star(10, 20 + 1.5 * arcsec, 5.0),                              // 1.5" away: kept
            star(10, 20, 5.8),                      // 0.8 magnitude off: kept
            star(0.00001, 0.5 * arcsec, 7.2),       // across RA 0: dropped
            star(20, 89.9999 + 0.3 * arcsec, 4.1),  // by the pole: dropped
            star(50, -30, 8),                       // same: dropped
            star(50, -30, 8),                       // twice in b: dropped too
        });
  write(dir.file("c.stars"), {star(10, 20 + 1.5 * arcsec, 5.1), star(120, 0, 3)});
  const stars::MergeReport r =
      stars::merge_databases({dir.file("a.stars"), dir.file("b.stars"), dir.file("c.stars")},
                             dir.file("m.stars"), stars::WriterOptions());
  EXPECT_EQ(r.read, (std::vector<uint64_t>{4, 7, 2}));
  EXPECT_EQ(r.kept, (std::vector<uint64_t>{4, 2, 1}));  // c's first is b's second
  const std::vector<Rec> m = records(dir.file("m.stars"));
  ASSERT_EQ(m.size(), 7u);
  // The earlier input's record itself is kept, not the later one's.
  int a_first = 0;
  for (const Rec& rec : m)
    a_first += rec.ra == 10 && rec.dec == 20 && rec.b == static_cast<float>(std::pow(10, -2.0));
  EXPECT_EQ(a_first, 1);
  expect_index_holds(dir.file("m.stars"));
  EXPECT_THROW(stars::merge_databases({dir.file("a.stars"), dir.file("none.stars")},
                                      dir.file("m.stars"), stars::WriterOptions()),
               stars::CatalogError);
}
