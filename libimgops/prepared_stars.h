// Stars set up once and drawn later, a part of the frame at a time. A pass
// drawn by several threads sets each star up once, then draws each stripe
// of rows on one thread with the stars that reach it in their order, so
// that every pixel sums the same light in the same order as drawing star
// by star, and a stripe's pixels stay in the core's cache while it is drawn.
#pragma once

#include <vector>

#include "libimgops/streak.h"

struct PreparedStar {
  imgops::Streak streak;  // drawable: the renderer keeps no others
  VectorN<float, 3> colour;
};

inline bool draw_prepared(const StarFramebuffer& view, const PreparedStar& star,
                          op_stars_lines lines) {
  return imgops::draw_streak_fast(view, star.streak, star.colour, lines);
}
