#include "host/images/images.h"

#include <OpenImageIO/filesystem.h>
#include <OpenImageIO/imageio.h>

#include <cmath>
#include <cstdio>
#include <optional>

#include "host/core/files.h"

namespace host {

namespace {

float decode(float v) { return v > 0.04045f ? std::pow((v + 0.055f) / 1.055f, 2.4f) : v / 12.92f; }

std::string lower_extension(const std::string& path) {
  const std::string::size_type dot = path.find_last_of('.');
  const std::string::size_type slash = path.find_last_of('/');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return "";
  std::string ext = path.substr(dot + 1);
  for (char& c : ext) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
  return ext;
}

}  // namespace

float encode_srgb(float v) {
  return v > 0.0031308f ? 1.055f * std::pow(v, 1.0f / 2.4f) - 0.055f : v * 12.92f;
}

Encoding encoding_for_output(const std::string& path) {
  const std::string ext = lower_extension(path);
  return ext == "exr" || ext == "hdr" || ext == "pfm" ? Encoding::Linear : Encoding::SRGB;
}

const char* encoding_name(Encoding e) { return e == Encoding::Linear ? "linear" : "sRGB-encoded"; }

Encoding read_image(const std::string& path, FrameImage& frame) {
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
  const OIIO::ImageSpec& spec = in->spec();
  if (spec.width != frame.width || spec.height != frame.height)
    throw HostError(path + " is " + std::to_string(spec.width) + " x " +
                    std::to_string(spec.height) + ", the scene's frames are " +
                    std::to_string(frame.width) + " x " + std::to_string(frame.height));
  const int n = spec.nchannels;
  std::vector<float> px(static_cast<size_t>(spec.width) * spec.height * n);
  if (!in->read_image(0, 0, 0, n, OIIO::TypeDesc::FLOAT, px.data()))
    throw HostError("cannot read " + path + ": " + in->geterror());
  const int alpha = spec.alpha_channel >= 0 ? spec.alpha_channel : (n == 2 || n == 4 ? n - 1 : -1);
  const bool unassociated = spec.get_int_attribute("oiio:UnassociatedAlpha", 0) != 0;
  for (size_t i = 0; i < frame.red.size(); ++i) {
    const float* p = &px[i * n];
    const float a = alpha >= 0 ? p[alpha] : 1.0f;
    float r = p[0], g = n >= 3 ? p[1] : p[0], b = n >= 3 ? p[2] : p[0];
    if (unassociated) {
      r *= a;
      g *= a;
      b *= a;
    }
    frame.red[i] = r;
    frame.green[i] = g;
    frame.blue[i] = b;
    frame.alpha[i] = a;
  }
  return spec.format.is_floating_point() ? Encoding::Linear : Encoding::SRGB;
}

namespace {

// The bytes of the image file that path names by its extension. The image
// library encodes into memory and never meets the disk: some of its codecs
// end the process on a write error (a full disk), others report success after
// one. The caller writes the bytes whole.
std::vector<unsigned char> encode_image(const std::string& path, const OIIO::ImageSpec& spec,
                                        const float* px) {
  auto out = OIIO::ImageOutput::create(path);
  if (!out) throw HostError("cannot write " + path + ": " + OIIO::geterror());
  const std::string format = out->format_name();
  if (!out->supports("ioproxy"))
    throw HostError("cannot write " + path + ": the " + format +
                    " format cannot be encoded in memory (write EXR, PNG, TIFF or JPEG)");
  // The JPEG codec ends the process on what it cannot hold, rather than failing.
  if (format == "jpeg" && (spec.width > 65500 || spec.height > 65500))
    throw HostError("cannot write " + path + ": JPEG holds at most 65500 x 65500 pixels");
  std::vector<unsigned char> bytes;
  OIIO::Filesystem::IOVecOutput memory(bytes);
  if (!out->set_ioproxy(&memory) || !out->open(path, spec) ||
      !out->write_image(OIIO::TypeDesc::FLOAT, px) || !out->close()) {
    const std::string why = out->geterror();
    throw HostError("cannot write " + path + ": " + (why.empty() ? "the encoder failed" : why));
  }
  return bytes;
}

}  // namespace

long write_image(const std::string& path, const FrameImage& frame, Encoding frame_encoding,
                 bool keep_alpha) {
  const std::string ext = lower_extension(path);
  const Encoding file_encoding = encoding_for_output(path);
  const bool associated = ext == "exr";
  const bool has_alpha = associated || (keep_alpha && ext != "jpg" && ext != "jpeg");
  long lost = 0;
  const int n = has_alpha ? 4 : 3;
  // Kept from frame to frame: at 4K it is 100 MB or more, which the
  // allocator would map afresh each time and the kernel fault in and zero.
  static thread_local std::vector<float> px;
  px.resize(frame.red.size() * n);
  for (size_t i = 0; i < frame.red.size(); ++i) {
    const float a = frame.alpha[i];
    float c[3] = {frame.red[i], frame.green[i], frame.blue[i]};
    const bool convert = frame_encoding != file_encoding;
    if (has_alpha && !associated && a <= 0.0f && (c[0] > 0.0f || c[1] > 0.0f || c[2] > 0.0f))
      ++lost;
    // Premultiplied colour is already the frame composited over black, which
    // is what an opaque file holds: only a file with alpha needs it divided,
    // to change its encoding or to store unassociated alpha. Dividing and
    // multiplying again around the encoding would lose the light that stars
    // add where the scene's coverage is slight.
    const bool divide = has_alpha && (convert || !associated) && a > 0.0f;
    if (divide)
      for (float& v : c) v /= a;
    if (convert)
      for (float& v : c) v = file_encoding == Encoding::Linear ? decode(v) : encode_srgb(v);
    if (divide && associated)  // premultiplied again where it was divided
      for (float& v : c) v *= a;
    float* p = &px[i * n];
    p[0] = c[0];
    p[1] = c[1];
    p[2] = c[2];
    if (has_alpha) p[3] = a;
  }

  OIIO::ImageSpec spec(
      frame.width, frame.height, n,
      file_encoding == Encoding::Linear ? OIIO::TypeDesc::FLOAT : OIIO::TypeDesc::UINT8);
  if (has_alpha) spec.alpha_channel = 3;
  if (!associated) spec.attribute("oiio:UnassociatedAlpha", 1);
  spec.attribute("oiio:ColorSpace", file_encoding == Encoding::Linear ? "Linear" : "sRGB");
  spec.attribute("Software", "vantrel-host");
  const std::vector<unsigned char> bytes = encode_image(path, spec, px.data());
  write_file_atomically(path, {reinterpret_cast<const char*>(bytes.data()), bytes.size()});
  return lost;
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
