// What an output records of the render that made it: the camera as a
// compositor rebuilds it, the frame rate, the database and the filter's
// settings, the program's version. Nothing of the time or the machine.
#pragma once

#include "host/core/session.h"
#include "host/images/output.h"

namespace host {

// The camera matrices follow the renderer's conventions: camera space is
// left-handed, +X right, +Y up, +Z forward (as the world is); after the
// division by w, worldToNDC gives x from 0 at the frame's left edge to 1 at
// its right and y from 0 at the top to 1 at the bottom, pixel i spanning
// [i, i + 1) / size (the pixel a star is drawn in is floor(NDC x size)), and
// z = 1 / depth. worldToNDC is left out when a filter draws with another
// projection than Perspective, which no matrix holds.
FrameAttributes frame_attributes(const Session& session, int frame);

}  // namespace host
