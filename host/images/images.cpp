#include "host/images/images.h"

#include <OpenImageIO/imageio.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <optional>

#include "host/core/files.h"

namespace host {

std::string lower_extension(const std::string& path) {
  const std::string::size_type dot = path.find_last_of('.');
  const std::string::size_type slash = path.find_last_of('/');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return "";
  std::string ext = path.substr(dot + 1);
  for (char& c : ext) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
  return ext;
}

float decode_srgb(float v) {
  return v > 0.04045f ? std::pow((v + 0.055f) / 1.055f, 2.4f) : v / 12.92f;
}

float encode_srgb(float v) {
  return v > 0.0031308f ? 1.055f * std::pow(v, 1.0f / 2.4f) - 0.055f : v * 12.92f;
}

Encoding encoding_for_output(const std::string& path) {
  const std::string ext = lower_extension(path);
  return ext == "exr" || ext == "hdr" || ext == "pfm" ? Encoding::Linear : Encoding::SRGB;
}

const char* encoding_name(Encoding e) { return e == Encoding::Linear ? "linear" : "sRGB-encoded"; }

namespace {

struct Pixels {
  OIIO::ImageSpec spec;
  std::vector<float> px;
  int alpha = -1;  // the channel, or -1
  bool unassociated = false;
};

// An image of exactly the frame's size, values as stored.
Pixels read_pixels(const std::string& path, const FrameImage& frame) {
  // The image library would wait on a FIFO and read a device without end.
  const InputFile file(path);
  if (!file.is_open()) throw HostError("cannot read " + path + ": " + file.reason());
  OIIO::ImageSpec config;
  config.attribute("oiio:UnassociatedAlpha", 1);  // leave PNG and TIFF as stored: we premultiply
  auto in = OIIO::ImageInput::open(path, &config);
  if (!in) {
    std::string why = OIIO::geterror();
    throw HostError("cannot read " + path + ": " + (why.empty() ? "unknown image format" : why));
  }
  Pixels p;
  p.spec = in->spec();
  const OIIO::ImageSpec& spec = p.spec;
  if (spec.width != frame.width || spec.height != frame.height)
    throw HostError(path + " is " + std::to_string(spec.width) + " x " +
                    std::to_string(spec.height) + ", the scene's frames are " +
                    std::to_string(frame.width) + " x " + std::to_string(frame.height));
  const int n = spec.nchannels;
  p.px.resize(static_cast<size_t>(spec.width) * spec.height * n);
  if (!in->read_image(0, 0, 0, n, OIIO::TypeDesc::FLOAT, p.px.data()))
    throw HostError("cannot read " + path + ": " + in->geterror());
  p.alpha = spec.alpha_channel >= 0 ? spec.alpha_channel : (n == 2 || n == 4 ? n - 1 : -1);
  p.unassociated = spec.get_int_attribute("oiio:UnassociatedAlpha", 0) != 0;
  return p;
}

// The coverage of a plate pixel that has no alpha of its own.
float coverage_without_alpha(PlateAlpha::Mode mode, const float rgb[3], bool encoded) {
  switch (mode) {
    case PlateAlpha::Luminance: {
      float c[3] = {rgb[0], rgb[1], rgb[2]};
      if (encoded)
        for (float& v : c) v = decode_srgb(v);
      const float y = 0.2126f * c[0] + 0.7152f * c[1] + 0.0722f * c[2];
      return std::clamp(y, 0.0f, 1.0f);
    }
    case PlateAlpha::None: return 0.0f;
    default: return 1.0f;
  }
}

}  // namespace

Encoding read_image(const std::string& path, FrameImage& frame, const PlateAlpha& missing,
                    int frame_number, bool* had_alpha) {
  const Pixels p = read_pixels(path, frame);
  if (had_alpha) *had_alpha = p.alpha >= 0;
  const int n = p.spec.nchannels;
  const bool encoded = !p.spec.format.is_floating_point();
  std::vector<float> matte;
  if (missing.mode == PlateAlpha::Matte) {
    const Pixels m = read_pixels(frame_path(missing.matte, frame_number), frame);
    const int c = m.alpha >= 0 ? m.alpha : 0;
    matte.resize(frame.red.size());
    for (size_t i = 0; i < matte.size(); ++i) matte[i] = m.px[i * m.spec.nchannels + c];
  }
  for (size_t i = 0; i < frame.red.size(); ++i) {
    const float* px = &p.px[i * n];
    float c[3] = {px[0], n >= 3 ? px[1] : px[0], n >= 3 ? px[2] : px[0]};
    float a;
    if (!matte.empty())
      a = matte[i];
    else if (p.alpha >= 0)
      a = px[p.alpha];
    else
      a = coverage_without_alpha(missing.mode, c, encoded);
    // Straight colour is premultiplied in linear light, and an sRGB frame
    // holds the encoding of that light: what the filter decodes, adds to and
    // encodes again. A keyed plate's light is all its own, kept as stored.
    const bool keyed = !matte.empty() || p.alpha < 0;
    if (p.unassociated && !keyed)
      for (float& v : c) v = encoded ? encode_srgb(decode_srgb(v) * a) : v * a;
    frame.red[i] = c[0];
    frame.green[i] = c[1];
    frame.blue[i] = c[2];
    frame.alpha[i] = a;
  }
  return encoded ? Encoding::SRGB : Encoding::Linear;
}

namespace {

// Where a pattern holds its frame number: the first printf-style conversion
// ('%', an optional '0', at most two digits of width, 'd'), else the first
// "$F" with an optional digit of width, else the first run of '#',
// zero-padded to its length.
struct NumberField {
  size_t begin = 0, end = 0, width = 0;
  bool zero = true;
};

std::optional<NumberField> number_field(const std::string& p) {
  for (size_t i = p.find('%'); i != std::string::npos; i = p.find('%', i + 1)) {
    size_t j = i + 1;
    const bool zero = j < p.size() && p[j] == '0';
    if (zero) ++j;
    const size_t digits = j;
    while (j < p.size() && isdigit(static_cast<unsigned char>(p[j]))) ++j;
    if (j < p.size() && p[j] == 'd' && j - digits <= 2) {
      const size_t width = j > digits ? std::stoul(p.substr(digits, j - digits)) : 0;
      return NumberField{i, j + 1, width, zero};
    }
  }
  const size_t f = p.find("$F");
  if (f != std::string::npos) {
    const bool digit = f + 2 < p.size() && isdigit(static_cast<unsigned char>(p[f + 2]));
    return NumberField{f, f + (digit ? 3 : 2), digit ? static_cast<size_t>(p[f + 2] - '0') : 0,
                       true};
  }
  const size_t start = p.find('#');
  if (start == std::string::npos) return std::nullopt;
  size_t stop = start;
  while (stop < p.size() && p[stop] == '#') ++stop;
  return NumberField{start, stop, stop - start, true};
}

// The number as printf's %0*d or %*d writes it, for a width of any size.
std::string padded(int number, size_t width, bool zero) {
  const std::string digits = std::to_string(number);
  if (digits.size() >= width) return digits;
  const size_t pad = width - digits.size();
  if (!zero) return std::string(pad, ' ') + digits;
  if (number < 0) return "-" + std::string(pad, '0') + digits.substr(1);
  return std::string(pad, '0') + digits;
}

// True when text is what padded() writes for some number.
bool is_number_text(const std::string& text) {
  size_t i = text.find_first_not_of(' ');
  if (i != std::string::npos && text[i] == '-') ++i;
  return i < text.size() && text.find_first_not_of("0123456789", i) == std::string::npos;
}

}  // namespace

bool is_frame_pattern(const std::string& pattern) { return number_field(pattern).has_value(); }

std::string frame_path(const std::string& pattern, int frame) {
  const std::optional<NumberField> f = number_field(pattern);
  if (!f) return pattern;
  return pattern.substr(0, f->begin) + padded(frame, f->width, f->zero) + pattern.substr(f->end);
}

int remove_stale_temporaries_of(const std::string& pattern) {
  const std::string name = name_of(pattern);
  const std::optional<NumberField> f = number_field(name);
  // A frame number in the folder part leaves a folder per frame: not looked through.
  if (!f && is_frame_pattern(pattern)) return 0;
  return remove_stale_temporaries(folder_of(pattern), [&](const std::string& n) {
    if (!f) return n == name;
    const std::string prefix = name.substr(0, f->begin), suffix = name.substr(f->end);
    return n.size() > prefix.size() + suffix.size() && n.compare(0, prefix.size(), prefix) == 0 &&
           n.compare(n.size() - suffix.size(), suffix.size(), suffix) == 0 &&
           is_number_text(n.substr(prefix.size(), n.size() - prefix.size() - suffix.size()));
  });
}

}  // namespace host
