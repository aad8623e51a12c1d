#include "osapi/osapi.h"

#include <gtest/gtest.h>

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <unistd.h>

#include <cstring>
#endif

#include <functional>
#include <string>

#include "testsupport/test_support.h"

namespace {

using testing_support::TempDir;

// The message, and where it was thrown.
std::string message_of(const std::function<void()>& f, std::string* where = nullptr) {
  try {
    f();
  } catch (const StrXception& e) {
    if (where) *where = e.where.c_str();
    return e.message.c_str();
  }
  return "(nothing raised)";
}

// The system's own text for an error code, as a failure message quotes it.
#ifdef _WIN32
const char kSourceFile[] = "(osapi/osapi-win.cpp:";
constexpr int kNoFile = ERROR_FILE_NOT_FOUND, kNoFolder = ERROR_PATH_NOT_FOUND,
              kWrongAccess = ERROR_ACCESS_DENIED;
std::string system_text(int code) {
  char* text = nullptr;
  FormatMessageA(0x1300, nullptr, static_cast<DWORD>(code), 1024, reinterpret_cast<char*>(&text), 0,
                 nullptr);
  std::string s = text ? text : "";
  LocalFree(text);
  // The system's texts end in a period and a line break, which messages leave out.
  EXPECT_GE(s.size(), 3u);
  EXPECT_EQ(s.substr(s.size() - 3), ".\r\n") << s;
  return s.substr(0, s.size() - 3);
}
#else
const char kSourceFile[] = "(osapi/osapi-posix.cpp:";
constexpr int kNoFile = ENOENT, kNoFolder = ENOENT, kWrongAccess = EBADF;
std::string system_text(int code) { return strerror(code); }
#endif

std::string quoted(int code) { return "\n(\"" + system_text(code) + "\")"; }

std::string last_caption, last_text;
void capture(const char* caption, const char* text) {
  last_caption = caption;
  last_text = text;
}

}  // namespace

TEST(OSAPI, WriteReadSeekRoundTrip) {
  TempDir dir;
  std::string path = dir.file("file.bin");
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
  // Positions past 4 GiB travel in the high part.
  EXPECT_EQ(OSAPI::seek_file(f, (int64_t{1} << 32) + 5), (int64_t{1} << 32) + 5);
  EXPECT_EQ(OSAPI::skip_file(f, -(int64_t{1} << 32)), 5);
  EXPECT_EQ(OSAPI::read_file(f, buf, 3), 3);
  EXPECT_EQ(std::string(buf, 3), ", s");

  // OPEN_NEW_ONLY refuses an existing file; OPEN_WRITE alone truncates it.
  EXPECT_FALSE(OSAPI::open_file(path.c_str(), OSAPI::OPEN_WRITE | OSAPI::OPEN_NEW_ONLY).valid());
  EXPECT_FALSE(OSAPI::open_file(path.c_str(), 0).valid());
  // (Windows lets no one write a file another handle has open: close first.)
  OSAPI::close(f);
  {
    OSAPI::FileHandle again = OSAPI::open_file_or_die(path.c_str(), OSAPI::OPEN_WRITE);
    EXPECT_EQ(OSAPI::write_file(again, "dim", 3), 3);
  }
  {
    OSAPI::FileHandle shorter = OSAPI::open_file_or_die(path.c_str(), OSAPI::OPEN_READ);
    char all[16];
    EXPECT_EQ(OSAPI::read_file(shorter, all, sizeof all), 3);
  }

  // A rename replaces the file whole; removing it leaves nothing.
  const std::string other = dir.path + "/other.bin";
  { OSAPI::FileHandle o = OSAPI::open_file_or_die(other.c_str(), OSAPI::OPEN_WRITE); }
  OSAPI::rename_file(other.c_str(), path.c_str());
  EXPECT_FALSE(OSAPI::remove_file(other.c_str()));
  EXPECT_TRUE(OSAPI::remove_file(path.c_str()));
  EXPECT_FALSE(OSAPI::open_file(path.c_str(), OSAPI::OPEN_READ).valid());
}

TEST(OSAPI, FailuresNameTheCallPathAndSystemText) {
  TempDir dir;
  std::string missing = dir.file("100% missing.ini");
  std::string where;
  std::string m =
      message_of([&] { OSAPI::open_file_or_die(missing.c_str(), OSAPI::OPEN_READ); }, &where);
  EXPECT_EQ(m, "CreateFile: " + missing + quoted(kNoFile)) << m;
  EXPECT_NE(where.find("die_win32(const char*, const char*)"), std::string::npos) << where;
  EXPECT_NE(where.find(kSourceFile), std::string::npos) << where;

  std::string path = dir.file("readonly.txt");
  { OSAPI::FileHandle w = OSAPI::open_file_or_die(path.c_str(), OSAPI::OPEN_WRITE); }
  {
    OSAPI::FileHandle r = OSAPI::open_file_or_die(path.c_str(), OSAPI::OPEN_READ);
    m = message_of([&] { OSAPI::write_file(r, "x", 1); });
    // Without a detail the line break follows the colon directly.
    EXPECT_EQ(m.rfind("WriteFile:" + quoted(kWrongAccess), 0), 0u) << m;
#ifdef _WIN32
    // Files are shared for reading only: no writer while one is open.
    EXPECT_FALSE(OSAPI::open_file(path.c_str(), OSAPI::OPEN_WRITE).valid());
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
#endif
  }

  OSAPI::FileHandle w = OSAPI::open_file_or_die(path.c_str(), OSAPI::OPEN_WRITE);
  char c;
  m = message_of([&] { OSAPI::read_file(w, &c, 1); });
  EXPECT_EQ(m.rfind("ReadFile:" + quoted(kWrongAccess), 0), 0u) << m;

  m = message_of([&] { OSAPI::seek_file(w, -1); });
  EXPECT_EQ(m.rfind("SetFilePointer:\n(\"", 0), 0u) << m;

  const std::string deep = dir.file("no/such/dir/f");
  m = message_of([&] { OSAPI::open_file_or_die(deep.c_str(), OSAPI::OPEN_WRITE); });
  EXPECT_EQ(m.rfind("CreateFile: " + deep + quoted(kNoFolder), 0), 0u) << m;
}

TEST(OSAPI, FailedOpenIsReportedThroughTheSink) {
  TempDir dir;
  const std::string missing = dir.file("no stars.ini");
  const ReportSink old = set_report_sink(capture);
  try {
    OSAPI::open_file_or_die(missing.c_str(), OSAPI::OPEN_READ);
    ADD_FAILURE() << "opened a file that is not there";
  } catch (const Xception& e) {
    e.report();
  }
  set_report_sink(old);
  EXPECT_EQ(last_caption, "Error");
  EXPECT_EQ(last_text.rfind("CreateFile: " + missing + quoted(kNoFile), 0), 0u) << last_text;

#ifdef _WIN32
  // The platform's own box is a modal error box with no owner.
  ASSERT_TRUE(testing_support::capture_error_boxes(GetModuleHandleA(nullptr)));
  testing_support::BoxSeen& seen = testing_support::boxes_seen();
  seen = testing_support::BoxSeen{};
  testing::internal::CaptureStderr();
  OSAPI::message_box("Error", "text");
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "Error: text\n");
  EXPECT_EQ(seen.count, 1);
  EXPECT_EQ(seen.owner, nullptr);
  EXPECT_EQ(seen.style, static_cast<UINT>(MB_ICONERROR));
#endif
}

TEST(OSAPI, HandlesAreNotInherited) {
  TempDir dir;
  const std::string path = dir.file("f.txt");
  for (int mode : {OSAPI::OPEN_WRITE, OSAPI::OPEN_READ}) {
    OSAPI::FileHandle f = OSAPI::open_file_or_die(path.c_str(), mode);
#ifdef _WIN32
    DWORD flags = 0;
    ASSERT_TRUE(GetHandleInformation(reinterpret_cast<HANDLE>(f.native()), &flags));
    EXPECT_EQ(flags & HANDLE_FLAG_INHERIT, 0u) << "mode " << mode;
#else
    EXPECT_NE(fcntl(static_cast<int>(f.native()), F_GETFD) & FD_CLOEXEC, 0) << "mode " << mode;
#endif
  }
}

TEST(OSAPI, Dirname) {
  const char sep = OSAPI::DIR_SEPARATOR;
  const char other = sep == '/' ? '\\' : '/';
  auto p = [&](std::string s) {
    for (char& c : s)
      if (c == '|') c = sep;
    return s;
  };
  EXPECT_STREQ(OSAPI::dirname(p("C:|Program Files|Host|vantrel64.dll").c_str()).c_str(),
               p("C:|Program Files|Host").c_str());
  EXPECT_STREQ(OSAPI::dirname("vantrel.ini").c_str(), ".");
  EXPECT_STREQ(OSAPI::dirname(p("|vantrel.ini").c_str()).c_str(), "/");
  EXPECT_EQ(OSAPI::dirname("").text(), nullptr);
  EXPECT_STREQ(OSAPI::dirname(p("a|b|").c_str()).c_str(), p("a|b").c_str());
  // The other platform's separator is an ordinary character.
  EXPECT_STREQ(OSAPI::dirname((std::string("stars") + other + "h.stars").c_str()).c_str(), ".");
}

TEST(OSAPI, ClockAndModuleDirectory) {
  const uint64_t t0 = OSAPI::clock_us();
#ifdef _WIN32
  Sleep(50);
#else
  usleep(50000);
#endif
  const uint64_t t1 = OSAPI::clock_us();
  EXPECT_GE(t1 - t0, 30000u);  // tick counts may step in 10 to 16 ms
  EXPECT_LT(t1 - t0, 10000000u);

  // The test program itself is the module holding this function.
#ifdef _WIN32
  char exe[4096];
  ASSERT_GT(GetModuleFileNameA(nullptr, exe, sizeof exe), 0u);
  EXPECT_EQ(t1 % 1000, 0u);  // milliseconds
#else
  char exe[4096];
  ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
  ASSERT_GT(n, 0);
  exe[n] = '\0';
#endif
  EXPECT_EQ(OSAPI::module_directory(reinterpret_cast<const void*>(&OSAPI::clock_us)),
            OSAPI::dirname(exe));
  // An address in no module (the stack) has no directory.
  int local = 0;
  EXPECT_TRUE(OSAPI::module_directory(&local).empty());
}
