// The atomic writer: a file is replaced whole or not at all. Each step is
// made to fail for real (root included): the open, a write, the flush to the
// disk and the rename; every time the old file stays whole, no temporary is
// left behind, and the error names the file.
#include "host/core/files.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <set>
#include <string>

#include "testsupport/test_support.h"

namespace {

std::set<std::string> entries(const std::string& folder) {
  std::set<std::string> names;
  for (const auto& e : std::filesystem::directory_iterator(folder))
    names.insert(e.path().filename().string());
  return names;
}

// The message write_file_atomically throws for path, or "" when it writes.
std::string write_error(const std::string& path, const std::string& bytes) {
  try {
    host::write_file_atomically(path, bytes);
    return "";
  } catch (const host::FileError& e) {
    return e.what();
  }
}

}  // namespace

TEST(AtomicWrite, EachFailingStepKeepsTheOldFile) {
  testing_support::TempDir dir;
  const std::string path = dir.file("frame.png"), tmp = host::temporary_name(path);
  ASSERT_EQ(write_error(path, "old"), "");
  ASSERT_EQ(write_error(path, "previous"), "");  // replaced
  EXPECT_EQ(host::read_file(path, 100), "previous");
  const std::set<std::string> just_it = {"frame.png"};
  EXPECT_EQ(entries(dir.path), just_it);

  struct Step {
    const char* what;
    std::function<void()> arrange, undo;
    std::string bytes, reason;
  };
  rlimit before{};
  getrlimit(RLIMIT_FSIZE, &before);
  const Step steps[] = {
      // The temporary's name is a folder.
      {"open", [&] { mkdir(tmp.c_str(), 0777); }, [&] { rmdir(tmp.c_str()); }, "new",
       "Is a directory"},
      // The disk is full: the temporary is the device that is always full.
      {"write", [&] { ASSERT_EQ(symlink("/dev/full", tmp.c_str()), 0); }, [] {}, "new",
       "No space left on device"},
      // A file larger than the process may write: the first write goes
      // through in part, the next fails.
      {"write in part",
       [&] {
         signal(SIGXFSZ, SIG_IGN);
         const rlimit small{4096, before.rlim_max};
         ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
       },
       [&] {
         setrlimit(RLIMIT_FSIZE, &before);
         signal(SIGXFSZ, SIG_DFL);
       },
       std::string(10000, 'n'), "File too large"},
      // Writes are taken, but nothing reaches a disk: the flush fails.
      {"flush", [&] { ASSERT_EQ(symlink("/dev/null", tmp.c_str()), 0); }, [] {}, "new",
       "Invalid argument"},
  };
  for (const Step& s : steps) {
    s.arrange();
    const std::string error = write_error(path, s.bytes);
    s.undo();
    EXPECT_EQ(error, "cannot write " + path + ": " + s.reason) << s.what;
    EXPECT_EQ(host::read_file(path, 100), "previous") << s.what;
    EXPECT_EQ(entries(dir.path), just_it) << s.what;
  }

  // The rename fails: the name is a folder that holds a file.
  const std::string folder = dir.file("taken");
  ASSERT_EQ(mkdir(folder.c_str(), 0777), 0);
  testing_support::write_bytes(folder + "/inside", "kept");
  EXPECT_EQ(write_error(folder, "new"), "cannot write " + folder + ": Is a directory");
  EXPECT_EQ(host::read_file(folder + "/inside", 100), "kept");
  EXPECT_EQ(entries(dir.path), (std::set<std::string>{"frame.png", "taken"}));
  // A path through a regular file: nothing made anywhere.
  EXPECT_EQ(write_error(path + "/x", "new"), "cannot write " + path + "/x: Not a directory");
  EXPECT_EQ(host::read_file(path, 100), "previous");
}
