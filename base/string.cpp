#include "base/string.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

char* my_vsnprintf(const char* format, va_list args) {
  int size = 100;
  char* buffer = static_cast<char*>(malloc(size));
  if (!buffer) THROW_STR("out of memory");
  for (;;) {
    va_list pass;
    va_copy(pass, args);
    int n = vsnprintf(buffer, size, format, pass);
    va_end(pass);
    if (n >= 0 && n < size) return buffer;
    size = n < 0 ? size * 2 : n + 1;
    char* grown = static_cast<char*>(realloc(buffer, size));
    if (!grown) {
      free(buffer);
      THROW_STR("out of memory");
    }
    buffer = grown;
  }
}

namespace {

// Copies at most n bytes of text (stopping at a NUL); the empty result is null.
char* copy_text(const char* text, size_t n) {
  if (!text || n == 0) return nullptr;
  size_t len = strnlen(text, n);
  if (len == 0) return nullptr;
  char* copy = static_cast<char*>(malloc(len + 1));
  if (!copy) THROW_STR("out of memory");
  memcpy(copy, text, len);
  copy[len] = '\0';
  return copy;
}

}  // namespace

String::String(const char* text) : text_(copy_text(text, text ? strlen(text) : 0)) {}

String::String(const char* text, size_t n) : text_(copy_text(text, n)) {}

String::String(const String& other) : text_(copy_text(other.text_, other.length())) {}

String::~String() { free(text_); }

String& String::operator=(const String& other) { return *this = other.text_; }

String& String::operator=(const char* text) {
  // Copy first: the source may be our own text.
  char* copy = copy_text(text, text ? strlen(text) : 0);
  free(text_);
  text_ = copy;
  return *this;
}

void String::clear() {
  free(text_);
  text_ = nullptr;
}

uint32_t String::length() const { return text_ ? static_cast<uint32_t>(strlen(text_)) : 0; }

uint32_t string_hash(const char* text) {
  uint32_t h = 0;
  if (!text) return h;
  for (const char* p = text; *p; ++p) {
    // Bytes count as signed: 0xE9 is -23, and >> 4 is arithmetic.
    int32_t c = static_cast<int8_t>(*p);
    h = (h + static_cast<uint32_t>(16 * c) + static_cast<uint32_t>(c >> 4)) * 11u;
  }
  return h;
}

uint32_t String::hash() const { return string_hash(text_); }

String::operator int() const { return text_ ? atoi(text_) : 0; }

String& String::append(const char* text) {
  size_t add = text ? strlen(text) : 0;
  if (add == 0) return *this;
  size_t have = length();
  // The appended text may lie inside our own, which realloc can move.
  bool inside = text_ && text >= text_ && text <= text_ + have;
  size_t offset = inside ? static_cast<size_t>(text - text_) : 0;
  char* grown = static_cast<char*>(realloc(text_, have + add + 1));
  if (!grown) THROW_STR("out of memory");
  memmove(grown + have, inside ? grown + offset : text, add);
  grown[have + add] = '\0';
  text_ = grown;
  return *this;
}

String& String::operator+=(char c) {
  const char one[2] = {c, '\0'};
  return append(one);
}

bool String::operator==(const String& other) const {
  if (!text_ || !other.text_) return !text_ && !other.text_;
  return strcmp(text_, other.text_) == 0;
}

String String::format(const char* format, ...) {
  va_list args;
  va_start(args, format);
  String s = vformat(format, args);
  va_end(args);
  return s;
}

String String::vformat(const char* format, va_list args) {
  String s;
  s.text_ = my_vsnprintf(format, args);  // adopted without a further copy
  return s;
}

String operator+(const String& left, const String& right) {
  String s(left);
  s += right;
  return s;
}

// ---------------------------------------------------------------------------

Xception::~Xception() = default;

StrXception::StrXception(const char* file, const char* function, int line, const char* format,
                         ...) {
  va_list args;
  va_start(args, format);
  String text;
  try {
    text = String::vformat(format, args);
  } catch (...) {
    va_end(args);
    throw;
  }
  va_end(args);
  message = text;
  where = String::format("%s (%s:%d)", function, file, line);
}

StrXception::~StrXception() = default;

void StrXception::report() const { report_to_user("Error", message.c_str()); }

String AssertXception::text() const {
  char buffer[4096];
  snprintf(buffer, sizeof buffer, "'%s' in <%s> (%s:%d)", expression, function, file, line);
  return String(buffer);
}

void AssertXception::report() const {
  String shown = text();
  report_to_user("Assertion Failed", shown.c_str());
}

namespace {
void stderr_sink(const char* caption, const char* text) {
  fprintf(stderr, "%s: %s\n", caption, text);
}
ReportSink current_sink = stderr_sink;
}  // namespace

ReportSink set_report_sink(ReportSink sink) {
  ReportSink old = current_sink;
  current_sink = sink ? sink : stderr_sink;
  return old;
}

void report_to_user(const char* caption, const char* text) {
  current_sink(caption ? caption : "", text ? text : "");
}

void warning(const char* function, const char* format, ...) {
  va_list args;
  va_start(args, format);
  // Users read these: the function that warned is no part of the message.
  (void)function;
  fputs("warning: ", stderr);
  vfprintf(stderr, format, args);
  fputc('\n', stderr);
  va_end(args);
}
