#include "base/io.h"

#include <cstring>

#include "base/array.h"

Input::~Input() = default;

BufferedInput::BufferedInput(Input& source, int buffer_size)
    : source(source),
      buffer(new char[buffer_size > 0 ? buffer_size : 1]),
      buffer_size(buffer_size > 0 ? buffer_size : 0) {}

BufferedInput::~BufferedInput() { delete[] buffer; }

int BufferedInput::read(void* dst_, int n) {
  if (n < 1) return 0;
  // An error met after bytes were delivered is told at the next read.
  if (failed) {
    failed = false;
    return -1;
  }
  char* dst = static_cast<char*>(dst_);
  int got = 0;
  // The pushed-back byte comes first, buffered or not: readline's read-ahead
  // relies on it even on an unbuffered stream.
  if (pending >= 0) {
    *dst++ = static_cast<char>(pending);
    pending = -1;
    got = 1;
    --n;
  }
  // A failing source is an error, never the end of the input.
  auto from_source = [&](void* to, int count) {
    const int r = count > 0 ? source.read(to, count) : 0;
    if (r < 0) failed = true;
    return r < 0 ? 0 : r;
  };
  if (buffer_size == 0) {
    got += from_source(dst, n);
  } else {
    while (n > 0) {
      if (n <= buffered) {
        memcpy(dst, buffer + head, n);
        head += n;
        buffered -= n;
        got += n;
        break;
      }
      if (buffered > 0) {
        memcpy(dst, buffer + head, buffered);
        dst += buffered;
        n -= buffered;
        got += buffered;
        buffered = 0;
      }
      head = 0;
      if (n >= buffer_size) {
        if (!at_end) {
          const int r = from_source(dst, n);
          got += r;
          if (r < n) at_end = true;
        }
        break;
      }
      if (at_end) break;
      buffered = from_source(buffer, buffer_size);
      if (buffered < buffer_size) at_end = true;
    }
  }
  if (failed && got == 0) {
    failed = false;
    return -1;
  }
  position += got;
  return got;
}

void BufferedInput::drop_buffer() {
  head = 0;
  buffered = 0;
  failed = false;
  pending = -1;
  at_end = false;
}

int64_t BufferedInput::seek(int64_t target) {
  if (target == position) return position;
  drop_buffer();
  position = source.seek(target);
  return position;
}

int64_t BufferedInput::skip(int64_t offset) {
  if (offset == 0) return position;
  // The source runs ahead of us by what was buffered, so seek absolutely.
  int64_t target = position + offset;
  drop_buffer();
  position = source.seek(target);
  return position;
}

void BufferedInput::unread(uint8_t byte) {
  if (pending >= 0) THROW_STR("can't unread more than 1 byte");
  --position;
  pending = byte;
}

String BufferedInput::readline() {
  // Gathered in a buffer that grows geometrically, so that a long line costs
  // time in proportion to its length.
  ByteArray line;
  auto append = [&line](char c) {
    if (line.capacity < line.length + 1) line.reserve(line.length + 1);
    line.bytes[line.length++] = c;
  };
  auto text = [&line] { return String(line.bytes, line.length); };
  char c;
  for (;;) {
    const int r = read(&c, 1);
    if (r < 0) THROW_STR("read error");
    if (r == 0) return text();  // the end, or a last line without terminator
    append(c);
    if (c == '\n' || c == '\r') break;
  }
  char next;
  const int r = read(&next, 1);
  if (r < 0) THROW_STR("read error");
  if (r == 0) return text();
  if ((c == '\n' && next == '\r') || (c == '\r' && next == '\n'))
    append(next);
  else
    unread(static_cast<uint8_t>(next));
  return text();
}
