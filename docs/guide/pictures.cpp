// guide-pictures: the pictures of the user's guide.
//
//   guide-pictures strip OUT.png [--columns N] [--crop X,Y,W,H] [--shrink N | --zoom N]
//                  IMAGE LABEL [IMAGE LABEL]...
//   guide-pictures plate OUT.exr|OUT.png --size WxH
//
// A strip is a contact sheet: the images (renders of one setting at several
// values), each cut, scaled and labelled alike, in a grid. A plate is the
// foreground the guide renders stars behind: dark hills under a band of thin
// cloud, on an empty sky. Every output depends on its inputs alone (no dates,
// no threads, no fonts of the system), so the same inputs give the same bytes.
#include <OpenImageIO/imagebuf.h>
#include <OpenImageIO/imagebufalgo.h>
#include <OpenImageIO/imageio.h>
#include <CLI/CLI.hpp>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <stdexcept>
#include <string>
#include <vector>

#include "docs/guide/bitmap_font.h"
#include "docs/guide/strip_layout.h"

namespace {

using guide::StripLayout;

struct Failure : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// 8-bit sRGB-encoded RGB, rows top first.
struct Picture {
  int width = 0, height = 0;
  std::vector<uint8_t> rgb;
  uint8_t* at(int x, int y) { return &rgb[(static_cast<size_t>(y) * width + x) * 3]; }
};

struct Crop {
  int x = 0, y = 0, width = 0, height = 0;  // width 0: no crop
};

Crop parse_crop(const std::string& text) {
  Crop c;
  if (text.empty()) return c;
  if (sscanf(text.c_str(), "%d,%d,%d,%d", &c.x, &c.y, &c.width, &c.height) != 4 || c.x < 0 ||
      c.y < 0 || c.width <= 0 || c.height <= 0)
    throw Failure("--crop expects X,Y,W,H, found '" + text + "'");
  return c;
}

Picture load(const std::string& path, const Crop& crop) {
  OIIO::ImageBuf buf(path);
  if (!buf.read(0, 0, true, OIIO::TypeDesc::UINT8))
    throw Failure("cannot read " + path + ": " + buf.geterror());
  const OIIO::ImageSpec& spec = buf.spec();
  if (spec.nchannels < 3) throw Failure(path + " has no colour channels");
  OIIO::ROI roi(0, spec.width, 0, spec.height, 0, 1, 0, 3);
  if (crop.width) {
    if (crop.x + crop.width > spec.width || crop.y + crop.height > spec.height)
      throw Failure("--crop reaches outside " + path + " (" + std::to_string(spec.width) + " x " +
                    std::to_string(spec.height) + ")");
    roi = OIIO::ROI(crop.x, crop.x + crop.width, crop.y, crop.y + crop.height, 0, 1, 0, 3);
  }
  Picture p;
  p.width = roi.width();
  p.height = roi.height();
  p.rgb.resize(static_cast<size_t>(p.width) * p.height * 3);
  if (!buf.get_pixels(roi, OIIO::TypeDesc::UINT8, p.rgb.data()))
    throw Failure("cannot read " + path + ": " + buf.geterror());
  return p;
}

// The sRGB decoding of every 8-bit value.
const std::array<float, 256>& linear_of_byte() {
  static const std::array<float, 256> table = [] {
    std::array<float, 256> t{};
    for (int i = 0; i < 256; ++i) {
      const double v = i / 255.0;
      t[i] = static_cast<float>(v > 0.04045 ? std::pow((v + 0.055) / 1.055, 2.4) : v / 12.92);
    }
    return t;
  }();
  return table;
}

// The byte whose decoded value lies nearest: encoding by the table itself.
uint8_t byte_of_linear(float v) {
  const std::array<float, 256>& t = linear_of_byte();
  const auto upper = std::lower_bound(t.begin(), t.end(), v);
  if (upper == t.begin()) return 0;
  if (upper == t.end()) return 255;
  const auto lower = upper - 1;
  return static_cast<uint8_t>((v - *lower <= *upper - v ? lower : upper) - t.begin());
}

// Each n x n block becomes one pixel, averaged as light (decoded), not as
// encoded values, so that a sky keeps its brightness when made smaller.
Picture shrink(Picture& in, int n) {
  Picture out;
  out.width = in.width / n;
  out.height = in.height / n;
  out.rgb.resize(static_cast<size_t>(out.width) * out.height * 3);
  const std::array<float, 256>& lin = linear_of_byte();
  for (int y = 0; y < out.height; ++y)
    for (int x = 0; x < out.width; ++x)
      for (int c = 0; c < 3; ++c) {
        float sum = 0;
        for (int j = 0; j < n; ++j)
          for (int i = 0; i < n; ++i) sum += lin[in.at(x * n + i, y * n + j)[c]];
        out.at(x, y)[c] = byte_of_linear(sum / static_cast<float>(n * n));
      }
  return out;
}

// Each pixel becomes an n x n block: a close look at single pixels.
Picture zoom(Picture& in, int n) {
  Picture out;
  out.width = in.width * n;
  out.height = in.height * n;
  out.rgb.resize(static_cast<size_t>(out.width) * out.height * 3);
  for (int y = 0; y < out.height; ++y)
    for (int x = 0; x < out.width; ++x) std::copy_n(in.at(x / n, y / n), 3, out.at(x, y));
  return out;
}

struct StripOptions {
  std::string out, crop;
  int columns = 2, shrink = 1, zoom = 1;
  std::vector<std::string> panels;  // image, label, image, label, ...
};

// Spacing of the sheet, in pixels, and its colours.
constexpr int kGap = 8, kLabelPad = 5;
constexpr uint8_t kSheet = 24;

void write_png(const std::string& path, const OIIO::ImageBuf& sheet, const std::string& about) {
  OIIO::ImageSpec spec(sheet.spec().width, sheet.spec().height, 3, OIIO::TypeDesc::UINT8);
  spec.attribute("ImageDescription", about);
  spec.attribute("png:compressionLevel", 9);
  auto out = OIIO::ImageOutput::create(path);
  if (!out || !out->open(path, spec) ||
      !out->write_image(OIIO::TypeDesc::UINT8, sheet.localpixels()) || !out->close())
    throw Failure("cannot write " + path + ": " +
                  (out ? out->geterror() : std::string(OIIO::geterror())));
}

int strip(const StripOptions& o) {
  if (o.panels.empty() || o.panels.size() % 2) throw Failure("strip expects IMAGE LABEL pairs");
  if (o.columns < 1 || o.shrink < 1 || o.zoom < 1) throw Failure("sizes and counts must be >= 1");
  const Crop crop = parse_crop(o.crop);
  std::vector<Picture> pictures;
  for (size_t i = 0; i < o.panels.size(); i += 2) {
    Picture p = load(o.panels[i], crop);
    if (o.shrink > 1) p = shrink(p, o.shrink);
    if (o.zoom > 1) p = zoom(p, o.zoom);
    if (!pictures.empty() && (p.width != pictures[0].width || p.height != pictures[0].height))
      throw Failure(o.panels[i] + " is not the size of " + o.panels[0]);
    pictures.push_back(std::move(p));
  }
  const guide::TextStyle style;
  const int w = pictures[0].width, h = pictures[0].height;
  const int label_h = guide::text_height(style) + 2 * kLabelPad;
  const int n = static_cast<int>(pictures.size());
  const int columns = std::min(o.columns, n), rows = (n + columns - 1) / columns;
  OIIO::ImageBuf sheet(OIIO::ImageSpec(
      kGap + columns * (w + kGap), kGap + rows * (h + label_h + kGap), 3, OIIO::TypeDesc::UINT8));
  const float grey = kSheet / 255.0f;
  OIIO::ImageBufAlgo::fill(sheet, {grey, grey, grey});
  StripLayout layout{w, h, {}};
  for (int i = 0; i < n; ++i) {
    const std::string& label = o.panels[2 * i + 1];
    if (!guide::can_draw(label)) throw Failure("label '" + label + "': ASCII letters only");
    if (guide::text_width(label, style) > w)
      throw Failure("label '" + label + "' is wider than its panel");
    const int x = kGap + (i % columns) * (w + kGap),
              y = kGap + (i / columns) * (h + label_h + kGap);
    const OIIO::ImageBuf panel(OIIO::ImageSpec(w, h, 3, OIIO::TypeDesc::UINT8),
                               pictures[i].rgb.data());
    OIIO::ImageBufAlgo::paste(sheet, x, y, 0, 0, panel);
    guide::draw_text(
        {static_cast<uint8_t*>(sheet.localpixels()), sheet.spec().width, sheet.spec().height}, x,
        y + h + kLabelPad, label, style);
    layout.panels.push_back({x, y});
  }
  write_png(o.out, sheet, guide::format_layout(layout));
  return 0;
}

// The plate, as light per pixel: colour premultiplied by coverage.
struct PlatePixel {
  float r, g, b, a;
};

// Hills along the bottom (opaque, nearly black) under a band of thin cloud
// that lets part of the sky through; the rest of the sky is empty. Positions
// are fractions of the frame, so the plate looks alike at every size.
PlatePixel plate_pixel(double u, double v, double pixel_v) {
  const double k = 2 * 3.14159265358979323846;
  const double ridge = 0.80 - 0.07 * std::sin(k * (1.3 * u + 0.08)) -
                       0.035 * std::sin(k * (3.7 * u + 0.3)) - 0.012 * std::sin(k * 11.0 * u);
  // The share of the pixel's height below the ridge line: a soft, exact edge.
  const double ground = std::clamp((v - ridge) / pixel_v + 0.5, 0.0, 1.0);
  const double band = (v - 0.30 - 0.04 * std::sin(k * (0.9 * u + 0.2))) / 0.06;
  const double cloud = 0.7 * std::exp(-band * band) * (0.75 + 0.25 * std::sin(k * 5.0 * u));
  const double a = ground + (1 - ground) * cloud;
  const double c = (1 - ground) * cloud;  // the cloud's share of the light
  return {static_cast<float>(0.003 * ground + 0.045 * c),
          static_cast<float>(0.0035 * ground + 0.045 * c),
          static_cast<float>(0.005 * ground + 0.050 * c), static_cast<float>(a)};
}

int plate(const std::string& out, const std::string& size) {
  int w = 0, h = 0;
  char x = 0;
  if (sscanf(size.c_str(), "%d%c%d", &w, &x, &h) != 3 || x != 'x' || w <= 0 || h <= 0)
    throw Failure("--size expects WIDTHxHEIGHT, found '" + size + "'");
  const bool exr = out.size() > 4 && out.compare(out.size() - 4, 4, ".exr") == 0;
  std::vector<float> px(static_cast<size_t>(w) * h * 4);
  for (int j = 0; j < h; ++j)
    for (int i = 0; i < w; ++i) {
      PlatePixel p = plate_pixel((i + 0.5) / w, (j + 0.5) / h, 1.0 / h);
      if (!exr && p.a > 0) {
        // PNG holds sRGB-encoded colour with unassociated alpha.
        p.r = byte_of_linear(p.r / p.a) / 255.0f;
        p.g = byte_of_linear(p.g / p.a) / 255.0f;
        p.b = byte_of_linear(p.b / p.a) / 255.0f;
      }
      std::copy_n(&p.r, 4, &px[(static_cast<size_t>(j) * w + i) * 4]);
    }
  OIIO::ImageSpec spec(w, h, 4, exr ? OIIO::TypeDesc::HALF : OIIO::TypeDesc::UINT8);
  spec.alpha_channel = 3;
  if (!exr) spec.attribute("oiio:UnassociatedAlpha", 1);
  auto o = OIIO::ImageOutput::create(out);
  if (!o || !o->open(out, spec) || !o->write_image(OIIO::TypeDesc::FLOAT, px.data()) || !o->close())
    throw Failure("cannot write " + out + ": " +
                  (o ? o->geterror() : std::string(OIIO::geterror())));
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"guide-pictures: contact strips and plates for the user's guide"};
  app.require_subcommand(1);
  StripOptions so;
  CLI::App* s = app.add_subcommand("strip", "labelled panels in a grid, as PNG");
  s->add_option("out", so.out, "PNG to write")->required();
  s->add_option("panels", so.panels, "IMAGE LABEL pairs")->required();
  s->add_option("--columns", so.columns, "panels per row (default 2)");
  s->add_option("--crop", so.crop, "X,Y,W,H: the part of each image to show");
  auto* sh = s->add_option("--shrink", so.shrink, "average each N x N pixels into one");
  s->add_option("--zoom", so.zoom, "show each pixel as N x N")->excludes(sh);
  std::string plate_out, plate_size;
  CLI::App* p = app.add_subcommand("plate", "a foreground plate: hills under thin cloud");
  p->add_option("out", plate_out, "EXR (linear) or PNG (sRGB) to write")->required();
  p->add_option("--size", plate_size, "WIDTHxHEIGHT")->required();
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    return app.exit(e);
  }
  try {
    return *s ? strip(so) : plate(plate_out, plate_size);
  } catch (const std::exception& e) {
    fprintf(stderr, "guide-pictures: %s\n", e.what());
    return 1;
  }
}
