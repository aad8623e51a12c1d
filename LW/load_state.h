// A load state opened through the host's "File IO 2", closed on every way out.
#pragma once

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
