// Stars as light: sky projections, the spot and streak rasteriser, and the
// renderer that draws a whole star database through a list of cameras.
//
// Precision is part of the contract: brightness, colour and rasteriser
// arithmetic are single precision, projections and matrices double.
#pragma once

#include <climits>
#include <cstdint>
#include <vector>

#include "base/array.h"
#include "base/string.h"

template <class T, int N>
struct VectorN {
  T v[N];
  T& operator[](int i) { return v[i]; }
  const T& operator[](int i) const { return v[i]; }
};

// Row-major 4x4; points are row vectors on the left, so A * B applies A first.
template <class T>
struct Matrix4 {
  T m[16];

  T& operator()(int row, int col) { return m[row * 4 + col]; }
  const T& operator()(int row, int col) const { return m[row * 4 + col]; }

  static Matrix4 identity() {
    Matrix4 r{};
    r(0, 0) = r(1, 1) = r(2, 2) = r(3, 3) = T(1);
    return r;
  }
  Matrix4 operator*(const Matrix4& b) const {
    Matrix4 r;
    for (int i = 0; i < 4; ++i)
      for (int j = 0; j < 4; ++j)
        r(i, j) = (*this)(i, 0) * b(0, j) + (*this)(i, 1) * b(1, j) + (*this)(i, 2) * b(2, j) +
                  (*this)(i, 3) * b(3, j);
    return r;
  }
};

enum op_stars_lines : int32_t { AllLines = 0, EvenLines = 1, OddLines = 2 };

// Held as 32-bit integers: a saved setting may carry any value, which the
// projection refuses as "unknown projection".
enum op_stars_projection : int32_t { Perspective = 0, Hemispherical = 1, AzimuthalEquidistant = 2 };

// Framebuffer rows whose pixels are filled on first use, kChunk columns at a
// time, so that a frame pays only for the parts that stars reach. The
// drawing functions prepare the columns of every row before they touch them.
struct LazyRows {
  static const int kChunk = 8;
  unsigned char* ready;  // one flag per chunk, rows one after another
  int chunks_per_row;
  // Fills chunks first..last of a row, whose flags are all clear, and sets them.
  void (*fill)(void* context, int row, int first, int last);
  void* context;

  void prepare(int row, int x0, int x1) const {
    unsigned char* flags = ready + static_cast<size_t>(row) * chunks_per_row;
    const int last = x1 / kChunk;
    for (int c = x0 / kChunk; c <= last; ++c) {
      if (flags[c]) continue;
      int end = c;
      while (end < last && !flags[end + 1]) ++end;
      fill(context, row, c, end);
      c = end;
    }
  }
};

// Four float planes; owns nothing. Sample of channel c at (x, y) is
// c[y * row_stride + x * pixel_stride]; strides count floats.
struct StarFramebuffer {
  float* red;
  float* green;
  float* blue;
  float* alpha;  // coverage by the rendered scene, 0..1; never written here
  int width;
  int height;
  int row_stride;
  int pixel_stride;
  const LazyRows* lazy = nullptr;  // null: every pixel is there from the start
  // Floats after each row's last pixel, with separate planes (pixel_stride
  // 1), that the fast rasteriser may read and write back unchanged, so that
  // a row's last vector needs no copy. At least 7 for any use.
  int slack = 0;
  // The rows drawn: first_row .. last_row. A frame may be drawn in parts
  // of its rows one after another or side by side, and a row's light is the
  // same whichever part draws it.
  int first_row = 0, last_row = INT_MAX;

  bool draws_row(int y) const { return y >= first_row && y <= last_row; }
  // Whether any of the rows y0 .. y1 is drawn.
  bool draws_any_row(int y0, int y1) const {
    return (y0 > first_row ? y0 : first_row) <= (y1 < last_row ? y1 : last_row);
  }
};

// A star's unit direction, from right ascension and declination.
struct SkyDirection {
  double x, y, z;
};
SkyDirection sky_direction(double ra_deg, double dec_deg);

// Each record's brightness and direction, as the renderer reads them, for n
// records of 32 bytes.
void star_lookups(const unsigned char* records, size_t n, float* bright, SkyDirection* dirs);

// A part of the sky as a database's cell index describes it.
struct SkyPatch {
  SkyDirection centre;  // unit vector
  double radius;        // radians: every star of the patch within it of centre
  float brightest;      // no star of the patch has a larger brightness
  double nearest;       // parsecs: no star nearer; infinity when none has a distance
};

// A source of 32-byte star records, header first. The renderer reads it; the
// plug-in's database file implements it.
class StarInput {
public:
  virtual ~StarInput();
  // The record under the cursor (32 bytes), then the cursor moves on. No bound
  // check: callers stop after record_count records.
  virtual const unsigned char* next() = 0;
  virtual void rewind() = 0;
  // The format its header record names, as star_db::header_version reads it:
  // 1, 2 (the records carry distances), or 0 for no star database.
  virtual int version() const = 0;

  // What the renderer reads of every record, for sources that hold their
  // records in memory: each record's brightness, and its direction as
  // sky_direction gives it, indexed like the records (the header's entries
  // unused) and worked out once. Null when the source does not keep them.
  virtual const float* brightnesses() { return nullptr; }
  virtual const SkyDirection* directions() { return nullptr; }

  uint32_t record_count = 0;  // records in the file, the header included
};

namespace imgops {
// The error function in double precision (callers narrow the result to float).
double erf(double x);
}  // namespace imgops

// Adds one star to dst: a spot of peak `amount` at p0 when p0 and p1 (nearly)
// coincide, otherwise the exact integral of that spot swept from p0 to p1
// divided by the segment's length, so both carry amount * pi * a * b of light.
// Pixel (i, j) is sampled at the point (i, j). True when any pixel gained light.
// This is the reference: every pixel's formula with the C library's exp and
// erf. A segment that reaches far beyond the framebuffer is first clipped to
// where its light can still land, keeping its light per unit length.
bool op_star_streak(const StarFramebuffer& dst, const VectorN<float, 2>& p0,
                    const VectorN<float, 2>& p1, float amount, const VectorN<float, 3>& colour,
                    float a, float b, op_stars_lines lines);

// The same light, computed fast: a spot as a product of one exponential per
// column and one per row, a streak in vector lanes with an exponential good
// to a few ulps and the error function rounded to float exactly as the
// reference rounds it; only pixels whose light is exactly zero (beyond the
// underflow of the Gaussian across the segment) are not visited. Within
// 1e-5 of the reference per pixel, relative, or 1e-7 of the amount.
bool op_star_streak_fast(const StarFramebuffer& dst, const VectorN<float, 2>& p0,
                         const VectorN<float, 2>& p1, float amount, const VectorN<float, 3>& colour,
                         float a, float b, op_stars_lines lines);

// Which of the two the renderer draws with.
enum op_stars_path { FastPath = 0, ExactPath = 1 };

// One camera position within a frame's exposure.
struct camera {
  Matrix4<double> matrix;  // world to camera, row vectors
  double zoom;             // used by Perspective only, as are near and far
  double near;
  double far;
};

// The renderer's settings for one pass, filled by the per-frame pass.
struct StarRendererData {
  double screen_left;    // screen-window coordinate at framebuffer x = 0
  double screen_right;   // ... at x = width
  double screen_bottom;  // ... at y = height
  double screen_top;     // ... at y = 0
  double star_width;
  double star_height;
  double lum_threshold;  // against the record's own brightness
  double lum_max;        // clamp after the power
  double brightness;
  double saturation;
  double brightness_power;
  double tint_strength;
  double parallax;
  VectorN<float, 3> tint;
  op_stars_projection projection;
  op_stars_lines lines;
  bool three_d;
  op_stars_path path = FastPath;  // unless the reference is asked for
};

struct PreparedStar;

// Draws a star database through a list of cameras, one record per
// render_next call. Lives for one pass: the caller rewinds the input after it.
class StarRenderer {
public:
  // Reads the header record; the four arguments must outlive the renderer.
  StarRenderer(const StarRendererData& data, const StarFramebuffer& fb, StarInput& input,
               const Array<camera>& cams);
  StarRenderer(const StarRenderer&) = delete;
  StarRenderer& operator=(const StarRenderer&) = delete;
  ~StarRenderer();

  // Draws the next star; sets drew when it added light. False once no record remains.
  bool render_next(bool& drew);
  // Draws one 32-byte record; true when it added light.
  bool render_star(const unsigned char* record);
  // Draws n records in order, with their star_lookups; true when any added
  // light. Drawing only some runs of a database gives the picture of drawing
  // all of it when the runs left out are patches that may_light refuses.
  bool render_records(const unsigned char* records, const float* bright, const SkyDirection* dirs,
                      size_t n);
  // Sets up the spots and streaks render_records would draw with the fast
  // path, appended to out in drawing order, for draw_prepared to draw.
  void prepare_records(const unsigned char* records, const float* bright, const SkyDirection* dirs,
                       size_t n, std::vector<PreparedStar>& out) const;
  // False only when no star of the patch can add light to this pass.
  bool may_light(const SkyPatch& patch) const;

  const StarRendererData& data;
  struct Private;
  Private* priv;
};

// Projection matrix for Perspective: after the divide a camera-space point
// lands at (x * zoom / z, y * zoom / z).
Matrix4<double> perspective_matrix(double zoom, double near, double far);

// A star as the projections take it.
struct SkyPoint {
  double ra, dec;   // degrees
  double distance;  // a value not above 0 means none
  double parallax;  // the parallax setting
};

// How the screen window lies over a framebuffer, and the projection onto it.
struct ScreenMapping {
  op_stars_projection projection;
  int width, height;  // the framebuffer's, pixels
  double left, right, bottom, top;
};

// Carries a star through a camera's final matrix to a framebuffer position,
// written in every case. Returns whether the star is in front of the camera
// and inside the projection's field.
bool world_to_screen(const SkyPoint& star, const Matrix4<double>& matrix,
                     const ScreenMapping& screen, VectorN<float, 2>& out);
// The same from the star's direction (sky_direction of its angles).
bool world_to_screen(const SkyDirection& direction, const SkyPoint& star,
                     const Matrix4<double>& matrix, const ScreenMapping& screen,
                     VectorN<float, 2>& out);
