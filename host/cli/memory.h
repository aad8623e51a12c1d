// How much memory a frame needs and how much this process may still take:
// a sequence that cannot fit is refused before its first frame.
#pragma once

#include <cstdint>

namespace host {

// What a frame of this size needs at its peak, in bytes: the frame's planes,
// a background read into it, the filter's own copy and an image being
// encoded, at 64 bytes a pixel in all.
uint64_t frame_memory_needed(int width, int height);
// What this process may still allocate, in bytes, from the system's available
// memory and any limit set on the process; 0 when that cannot be told.
uint64_t memory_available();
}  // namespace host
