// A pass drawn by several threads, one a band. Every row is drawn by one
// thread at a time and gets its light from the same stars in the same
// order as when one thread draws them all, so the picture is the same bits
// whatever the number of bands.
#pragma once

#include <atomic>
#include <functional>
#include <vector>

#include "LW/frame_memory.h"
#include "LW/star_cells.h"
#include "libimgops/stars.h"

// How many bands `rows` rows are worked in: vantrel_module.bands when set,
// else VANTREL_THREADS when the environment holds a count (up to 64), else
// the processor's threads, at most 8 and with at least 64 rows a band;
// never more than the rows.
int band_count(int rows);
// The same for a pass over fb; 1 for the reference rasteriser.
int pass_band_count(const StarFramebuffer& fb, const StarRendererData& data);

// Whether a pass of `records` records over fb fills the frame's rows first,
// in order, rather than chunk by chunk where stars first land: when it has
// a record for every four chunks, and so reaches most of them.
bool fills_first(const StarFramebuffer& fb, uint64_t records);
// The view with every row it draws filled from fb's lazy rows, and no rows
// left to fill.
StarFramebuffer filled(const StarFramebuffer& fb, StarFramebuffer view);

// A pass drawn stripe by stripe: the stars of a batch of records are set
// up once, in pieces taken by the next thread free, then every stripe of
// rows is drawn on one thread with the stars that reach it, in their
// order, while the next batch is set up. The rows are filled first when
// fills_first says so.
struct StripedPass {
  const StarFramebuffer& fb;         // the whole frame
  const std::vector<CellRun>& runs;  // the records, in drawing order
  const StarRenderer& renderer;      // over fb
  int bands;
  int segments;  // spots or streaks a star may make: one per pair of cameras
  op_stars_lines lines;
  std::vector<BatchPiece>& pieces;  // kept from pass to pass
};
// False when passed(records of the runs done so far), asked on the calling
// thread after each batch, returns false.
bool draw_striped(const StripedPass& pass, const std::function<bool(uint64_t)>& passed);

// Runs work(0) .. work(n - 1) at once, work(0) on the calling thread, and
// returns when all have ended. The first exception any of them raised is
// raised again here, after stop has been set so that the others may end
// early. A band whose thread cannot be started runs on the calling thread.
void run_bands(int n, const std::function<void(int)>& work, std::atomic<bool>& stop);
// The same for bands that wait for one another, which must all run at once:
// false, with none run, when not every band could have a thread.
bool run_bands_together(int n, const std::function<void(int)>& work, std::atomic<bool>& stop);
