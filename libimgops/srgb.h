// The sRGB curves: between the host's sRGB-encoded pixels and the linear
// light stars are added in, and for the star records' colour bytes. Single
// precision, with the thresholds the host's pixels were made with.
#pragma once

// The reference curves, one value at a time.
float srgb_decode(float v);
float srgb_encode(float v);

// The same curves over n values (in and out may be the same array), in
// vector lanes where the machine has them: every result is the reference
// function's, bit for bit, wherever the C library's powf rounds within
// 1/512 ulp of its exact value (every float of 0..1 with the C library this
// was built and tested with); elsewhere within 1 ulp of it.
void srgb_decode_run(const float* in, float* out, int n);
void srgb_encode_run(const float* in, float* out, int n);

// The n values in with linear light added, into out (which may be in): a
// value whose linear sum does not change stays as it was, bit for bit.
// With encoded, in and out are sRGB-encoded and the sum is taken between
// the curves above, as srgb_decode and srgb_encode give them.
void add_linear_light_run(const float* in, const float* light, float* out, int n, bool encoded);
