// Sequential byte input with a read buffer and one byte of push-back.
#pragma once

#include <cstdint>

#include "base/string.h"

class Input {
public:
  virtual ~Input();
  virtual int64_t tell() = 0;
  // Up to n bytes; 0 at the end; negative on a read error; never more than asked.
  virtual int read(void* dst, int n) = 0;
  virtual int64_t seek(int64_t position) = 0;
  virtual int64_t skip(int64_t offset) = 0;
};

// Reads its source in buffer_size chunks. Requests of at least buffer_size
// that find the buffer empty go straight to the source. Once the source comes
// up short it is not read again until a seek or skip.
class BufferedInput : public Input {
public:
  // A buffer_size of 0 makes the stream unbuffered. The source is not owned.
  BufferedInput(Input& source, int buffer_size);
  BufferedInput(const BufferedInput&) = delete;
  BufferedInput& operator=(const BufferedInput&) = delete;
  ~BufferedInput() override;

  int64_t tell() override { return position; }
  int read(void* dst, int n) override;
  int64_t seek(int64_t target) override;
  int64_t skip(int64_t offset) override;

  // Pushes one byte back; a second push-back before it is read throws.
  void unread(uint8_t byte);
  // The next line with its terminator (LF, CR, CR LF or LF CR); empty at the
  // end. A source that fails raises "read error".
  String readline();

  int buffered_bytes() const { return buffered; }

private:
  void drop_buffer();

  Input& source;
  int64_t position = 0;
  char* buffer;
  int buffer_size;
  int head = 0;      // the buffered bytes start here: taking bytes moves no memory
  int buffered = 0;  // bytes waiting from head on
  int pending = -1;
  bool at_end = false;
  bool failed = false;  // the source reported an error after delivering bytes
};
