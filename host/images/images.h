// Frames from image files, and the names of numbered files. Colour in a frame
// is premultiplied by alpha, as a renderer leaves it; files that store
// unassociated alpha (PNG, usually TIFF) are premultiplied on reading, in
// linear light.
// Writing is in output.h.
#pragma once

#include <string>

#include "host/core/render.h"

namespace host {

enum class Encoding { Linear, SRGB };

// Floating-point formats (EXR, HDR, float TIFF) hold linear values, the
// others sRGB-encoded ones. For a file to be written, judged by its name.
Encoding encoding_for_output(const std::string& path);
const char* encoding_name(Encoding e);
// A linear value in the sRGB encoding, and back.
float encode_srgb(float linear);
float decode_srgb(float encoded);
// The extension of a file name, in lower case; empty for none.
std::string lower_extension(const std::string& path);

// Where a plate without alpha leaves the sky. Opaque: nowhere (no star
// shows). Luminance: coverage is the plate's linear luminance, capped at 1
// (a dark sky lets the stars through). None: everywhere, the plate's light
// added to the stars'. Matte: the first channel of a separate image (its
// alpha when it has one) is the coverage.
struct PlateAlpha {
  enum Mode { Opaque, Luminance, None, Matte } mode = Opaque;
  std::string matte;  // a file or pattern, for Matte
};

// Reads a background of exactly the frame's size into the frame, values as
// stored; returns the file's encoding. Without an alpha channel the coverage
// comes from `missing` (had_alpha, when given, is told whether it had one);
// a plate keyed so (or by a matte) keeps its light as stored. Straight alpha
// is premultiplied in linear light; sRGB-encoded files give the encoding of
// that premultiplied light.
Encoding read_image(const std::string& path, FrameImage& frame,
                    const PlateAlpha& missing = PlateAlpha(), int frame_number = 0,
                    bool* had_alpha = nullptr);

// A frame-numbered name from a pattern: a run of '#' becomes the zero-padded
// number, a printf-style %d conversion (%04d) is filled in. Without either the
// pattern is the name itself; several frames then need one.
std::string frame_path(const std::string& pattern, int frame);
bool is_frame_pattern(const std::string& pattern);

// Removes the temporary files that writers of this output (or, for a
// pattern, of any of its frames) left when they were killed. Returns the count.
int remove_stale_temporaries_of(const std::string& pattern);

}  // namespace host
