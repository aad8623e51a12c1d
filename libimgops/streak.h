// What the exact and the fast rasteriser share: the setup of one spot or
// streak, and the columns a row of it scans. Internal to libimgops.
#pragma once

#include "libimgops/stars.h"

namespace imgops {

// What a spot or streak looks like to the rows, derived once per call.
struct Streak {
  bool drawable = false;  // false: no reach, or the box misses the framebuffer
  float x0, y0, cx, cy;   // first end, midpoint
  float amount, a, b, a2, b2;
  bool is_streak;  // the ends lie more than 1e-5 apart
  float len, ux, uy, D, k;
  // amount / length of the whole segment: a segment clipped to the
  // framebuffer's neighbourhood keeps the light per unit length it had.
  float light_per_len;
  float slope, h;          // each row scans x = (y - y0) * slope + x0 +- h
  int xlo, ylo, xhi, yhi;  // the box, clipped to the framebuffer
};

Streak setup_streak(const StarFramebuffer& dst, const VectorN<float, 2>& p0,
                    const VectorN<float, 2>& p1, float amount, float a, float b);

// Draws a spot or streak set up by setup_streak into the rows dst draws,
// as op_star_streak_fast does; true when any pixel gained light.
bool draw_streak_fast(const StarFramebuffer& dst, const Streak& s, const VectorN<float, 3>& colour,
                      op_stars_lines lines);

// The columns one row of a star scans, and X of the first (the column's
// offset from the midpoint). Empty when last < first.
struct RowSpan {
  int first, last;
  float X;
};
RowSpan row_span(const StarFramebuffer& dst, const Streak& s, float U);

// Whether row iy is drawn: it is of the parity asked for, and in the
// framebuffer's band.
inline bool row_drawn(const StarFramebuffer& dst, op_stars_lines lines, int iy) {
  if (!dst.draws_row(iy)) return false;
  if (lines == EvenLines) return !(iy & 1);
  if (lines == OddLines) return iy & 1;
  return true;
}

}  // namespace imgops
