#include "osapi/osapi.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <functional>
#include <string>

namespace {

struct TempDir {
  TempDir() {
    char tmpl[] = "/tmp/vantrel-osapi-XXXXXX";
    path = mkdtemp(tmpl);
  }
  ~TempDir() { std::system(("rm -rf '" + path + "'").c_str()); }
  std::string path;
};

std::string message_of(const std::function<void()>& f) {
  try {
    f();
  } catch (const StrXception& e) {
    return e.message.c_str();
  }
  return "(nothing raised)";
}

}  // namespace

TEST(OSAPI, WriteReadSeekRoundTrip) {
  TempDir dir;
  std::string path = dir.path + "/file.bin";
  {
    OSAPI::FileHandle f = OSAPI::open_file_or_die(path.c_str(), OSAPI::OPEN_WRITE);
    EXPECT_EQ(OSAPI::write_file(f, "hello, sky", 10), 10);
    OSAPI::close(f);
    EXPECT_FALSE(f.valid());
    OSAPI::close(f);  // closing twice is harmless
  }
  OSAPI::FileHandle f = OSAPI::open_file_or_die(path.c_str(), OSAPI::OPEN_READ);
  OSAPI::FileInput in(f);
  BufferedInput buffered(in, 4096);
  EXPECT_STREQ(buffered.readline().c_str(), "hello, sky");
  EXPECT_EQ(in.tell(), 10);
  EXPECT_EQ(in.seek(7), 7);
  char buf[3];
  EXPECT_EQ(in.read(buf, 3), 3);
  EXPECT_EQ(std::string(buf, 3), "sky");
  EXPECT_EQ(in.skip(-5), 5);
  EXPECT_EQ(OSAPI::read_file(f, buf, 3), 3);
  EXPECT_EQ(std::string(buf, 3), ", s");

  // OPEN_NEW_ONLY refuses an existing file; OPEN_WRITE alone truncates it.
  EXPECT_FALSE(OSAPI::open_file(path.c_str(), OSAPI::OPEN_WRITE | OSAPI::OPEN_NEW_ONLY).valid());
  EXPECT_FALSE(OSAPI::open_file(path.c_str(), 0).valid());
  {
    OSAPI::FileHandle again = OSAPI::open_file_or_die(path.c_str(), OSAPI::OPEN_WRITE);
    EXPECT_EQ(OSAPI::write_file(again, "dim", 3), 3);
  }
  OSAPI::FileHandle shorter = OSAPI::open_file_or_die(path.c_str(), OSAPI::OPEN_READ);
  char all[16];
  EXPECT_EQ(OSAPI::read_file(shorter, all, sizeof all), 3);

  // A rename replaces the file whole; removing it leaves nothing.
  const std::string other = dir.path + "/other.bin";
  { OSAPI::FileHandle o = OSAPI::open_file_or_die(other.c_str(), OSAPI::OPEN_WRITE); }
  OSAPI::rename_file(other.c_str(), path.c_str());
  EXPECT_FALSE(OSAPI::remove_file(other.c_str()));
  EXPECT_TRUE(OSAPI::remove_file(path.c_str()));
  EXPECT_FALSE(OSAPI::open_file(path.c_str(), OSAPI::OPEN_READ).valid());
}

TEST(OSAPI, FailuresNameTheCallAndPath) {
  TempDir dir;
  std::string missing = dir.path + "/100% missing.ini";
  std::string m = message_of([&] { OSAPI::open_file_or_die(missing.c_str(), OSAPI::OPEN_READ); });
  std::string expected = "CreateFile: " + missing + "\n(\"No such file or directory\") in <";
  EXPECT_EQ(m.rfind(expected, 0), 0u) << m;
  EXPECT_NE(m.find("die_win32(const char*, const char*)"), std::string::npos) << m;
  EXPECT_NE(m.find("(osapi/osapi-posix.cpp:"), std::string::npos) << m;

  std::string path = dir.path + "/readonly.txt";
  { OSAPI::FileHandle w = OSAPI::open_file_or_die(path.c_str(), OSAPI::OPEN_WRITE); }
  OSAPI::FileHandle r = OSAPI::open_file_or_die(path.c_str(), OSAPI::OPEN_READ);
  m = message_of([&] { OSAPI::write_file(r, "x", 1); });
  // Without a detail the line break follows the colon directly.
  EXPECT_EQ(m.rfind("WriteFile:\n(\"Bad file descriptor\") in <", 0), 0u) << m;

  OSAPI::FileHandle w = OSAPI::open_file_or_die(path.c_str(), OSAPI::OPEN_WRITE);
  char c;
  m = message_of([&] { OSAPI::read_file(w, &c, 1); });
  EXPECT_EQ(m.rfind("ReadFile:\n(", 0), 0u) << m;

  m = message_of(
      [&] { OSAPI::open_file_or_die((dir.path + "/no/such/dir/f").c_str(), OSAPI::OPEN_WRITE); });
  EXPECT_EQ(m.rfind("CreateFile: " + dir.path + "/no/such/dir/f\n", 0), 0u) << m;
}

TEST(OSAPI, Dirname) {
  EXPECT_STREQ(OSAPI::dirname("/opt/vantrel/vantrel64.so").c_str(), "/opt/vantrel");
  EXPECT_STREQ(OSAPI::dirname("vantrel.ini").c_str(), ".");
  EXPECT_STREQ(OSAPI::dirname("/vantrel.ini").c_str(), "/");
  EXPECT_EQ(OSAPI::dirname("").text(), nullptr);
  EXPECT_STREQ(OSAPI::dirname("a/b/").c_str(), "a/b");
  // A backslash is an ordinary character on this platform.
  EXPECT_STREQ(OSAPI::dirname("C:\\stars\\h.stars").c_str(), ".");
}

TEST(OSAPI, ClockAndModuleDirectory) {
  uint64_t t0 = OSAPI::clock_us();
  usleep(2000);
  uint64_t t1 = OSAPI::clock_us();
  EXPECT_GE(t1 - t0, 2000u);
  EXPECT_LT(t1 - t0, 10000000u);

  // The test program itself is the module holding this function.
  char exe[4096];
  ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
  ASSERT_GT(n, 0);
  exe[n] = '\0';
  EXPECT_EQ(OSAPI::module_directory(reinterpret_cast<const void*>(&OSAPI::clock_us)),
            OSAPI::dirname(exe));
}
