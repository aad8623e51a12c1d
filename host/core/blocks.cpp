#include "host/core/blocks.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>

namespace host {

namespace {

bool is_space(char c) { return c == ' ' || c == '\t'; }

std::string trim(const std::string& s) {
  size_t b = 0, e = s.size();
  while (b < e && (is_space(s[b]) || s[b] == '\r')) ++b;
  while (e > b && (is_space(s[e - 1]) || s[e - 1] == '\r')) --e;
  return s.substr(b, e - b);
}

std::string indent(int depth) { return std::string(static_cast<size_t>(depth) * 2, ' '); }

std::string id_text(const VHBlockID* id) {
  if (id->token && *id->token) return id->token;
  // Without a keyword the four characters of the identifier stand in.
  std::string s;
  for (int shift = 24; shift >= 0; shift -= 8) s += static_cast<char>((id->id >> shift) & 0xFF);
  return s;
}

bool table_match(const VHBlockID* table, const std::string& keyword, uint32_t& id) {
  for (const VHBlockID* e = table; e && e->id; ++e)
    if (id_text(e) == keyword) {
      id = e->id;
      return true;
    }
  return false;
}

// Splits off the keyword of a line: everything up to the first blank.
void split_keyword(const std::string& line, std::string& keyword, std::string& rest) {
  size_t i = 0;
  while (i < line.size() && !is_space(line[i])) ++i;
  keyword = line.substr(0, i);
  rest = i < line.size() ? line.substr(i) : std::string();
}

}  // namespace

Token read_token(const std::string& t, size_t& cur, std::string& token) {
  while (cur < t.size() && (is_space(t[cur]) || t[cur] == '\r')) ++cur;
  if (cur >= t.size()) return Token::None;
  token.clear();
  if (t[cur] != '"') {
    while (cur < t.size() && !is_space(t[cur]) && t[cur] != '\r') token += t[cur++];
    return Token::Word;
  }
  ++cur;
  while (cur < t.size() && t[cur] != '"') {
    const char c = t[cur++];
    if (c != '\\') {
      token += c;
      continue;
    }
    if (cur >= t.size()) break;
    const char e = t[cur++];
    if (e == 'x' && cur + 2 <= t.size()) {
      token += static_cast<char>(strtol(t.substr(cur, 2).c_str(), nullptr, 16));
      cur += 2;
    } else if (e == 'n') {
      token += '\n';
    } else if (e == 't') {
      token += '\t';
    } else if (e == 'r') {
      token += '\r';
    } else {
      token += e;
    }
  }
  if (cur >= t.size()) return Token::Unterminated;
  ++cur;
  return Token::String;
}

std::string quote(const std::string& value) {
  std::string q = "\"";
  for (unsigned char c : value) {
    if (c == '"' || c == '\\') {
      q += '\\';
      q += static_cast<char>(c);
    } else if (c < 0x20 || c == 0x7F) {
      char hex[5];
      snprintf(hex, sizeof hex, "\\x%02X", c);
      q += hex;
    } else {
      q += static_cast<char>(c);
    }
  }
  return q + "\"";
}

BlockList parse_blocks(const std::string& text, const std::string& source) {
  BlockList top;
  std::vector<Block*> open;  // groups not yet closed
  std::istringstream in(text);
  std::string raw;
  int line_no = 0;
  auto where = [&](int line) { return source + ":" + std::to_string(line) + ": "; };
  while (std::getline(in, raw)) {
    ++line_no;
    std::string line = trim(raw);
    if (line.empty() || line[0] == '#') continue;
    BlockList& here = open.empty() ? top : open.back()->children;
    if (line == "}") {
      if (open.empty()) throw HostError(where(line_no) + "'}' without an open block");
      open.pop_back();
      continue;
    }
    Block b;
    b.line = line_no;
    std::string rest;
    split_keyword(line, b.keyword, rest);
    if (b.keyword == "{") throw HostError(where(line_no) + "expected a keyword before '{'");
    std::string values = trim(rest);
    if (values == "{") {
      if (open.size() >= static_cast<size_t>(kMaxBlockDepth))
        throw HostError(where(line_no) + "block '" + b.keyword + "' is nested more than " +
                        std::to_string(kMaxBlockDepth) + " deep");
      b.leaf = false;
      here.push_back(std::move(b));
      open.push_back(&here.back());
    } else {
      b.text = rest;
      here.push_back(std::move(b));
    }
  }
  if (!open.empty())
    throw HostError(where(open.back()->line) + "block '" + open.back()->keyword +
                    "' is not closed (expected '}' before the end of the text)");
  return top;
}

std::string format_blocks(const BlockList& blocks, int depth) {
  std::string out;
  for (const Block& b : blocks) {
    if (b.leaf) {
      out += indent(depth) + b.keyword + b.text + "\n";
    } else {
      out += indent(depth) + b.keyword + " {\n";
      out += format_blocks(b.children, depth + 1);
      out += indent(depth) + "}\n";
    }
  }
  return out;
}

// ---------------------------------------------------------------------------
// Load state

namespace {
LoadState* self_of(void* data) { return static_cast<LoadState*>(data); }

void fill_load_record(st_LWLoadState& r, int mode, LoadState* self) {
  r.mode = mode;
  r.data = self;
  r.read = [](void* d, char* b, int n) { return self_of(d)->read(b, n); };
  r.find_block = [](void* d, const VHBlockID* t) { return self_of(d)->find_block(t); };
  r.end_block = [](void* d) { self_of(d)->end_block(); };
  r.depth = [](void* d) { return self_of(d)->depth(); };
  r.read_i4 = [](void* d, int32_t* v, int n) { return self_of(d)->read_i4(v, n); };
  r.read_fp = [](void* d, float* v, int n) { return self_of(d)->read_fp(v, n); };
  r.read_str = [](void* d, char* b, int m) { return self_of(d)->read_str(b, m); };
}
}  // namespace

LoadState::LoadState(BlockList parsed) : blocks(std::move(parsed)) {
  fill_load_record(record, VH_IO_TEXT, this);
  stack.push_back(Frame{&blocks, 0, nullptr, 0});
}

LoadState::LoadState(InputFile f) : file(std::move(f)) {
  fill_load_record(record, VH_IO_BINARY, this);
  stack.push_back(Frame{&blocks, 0, nullptr, 0});
}

void LoadState::fail(const std::string& what) {
  // Shown later through a C string: a NUL of the input must not cut it short.
  if (first_error.empty()) first_error = printable(what);
}

const Block* LoadState::current_leaf(const char* operation) {
  const Block* b = stack.back().block;
  if (!b || !b->leaf) {
    fail(std::string(operation) + " outside a leaf block");
    return nullptr;
  }
  return b;
}

int LoadState::read(char* buffer, int length) {
  if (length <= 0) return 0;
  if (record.mode == VH_IO_BINARY) return read_file_bytes(buffer, static_cast<size_t>(length));
  const Block* b = current_leaf("raw read");
  if (!b) return -1;
  size_t& cur = stack.back().cursor;
  if (cur < b->text.size() && is_space(b->text[cur])) ++cur;  // the separator after the keyword
  size_t n = std::min(static_cast<size_t>(length), b->text.size() - cur);
  if (n) memcpy(buffer, b->text.data() + cur, n);
  cur += n;
  return static_cast<int>(n);
}

int LoadState::read_file_bytes(char* out, size_t length) {
  // Readers ask for small pieces (a 32-byte record at a time): the file is
  // read ahead in pieces that double from a page to 256 KiB, so that a
  // header check reads one page and a whole database takes few reads.
  size_t done = 0;
  try {
    while (done < length) {
      if (ahead_pos == ahead_len) {
        if (ahead_size < (size_t{256} << 10)) {
          ahead_size = ahead_size ? ahead_size * 2 : 4096;
          ahead.reset(new char[ahead_size]);
        }
        // A large read past an empty buffer goes straight to the caller.
        if (length - done >= ahead_size) {
          const size_t n = file.read_at(file_pos, out + done, length - done);
          file_pos += n;
          done += n;
          break;
        }
        ahead_len = file.read_at(file_pos, ahead.get(), ahead_size);
        file_pos += ahead_len;
        ahead_pos = 0;
        if (ahead_len == 0) break;
      }
      const size_t n = std::min(length - done, ahead_len - ahead_pos);
      memcpy(out + done, ahead.get() + ahead_pos, n);
      ahead_pos += n;
      done += n;
    }
  } catch (const FileError& e) {
    fail(e.what());
    if (done == 0) return -1;
  }
  return static_cast<int>(done);
}

uint32_t LoadState::find_block(const VHBlockID* table) {
  Frame& f = stack.back();
  uint32_t id = 0;
  if (f.block && f.block->leaf) {
    // A keyword among a leaf's values is an empty block written inline.
    size_t save = f.cursor;
    std::string token;
    bool quoted = false;
    if (next_token(token, quoted) && !quoted && table_match(table, token, id)) return id;
    f.cursor = save;
    return 0;
  }
  for (size_t i = f.next; i < f.children->size(); ++i) {
    const Block& b = (*f.children)[i];
    if (table_match(table, b.keyword, id)) {
      f.next = i + 1;
      stack.push_back(Frame{&b.children, 0, &b, 0});
      return id;
    }
  }
  f.next = f.children->size();
  return 0;
}

void LoadState::end_block() {
  if (stack.size() > 1)
    stack.pop_back();
  else
    fail("end_block without an open block");
}

bool LoadState::next_token(std::string& token, bool& quoted) {
  const Block* b = stack.back().block;
  if (!b || !b->leaf) return false;
  const Token t = read_token(b->text, stack.back().cursor, token);
  if (t == Token::Unterminated)
    fail("line " + std::to_string(b->line) + ": string without its closing quote");
  quoted = t == Token::String;
  return t == Token::Word || t == Token::String;
}

int64_t LoadState::size() const {
  return record.mode == VH_IO_BINARY ? static_cast<int64_t>(file.size()) : -1;
}

bool LoadState::seek(int64_t offset) {
  if (record.mode != VH_IO_BINARY || offset < 0 || offset > size()) return false;
  file_pos = static_cast<uint64_t>(offset);
  ahead_len = ahead_pos = 0;
  return true;
}

template <class T, class Parse>
int LoadState::read_values(T* values, int count, const char* operation, const char* expected,
                           Parse parse) {
  if (!current_leaf(operation)) return 0;
  int n = 0;
  for (; n < count; ++n) {
    std::string token;
    bool quoted = false;
    if (!next_token(token, quoted)) break;
    if (quoted || !parse(token, values[n])) {
      fail("line " + std::to_string(stack.back().block->line) + ": expected " + expected +
           ", found '" + token + "'");
      break;
    }
  }
  return n;
}

int LoadState::read_i4(int32_t* values, int count) {
  return read_values(values, count, "read_i4", "an integer", [](const std::string& t, int32_t& v) {
    char* end = nullptr;
    errno = 0;
    const long long x = strtoll(t.c_str(), &end, 10);
    // The whole token: a NUL inside it must not end the number early.
    if (end != t.c_str() + t.size() || errno || x < INT32_MIN || x > INT32_MAX) return false;
    v = static_cast<int32_t>(x);
    return true;
  });
}

int LoadState::read_fp(float* values, int count) {
  return read_values(values, count, "read_fp", "a number", [](const std::string& t, float& v) {
    char* end = nullptr;
    errno = 0;
    const float x = strtof(t.c_str(), &end);
    // Any number strtof reads, "inf" and "nan" too: what a setting may hold
    // is the reader's to judge, and it names the keyword when it refuses one.
    // A finite number too large for a float is refused here, as written,
    // rather than handed on as inf.
    if (t.empty() || end != t.c_str() + t.size()) return false;
    if (errno == ERANGE && std::isinf(x)) return false;
    v = x;
    return true;
  });
}

int LoadState::read_str(char* buffer, int max) {
  if (max > 0) buffer[0] = '\0';
  if (!current_leaf("read_str")) return -1;
  std::string token;
  bool quoted = false;
  if (!next_token(token, quoted)) return -1;
  if (!quoted) {
    fail("line " + std::to_string(stack.back().block->line) +
         ": expected a quoted string, found '" + token + "'");
    return -1;
  }
  if (max <= 0) return 0;
  size_t n = std::min(token.size(), static_cast<size_t>(max - 1));
  memcpy(buffer, token.data(), n);
  buffer[n] = '\0';
  return static_cast<int>(n);
}

// ---------------------------------------------------------------------------
// Save state

namespace {
SaveState* save_of(void* data) { return static_cast<SaveState*>(data); }
}  // namespace

SaveState::SaveState(int mode) {
  record.mode = mode;
  record.data = this;
  record.write = [](void* d, const char* b, int n) { save_of(d)->write(b, n); };
  record.begin_block = [](void* d, const VHBlockID* id, int leaf) {
    save_of(d)->begin_block(id, leaf);
  };
  record.end_block = [](void* d) { save_of(d)->end_block(); };
  record.depth = [](void* d) { return save_of(d)->depth(); };
  record.write_i4 = [](void* d, const int32_t* v, int n) { save_of(d)->write_i4(v, n); };
  record.write_fp = [](void* d, const float* v, int n) { save_of(d)->write_fp(v, n); };
  record.write_str = [](void* d, const char* s) { save_of(d)->write_str(s); };
}

void SaveState::fail(const std::string& what) {
  if (first_error.empty()) first_error = printable(what);
}

bool SaveState::in_leaf(const char* operation) {
  if (record.mode == VH_IO_TEXT && (stack.empty() || stack.back() == GROUP)) {
    fail(std::string(operation) + " outside a leaf block");
    return false;
  }
  return true;
}

void SaveState::write(const char* buffer, int length) {
  if (length <= 0) return;
  if (record.mode == VH_IO_BINARY) {
    out.append(buffer, static_cast<size_t>(length));
    return;
  }
  if (!in_leaf("raw write")) return;
  std::string chunk(buffer, static_cast<size_t>(length));
  if (chunk.find_first_of("\r\n") != std::string::npos) {
    fail("raw text in a block cannot hold a line break");
    return;
  }
  out += " " + chunk;
}

void SaveState::begin_block(const VHBlockID* id, int leaf) {
  if (record.mode != VH_IO_TEXT) return fail("blocks in a binary stream");
  const std::string keyword = id_text(id);
  if (!stack.empty() && stack.back() != GROUP) {
    // Inside a leaf only an empty block can stand, written as its keyword.
    if (!leaf) return fail("group block '" + keyword + "' inside a leaf");
    out += " " + keyword;
    stack.push_back(INLINE);
    return;
  }
  out += indent(depth()) + keyword + (leaf ? "" : " {\n");
  stack.push_back(leaf ? LEAF : GROUP);
}

void SaveState::end_block() {
  if (stack.empty()) return fail("end_block without an open block");
  Kind k = stack.back();
  stack.pop_back();
  if (k == LEAF)
    out += "\n";
  else if (k == GROUP)
    out += indent(depth()) + "}\n";
}

void SaveState::write_i4(const int32_t* values, int count) {
  if (!in_leaf("write_i4")) return;
  for (int i = 0; i < count; ++i) out += " " + std::to_string(values[i]);
}

void SaveState::write_fp(const float* values, int count) {
  if (!in_leaf("write_fp")) return;
  for (int i = 0; i < count; ++i) {
    // Nine significant digits bring every float back exactly.
    char buf[32];
    snprintf(buf, sizeof buf, "%.9g", static_cast<double>(values[i]));
    out += " ";
    out += buf;
  }
}

void SaveState::write_str(const char* text) {
  if (!in_leaf("write_str")) return;
  out += " " + quote(text ? text : "");
}

}  // namespace host
