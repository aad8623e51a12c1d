#include "libimgops/srgb.h"

#include <cmath>
#include <limits>

#include "libimgops/isa.h"
#include "libimgops/lanes.h"

float srgb_decode(float v) {
  // 0.94786733 is the float just above 1 / 1.055.
  return v > 0.03928f ? std::pow((v + 0.055f) * 0.94786733f, 2.4f) : v * 0.07739938f;
}

float srgb_encode(float v) {
  // The threshold is 0.00304, not 0.0031308: the curve the host's pixels were made with.
  return v > 0.00304f ? std::pow(v, 0.41666666f) * 1.055f - 0.055f : v * 12.92f;
}

namespace {

using imgops::lanes::any;
using imgops::lanes::bit_cast;
using imgops::lanes::Lanes;
using imgops::lanes::load;
using imgops::lanes::store;

// x^e in double lanes for finite floats x >= 2^-126 and |e| < 3, to
// about 1e-14: ln x from x = 2^k m, m in [sqrt(1/2), sqrt(2)),
// ln m = 2 atanh((m - 1) / (m + 1)); then 2^z = 2^n e^(f ln 2), |f| <= 1/2.
template <int W>
IMGOPS_INLINE typename Lanes<W>::D pow_lanes(typename Lanes<W>::F x, double e) {
  typedef typename Lanes<W>::F F;
  typedef typename Lanes<W>::I I;
  typedef typename Lanes<W>::D D;
  typedef int64_t Q __attribute__((vector_size(8 * W)));
  const I xb = bit_cast<I>(x);
  const I k = (xb - 0x3f3504f3) >> 23;  // 0x3f3504f3: sqrt(1/2)
  const D m = __builtin_convertvector(bit_cast<F>(xb - (k << 23)), D);
  const D s = (m - 1.0) / (m + 1.0), s2 = s * s;  // |s| < 0.1716
  D t = D{} + 1.0 / 13;
  t = t * s2 + 1.0 / 11;
  t = t * s2 + 1.0 / 9;
  t = t * s2 + 1.0 / 7;
  t = t * s2 + 1.0 / 5;
  t = t * s2 + 1.0 / 3;
  t = t * s2 + 1.0;
  const D ln_x = __builtin_convertvector(k, D) * 0.6931471805599453 + 2.0 * s * t;
  const D z = ln_x * (e * 1.4426950408889634);
  const D round = D{} + 6755399441055744.0;  // 1.5 * 2^52: adding it rounds to an integer
  const D n = (z + round) - round;
  const D f = (z - n) * 0.6931471805599453;
  // e^f to the 12th power of f: 1 / 12! first.
  D p = D{} + 1.0 / 479001600;
  p = p * f + 1.0 / 39916800;
  p = p * f + 1.0 / 3628800;
  p = p * f + 1.0 / 362880;
  p = p * f + 1.0 / 40320;
  p = p * f + 1.0 / 5040;
  p = p * f + 1.0 / 720;
  p = p * f + 1.0 / 120;
  p = p * f + 1.0 / 24;
  p = p * f + 1.0 / 6;
  p = p * f + 0.5;
  p = p * f + 1.0;
  p = p * f + 1.0;
  // 2^n from its bits: n sits in the low bits of n + round.
  const Q bits = bit_cast<Q>(n + round) - bit_cast<Q>(round);
  return p * bit_cast<D>((bits + 1023) << 52);
}

// The power rounded to float where the rounding is beyond doubt: 2^-30 of
// the value from a rounding boundary, far more than the error above and
// than the C library's powf ever misses a boundary by. Elsewhere unsure is
// set and the caller takes the reference function.
template <int W>
IMGOPS_INLINE typename Lanes<W>::F pow_rounded(typename Lanes<W>::F x, double e,
                                               typename Lanes<W>::I& unsure) {
  typedef typename Lanes<W>::F F;
  typedef typename Lanes<W>::D D;
  const D y = pow_lanes<W>(x, e);
  const D margin = y * 9.313225746154785e-10;  // 2^-30
  unsure = __builtin_convertvector(y - margin, F) != __builtin_convertvector(y + margin, F);
  return __builtin_convertvector(y, F);
}

// Values beyond the fast range, and the unsure ones, take the reference.
template <int W>
IMGOPS_INLINE typename Lanes<W>::F patch(typename Lanes<W>::F v, typename Lanes<W>::F x,
                                         typename Lanes<W>::I slow, float (*reference)(float)) {
  if (any(slow))
    for (int i = 0; i < W; ++i)
      if (slow[i]) v[i] = reference(x[i]);
  return v;
}

template <int W>
IMGOPS_INLINE typename Lanes<W>::F decode_lanes(typename Lanes<W>::F v) {
  typedef typename Lanes<W>::F F;
  typedef typename Lanes<W>::I I;
  const I curved = v > 0.03928f;
  F out = v * 0.07739938f;
  if (!any(curved)) return out;
  const I fast = curved & (v < std::numeric_limits<float>::infinity());
  const F t = ((fast ? v : F{} + 1.0f) + 0.055f) * 0.94786733f;
  I unsure;
  const F p = pow_rounded<W>(t, 2.4f, unsure);
  out = curved ? p : out;
  return patch<W>(out, v, curved & (~fast | unsure), srgb_decode);
}

template <int W>
IMGOPS_INLINE typename Lanes<W>::F encode_lanes(typename Lanes<W>::F v) {
  typedef typename Lanes<W>::F F;
  typedef typename Lanes<W>::I I;
  typedef typename Lanes<W>::D D;
  const I curved = v > 0.00304f;
  F out = v * 12.92f;
  if (!any(curved)) return out;
  const I fast = curved & (v < std::numeric_limits<float>::infinity());
  I unsure;
  const F p = pow_rounded<W>(fast ? v : F{} + 1.0f, 0.41666666f, unsure);
  // p * 1.055f - 0.055f with its two float roundings, whatever the compiler
  // may fuse here: the product of two floats and the difference of two
  // floats are exact in double, and each is rounded to float once.
  const F scaled = __builtin_convertvector(__builtin_convertvector(p, D) * double(1.055f), F);
  const F curve = __builtin_convertvector(__builtin_convertvector(scaled, D) - double(0.055f), F);
  out = curved ? curve : out;
  return patch<W>(out, v, curved & (~fast | unsure), srgb_encode);
}

template <int W, bool Decode>
IMGOPS_INLINE typename Lanes<W>::F curve(typename Lanes<W>::F v) {
  return Decode ? decode_lanes<W>(v) : encode_lanes<W>(v);
}

template <int W, bool Decode>
IMGOPS_INLINE void run(const float* in, float* out, int n) {
  typedef typename Lanes<W>::F F;
  int i = 0;
  for (; i + W <= n; i += W) store(out + i, curve<W, Decode>(load<F>(in + i)));
  if (i < n) {
    float pad[W] = {};
    for (int j = 0; j < n - i; ++j) pad[j] = in[i + j];
    const F v = curve<W, Decode>(load<F>(pad));
    for (int j = 0; j < n - i; ++j) out[i + j] = v[j];
  }
}

template <int W>
IMGOPS_INLINE typename Lanes<W>::F add_light_lanes(typename Lanes<W>::F v,
                                                   typename Lanes<W>::F light, bool encoded) {
  typedef typename Lanes<W>::F F;
  typedef typename Lanes<W>::I I;
  const F linear = encoded ? decode_lanes<W>(v) : v;
  const F sum = linear + light;
  const I changed = sum != linear;
  if (!any(changed)) return v;
  return changed ? (encoded ? encode_lanes<W>(sum) : sum) : v;
}

template <int W>
IMGOPS_INLINE void add_light_run(const float* in, const float* light, float* out, int n,
                                 bool encoded) {
  typedef typename Lanes<W>::F F;
  int i = 0;
  for (; i + W <= n; i += W)
    store(out + i, add_light_lanes<W>(load<F>(in + i), load<F>(light + i), encoded));
  if (i < n) {
    float v[W] = {}, l[W] = {};
    for (int j = 0; j < n - i; ++j) v[j] = in[i + j], l[j] = light[i + j];
    const F sum = add_light_lanes<W>(load<F>(v), load<F>(l), encoded);
    for (int j = 0; j < n - i; ++j) out[i + j] = sum[j];
  }
}

float add_light_value(float v, float light, bool encoded) {
  const float linear = encoded ? srgb_decode(v) : v;
  const float sum = linear + light;
  return sum != linear ? (encoded ? srgb_encode(sum) : sum) : v;
}

// Without wide double lanes the power costs more in vectors than the C
// library's powf: the baseline takes the reference value by value.
void decode_baseline(const float* in, float* out, int n) {
  for (int i = 0; i < n; ++i) out[i] = srgb_decode(in[i]);
}
void encode_baseline(const float* in, float* out, int n) {
  for (int i = 0; i < n; ++i) out[i] = srgb_encode(in[i]);
}
void add_light_baseline(const float* in, const float* light, float* out, int n, bool encoded) {
  for (int i = 0; i < n; ++i) out[i] = add_light_value(in[i], light[i], encoded);
}

#if IMGOPS_HAVE_AVX2
// Fused multiply-adds are welcome here: they only make the power more
// accurate, and every float result above is rounded explicitly. (Clang has
// no per-function switch for them, and goes without.)
#if defined(__clang__)
#define IMGOPS_TARGET_AVX2_FMA __attribute__((target("avx2,fma")))
#else
#define IMGOPS_TARGET_AVX2_FMA __attribute__((target("avx2,fma"), optimize("fp-contract=fast")))
#endif
IMGOPS_TARGET_AVX2_FMA void decode_avx2(const float* in, float* out, int n) {
  run<8, true>(in, out, n);
}
IMGOPS_TARGET_AVX2_FMA void encode_avx2(const float* in, float* out, int n) {
  run<8, false>(in, out, n);
}
IMGOPS_TARGET_AVX2_FMA void add_light_avx2(const float* in, const float* light, float* out, int n,
                                           bool encoded) {
  add_light_run<8>(in, light, out, n, encoded);
}
#endif

}  // namespace

void srgb_decode_run(const float* in, float* out, int n) {
#if IMGOPS_HAVE_AVX2
  if (imgops::isa_in_use() == imgops::Isa::Avx2) return decode_avx2(in, out, n);
#endif
  decode_baseline(in, out, n);
}

void srgb_encode_run(const float* in, float* out, int n) {
#if IMGOPS_HAVE_AVX2
  if (imgops::isa_in_use() == imgops::Isa::Avx2) return encode_avx2(in, out, n);
#endif
  encode_baseline(in, out, n);
}

void add_linear_light_run(const float* in, const float* light, float* out, int n, bool encoded) {
#if IMGOPS_HAVE_AVX2
  if (imgops::isa_in_use() == imgops::Isa::Avx2) return add_light_avx2(in, light, out, n, encoded);
#endif
  add_light_baseline(in, light, out, n, encoded);
}
