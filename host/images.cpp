#include "host/images.h"

#include <unistd.h>

#include <OpenImageIO/imageio.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>

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

long write_image(const std::string& path, const FrameImage& frame, Encoding frame_encoding,
                 bool keep_alpha) {
  const std::string ext = lower_extension(path);
  const Encoding file_encoding = encoding_for_output(path);
  const bool associated = ext == "exr";
  const bool has_alpha = associated || (keep_alpha && ext != "jpg" && ext != "jpeg");
  long lost = 0;
  const int n = has_alpha ? 4 : 3;
  std::vector<float> px(frame.red.size() * n);
  for (size_t i = 0; i < frame.red.size(); ++i) {
    const float a = frame.alpha[i];
    float c[3] = {frame.red[i], frame.green[i], frame.blue[i]};
    const bool convert = frame_encoding != file_encoding;
    if (has_alpha && !associated && a <= 0.0f && (c[0] > 0.0f || c[1] > 0.0f || c[2] > 0.0f))
      ++lost;
    // Unpremultiply to change encoding or to store unassociated alpha.
    if ((convert || !associated) && a > 0.0f)
      for (float& v : c) v /= a;
    if (convert)
      for (float& v : c) v = file_encoding == Encoding::Linear ? decode(v) : encode_srgb(v);
    if (convert && associated && a > 0.0f)  // premultiplied again where it was divided
      for (float& v : c) v *= a;
    if (!has_alpha && a > 0.0f && (convert || !associated))  // opaque: composited over black
      for (float& v : c) v *= a;
    float* p = &px[i * n];
    p[0] = c[0];
    p[1] = c[1];
    p[2] = c[2];
    if (has_alpha) p[3] = a;
  }

  auto out = OIIO::ImageOutput::create(path);
  if (!out) throw HostError("cannot write " + path + ": " + OIIO::geterror());
  const OIIO::TypeDesc type =
      file_encoding == Encoding::Linear ? OIIO::TypeDesc::FLOAT : OIIO::TypeDesc::UINT8;
  OIIO::ImageSpec spec(frame.width, frame.height, n, type);
  if (has_alpha) spec.alpha_channel = 3;
  if (!associated) spec.attribute("oiio:UnassociatedAlpha", 1);
  spec.attribute("oiio:ColorSpace", file_encoding == Encoding::Linear ? "Linear" : "sRGB");
  spec.attribute("Software", "vantrel-host");

  // The temporary name keeps the extension: the format is chosen by it.
  const std::string::size_type slash = path.find_last_of('/');
  const std::string dir = slash == std::string::npos ? "" : path.substr(0, slash + 1);
  const std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
  const std::string tmp = dir + "." + base + ".tmp-" + std::to_string(getpid()) + "." + ext;
  bool ok =
      out->open(tmp, spec) && out->write_image(OIIO::TypeDesc::FLOAT, px.data()) && out->close();
  if (!ok) {
    const std::string why = out->geterror();
    out.reset();
    std::remove(tmp.c_str());
    throw HostError("cannot write " + path + ": " + (why.empty() ? "write failed" : why));
  }
  out.reset();
  if (std::rename(tmp.c_str(), path.c_str()) != 0) {
    const int err = errno;
    std::remove(tmp.c_str());
    throw HostError("cannot write " + path + ": " + strerror(err));
  }
  return lost;
}

namespace {
// Finds a printf-style integer conversion: '%', an optional '0', digits, 'd'.
bool find_conversion(const std::string& p, size_t& begin, size_t& end, bool& zero, int& width) {
  for (size_t i = p.find('%'); i != std::string::npos; i = p.find('%', i + 1)) {
    size_t j = i + 1;
    zero = j < p.size() && p[j] == '0';
    if (zero) ++j;
    const size_t digits = j;
    while (j < p.size() && isdigit(static_cast<unsigned char>(p[j]))) ++j;
    if (j < p.size() && p[j] == 'd' && j - digits <= 2) {
      width = j > digits ? std::stoi(p.substr(digits, j - digits)) : 0;
      begin = i;
      end = j + 1;
      return true;
    }
  }
  return false;
}
}  // namespace

bool is_frame_pattern(const std::string& pattern) {
  size_t b, e;
  bool zero;
  int width;
  return pattern.find('#') != std::string::npos || find_conversion(pattern, b, e, zero, width);
}

std::string frame_path(const std::string& pattern, int frame) {
  size_t b, e;
  bool zero;
  int width;
  char buf[32];
  if (find_conversion(pattern, b, e, zero, width)) {
    snprintf(buf, sizeof buf, zero ? "%0*d" : "%*d", width, frame);
    return pattern.substr(0, b) + buf + pattern.substr(e);
  }
  const std::string::size_type start = pattern.find('#');
  if (start == std::string::npos) return pattern;
  std::string::size_type stop = start;
  while (stop < pattern.size() && pattern[stop] == '#') ++stop;
  snprintf(buf, sizeof buf, "%0*d", static_cast<int>(stop - start), frame);
  return pattern.substr(0, start) + buf + pattern.substr(stop);
}

}  // namespace host
