// A pass drawn in bands of rows side by side, one thread a band. Every row
// belongs to one band and gets its light from the same stars in the same
// order as when one thread draws them all, so the picture is the same bits
// whatever the number of bands.
#pragma once

#include <atomic>
#include <functional>

#include "libimgops/stars.h"

// How many bands `rows` rows are worked in: vantrel_module.bands when set,
// else VANTREL_THREADS when the environment holds a count (up to 64), else
// the processor's threads, at most 8 and with at least 64 rows a band;
// never more than the rows.
int band_count(int rows);
// The same for a pass over fb; 1 for the reference rasteriser.
int pass_band_count(const StarFramebuffer& fb, const StarRendererData& data);

// Band b of n: fb, drawing only its share of the rows.
StarFramebuffer band_of(const StarFramebuffer& fb, int b, int n);

// Runs work(0) .. work(n - 1) at once, work(0) on the calling thread, and
// returns when all have ended. The first exception any of them raised is
// raised again here, after stop has been set so that the others may end
// early. A band whose thread cannot be started runs on the calling thread.
void run_bands(int n, const std::function<void(int)>& work, std::atomic<bool>& stop);
