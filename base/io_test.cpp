#include "base/io.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

// An in-memory source that records every read it serves.
class MemoryInput : public Input {
public:
  explicit MemoryInput(std::string data) : data(std::move(data)) {}
  int64_t tell() override { return pos; }
  int read(void* dst, int n) override {
    reads.push_back(n);
    int got = static_cast<int>(std::min<size_t>(n, data.size() - pos));
    memcpy(dst, data.data() + pos, got);
    pos += got;
    return got;
  }
  int64_t seek(int64_t p) override { return pos = p; }
  int64_t skip(int64_t o) override { return pos += o; }

  std::string data;
  size_t pos = 0;
  std::vector<int> reads;
};

std::vector<std::string> lines_of(const std::string& bytes, int buffer = 4096) {
  MemoryInput src(bytes);
  BufferedInput in(src, buffer);
  std::vector<std::string> out;
  for (String l = in.readline(); l.length() > 0; l = in.readline()) out.push_back(l.c_str());
  return out;
}

}  // namespace

TEST(BufferedInput, LineTerminators) {
  using V = std::vector<std::string>;
  EXPECT_EQ(lines_of("a\r\nb"), (V{"a\r\n", "b"}));
  EXPECT_EQ(lines_of("a\n\rb"), (V{"a\n\r", "b"}));
  EXPECT_EQ(lines_of("a\n\nb"), (V{"a\n", "\n", "b"}));
  EXPECT_EQ(lines_of("a\r\rb"), (V{"a\r", "\r", "b"}));
  EXPECT_EQ(lines_of("last"), (V{"last"}));
  EXPECT_EQ(lines_of(""), (V{}));
  // The same with an unbuffered stream and a one-byte buffer.
  EXPECT_EQ(lines_of("a\r\nb\n\nc", 0), (V{"a\r\n", "b\n", "\n", "c"}));
  EXPECT_EQ(lines_of("a\r\nb\n\nc", 1), (V{"a\r\n", "b\n", "\n", "c"}));
}

TEST(BufferedInput, PushBackAndPosition) {
  MemoryInput src("a\nb\xFF");
  BufferedInput in(src, 4096);
  EXPECT_STREQ(in.readline().c_str(), "a\n");
  EXPECT_EQ(in.tell(), 2);  // just after the terminator, the read-ahead pushed back
  char c;
  EXPECT_EQ(in.read(&c, 1), 1);
  EXPECT_EQ(c, 'b');
  EXPECT_EQ(in.read(&c, 1), 1);
  in.unread(static_cast<uint8_t>(c));
  try {
    in.unread('x');
    FAIL() << "second unread accepted";
  } catch (const StrXception& e) {
    EXPECT_EQ(std::string(e.message.c_str()).rfind("can't unread more than 1 byte", 0), 0u);
  }
  char d = 0;
  EXPECT_EQ(in.read(&d, 1), 1);
  EXPECT_EQ(static_cast<uint8_t>(d), 255);
  EXPECT_EQ(in.read(&d, 1), 0);
  EXPECT_EQ(in.read(&d, 0), 0);
}

TEST(BufferedInput, BufferSequence) {
  MemoryInput src(std::string(20000, 'z'));
  BufferedInput in(src, 4096);
  std::vector<char> dst(10000);
  EXPECT_EQ(in.read(dst.data(), 100), 100);
  EXPECT_EQ(src.reads, (std::vector<int>{4096}));
  EXPECT_EQ(in.buffered_bytes(), 3996);
  EXPECT_EQ(in.read(dst.data(), 5000), 5000);
  EXPECT_EQ(src.reads, (std::vector<int>{4096, 4096}));
  EXPECT_EQ(in.buffered_bytes(), 3092);
  EXPECT_EQ(in.tell(), 5100);
}

TEST(BufferedInput, LargeReadBypassesBufferAndEndStops) {
  MemoryInput src(std::string(10000, 'q'));
  BufferedInput in(src, 4096);
  std::vector<char> dst(20000);
  EXPECT_EQ(in.read(dst.data(), 5000), 5000);
  EXPECT_EQ(src.reads, (std::vector<int>{5000}));
  EXPECT_EQ(in.buffered_bytes(), 0);
  EXPECT_EQ(in.read(dst.data(), 8000), 5000);  // short: the source is at its end
  EXPECT_EQ(in.read(dst.data(), 10), 0);
  EXPECT_EQ(src.reads.size(), 2u);  // not asked again once at the end
  EXPECT_EQ(in.seek(0), 0);
  EXPECT_EQ(in.read(dst.data(), 10), 10);  // a seek clears the end
}

TEST(BufferedInput, SeekToCurrentKeepsBufferAndPushBack) {
  MemoryInput src("0123456789");
  BufferedInput in(src, 4);
  char c;
  in.read(&c, 1);
  in.read(&c, 1);
  in.unread(static_cast<uint8_t>(c));
  EXPECT_EQ(in.tell(), 1);
  EXPECT_EQ(in.seek(1), 1);
  EXPECT_EQ(in.skip(0), 1);
  char buf[3];
  EXPECT_EQ(in.read(buf, 3), 3);
  EXPECT_EQ(std::string(buf, 3), "123");
  EXPECT_EQ(src.reads.size(), 1u);
  // A real skip drops the buffer and seeks the source absolutely.
  EXPECT_EQ(in.skip(2), 6);
  EXPECT_EQ(in.read(buf, 2), 2);
  EXPECT_EQ(std::string(buf, 2), "67");
}

// A source that fails is an error, never the end of the input: buffered or
// not, before any byte or after some, readline raises "read error".
TEST(BufferedInput, FailingSourceIsAReadError) {
  class Failing : public MemoryInput {
  public:
    using MemoryInput::MemoryInput;
    // Whole reads while the data lasts; a read that would run past it fails,
    // as a disk error part-way through a file would.
    int read(void* dst, int n) override {
      if (pos + n > data.size()) return -1;
      return MemoryInput::read(dst, n);
    }
  };
  for (int buffer : {0, 4, 4096}) {
    for (const char* text : {"", "line\nhalf"}) {
      Failing src(text);
      BufferedInput in(src, buffer);
      std::vector<std::string> got;
      try {
        for (String l = in.readline(); l.length() > 0; l = in.readline()) got.push_back(l.c_str());
        FAIL() << "a failing source read as the end, buffer " << buffer;
      } catch (const StrXception& e) {
        EXPECT_EQ(std::string(e.message.c_str()).rfind("read error", 0), 0u);
      }
      // Lines before the failure were delivered whole (a 4096-byte buffer
      // fails at its first read).
      const std::vector<std::string> before =
          *text && buffer < 4096 ? std::vector<std::string>{"line\n"} : std::vector<std::string>{};
      EXPECT_EQ(got, before) << buffer;
    }
  }
}

// A line of a few megabytes arrives whole (its cost is linear: the buffer
// grows geometrically and taking bytes moves none).
TEST(BufferedInput, LongLinesArriveWhole) {
  std::string big(3 << 20, 'k');
  big += " v\r\nnext\n";
  const std::vector<std::string> lines = lines_of(big);
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0].size(), (3u << 20) + 4);
  EXPECT_EQ(lines[1], "next\n");
}
