// The frame's pixels between the host and the renderer: filled from the
// host's buffers, drawn into, and handed back.
#include <algorithm>
#include <atomic>
#include <cstring>
#include <vector>

#include "LW/frame.h"
#include "LW/pass_bands.h"
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

void FramePixels::write_back(const VHFilterRows* rows, bool whole_image, int bands) {
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
  // The host's rows are asked for here, on its own thread.
  std::vector<HostRow> host_rows;
  host_rows.reserve(static_cast<size_t>(r.y1 - r.y0 + 1));
  bool direct = true;
  for (int y = r.y0; y <= r.y1; ++y) {
    host_rows.emplace_back(access, rows, y);
    direct = direct && host_rows.back().direct();
  }
  if (!direct) bands = 1;
  std::vector<std::vector<float>> scratch(static_cast<size_t>(bands));
  const long long n = static_cast<long long>(host_rows.size());
  std::atomic<bool> stop{false};
  run_bands(
      bands,
      [&](int b) {
        for (long long i = n * b / bands; i < n * (b + 1) / bands; ++i)
          write_row(host_rows[static_cast<size_t>(i)], static_cast<int>(i), scratch[b]);
      },
      stop);
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
  void write_row(const HostRow& host, int row, std::vector<float>& rgb) override {
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
        chunks((width + LazyRows::kChunk - 1) / LazyRows::kChunk),
        // Rows start on whole chunks (LazyRows::kChunk floats, 32 bytes), with
        // a chunk to spare after the last, so that the rasteriser's vectors
        // may run past a row's end.
        stride((chunks + 1) * LazyRows::kChunk),
        memory(memory) {
    const size_t plane = static_cast<size_t>(stride) * height;
    memory.planes.resize(4 * plane);
    memory.ready.assign(static_cast<size_t>(chunks) * height, 0);
    lazy = LazyRows{memory.ready.data(), chunks, fill, this};
    float* p = memory.planes.data();
    fb = StarFramebuffer{p,      p + plane, p + 2 * plane, p + 3 * plane, width, height,
                         stride, 1,         &lazy,         stride - width};
    zeros.assign(static_cast<size_t>(stride), 0.0f);
    // Asked here, on the host's thread: rows are filled by the bands' threads.
    for (int y = r.y0; y <= r.y1; ++y)
      coverage_rows.push_back(access->get_line(access, VH_BUF_ALPHA, y));
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
    const float* alpha = self.coverage_rows[static_cast<size_t>(row)];
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

  // The row's light goes into the host's values in linear terms, run by run
  // of the chunks that stars reached; a value whose linear sum does not
  // change stays as it was, bit for bit. Chunks no star reached are kept.
  void write_row(const HostRow& host, int row, std::vector<float>& rgb) override {
    rgb.resize(3 * static_cast<size_t>(stride));
    const unsigned char* flags = memory.ready.data() + static_cast<size_t>(row) * chunks;
    const int K = LazyRows::kChunk;
    for (int c = 0; c < chunks;) {
      int end = c;
      while (end < chunks && flags[end] == flags[c]) ++end;
      const int x = c * K, n = std::min(end * K, width) - x;
      if (!flags[c]) {
        host.keep(r.x0 + x, n);
      } else {
        float* out[3];
        for (int ch = 0; ch < 3; ++ch) {
          const float* in = host.in[ch + 1] ? host.in[ch + 1] + r.x0 + x : zeros.data();
          out[ch] = host.in_place() ? host.out[ch + 1] + r.x0 + x : rgb.data() + ch * stride;
          add_linear_light_run(in, row_of(ch, row) + x, out[ch], n, srgb);
        }
        if (!host.in_place()) host.put(r.x0 + x, n, out[0], out[1], out[2]);
      }
      c = end;
    }
  }

  const int width, height, chunks, stride;
  FrameMemory& memory;
  LazyRows lazy;
  StarFramebuffer fb;
  std::vector<float> zeros;                 // the values of a buffer the host does not have
  std::vector<const float*> coverage_rows;  // the host's alpha rows, null without
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
