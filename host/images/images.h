// Frames to and from image files. Colour in a frame is premultiplied by alpha,
// as a renderer leaves it; files that store unassociated alpha (PNG, usually
// TIFF) are premultiplied on reading and divided again on writing, in the
// encoding the file holds.
#pragma once

#include <string>

#include "host/core/render.h"

namespace host {

enum class Encoding { Linear, SRGB };

// Floating-point formats (EXR, HDR, float TIFF) hold linear values, the
// others sRGB-encoded ones. For a file to be written, judged by its name.
Encoding encoding_for_output(const std::string& path);
const char* encoding_name(Encoding e);
// A linear value in the sRGB encoding.
float encode_srgb(float linear);

// Reads a background of exactly the frame's size into the frame, values as
// stored; returns the file's encoding. No alpha channel means fully covered.
Encoding read_image(const std::string& path, FrameImage& frame);

// Writes the frame, converting from the frame's encoding to the file's, whole
// or not at all (write_file_atomically): never a partial file. Errors of the
// image library come back as HostError.
// EXR keeps the frame's associated alpha. Other formats are written opaque,
// composited over black, unless keep_alpha is set: unassociated alpha cannot
// hold light on pixels of no coverage (stars in an empty sky), and the count
// of such pixels that lost their light is returned.
long write_image(const std::string& path, const FrameImage& frame, Encoding frame_encoding,
                 bool keep_alpha = false);

// A frame-numbered name from a pattern: a run of '#' becomes the zero-padded
// number, a printf-style %d conversion (%04d) is filled in. Without either the
// pattern is the name itself; several frames then need one.
std::string frame_path(const std::string& pattern, int frame);
bool is_frame_pattern(const std::string& pattern);

// Removes the temporary files that writers of this output (or, for a
// pattern, of any of its frames) left when they were killed. Returns the count.
int remove_stale_temporaries_of(const std::string& pattern);

}  // namespace host
