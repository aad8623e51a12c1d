// vantrel-stars as a user runs it on damaged catalogues: damaged lines are
// counted and skipped, nothing damaged or empty is written, every refusal is
// one line and a non-zero exit.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

#include <zlib.h>

#include "testsupport/test_support.h"

namespace {

using testing_support::read_bytes;
using testing_support::RunOptions;
using testing_support::RunResult;
using testing_support::write_bytes;

// Runs vantrel-stars (or the program VANTREL_TEST_STARS names, to try these
// tests on another build).
RunResult stars(const std::vector<std::string>& args) {
  RunOptions o;
  o.timeout_seconds = 60;
  const char* other = getenv("VANTREL_TEST_STARS");
  return testing_support::run_program(other ? other : VANTREL_STARS_PATH, args, o);
}

struct Record {
  double ra, dec;
  float brightness;
};

std::vector<Record> records(const std::string& path) {
  const std::string bytes = read_bytes(path);
  std::vector<Record> out;
  for (size_t at = 32; at + 32 <= bytes.size(); at += 32) {
    Record r;
    memcpy(&r.ra, &bytes[at], 8);
    memcpy(&r.dec, &bytes[at + 8], 8);
    memcpy(&r.brightness, &bytes[at + 16], 4);
    out.push_back(r);
  }
  return out;
}

const char* kHeader = "ra_deg,dec_deg,mag,pmra_mas,pmdec_mas\n";

std::string gzip(const std::string& path, const std::string& text) {
  gzFile f = gzopen(path.c_str(), "wb");
  gzwrite(f, text.data(), static_cast<unsigned>(text.size()));
  gzclose(f);
  return path;
}

// The last line of a program's messages: the verdict, after any skipped lines.
std::string last_line(const std::string& err) {
  const size_t end = err.size() > 1 ? err.rfind('\n', err.size() - 2) : std::string::npos;
  return end == std::string::npos ? err : err.substr(end + 1);
}

}  // namespace

TEST(StarsCli, DamagedValuesAreSkippedNotWritten) {
  testing_support::TempDir dir;
  write_bytes(dir.file("c.csv"), std::string(kHeader) +
                                     "10,20,3,0,0\n"
                                     "11,21,1000,0,0\n"
                                     "12,22,-1000,0,0\n"
                                     "13,23,1e308,0,0\n"
                                     "14,24,2,1e9,0\n" +
                                     std::string("15,25,1\0"
                                                 "2,0,0\n",
                                                 13));
  const RunResult r =
      stars({"convert", dir.file("c.csv"), "--format", "csv", "-o", dir.file("c.stars")});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.err.find("skipped 5 malformed lines"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("line 3: magnitude 1000 outside -30 to 40"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("line 6: proper motion in RA (mas/yr) 1e+09 outside"), std::string::npos)
      << r.err;
  EXPECT_NE(r.err.find("line 7: bad mag '1\\x002'\n"), std::string::npos) << r.err;
  const std::vector<Record> written = records(dir.file("c.stars"));
  ASSERT_EQ(written.size(), 1u);
  EXPECT_FLOAT_EQ(written[0].brightness, static_cast<float>(std::pow(10.0, -1.2)));
}

TEST(StarsCli, ProperMotionKeepsStarsOnTheSphereAtAnyEpoch) {
  testing_support::TempDir dir;
  // Ten arc seconds a year north for 100000 years: 278 degrees, over the pole and on.
  std::string csv = kHeader;
  for (int i = 0; i < 30; ++i)
    csv += std::to_string(i * 12) + "," + std::to_string(-87 + 6 * i) + ",5,3000," +
           std::to_string(10000 - 700 * i) + "\n";
  write_bytes(dir.file("m.csv"), csv);
  for (const char* epoch : {"102000", "-98000", "2500"}) {
    const RunResult r = stars({"convert", dir.file("m.csv"), "--format", "csv", "--epoch", epoch,
                               "-o", dir.file("m.stars")});
    EXPECT_EQ(r.status, 0) << r.err;
    const std::vector<Record> written = records(dir.file("m.stars"));
    ASSERT_EQ(written.size(), 30u);
    for (const Record& s : written) {
      EXPECT_GE(s.dec, -90.0) << epoch;
      EXPECT_LE(s.dec, 90.0) << epoch;
      EXPECT_GE(s.ra, 0.0) << epoch;
      EXPECT_LT(s.ra, 360.0) << epoch;
    }
  }
}

TEST(StarsCli, NothingToWriteOrBadOptionsAreRefused) {
  testing_support::TempDir dir;
  const std::string kReadAsCsv = "read as csv, --format names another)";
  write_bytes(dir.file("old.stars"), "an older database");
  write_bytes(dir.file("bad.csv"), std::string(kHeader) + "x,y,z,0,0\n");
  write_bytes(dir.file("header.csv"), kHeader);
  write_bytes(dir.file("twice.csv"), "ra_deg,dec_deg,mag,mag\n1,2,3,4\n");
  write_bytes(dir.file("good.csv"), std::string(kHeader) + "1,2,3,0,0\n");
  const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
      {{dir.file("bad.csv")},
       dir.file("bad.csv") + ": no stars to write (2 lines, 1 malformed; " + kReadAsCsv},
      {{dir.file("header.csv")},
       dir.file("header.csv") + ": no stars to write (1 lines, 0 malformed; " + kReadAsCsv},
      {{dir.file("good.csv"), "--mag-limit", "2"},
       dir.file("good.csv") +
           ": no stars to write (2 lines, 0 malformed, 1 fainter than --mag-limit; " + kReadAsCsv},
      {{dir.file("twice.csv")},
       dir.file("twice.csv") + ": line 1: the header names the column 'mag' twice"},
      {{dir.file("good.csv"), "--epoch", "inf"},
       "--epoch expects a year within 100000 years of the catalogue's 2000"},
      {{dir.file("good.csv"), "--mag-limit", "nan"}, "--mag-limit expects a magnitude"},
      {{"/dev/zero"}, "cannot read /dev/zero: a device, not a regular file"},
      {{dir.path}, "cannot read " + dir.path + ": a directory, not a regular file"},
  };
  for (const auto& [args, message] : cases) {
    std::vector<std::string> all = {"convert", "--format", "csv", "-o", dir.file("old.stars")};
    all.insert(all.end(), args.begin(), args.end());
    const RunResult r = stars(all);
    EXPECT_EQ(r.status, 1) << message;
    EXPECT_EQ(last_line(r.err), "vantrel-stars: " + message + "\n");
    EXPECT_EQ(read_bytes(dir.file("old.stars")), "an older database");
  }
  const RunResult info = stars({"info", "/dev/zero"});
  EXPECT_EQ(info.status, 1);
  EXPECT_EQ(info.err, "vantrel-stars: cannot read /dev/zero: a device, not a regular file\n");
}

namespace {

// A Tycho-2 main-catalogue record of a star with both magnitudes: 206 bytes,
// fields right-aligned in their 1-based byte columns, '|' after each.
std::string tycho2_record(const std::string& ra, const std::string& dec) {
  std::string t(206, ' ');
  for (int bar : {13,  15,  28,  41,  49,  57,  61,  65,  71,  77,  85,  93,  96,  100, 104, 108,
                  110, 117, 123, 130, 136, 140, 142, 152, 165, 178, 183, 188, 194, 200, 202})
    t[bar - 1] = '|';
  auto put = [&](int first, int last, const std::string& v) {
    const size_t width = static_cast<size_t>(last - first + 1);
    t.replace(static_cast<size_t>(first - 1), width, std::string(width - v.size(), ' ') + v);
  };
  put(1, 4, "0001"), put(6, 10, "00008"), put(12, 12, "1");
  put(16, 27, ra), put(29, 40, dec), put(42, 48, "0.0"), put(50, 56, "0.0");
  put(111, 116, "9.50"), put(124, 129, "9.00");
  return t + "\n";
}

}  // namespace

// Without --format the inputs' names (and first lines) choose, and the choice
// is said; a file no line of which reads that way says how it was read.
TEST(StarsCli, WithoutAFormatTheInputsChooseOneAndSaySo) {
  testing_support::TempDir dir;
  write_bytes(dir.file("old.stars"), "an older database");
  const std::string tycho = tycho2_record("10.0", "20.0") + tycho2_record("30.0", "-40.0");
  write_bytes(dir.file("tyc2.dat.00"), tycho);
  gzip(dir.file("tyc2.dat.01.gz"), tycho2_record("50.0", "60.0"));
  write_bytes(dir.file("result.CSV"),
              "# from the archive\nra,dec,phot_g_mean_mag,bp_rp\n1,2,7,0.8\n");
  write_bytes(dir.file("plain.csv"), std::string(kHeader) + "1,2,3,0,0\n4,5,6,0,0\n");
  write_bytes(dir.file("hygdata_v3.csv"), "id,ra,dec,mag,ci\n1,1.5,20,4,0.5\n");
  write_bytes(dir.file("stars.dat"),
              "# KStars\n064508.92 -164258.0 -000546.0-001223.100379.2 -1.4400.01A0 1\n");
  struct Case {
    std::vector<std::string> inputs;
    const char* said;
    size_t written;
  };
  const std::vector<Case> read = {
      {{dir.file("tyc2.dat.00"), dir.file("tyc2.dat.01.gz")}, "the inputs: read as tycho2", 3},
      {{dir.file("result.CSV")}, "result.CSV: read as gaia", 1},
      {{dir.file("plain.csv")}, "plain.csv: read as csv", 2},
      {{dir.file("hygdata_v3.csv")}, "hygdata_v3.csv: read as hyg", 1},
      {{dir.file("stars.dat")}, "stars.dat: read as kstars", 1},
  };
  for (const Case& c : read) {
    std::vector<std::string> args = {"convert", "-o", dir.file("new.stars")};
    args.insert(args.end(), c.inputs.begin(), c.inputs.end());
    const RunResult r = stars(args);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.err.find(std::string(c.said) + " (--format names another)\n"), std::string::npos)
        << r.err;
    EXPECT_EQ(records(dir.file("new.stars")).size(), c.written) << c.said;
  }
  // Format names in any case; a named format is not guessed.
  RunResult r = stars(
      {"convert", dir.file("tyc2.dat.00"), "--format", "Tycho2", "-o", dir.file("new.stars")});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err.find("read as"), std::string::npos) << r.err;
  EXPECT_EQ(records(dir.file("new.stars")).size(), 2u);

  // The rest read as KStars' stars.dat: a file of Tycho-2 records by another
  // name has no line of that layout, and nothing is written.
  write_bytes(dir.file("tycho.txt"), tycho);
  write_bytes(dir.file("wrong.csv"), "name,x\nVega,1\n");
  const std::vector<std::pair<std::vector<std::string>, std::string>> refused = {
      {{dir.file("tycho.txt")},
       dir.file("tycho.txt") + ": no stars to write (2 lines, 2 malformed; read as kstars, "
                               "--format names another)"},
      {{dir.file("wrong.csv")},
       dir.file("wrong.csv") + ": line 1: the header has no column 'ra' (read as gaia, "
                               "--format names another)"},
      {{dir.file("plain.csv"), dir.file("stars.dat")},
       dir.file("plain.csv") + " reads as csv, " + dir.file("stars.dat") +
           " as kstars: convert them one at a time, or name the format with --format"},
  };
  for (const auto& [inputs, message] : refused) {
    std::vector<std::string> args = {"convert", "-o", dir.file("old.stars")};
    args.insert(args.end(), inputs.begin(), inputs.end());
    r = stars(args);
    EXPECT_EQ(r.status, 1) << message;
    EXPECT_EQ(last_line(r.err), "vantrel-stars: " + message + "\n");
    EXPECT_EQ(read_bytes(dir.file("old.stars")), "an older database");
  }
}

TEST(StarsCli, CrLineEndsAndAByteOrderMarkAreRead) {
  testing_support::TempDir dir;
  write_bytes(dir.file("cr.csv"), "\xEF\xBB\xBFra_deg,dec_deg,mag\r1,2,3\r4,5,6\r");
  write_bytes(dir.file("crlf.csv"), "\xEF\xBB\xBFra_deg,dec_deg,mag\r\n1,2,3\r\n4,5,6\r\n");
  for (const char* name : {"cr.csv", "crlf.csv"}) {
    const RunResult r =
        stars({"convert", dir.file(name), "--format", "csv", "-o", dir.file("x.stars")});
    EXPECT_EQ(r.status, 0) << r.err;
    const std::vector<Record> written = records(dir.file("x.stars"));
    ASSERT_EQ(written.size(), 2u) << name;
    EXPECT_EQ(written[1].ra, 4.0);
    EXPECT_EQ(written[1].dec, 5.0);
  }
}

TEST(StarsCli, SeveralInputsPlainAndGzipMakeOneIndexedDatabase) {
  testing_support::TempDir dir;
  // A Gaia excerpt in two parts, one compressed; positions at 2016.0 come
  // back to 2000 along their motion unless --epoch says otherwise.
  const std::string header = "ra,dec,pmra,pmdec,phot_g_mean_mag,bp_rp,ref_epoch\n";
  const std::string a = gzip(dir.file("a.csv.gz"), "# part 1\n" + header +
                                                       "10.0,20.0,0,90000,6.0,0.8,2016.0\n"
                                                       "11.0,21.0,0,0,7.0,,2016.0\r\n");
  write_bytes(dir.file("b.csv"), header + "200.0,-40.0,0,0,8.0,1.5,2016.0\n");
  RunResult r =
      stars({"convert", a, dir.file("b.csv"), "--format", "gaia", "-o", dir.file("g.stars")});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.err.find("1 stars without a colour"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("3 stars (of 3 read) as VANTREL1"), std::string::npos) << r.err;
  std::vector<Record> written = records(dir.file("g.stars"));
  ASSERT_EQ(written.size(), 3u);
  bool moved = false;
  for (const Record& s : written)
    moved = moved || std::fabs(s.dec - 19.6) < 1e-9;  // 90"/yr for 16 years
  EXPECT_TRUE(moved);
  r = stars({"convert", a, "--format", "gaia", "--epoch", "2016", "-o", dir.file("g.stars")});
  ASSERT_EQ(r.status, 0) << r.err;
  written = records(dir.file("g.stars"));
  ASSERT_EQ(written.size(), 2u);
  EXPECT_TRUE(written[0].dec == 20.0 || written[1].dec == 20.0);
  r = stars({"info", dir.file("g.stars")});
  EXPECT_NE(r.out.find("order:       by cell, level 0; index of 1 cells"), std::string::npos)
      << r.out;

  // A compressed file cut short is refused, naming it; the database stays.
  const std::string whole = read_bytes(a);
  write_bytes(dir.file("cut.csv.gz"), whole.substr(0, whole.size() - 12));
  const std::string before = read_bytes(dir.file("g.stars"));
  r = stars({"convert", dir.file("cut.csv.gz"), "--format", "gaia", "-o", dir.file("g.stars")});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("vantrel-stars: " + dir.file("cut.csv.gz") + ": cannot read " +
                       dir.file("cut.csv.gz") + ": damaged gzip data"),
            std::string::npos)
      << r.err;
  EXPECT_EQ(read_bytes(dir.file("g.stars")), before);
}

TEST(StarsCli, IndexInPlaceAndADamagedIndexReported) {
  testing_support::TempDir dir;
  // An old database in the order it was written, without an index.
  std::string db("VANTREL1", 8);
  db += std::string(24, '\0');
  for (int i = 0; i < 50; ++i) {
    unsigned char rec[32] = {};
    const double ra = i * 7.1, dec = 80 - i * 3.2;
    const float b = 0.001f * static_cast<float>(i + 1);
    memcpy(rec, &ra, 8);
    memcpy(rec + 8, &dec, 8);
    memcpy(rec + 16, &b, 4);
    db.append(reinterpret_cast<const char*>(rec), 32);
  }
  write_bytes(dir.file("old.stars"), db);
  EXPECT_NE(stars({"info", dir.file("old.stars")}).out.find("as written (no cell index)"),
            std::string::npos);
  RunResult r = stars({"index", dir.file("old.stars")});
  ASSERT_EQ(r.status, 0) << r.err;
  const std::string ordered = read_bytes(dir.file("old.stars"));
  EXPECT_EQ(ordered.size(), db.size());
  EXPECT_NE(ordered, db);
  EXPECT_NE(stars({"info", dir.file("old.stars")}).out.find("index of"), std::string::npos);
  std::string side = read_bytes(dir.file("old.stars.cells"));
  side[100] ^= 4;
  write_bytes(dir.file("old.stars.cells"), side);
  r = stars({"info", dir.file("old.stars")});
  EXPECT_NE(
      r.out.find("index NOT usable: " + dir.file("old.stars.cells") + ": the index is damaged"),
      std::string::npos)
      << r.out;
  // A damaged database is refused and left as it is.
  write_bytes(dir.file("cut.stars"), db.substr(0, db.size() - 5));
  r = stars({"index", dir.file("cut.stars")});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "vantrel-stars: " + dir.file("cut.stars") +
                       ": 27 bytes of a partial record at the end (a damaged database)\n");
  EXPECT_EQ(read_bytes(dir.file("cut.stars")), db.substr(0, db.size() - 5));
  r = stars({"synth", "--stars", "0", "-o", dir.file("s.stars")});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "vantrel-stars: --stars expects a positive number of stars\n");
}

TEST(StarsCli, AnInterruptOrAFullDiskLeavesTheOldDatabaseAndNoTemporaries) {
  testing_support::TempDir dir;
  write_bytes(dir.file("sky.stars"), "the old database");
  auto only_the_old_one = [&] {
    int files = 0;
    for (const auto& e : std::filesystem::directory_iterator(dir.path)) ++files, (void)e;
    EXPECT_EQ(files, 1);
    EXPECT_EQ(read_bytes(dir.file("sky.stars")), "the old database");
  };
  // Sorted runs on the disk are under way when the signal comes.
  RunOptions o = testing_support::interrupt_after("synthetic stars", 120);
  RunResult r = testing_support::run_program(
      VANTREL_STARS_PATH,
      {"synth", "--stars", "20000000", "-o", dir.file("sky.stars"), "--run-stars", "100000"}, o);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(last_line(r.err), "vantrel-stars: interrupted: nothing written\n");
  only_the_old_one();
  // A file may grow to a megabyte: the database's writes fail part way.
  RunOptions small;
  small.file_size_limit = 1 << 20;
  r = testing_support::run_program(
      VANTREL_STARS_PATH, {"synth", "--stars", "100000", "-o", dir.file("sky.stars")}, small);
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("vantrel-stars: cannot write " + dir.file("sky.stars") + ": File too large"),
            std::string::npos)
      << r.err;
  only_the_old_one();
}
