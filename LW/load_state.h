// A load state opened through the host's "File IO 2", closed on every way out.
#pragma once

#include <algorithm>
#include <cstdint>

#include "hostapi/globals.h"
#include "hostapi/io.h"

class LoadStateGuard {
public:
  LoadStateGuard(const VHFileIOFuncs* io, st_LWLoadState* state) : io(io), state(state) {}
  LoadStateGuard(const LoadStateGuard&) = delete;
  LoadStateGuard& operator=(const LoadStateGuard&) = delete;
  ~LoadStateGuard() {
    if (state) io->close_load(io, state);
  }
  st_LWLoadState* get() const { return state; }

private:
  const VHFileIOFuncs* io;
  st_LWLoadState* state;
};

// Reads n bytes however the host splits its reads; the count it could read
// (a read error ends the file like its end).
inline uint64_t read_up_to(st_LWLoadState* st, void* out, uint64_t n) {
  uint64_t done = 0;
  while (done < n) {
    const int want = static_cast<int>(std::min<uint64_t>(n - done, 1u << 30));
    const int got = st->read(st->data, static_cast<char*>(out) + done, want);
    if (got <= 0) break;
    done += static_cast<uint64_t>(got);
  }
  return done;
}
