// vantrel-stars as a user runs it on damaged catalogues: damaged lines are
// counted and skipped, nothing damaged or empty is written, every refusal is
// one line and a non-zero exit.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

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
  write_bytes(dir.file("old.stars"), "an older database");
  write_bytes(dir.file("bad.csv"), std::string(kHeader) + "x,y,z,0,0\n");
  write_bytes(dir.file("header.csv"), kHeader);
  write_bytes(dir.file("twice.csv"), "ra_deg,dec_deg,mag,mag\n1,2,3,4\n");
  write_bytes(dir.file("good.csv"), std::string(kHeader) + "1,2,3,0,0\n");
  const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
      {{dir.file("bad.csv")},
       dir.file("bad.csv") + ": no stars to write (2 lines, 1 malformed; read as csv)"},
      {{dir.file("header.csv")},
       dir.file("header.csv") + ": no stars to write (1 lines, 0 malformed; read as csv)"},
      {{dir.file("good.csv"), "--mag-limit", "2"},
       dir.file("good.csv") +
           ": no stars to write (2 lines, 0 malformed, 1 fainter than --mag-limit; read as csv)"},
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

TEST(StarsCli, TheFormatIsGuessedFromTheNameAndSaid) {
  testing_support::TempDir dir;
  write_bytes(dir.file("Mine.CSV"), std::string(kHeader) + "1,2,3,0,0\n");
  RunResult r = stars({"convert", dir.file("Mine.CSV"), "-o", dir.file("m.stars")});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err.rfind(dir.file("Mine.CSV") +
                            ": read as csv, as its name suggests (--format names another)\n",
                        0),
            0u)
      << r.err;
  EXPECT_EQ(records(dir.file("m.stars")).size(), 1u);
  // A HYG file is CSV with its own columns: its name tells it apart.
  write_bytes(dir.file("hygdata_v3.csv"), std::string(kHeader) + "1,2,3,0,0\n");
  r = stars({"convert", dir.file("hygdata_v3.csv"), "-o", dir.file("h.stars")});
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(r.err.find("read as hyg, as its name suggests") != std::string::npos) << r.err;
  // Format names in any case; every line refused says how it was read.
  write_bytes(dir.file("stars.dat"), std::string(kHeader) + "1,2,3,0,0\n");
  r = stars({"convert", dir.file("stars.dat"), "--format", "CSV", "-o", dir.file("d.stars")});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err.find("as its name suggests"), std::string::npos) << r.err;
  r = stars({"convert", dir.file("stars.dat"), "-o", dir.file("k.stars")});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("read as kstars, as its name suggests"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("malformed; read as kstars)\n"), std::string::npos) << r.err;
  // A name that suggests nothing is asked about.
  write_bytes(dir.file("catalogue.txt"), std::string(kHeader) + "1,2,3,0,0\n");
  r = stars({"convert", dir.file("catalogue.txt"), "-o", dir.file("t.stars")});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "vantrel-stars: cannot tell the catalogue format of " +
                       dir.file("catalogue.txt") +
                       " from its name: name it with --format kstars, hyg or csv\n");
  EXPECT_NE(access(dir.file("t.stars").c_str(), F_OK), 0);
}
