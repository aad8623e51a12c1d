// The memory a frame's fast path draws into (planes of light and coverage,
// and the flags of the chunks filled) and the stars it sets up, kept by the
// instance from frame to frame so that a frame does not map fresh pages
// for them every time.
#pragma once

#include <cstdint>
#include <vector>

#include "libimgops/prepared_stars.h"

// A piece of a batch of a pass drawn in stripes: its records' stars set
// up, and for each stripe those that reach it, in order. A cache line
// each, so that threads filling their own do not contend.
struct alignas(64) BatchPiece {
  std::vector<PreparedStar> stars;
  std::vector<std::vector<uint32_t>> stripes;
};

struct FrameMemory {
  std::vector<float> planes;
  std::vector<unsigned char> ready;
  std::vector<BatchPiece> pieces;  // two batches' worth
};
