// The memory a frame's fast path draws into (planes of light and coverage,
// and the flags of the chunks filled), kept by the instance from frame to
// frame so that a frame does not map fresh pages for it every time.
#pragma once

#include <vector>

struct FrameMemory {
  std::vector<float> planes;
  std::vector<unsigned char> ready;
};
