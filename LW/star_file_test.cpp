#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "LW/module_state.h"
#include "LW/star_file.h"
#include "testsupport/test_harness.h"

namespace {

using testing_support::TempDir;

// The plug-in reads files only through the host's "File IO 2".
struct WithHost {
  WithHost() {
    h.echo_messages = false;
    vantrel_module.host.fileio = static_cast<const VHFileIOFuncs*>(h.global(VH_FILE_IO));
  }
  ~WithHost() { reset_vantrel_module(); }
  host::Host h;
};

std::string record(double ra, double dec, float brightness, int fill) {
  std::string r(32, static_cast<char>(fill));
  memcpy(&r[0], &ra, 8);
  memcpy(&r[8], &dec, 8);
  memcpy(&r[16], &brightness, 4);
  return r;
}

}  // namespace

TEST(StarFile, MagicTest) {
  WithHost w;
  TempDir dir;
  auto check = [&](const std::string& bytes, bool& v2) {
    testing_support::write_bytes(dir.file("db.stars"), bytes);
    return star_file_check(dir.file("db.stars").c_str(), &v2);
  };
  const std::string pad(24, '\0');
  bool v2 = true;
  EXPECT_FALSE(check("", v2));
  EXPECT_FALSE(v2);
  v2 = true;
  EXPECT_FALSE(check("VANTREL2" + std::string(20, '\0'), v2));  // 28 bytes: short
  EXPECT_FALSE(v2);
  EXPECT_TRUE(check("VANTREL1" + pad, v2));
  EXPECT_FALSE(v2);
  EXPECT_TRUE(check("VANTREL2" + pad + record(1, 2, 3, 0), v2));
  EXPECT_TRUE(v2);
  EXPECT_FALSE(check("VANTREL3" + pad, v2));
  EXPECT_FALSE(check("vantrel2" + pad, v2));
  EXPECT_FALSE(check("Vantrel1" + pad, v2));
  EXPECT_TRUE(check("VANTREL1" + pad, v2));
  EXPECT_TRUE(star_file_check(dir.file("db.stars").c_str()));  // no place for the answer

  // A file that cannot be opened: false, and the answer's place untouched.
  v2 = true;
  EXPECT_FALSE(star_file_check(dir.file("missing.stars").c_str(), &v2));
  EXPECT_TRUE(v2);
  EXPECT_FALSE(star_file_check("", &v2));
}

TEST(StarFile, ReadsWholeFileWithPartialLastRecord) {
  WithHost w;
  TempDir dir;
  std::string bytes = "VANTREL2" + std::string(24, '\0');
  for (int i = 0; i < 100; ++i) bytes += record(i, -i, 0.5f * i, i);
  bytes += "0123456789";  // ten bytes of a partial record
  testing_support::write_bytes(dir.file("db.stars"), bytes);

  LWStarFile db(dir.file("db.stars").c_str());
  EXPECT_EQ(db.record_count, 102u);
  EXPECT_EQ(db.path, String(dir.file("db.stars").c_str()));
  EXPECT_EQ(db.version(), 2);  // what the renderer asks to know whether to read distances
  EXPECT_EQ(0, memcmp(db.next(), "VANTREL2", 8));
  for (int i = 0; i < 100; ++i) {
    const unsigned char* r = db.next();
    double ra;
    memcpy(&ra, r, 8);
    ASSERT_EQ(ra, i);
    ASSERT_EQ(r[31], i);
  }
  const unsigned char* last = db.next();
  EXPECT_EQ(0, memcmp(last, "0123456789", 10));
  for (int k = 10; k < 32; ++k) EXPECT_EQ(last[k], 0) << k;
  db.rewind();
  EXPECT_EQ(0, memcmp(db.next(), "VANTREL2", 8));

  testing_support::write_bytes(dir.file("header.stars"), "VANTREL1" + std::string(24, '\0'));
  LWStarFile header_only(dir.file("header.stars").c_str());
  EXPECT_EQ(header_only.record_count, 1u);
  EXPECT_EQ(header_only.version(), 1);
  // Any bytes are read; the version says whether they are a star database.
  testing_support::write_bytes(dir.file("foreign.stars"), "VANTREL3" + std::string(24, '\0'));
  EXPECT_EQ(LWStarFile(dir.file("foreign.stars").c_str()).version(), 0);
  testing_support::write_bytes(dir.file("empty.stars"), "");
  LWStarFile empty(dir.file("empty.stars").c_str());
  EXPECT_EQ(empty.record_count, 0u);
  EXPECT_EQ(empty.version(), 0);
}

TEST(StarFile, MissingFileRaises) {
  WithHost w;
  try {
    LWStarFile db("/nonexistent/hipparcos3D.stars");
    FAIL() << "opened a missing database";
  } catch (const StrXception& e) {
    const std::string m = e.message.c_str();
    EXPECT_EQ(m, "error opening star database");
    EXPECT_NE(std::string(e.where.c_str()).find("LWStarFile::LWStarFile(const char*)"),
              std::string::npos);
  }
}
