// Vector lanes for the fast paths, in the compiler's generic vector types:
// W floats per vector, doubles and ints of the same lane count. The kernels
// are templates inlined into one function per variant: the baseline (W = 4,
// SSE2 on x86) and, where the processor has it, AVX2 (W = 8), which carries
// a target attribute so that only that function uses the wider
// instructions. Internal to libimgops.
#pragma once

#include <cstdint>
#include <cstring>

#if defined(__GNUC__) && (defined(__x86_64__) || defined(__i386__))
#define IMGOPS_HAVE_AVX2 1
#define IMGOPS_TARGET_AVX2 __attribute__((target("avx2")))
#else
#define IMGOPS_HAVE_AVX2 0
#endif
#define IMGOPS_INLINE inline __attribute__((always_inline))
// For the lambdas a kernel hands to another: inlined like the kernel itself.
#define IMGOPS_LAMBDA __attribute__((always_inline))

namespace imgops {
namespace lanes {

template <int W>
struct Lanes {
  typedef float F __attribute__((vector_size(4 * W)));
  typedef int32_t I __attribute__((vector_size(4 * W)));
  typedef double D __attribute__((vector_size(8 * W)));
};

template <class V, class T>
IMGOPS_INLINE V load(const T* p) {
  V v;
  memcpy(&v, p, sizeof v);
  return v;
}
template <class V, class T>
IMGOPS_INLINE void store(T* p, V v) {
  memcpy(p, &v, sizeof v);
}
// The same bits as another type of the same size.
template <class To, class From>
IMGOPS_INLINE To bit_cast(From v) {
  static_assert(sizeof(To) == sizeof(From), "same size");
  To t;
  memcpy(&t, &v, sizeof t);
  return t;
}
// Whether any lane of a mask is set: the halves of a wide mask are or-ed
// as vectors, then the four lanes left are read two at a time. Reading
// lanes one by one took some 40% of a spot's time.
typedef int32_t Mask4 __attribute__((vector_size(16)));
IMGOPS_INLINE bool any(Mask4 mask) {
  uint64_t m[2];
  memcpy(m, &mask, sizeof m);
  return (m[0] | m[1]) != 0;
}
template <class I>
IMGOPS_INLINE bool any(I mask) {
  static_assert(sizeof(I) == 32, "8 lanes");
  return any(Mask4(__builtin_shufflevector(mask, mask, 0, 1, 2, 3) |
                   __builtin_shufflevector(mask, mask, 4, 5, 6, 7)));
}

// e^x for x <= 0, as the exponent of a Gaussian: within a few ulps of expf
// in the normal range, and 0 below it. No lane ever forms a subnormal: the
// processor takes a microcode assist of a hundred cycles or more for every
// instruction that meets one, in any lane.
template <int W>
IMGOPS_INLINE typename Lanes<W>::F exp_neg(typename Lanes<W>::F x) {
  typedef typename Lanes<W>::F F;
  typedef typename Lanes<W>::I I;
  // x = n ln 2 + r, |r| <= ln 2 / 2; ln 2 in two parts, the first exact
  // times any n of the range.
  const F round = F{} + 12582912.0f;  // 1.5 * 2^23: adding it rounds to an integer
  const F n = (x * 1.44269504f + round) - round;
  const F r = (x - n * 0.693359375f) - n * -2.12194440e-4f;
  F p = F{} + (1.0f / 5040);
  p = p * r + (1.0f / 720);
  p = p * r + (1.0f / 120);
  p = p * r + (1.0f / 24);
  p = p * r + (1.0f / 6);
  p = p * r + 0.5f;
  p = p * r + 1.0f;
  p = p * r + 1.0f;
  // 2^n p with p >= 0.7 is normal for n >= -125.
  const I normal = __builtin_convertvector(n, I) >= -125;
  const I ni = normal ? __builtin_convertvector(n, I) : I{};
  return normal ? p * bit_cast<F>((ni + 127) << 23) : F{};
}

// The error function's values at x0 = j / 128, j = 0 ... 512, beside the
// Gaussian's there (one cache line holds both), and the least float whose
// error function rounds to 1.
struct ErfTable {
  ErfTable();
  float one;
  struct Point {
    double erf;
    double gauss;  // 2 / sqrt(pi) exp(-x0^2): the derivative
  } at[513];
};
const ErfTable& erf_table();
// What the reference computes: the double error function rounded to float.
float erf_rounded(float x);

// erf(x) rounded to float exactly as float(erf(double(x))) rounds it: a
// Taylor series about the nearest table point, to about 1e-15, is rounded
// to float where that rounding is certain; the few values within 2^-40 of a
// rounding boundary take the C library's function.
template <int W>
IMGOPS_INLINE typename Lanes<W>::F erf_lanes(typename Lanes<W>::F x, const ErfTable& table) {
  typedef typename Lanes<W>::F F;
  typedef typename Lanes<W>::I I;
  typedef typename Lanes<W>::D D;
  const I xb = bit_cast<I>(x);
  const I sign = xb & static_cast<int32_t>(0x80000000u);
  const F ax = bit_cast<F>(xb & 0x7fffffff);
  const I nan = ax != ax;
  const I need = ~(ax >= table.one) & ~nan;
  F result = bit_cast<F>(bit_cast<I>(F{} + 1.0f) | sign);
  if (any(need)) {
    const F axc = need ? ax : F{};
    const I j = __builtin_convertvector(axc * 128.0f + 0.5f, I);
    const D x0 = __builtin_convertvector(j, D) * (1.0 / 128);
    const D t = __builtin_convertvector(axc, D) - x0;
    D e, g;
    for (int i = 0; i < W; ++i) {
      e[i] = table.at[j[i]].erf;
      g[i] = table.at[j[i]].gauss;
    }
    // erf(x0 + t) = erf(x0) + erf'(x0) sum_k (-1)^(k-1) H_(k-1)(x0) t^k / k!,
    // with the Hermite polynomials H_0 = 1, H_1 = 2x, H_(n+1) = 2x H_n - 2n H_(n-1).
    // With |t| <= 1/256 the terms after t^5 stay below 4e-15 of the value,
    // far inside the margin below.
    const D tx = x0 * 2.0;
    const D h1 = tx, h2 = tx * h1 - 2.0, h3 = tx * h2 - 4.0 * h1, h4 = tx * h3 - 6.0 * h2;
    D s = h4 * (1.0 / 120);
    s = s * t - h3 * (1.0 / 24);
    s = s * t + h2 * (1.0 / 6);
    s = s * t - h1 * 0.5;
    s = s * t + 1.0;
    const D y = e + g * (s * t);
    const D margin = y * 9.094947017729282e-13;  // 2^-40
    const F f = __builtin_convertvector(y, F);
    const I sure = __builtin_convertvector(y - margin, F) == __builtin_convertvector(y + margin, F);
    F v = f;
    const I unsure = need & ~sure;
    if (any(unsure))
      for (int i = 0; i < W; ++i)
        if (unsure[i]) v[i] = erf_rounded(ax[i]);
    result = need ? bit_cast<F>(bit_cast<I>(v) | sign) : result;
  }
  return nan ? x : result;
}

}  // namespace lanes
}  // namespace imgops
