// Helpers shared by tests: a temporary folder that cleans up after itself, and
// small file utilities.
#pragma once

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

namespace testing_support {

struct TempDir {
  TempDir() {
    char tmpl[] = "/tmp/vantrel-test-XXXXXX";
    const char* made = mkdtemp(tmpl);
    path = made ? made : "/tmp";
  }
  ~TempDir() { std::system(("rm -rf '" + path + "'").c_str()); }
  std::string file(const std::string& name) const { return path + "/" + name; }
  std::string path;
};

inline void write_bytes(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

inline std::string read_bytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace testing_support
