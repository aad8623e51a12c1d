// Stars as light: sky projections, the spot and streak rasteriser, and the
// renderer that draws a whole star database through a list of cameras.
//
// Precision is part of the contract: brightness, colour and rasteriser
// arithmetic are single precision, projections and matrices double.
#pragma once

#include <cstdint>

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

enum op_stars_lines { AllLines = 0, EvenLines = 1, OddLines = 2 };

enum op_stars_projection { Perspective = 0, Hemispherical = 1, AzimuthalEquidistant = 2 };

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
};

namespace imgops {
// The error function in double precision (callers narrow the result to float).
double erf(double x);
}  // namespace imgops

// Adds one star to dst: a spot of peak `amount` at p0 when p0 and p1 (nearly)
// coincide, otherwise the exact integral of that spot swept from p0 to p1
// divided by the segment's length, so both carry amount * pi * a * b of light.
// Pixel (i, j) is sampled at the point (i, j). True when any pixel gained light.
bool op_star_streak(const StarFramebuffer& dst, const VectorN<float, 2>& p0,
                    const VectorN<float, 2>& p1, float amount, const VectorN<float, 3>& colour,
                    float a, float b, op_stars_lines lines);

// Projection matrix for Perspective: after the divide a camera-space point
// lands at (x * zoom / z, y * zoom / z).
Matrix4<double> perspective_matrix(double zoom, double near, double far);

// Carries a star (degrees; distance <= 0 means none) through a camera's final
// matrix to a framebuffer position, written in every case. Returns whether the
// star is in front of the camera and inside the projection's field.
bool world_to_screen(double ra, double dec, double distance, double parallax,
                     Matrix4<double> matrix, op_stars_projection projection, int width, int height,
                     double left, double right, double bottom, double top,
                     VectorN<float, 2>& out);
