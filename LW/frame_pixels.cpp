// The frame's pixels between the host and the renderer: filled from the
// host's buffers, drawn into, and handed back.
#include <algorithm>
#include <cstring>
#include <vector>

#include "LW/frame.h"
#include "libkeshimage/image.h"

namespace {

// The host's buffers in the order of a BGRA_FLOAT pixel.
const int kBuffers[4] = {VH_BUF_ALPHA, VH_BUF_RED, VH_BUF_GREEN, VH_BUF_BLUE};

}  // namespace

HostRow::HostRow(const VHFilterAccess* access, const VHFilterRows* rows, int y)
    : access(access), y(y), same(true) {
  for (int b = 0; b < 4; ++b) {
    in[b] = access->get_line(access, kBuffers[b], y);
    out[b] = rows ? rows->output_line(rows, access, kBuffers[b], y) : nullptr;
    if (!out[b] || out[b] != in[b]) same = false;
  }
}

void HostRow::keep(int x, int n) const {
  if (same) return;
  if (out[0] && out[1] && out[2] && out[3]) {
    for (int b = 0; b < 4; ++b) {
      if (out[b] == in[b]) continue;
      if (in[b])
        memcpy(out[b] + x, in[b] + x, sizeof(float) * n);
      else
        std::fill(out[b] + x, out[b] + x + n, 0.0f);
    }
    return;
  }
  for (int i = x; i < x + n; ++i) {
    const float rgb[3] = {value(1, i), value(2, i), value(3, i)};
    access->set_rgb(access, i, y, rgb);
    access->set_alpha(access, i, y, value(0, i));
  }
}

void HostRow::put(int x, int n, const float* r, const float* g, const float* b) const {
  if (out[0] && out[1] && out[2] && out[3]) {
    memcpy(out[1] + x, r, sizeof(float) * n);
    memcpy(out[2] + x, g, sizeof(float) * n);
    memcpy(out[3] + x, b, sizeof(float) * n);
    if (out[0] != in[0]) {
      if (in[0])
        memcpy(out[0] + x, in[0] + x, sizeof(float) * n);
      else
        std::fill(out[0] + x, out[0] + x + n, 0.0f);
    }
    return;
  }
  for (int i = 0; i < n; ++i) {
    const float rgb[3] = {r[i], g[i], b[i]};
    access->set_rgb(access, x + i, y, rgb);
    access->set_alpha(access, x + i, y, value(0, x + i));
  }
}

StarFramebuffer star_framebuffer(Kesh::Image& image) {
  float* base = reinterpret_cast<float*>(image.pixels);
  return StarFramebuffer{base + 1,
                         base + 2,
                         base + 3,
                         base + 0,
                         image.width,
                         image.height,
                         static_cast<int>(image.stride / 4),
                         4};
}

FramePixels::~FramePixels() = default;

void FramePixels::write_back(const VHFilterRows* rows, bool whole_image) {
  if (whole_image)
    for (int y = 0; y < access->height; ++y) {
      const HostRow host(access, rows, y);
      if (y < r.y0 || y > r.y1) {
        host.keep(0, access->width);
        continue;
      }
      host.keep(0, r.x0);
      host.keep(r.x1 + 1, access->width - r.x1 - 1);
    }
  for (int y = r.y0; y <= r.y1; ++y) write_row(HostRow(access, rows, y), y - r.y0);
}

namespace {

// The reference: the whole rectangle in a BGRA_FLOAT image (alpha, red,
// green, blue per pixel), decoded value by value.
class ReferencePixels : public FramePixels {
public:
  ReferencePixels(const VHFilterAccess* access, const star_rect& rect, bool srgb)
      : FramePixels(access, rect, srgb),
        image(Kesh::ImageSpec(r.x1 - r.x0 + 1, r.y1 - r.y0 + 1, Kesh::ImageSpec::BGRA_FLOAT)) {
    fb = star_framebuffer(image);
    for (int y = r.y0; y <= r.y1; ++y) {
      const HostRow host(access, nullptr, y);
      float* px = reinterpret_cast<float*>(image.row(y - r.y0));
      for (int x = r.x0; x <= r.x1; ++x, px += 4)
        for (int c = 0; c < 4; ++c) px[c] = decode(host.in[c] ? host.in[c][x] : 0.0f);
    }
  }
  const StarFramebuffer& framebuffer() const override { return fb; }

private:
  float decode(float v) const { return srgb ? srgb_decode(v) : v; }
  void write_row(const HostRow& host, int row) override {
    const int n = r.x1 - r.x0 + 1;
    rgb.resize(3 * static_cast<size_t>(n));
    const float* px = reinterpret_cast<const float*>(image.row(row));
    for (int i = 0; i < n; ++i, px += 4)
      for (int c = 0; c < 3; ++c) {
        const float in = host.in[c + 1] ? host.in[c + 1][r.x0 + i] : 0.0f;
        rgb[c * n + i] = px[c + 1] == decode(in) ? in : srgb ? srgb_encode(px[c + 1]) : px[c + 1];
      }
    host.put(r.x0, n, rgb.data(), rgb.data() + n, rgb.data() + 2 * n);
  }

  Kesh::Image image;
  StarFramebuffer fb;
  std::vector<float> rgb;
};

// The fast path: planes of added light and of coverage, filled a chunk of a
// row at a time where a star first reaches (coverage decoded, light zero),
// so that an empty sky costs nothing, and handed back chunk by chunk.
class FastPixels : public FramePixels {
public:
  FastPixels(const VHFilterAccess* access, const star_rect& rect, bool srgb, FrameMemory& memory)
      : FramePixels(access, rect, srgb),
        width(r.x1 - r.x0 + 1),
        height(r.y1 - r.y0 + 1),
        // Rows start on whole chunks (LazyRows::kChunk floats, 32 bytes).
        stride((width + LazyRows::kChunk - 1) / LazyRows::kChunk * LazyRows::kChunk),
        chunks(stride / LazyRows::kChunk),
        memory(memory) {
    const size_t plane = static_cast<size_t>(stride) * height;
    memory.planes.resize(4 * plane);
    memory.ready.assign(static_cast<size_t>(chunks) * height, 0);
    lazy = LazyRows{memory.ready.data(), chunks, fill, this};
    float* p = memory.planes.data();
    fb = StarFramebuffer{p,      p + plane, p + 2 * plane, p + 3 * plane, width, height,
                         stride, 1,         &lazy};
    const size_t row_values = 3 * static_cast<size_t>(stride);
    for (std::vector<float>* v : {&added, &original, &linear, &sum, &result, &rgb})
      v->resize(row_values);
  }
  const StarFramebuffer& framebuffer() const override { return fb; }

private:
  // Row `row` of plane 0 (red), 1 (green), 2 (blue) or 3 (coverage).
  float* row_of(int plane, int row) const {
    return fb.red + (static_cast<size_t>(plane) * height + row) * stride;
  }

  static void fill(void* context, int row, int first, int last) {
    FastPixels& self = *static_cast<FastPixels*>(context);
    const int x = first * LazyRows::kChunk;
    const int n = std::min((last + 1) * LazyRows::kChunk, self.width) - x;
    const float* alpha = self.access->get_line(self.access, VH_BUF_ALPHA, self.r.y0 + row);
    float* c = self.row_of(3, row) + x;
    if (!alpha)
      std::fill(c, c + n, 0.0f);
    else if (self.srgb)
      srgb_decode_run(alpha + self.r.x0 + x, c, n);
    else
      memcpy(c, alpha + self.r.x0 + x, sizeof(float) * n);
    for (int p = 0; p < 3; ++p)
      std::fill(self.row_of(p, row) + x, self.row_of(p, row) + x + n, 0.0f);
    unsigned char* flags = self.memory.ready.data() + static_cast<size_t>(row) * self.chunks;
    std::fill(flags + first, flags + last + 1, 1);
  }

  // The row's light goes into the host's values in linear terms; a value
  // whose linear sum does not change stays as it was, bit for bit. The
  // chunks that stars reached are gathered first (each as its 8 red, 8
  // green and 8 blue values, a chunk at the row's end padded), so that the
  // curves run over the whole row at once.
  void write_row(const HostRow& host, int row) override {
    const unsigned char* flags = memory.ready.data() + static_cast<size_t>(row) * chunks;
    const int K = LazyRows::kChunk;
    int n = 0;  // values gathered
    for (int c = 0; c < chunks; ++c) {
      if (!flags[c]) continue;
      const int x = c * K, m = std::min(K, width - x);
      for (int ch = 0; ch < 3; ++ch, n += K) {
        const float* light = row_of(ch, row) + x;
        const float* in = host.in[ch + 1] ? host.in[ch + 1] + r.x0 + x : nullptr;
        // A chunk at the row's end is padded with zeros.
        memcpy(added.data() + n, light, sizeof(float) * m);
        std::fill(added.data() + n + m, added.data() + n + K, 0.0f);
        if (in) memcpy(linear.data() + n, in, sizeof(float) * m);
        std::fill(linear.data() + n + (in ? m : 0), linear.data() + n + K, 0.0f);
      }
    }
    if (!n) return host.keep(r.x0, width);
    memcpy(original.data(), linear.data(), sizeof(float) * n);
    if (srgb) srgb_decode_run(linear.data(), linear.data(), n);
    for (int k = 0; k < n; ++k) sum[k] = linear[k] + added[k];
    if (srgb) srgb_encode_run(sum.data(), result.data(), n);
    const float* encoded = srgb ? result.data() : sum.data();
    for (int k = 0; k < n; ++k) result[k] = sum[k] != linear[k] ? encoded[k] : original[k];

    // Chunks no star reached stay as they are; the others take the results.
    int k = 0;
    for (int c = 0; c < chunks;) {
      int end = c;
      while (end < chunks && flags[end] == flags[c]) ++end;
      const int x = c * K, m = std::min(end * K, width) - x;
      if (!flags[c]) {
        host.keep(r.x0 + x, m);
      } else if (host.in_place()) {
        for (int j = c; j < end; ++j, k += 3 * K)
          for (int ch = 0; ch < 3; ++ch)
            memcpy(host.out[ch + 1] + r.x0 + j * K, result.data() + k + ch * K,
                   sizeof(float) * std::min(K, width - j * K));
      } else {
        for (int j = c; j < end; ++j, k += 3 * K)
          for (int ch = 0; ch < 3; ++ch)
            memcpy(rgb.data() + ch * stride + (j - c) * K, result.data() + k + ch * K,
                   sizeof(float) * K);
        host.put(r.x0 + x, m, rgb.data(), rgb.data() + stride, rgb.data() + 2 * stride);
      }
      c = end;
    }
  }

  const int width, height, stride, chunks;
  FrameMemory& memory;
  LazyRows lazy;
  StarFramebuffer fb;
  // One row's gathered chunks: the light, the host's values as they came
  // and in linear terms, their sums, and the values handed back.
  std::vector<float> added, original, linear, sum, result;
  std::vector<float> rgb;  // a run of the row's three colours, for hosts not in place
};

}  // namespace

std::unique_ptr<FramePixels> reference_pixels(const VHFilterAccess* access, const star_rect& r,
                                              bool srgb) {
  return std::unique_ptr<FramePixels>(new ReferencePixels(access, r, srgb));
}

std::unique_ptr<FramePixels> fast_pixels(const VHFilterAccess* access, const star_rect& r,
                                         bool srgb, FrameMemory& memory) {
  return std::unique_ptr<FramePixels>(new FastPixels(access, r, srgb, memory));
}
