// Frames to image files: the formats a user picks (EXR, PNG, TIFF, JPEG, DPX,
// Targa, HDR), their alpha, depth and EXR options, the stars layer beside the
// composite, an OpenColorIO conversion and the attributes that let a
// compositor rebuild the camera.
#pragma once

#include <array>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "host/core/render.h"
#include "host/images/images.h"

namespace host {

class ColourConversion;

// The stars layer's alpha. Opaque: a backdrop, composited under the plate
// with "over". Light: the brightest channel of the light, capped at 1, for
// formats or tools that key on alpha; premultiplied EXR adds it the same way.
enum class StarsAlpha { Opaque, Light };

// The choices of the command line about how a file is written.
struct OutputOptions {
  bool keep_alpha = false;          // straight-alpha formats (PNG, TIFF, DPX, Targa)
  int bits = 0;                     // 8 or 16 for PNG, TIFF, DPX; 0: 8, DPX 10
  bool half = false;                // EXR channels as 16-bit floats
  std::string compression = "zip";  // EXR: none, zip, zips, piz, dwaa, dwab
  bool tiled = false;               // EXR in 64 x 64 tiles rather than scanlines
  StarsAlpha stars_alpha = StarsAlpha::Opaque;
};

// What an EXR records of the render. Matrices are row-vector, as EXR keeps them.
struct FrameAttributes {
  std::optional<std::array<float, 16>> world_to_camera, world_to_ndc;
  double fps = 0;
  std::array<float, 8> chromaticities{};                  // red, green, blue, white as x, y
  std::vector<std::pair<std::string, std::string>> text;  // our own, "vantrel:..."
  long long star_count = -1;                              // -1: not known
};

// One frame to write: the composite, and the stars alone (as a layer of an
// EXR, or for a file of their own) when they were rendered.
struct OutputFrame {
  const FrameImage* image = nullptr;
  const FrameImage* stars = nullptr;
  Encoding encoding = Encoding::Linear;      // of both images' values
  const ColourConversion* colour = nullptr;  // none: the render's own space
  const FrameAttributes* attributes = nullptr;
};

// The chromaticities of linear Rec.709 with a D65 white: the stars' colours.
std::array<float, 8> rec709_chromaticities();

// One line for each thing the options ask that the file named cannot hold,
// for telling once before a sequence starts.
std::vector<std::string> output_limits(const std::string& path, const OutputOptions& o);

// Writes the frame whole or not at all (write_file_atomically), after reading
// the encoded bytes' header back. Errors of the image library come back as
// HostError. Returns the count of pixels whose light a straight-alpha file
// cannot hold (light with alpha 0); an EXR keeps everything.
long write_image(const std::string& path, const OutputFrame& frame, const OutputOptions& o);

// Turns the stars alone, rendered over an empty sky in the frame's encoding,
// into the layer: linear light, premultiplied, with the alpha chosen.
void make_stars_layer(FrameImage& stars, Encoding encoding, StarsAlpha alpha);

// The second file of the stars layer for a non-EXR output: ".stars" before
// the extension ("shot.####.png" gives "shot.####.stars.png").
std::string stars_path(const std::string& pattern);

}  // namespace host
