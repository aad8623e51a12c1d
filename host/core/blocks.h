// The host's text form of tagged blocks (see docs/blocks.md) and the load and
// save states over it that plug-ins read and write through.
#pragma once

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "host/core/error.h"
#include "host/core/files.h"
#include "hostapi/io.h"

namespace host {

// Groups inside groups deeper than this are refused: no scene or settings
// needs them, and each level costs stack in every walk over the blocks.
constexpr int kMaxBlockDepth = 64;

// One block of the text form. A leaf holds values on its line; a group holds blocks.
struct Block {
  std::string keyword;
  bool leaf = true;
  std::string text;  // a leaf's values, as written after the keyword
  std::vector<Block> children;
  int line = 0;  // where it starts in its source, for messages
};
using BlockList = std::vector<Block>;

// Parses the text form; errors name the source, the line and what was expected.
// Groups may nest kMaxBlockDepth deep.
BlockList parse_blocks(const std::string& text, const std::string& source);
// The text form of blocks, as a save state would have written them.
std::string format_blocks(const BlockList& blocks, int depth = 0);

// One value of a leaf's text from cursor on: a quoted string (unescaped) or a
// bare word. None at the end of the text; Unterminated for a string without
// its closing quote.
enum class Token { None, Word, String, Unterminated };
Token read_token(const std::string& text, size_t& cursor, std::string& value);

// Quoting of string values: ", \ and control bytes are escaped, other bytes kept.
std::string quote(const std::string& value);

// A load state over parsed blocks (text mode) or over a file's bytes, read
// from the file as the reader asks for them (binary mode).
// The st_LWLoadState it exposes points back at this object.
class LoadState {
public:
  explicit LoadState(BlockList blocks);  // text mode
  explicit LoadState(InputFile file);    // binary mode
  LoadState(const LoadState&) = delete;
  LoadState& operator=(const LoadState&) = delete;

  st_LWLoadState* state() { return &record; }
  // The first problem met while reading (a malformed value, a misuse), or empty.
  const std::string& error() const { return first_error; }

  int read(char* buffer, int length);
  uint32_t find_block(const VHBlockID* table);
  void end_block();
  int depth() const { return static_cast<int>(stack.size()) - 1; }
  int read_i4(int32_t* values, int count);
  int read_fp(float* values, int count);
  int read_str(char* buffer, int max);
  // Binary mode: the file's size, and a move of the read position (false in
  // text mode or outside 0 .. size).
  int64_t size() const;
  bool seek(int64_t offset);

private:
  struct Frame {
    const BlockList* children;
    size_t next;
    const Block* block;  // null at the top
    size_t cursor;       // into a leaf's text
  };
  const Block* current_leaf(const char* operation);
  // Reads up to count values of a leaf; a value that does not parse stops the
  // reading, leaves its target alone and is reported.
  template <class T, class Parse>
  int read_values(T* values, int count, const char* operation, const char* expected, Parse parse);
  bool next_token(std::string& token, bool& quoted);  // false at the end or on a bad string
  int read_file_bytes(char* out, size_t length);
  void fail(const std::string& what);

  st_LWLoadState record;
  BlockList blocks;
  std::vector<Frame> stack;
  InputFile file;
  std::unique_ptr<char[]> ahead;  // read ahead from the file: ahead_len bytes, used to ahead_pos
  size_t ahead_size = 0, ahead_len = 0, ahead_pos = 0;
  uint64_t file_pos = 0;  // where the next read ahead starts
  std::string first_error;
};

// A save state that builds the text form (or raw bytes) in memory.
class SaveState {
public:
  explicit SaveState(int mode);
  SaveState(const SaveState&) = delete;
  SaveState& operator=(const SaveState&) = delete;

  st_LWSaveState* state() { return &record; }
  const std::string& text() const { return out; }
  // The first misuse (values outside a leaf, unbalanced blocks), or empty.
  const std::string& error() const { return first_error; }
  // True when every begun block was ended.
  bool balanced() const { return stack.empty(); }

  void write(const char* buffer, int length);
  void begin_block(const VHBlockID* id, int leaf);
  void end_block();
  int depth() const { return static_cast<int>(stack.size()); }
  void write_i4(const int32_t* values, int count);
  void write_fp(const float* values, int count);
  void write_str(const char* text);

private:
  enum Kind { LEAF, GROUP, INLINE };
  bool in_leaf(const char* operation);
  void fail(const std::string& what);

  st_LWSaveState record;
  std::string out;
  std::vector<Kind> stack;
  std::string first_error;
};

}  // namespace host
