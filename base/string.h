// Owned byte strings, formatting, and the exception family every part of the
// plug-in raises. A String is exactly one pointer wide so that it can live in
// map nodes and be moved as raw bytes by Array<T>.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>

#if defined(__GNUC__)
#define VANTREL_PRINTF(fmt, args) __attribute__((format(printf, fmt, args)))
#else
#define VANTREL_PRINTF(fmt, args)
#endif

// Heap buffer (malloc) holding the whole formatted text; the caller frees it.
// Throws StrXception "out of memory" when the allocator gives up.
char* my_vsnprintf(const char* format, va_list args);

class String {
public:
  constexpr String() : text_(nullptr) {}
  String(const char* text);  // NOLINT: implicit by design, like a C string
  String(const char* text, size_t n);
  String(const String& other);
  ~String();

  String& operator=(const String& other);
  String& operator=(const char* text);

  void clear();
  uint32_t length() const;
  uint32_t hash() const;
  explicit operator int() const;

  // Never null: the empty string reads as "".
  const char* c_str() const { return text_ ? text_ : ""; }
  // Null for the empty string.
  const char* text() const { return text_; }
  bool empty() const { return text_ == nullptr || text_[0] == '\0'; }

  String& operator+=(const String& other) { return append(other.text_); }
  String& operator+=(const char* text) { return append(text); }
  String& operator+=(char c);

  bool operator==(const String& other) const;
  bool operator!=(const String& other) const { return !(*this == other); }

  static String format(const char* format, ...) VANTREL_PRINTF(1, 2);
  static String vformat(const char* format, va_list args);

private:
  String& append(const char* text);
  char* text_;
};

String operator+(const String& left, const String& right);

// Hash of a NUL-terminated text: every operation that hashes names agrees on it.
uint32_t string_hash(const char* text);

// ---------------------------------------------------------------------------
// Exceptions. Each one carries its finished message; report() presents it.

class Xception {
public:
  virtual ~Xception();
  // Presents the failure to the user (through the report sink below).
  virtual void report() const = 0;
  // The finished message, for hosts that take failures as text.
  virtual String message_text() const = 0;
};

class StrXception : public Xception {
public:
  // The message is format(args...), in the user's words; where it was
  // thrown is kept apart, for those who debug.
  StrXception(const char* file, const char* function, int line, const char* format, ...)
      VANTREL_PRINTF(5, 6);
  StrXception(const StrXception& other) = default;
  StrXception& operator=(const StrXception& other) = default;
  ~StrXception() override;

  void report() const override;
  String message_text() const override { return message; }
  const String& text() const { return message; }

  String message;
  String where;  // "function (file:line)"
};

class AssertXception : public Xception {
public:
  AssertXception(const char* expression, const char* file, const char* function, int line)
      : expression(expression), file(file), function(function), line(line) {}

  void report() const override;
  String message_text() const override { return text(); }
  // The text report() shows, cut at 4095 characters.
  String text() const;

  const char* expression;
  const char* file;
  const char* function;
  int line;
};

// The source file as the build records it (relative to the source root) and
// the enclosing function's full signature.
#define VANTREL_FUNCTION __PRETTY_FUNCTION__

#define THROW_STR(...) throw StrXception(__FILE__, VANTREL_FUNCTION, __LINE__, __VA_ARGS__)

// Evaluated in every build; a failure is an ordinary Xception, never an abort.
#define ASSERT(cond)                                                                \
  do {                                                                              \
    if (!(cond)) throw AssertXception(#cond, __FILE__, VANTREL_FUNCTION, __LINE__); \
  } while (0)

// Where reports reach the user: a modal box in a desktop host (the platform
// layer installs one at load), "caption: text" on the standard error stream
// otherwise. Hosts and tests may put their own in its place.
using ReportSink = void (*)(const char* caption, const char* text);
// Returns the sink it replaces; null restores the standard error stream.
ReportSink set_report_sink(ReportSink sink);
void report_to_user(const char* caption, const char* text);

// "warning: <text>\n" on the standard error stream; the function is not shown.
void warning(const char* function, const char* format, ...) VANTREL_PRINTF(2, 3);
