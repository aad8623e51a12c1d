// The configuration file against real files in a temporary plug-in folder.
#include <gtest/gtest.h>

#include <string>

#include "LW/config_file.h"
#include "base/map.h"
#include "testsupport/test_harness.h"

namespace {

using harness::StaticPlugin;
using testing_support::read_bytes;
using testing_support::write_bytes;

std::string defaults_file(const std::string& star_file) {
  return "VantrelVersion 1\r\n" +
         (star_file.empty() ? "" : "DefaultStarFile \"" + star_file + "\"\r\n") +
         "DialogX -9999\r\nDialogY -9999\r\n";
}

// Loads the file as given; returns what was written to the standard error stream.
std::string load(const StaticPlugin& p, const std::string* contents) {
  if (contents) write_bytes(p.in_folder("vantrel.ini"), *contents);
  testing::internal::CaptureStderr();
  load_vantrel_ini();
  return testing::internal::GetCapturedStderr();
}

}  // namespace

TEST(VantrelIni, NoFileWritesTheDefaults) {
  {
    StaticPlugin p;
    EXPECT_EQ(vantrel_ini_path(), String(p.in_folder("vantrel.ini").c_str()));
    EXPECT_EQ(load(p, nullptr), "");
    EXPECT_EQ(read_bytes(p.in_folder("vantrel.ini")), defaults_file(""));
    EXPECT_TRUE(vantrel_module.default_star_file.empty());
    EXPECT_EQ(vantrel_module.dialog_x, -9999);
    EXPECT_EQ(vantrel_module.enable_auto_update, 1);
  }
  // With the default database beside the plug-in, the defaults name it.
  StaticPlugin p;
  const std::string db = p.in_folder("hipparcos3D.stars");
  harness::write_db(p.host, db, {harness::ahead(0, 0)});
  load(p, nullptr);
  EXPECT_EQ(read_bytes(p.in_folder("vantrel.ini")), defaults_file(db));
  EXPECT_EQ(vantrel_module.default_star_file, String(db.c_str()));
  EXPECT_TRUE(vantrel_module.default_star_file_3d);
  bool v2 = false;
  EXPECT_EQ(default_star_file_path(&v2), String(db.c_str()));
  EXPECT_TRUE(v2);
}

TEST(VantrelIni, VersionLineOnlyAndWrongVersions) {
  StaticPlugin p;
  const std::string ini = p.in_folder("vantrel.ini");
  const std::string only = "VantrelVersion 1\r\n";
  EXPECT_EQ(load(p, &only), "");
  EXPECT_EQ(read_bytes(ini), only);  // a good file is not rewritten
  EXPECT_EQ(vantrel_module.dialog_x, -9999);
  EXPECT_EQ(vantrel_module.dialog_y, -9999);
  EXPECT_EQ(vantrel_module.enable_auto_update, 1);
  // A byte-order mark that an editor put first is no part of the key.
  const std::string bom = "\xEF\xBB\xBFVantrelVersion 1\r\nDialogX 8\r\n";
  EXPECT_EQ(load(p, &bom), "");
  EXPECT_EQ(vantrel_module.dialog_x, 8);
  // Another version's file, or one without a version, is read as the
  // defaults and kept as it is: neither the load nor a later save replaces it.
  for (const std::string foreign : {"VantrelVersion 2\r\nDialogX 5\r\n", "DialogX 5\r\n"}) {
    const std::string err = load(p, &foreign);
    EXPECT_EQ(err, "warning: Vantrel: " + ini +
                       " has no \"VantrelVersion 1\" line; using the defaults and leaving the "
                       "file as it is\n");
    EXPECT_EQ(read_bytes(ini), foreign);
    EXPECT_EQ(vantrel_module.dialog_x, -9999);
    testing::internal::CaptureStderr();
    save_vantrel_ini();
    EXPECT_NE(testing::internal::GetCapturedStderr().find("is left as it is"), std::string::npos);
    EXPECT_EQ(read_bytes(ini), foreign);
  }
  // An empty file holds nothing to keep: it gets the defaults.
  const std::string empty;
  EXPECT_EQ(load(p, &empty), "");
  EXPECT_EQ(read_bytes(ini), defaults_file(""));
}

// Every write is whole: a temporary file beside the real one, renamed over
// it, and a value that would not read back is never written.
TEST(VantrelIni, WritesAreWholeAndReadBack) {
  StaticPlugin p;
  const std::string ini = p.in_folder("vantrel.ini");
  load(p, nullptr);
  vantrel_module.dialog_x = 42;
  save_vantrel_ini();
  EXPECT_NE(read_bytes(ini).find("DialogX 42\r\n"), std::string::npos);
  const std::string good = read_bytes(ini);
  for (const char* bad : {"my \"best\" stars.stars", "two\nlines.stars"}) {
    vantrel_module.default_star_file = p.in_folder(bad).c_str();
    testing::internal::CaptureStderr();
    save_vantrel_ini();
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("warning: Vantrel: the star database path " + p.in_folder(bad) +
                       " cannot be kept in " + ini),
              std::string::npos)
        << err;
    EXPECT_EQ(read_bytes(ini), good);
  }
  // Nothing but the file itself is left in the folder.
  const std::string listing = p.dir.file("listing.txt");
  std::system(("ls -A '" + p.folder() + "' > '" + listing + "'").c_str());
  EXPECT_EQ(read_bytes(listing).find("tmp"), std::string::npos) << read_bytes(listing);
}

TEST(VantrelIni, PairsQuotesAndLineEnds) {
  StaticPlugin p;
  const std::string db = p.in_folder("my stars/a b.stars");
  testing_support::make_dirs(p.in_folder("my stars"));
  harness::write_db(p.host, db, {harness::ahead(0, 0)}, "VANTREL1");
  const std::string one_line =
      "VantrelVersion 1 DefaultStarFile \"" + db + "\"DialogX 12abc DialogY nope\r\n";
  EXPECT_EQ(load(p, &one_line), "");
  EXPECT_EQ(vantrel_module.default_star_file, String(db.c_str()));
  EXPECT_FALSE(vantrel_module.default_star_file_3d);
  EXPECT_EQ(vantrel_module.dialog_x, 12);
  EXPECT_EQ(vantrel_module.dialog_y, 0);
  for (const char* eol : {"\n", "\r", "\r\n", "\n\r"}) {
    const std::string text = std::string("VantrelVersion 1") + eol + "DialogX \"\"" + eol +
                             "DialogY 7" + eol + "EnableAutoUpdate 5" + eol;
    EXPECT_EQ(load(p, &text), "") << eol[0];
    EXPECT_EQ(vantrel_module.dialog_x, 0);  // an empty quoted value reads 0, not the default
    EXPECT_EQ(vantrel_module.dialog_y, 7);
    EXPECT_EQ(vantrel_module.enable_auto_update, 5);
  }
  // Only 0 is ever written for the update switch; the path with spaces round-trips.
  vantrel_module.default_star_file = db.c_str();
  save_vantrel_ini();
  EXPECT_EQ(read_bytes(p.in_folder("vantrel.ini")),
            "VantrelVersion 1\r\nDefaultStarFile \"" + db + "\"\r\nDialogX 0\r\nDialogY 7\r\n");
  load(p, nullptr);
  EXPECT_EQ(vantrel_module.default_star_file, String(db.c_str()));
  vantrel_module.enable_auto_update = 0;
  save_vantrel_ini();
  EXPECT_NE(read_bytes(p.in_folder("vantrel.ini")).find("EnableAutoUpdate 0\r\n"),
            std::string::npos);
}

TEST(VantrelIni, MalformedLinesDuplicatesAndMissingDatabase) {
  StaticPlugin p;
  const std::string first = p.in_folder("first.stars"), second = p.in_folder("second.stars");
  harness::write_db(p.host, first, {});
  harness::write_db(p.host, second, {});
  const std::string text = "VantrelVersion 1\r\nDefaultStarFile \"" + first +
                           "\"\r\nDefaultStarFile \"" + second +
                           "\"\r\n# comment\r\nDialogX 3\r\nlonely\r\nDialogY 4\r\n";
  const std::string err = load(p, &text);
  EXPECT_EQ(err, "warning: Vantrel: " + p.in_folder("vantrel.ini") +
                     ":6: not a keyword and a value; the rest of the file is not read\n");
  EXPECT_EQ(vantrel_module.default_star_file, String(first.c_str()));  // the first occurrence wins
  EXPECT_EQ(vantrel_module.dialog_x, 3);      // "# comment" was an ordinary pair
  EXPECT_EQ(vantrel_module.dialog_y, -9999);  // after the fault nothing is read

  const std::string two_words = "VantrelVersion 1\r\n# two words\r\nDialogX 3\r\n";
  EXPECT_NE(load(p, &two_words).find("vantrel.ini:2: not a keyword and a value"),
            std::string::npos);
  EXPECT_EQ(vantrel_module.dialog_x, -9999);

  // A default database that is gone: the built-in one, or none.
  const std::string gone =
      "VantrelVersion 1\r\nDefaultStarFile \"" + p.in_folder("gone.stars") + "\"\r\n";
  load(p, &gone);
  EXPECT_TRUE(vantrel_module.default_star_file.empty());
  EXPECT_FALSE(vantrel_module.default_star_file_3d);
}

TEST(VantrelIni, ParseIniLine) {
  PtrMap<InString, String> map(16);
  EXPECT_TRUE(parse_ini_line(map, ""));
  EXPECT_TRUE(parse_ini_line(map, "  \t\r\n"));
  EXPECT_TRUE(parse_ini_line(map, "a 1 b \"two words\"c 3"));
  EXPECT_EQ(ini_get_string(map, "b", "x"), String("two words"));
  EXPECT_EQ(ini_get_int(map, "c", 9), 3);
  EXPECT_EQ(ini_get_int(map, "missing", 9), 9);
  EXPECT_EQ(ini_get_string(map, "missing", "fallback"), String("fallback"));
  EXPECT_FALSE(parse_ini_line(map, "key"));
  EXPECT_FALSE(parse_ini_line(map, "key   "));
  EXPECT_FALSE(parse_ini_line(map, "key \"open"));
  EXPECT_FALSE(parse_ini_line(map, "d 4 e"));
  EXPECT_EQ(ini_get_int(map, "d", 0), 4);       // pairs before the fault stay
  EXPECT_TRUE(parse_ini_line(map, "k\"ey v"));  // a quote is an ordinary byte in a key
  EXPECT_EQ(ini_get_string(map, "k\"ey", ""), String("v"));
}

TEST(VantrelIni, UnwritableAndUnreadable) {
  StaticPlugin p;
  // A folder where the file should be: it cannot be written, and nothing is said.
  testing_support::make_dirs(p.in_folder("vantrel.ini"));
  testing::internal::CaptureStderr();
  reset_vantrel_ini();
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
#ifdef _WIN32
  GTEST_SKIP() << harness::kNoReadFailure;
#endif
  // Reading it fails after the open: the failure reaches the caller.
  try {
    load_vantrel_ini();
    FAIL() << "read a folder as the configuration file";
  } catch (const StrXception& e) {
    EXPECT_EQ(std::string(e.message.c_str()).rfind("ReadFile:\n(\"Is a directory\")", 0), 0u)
        << e.message.c_str();
  }
}
