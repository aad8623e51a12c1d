// A catalogue file read through zlib: gzip-compressed or plain alike, as a
// stream buffer for the line reader.
#pragma once

#include <zlib.h>

#include <streambuf>
#include <string>
#include <vector>

namespace stars {

class GzInput : public std::streambuf {
public:
  // Opens a regular file or a pipe; CatalogError "cannot read PATH: ..." else.
  explicit GzInput(const std::string& path);
  ~GzInput() override;
  GzInput(const GzInput&) = delete;
  GzInput& operator=(const GzInput&) = delete;
  // Compressed (or plain) bytes read so far, for progress.
  uint64_t raw_offset() const;
  uint64_t raw_size() const { return size; }

protected:
  int_type underflow() override;

private:
  std::string path;
  gzFile file = nullptr;
  std::vector<char> buffer;
  uint64_t size = 0;
};

}  // namespace stars
