#include "base/io.h"

#include <cstring>

Input::~Input() = default;

BufferedInput::BufferedInput(Input& source, int buffer_size)
    : source(source),
      buffer(new char[buffer_size > 0 ? buffer_size : 1]),
      buffer_size(buffer_size > 0 ? buffer_size : 0) {}

BufferedInput::~BufferedInput() { delete[] buffer; }

int BufferedInput::read(void* dst_, int n) {
  if (n < 1) return 0;
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
  if (buffer_size == 0) {
    int r = n > 0 ? source.read(dst, n) : 0;
    if (r > 0) got += r;
    position += got;
    return got;
  }
  while (n > 0) {
    if (n <= buffered) {
      memcpy(dst, buffer, n);
      memmove(buffer, buffer + n, buffered - n);
      buffered -= n;
      got += n;
      break;
    }
    if (buffered > 0) {
      memcpy(dst, buffer, buffered);
      dst += buffered;
      n -= buffered;
      got += buffered;
      buffered = 0;
    }
    if (n >= buffer_size) {
      if (!at_end) {
        int r = source.read(dst, n);
        if (r > 0) got += r;
        if (r < n) at_end = true;
      }
      break;
    }
    if (at_end) break;
    int r = source.read(buffer, buffer_size);
    buffered = r > 0 ? r : 0;
    if (r < buffer_size) at_end = true;
  }
  position += got;
  return got;
}

void BufferedInput::drop_buffer() {
  buffered = 0;
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
  String line;
  char c;
  int r = read(&c, 1);
  if (r < 0) THROW_STR("read error");
  if (r == 0) return line;
  for (;;) {
    line += c;
    if (c == '\n' || c == '\r') break;
    r = read(&c, 1);
    if (r < 0) THROW_STR("read error");
    if (r == 0) return line;
  }
  char next;
  if (read(&next, 1) <= 0) return line;
  if ((c == '\n' && next == '\r') || (c == '\r' && next == '\n'))
    line += next;
  else
    unread(static_cast<uint8_t>(next));
  return line;
}
