#include "host/images/output.h"

#include <OpenImageIO/filesystem.h>
#include <OpenImageIO/imageio.h>

#include <algorithm>
#include <cmath>

#include "host/core/files.h"
#include "host/images/colour.h"

namespace host {

namespace {

// What a format holds, as far as the choices of OutputOptions go.
struct Format {
  std::string name;         // for messages
  bool alpha = true;        // can store an alpha channel
  bool floating = false;    // linear floats (EXR, HDR), else integers, sRGB-encoded
  bool associated = false;  // premultiplied alpha, layers and attributes: EXR
  bool sixteen = false;     // 16 bits a channel on request
  bool tiff = false;
  bool dpx = false;
};

Format format_of(const std::string& path) {
  const std::string ext = lower_extension(path);
  Format f;
  f.name = ext.empty() ? "this" : ext;
  for (char& c : f.name) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
  if (ext == "exr") f.floating = f.associated = true;
  if (ext == "hdr") f.floating = true, f.alpha = false;
  if (ext == "jpg" || ext == "jpeg") f.name = "JPEG", f.alpha = false;
  if (ext == "png") f.sixteen = true;
  if (ext == "tif" || ext == "tiff") f.name = "TIFF", f.sixteen = f.tiff = true;
  if (ext == "dpx") f.sixteen = f.dpx = true;
  if (ext == "tga") f.name = "Targa";
  return f;
}

bool has_alpha(const Format& f, bool keep_alpha) { return f.associated || (keep_alpha && f.alpha); }

// A pixel of an sRGB frame in linear light: the frame holds the encoding of
// premultiplied light, as the filter reads and writes it.
void linearise(float* c) {
  for (int i = 0; i < 3; ++i) c[i] = decode_srgb(c[i]);
}

// A pixel in linear light, premultiplied, as a file stores it: EXR as it is;
// straight alpha divided out in linear light, then encoded (the colour a
// compositor gets back by multiplying again); opaque, the frame over black.
// With a conversion the target space carries its own encoding. Returns
// whether light was lost (straight alpha 0 under light).
bool finish(float* p, float a, const Format& f, bool alpha, bool encode) {
  if (f.associated) return false;
  bool lost = false;
  if (alpha && a > 0.0f)
    for (int c = 0; c < 3; ++c) p[c] /= a;
  else if (alpha && (p[0] > 0.0f || p[1] > 0.0f || p[2] > 0.0f))
    lost = true;
  if (!f.floating && encode)
    for (int c = 0; c < 3; ++c) p[c] = encode_srgb(p[c]);
  return lost;
}

// One image's pixels into px at channel `first` of `n`, as the file stores
// them. Returns the pixels whose light a straight alpha could not hold.
long fill(const FrameImage& im, Encoding enc, const Format& f, bool alpha,
          const ColourConversion* colour, float* px, int n, int first) {
  const size_t count = im.red.size();
  const Encoding file = f.floating ? Encoding::Linear : Encoding::SRGB;
  const bool straight = alpha && !f.associated;
  long lost = 0;
  for (size_t i = 0; i < count; ++i) {
    float* p = px + i * n + first;
    const float a = im.alpha[i];
    p[0] = im.red[i], p[1] = im.green[i], p[2] = im.blue[i];
    if (alpha) p[3] = a;
    // Premultiplied values of the file's own encoding are already what an
    // opaque file or an EXR holds: the frame over black.
    if (enc == file && !colour && !straight) continue;
    if (enc == Encoding::SRGB) linearise(p);
    if (!colour) lost += finish(p, a, f, alpha, true);
  }
  if (!colour) return lost;
  colour->apply(px + first, count, n);
  for (size_t i = 0; i < count; ++i)
    lost += finish(px + i * n + first, im.alpha[i], f, alpha, false);
  return lost;
}

OIIO::TypeDesc sample_type(const Format& f, const OutputOptions& o) {
  if (f.associated) return o.half ? OIIO::TypeDesc::HALF : OIIO::TypeDesc::FLOAT;
  if (f.floating) return OIIO::TypeDesc::FLOAT;
  if (f.dpx) return o.bits == 8 ? OIIO::TypeDesc::UINT8 : OIIO::TypeDesc::UINT16;
  return f.sixteen && o.bits == 16 ? OIIO::TypeDesc::UINT16 : OIIO::TypeDesc::UINT8;
}

// A frame rate as EXR keeps it: a ratio of integers, the NTSC rates that
// 23.976 and 29.97 stand for as 24000/1001 and 30000/1001.
void rational(double fps, int out[2]) {
  const double ntsc = std::round(fps * 1.001);
  if (std::fabs(fps - ntsc / 1.001) < 5e-4 && std::fabs(fps - std::round(fps)) > 5e-4)
    out[0] = static_cast<int>(ntsc) * 1000, out[1] = 1001;
  else if (std::fabs(fps - std::round(fps)) < 1e-9)
    out[0] = static_cast<int>(std::round(fps)), out[1] = 1;
  else
    out[0] = static_cast<int>(std::round(fps * 1000)), out[1] = 1000;
}

void exr_attributes(OIIO::ImageSpec& spec, const OutputFrame& frame, const OutputOptions& o) {
  spec.attribute("compression", o.compression);
  if (o.tiled) spec.tile_width = spec.tile_height = 64;
  // The library stamps the time of writing on every EXR unless an attribute
  // of that name is there; one it cannot store (an integer) is left out, and
  // the same render writes the same bytes whenever and wherever it runs.
  const int no_date = 0;
  spec.attribute("DateTime", OIIO::TypeInt, &no_date);
  std::array<float, 8> chroma = rec709_chromaticities();
  if (frame.colour) {
    if (!frame.colour->chromaticities()) return;  // primaries unknown: none claimed
    chroma = *frame.colour->chromaticities();
  }
  spec.attribute("chromaticities", OIIO::TypeDesc(OIIO::TypeDesc::FLOAT, 8), chroma.data());
  const FrameAttributes* a = frame.attributes;
  if (!a) return;
  if (a->world_to_camera)
    spec.attribute("worldToCamera", OIIO::TypeMatrix, a->world_to_camera->data());
  if (a->world_to_ndc) spec.attribute("worldToNDC", OIIO::TypeMatrix, a->world_to_ndc->data());
  if (a->fps > 0) {
    int fps[2];
    rational(a->fps, fps);
    spec.attribute("framesPerSecond", OIIO::TypeRational, fps);
  }
  for (const auto& [name, value] : a->text) spec.attribute(name, value);
  if (a->star_count >= 0) spec.attribute("vantrel:databaseStars", static_cast<int>(a->star_count));
}

OIIO::ImageSpec spec_for(const Format& f, const OutputFrame& frame, const OutputOptions& o,
                         bool alpha) {
  const bool layer = frame.stars && f.associated;
  const int n = layer ? 8 : alpha ? 4 : 3;
  OIIO::ImageSpec spec(frame.image->width, frame.image->height, n, sample_type(f, o));
  if (alpha) spec.alpha_channel = 3;
  if (layer) spec.channelnames = {"R", "G", "B", "A", "stars.R", "stars.G", "stars.B", "stars.A"};
  if (f.dpx && o.bits != 8 && o.bits != 16) spec.attribute("oiio:BitsPerSample", 10);
  if (!f.associated) spec.attribute("oiio:UnassociatedAlpha", 1);
  spec.attribute("Software", "vantrel-host");
  if (f.associated) exr_attributes(spec, frame, o);
  // The TIFF writer turns a colour space into an EXIF directory that it links
  // in place of the image's when encoding in memory: no reader opens the file.
  else if (!f.tiff && !frame.colour)
    spec.attribute("oiio:ColorSpace", f.floating ? "Linear" : "sRGB");
  return spec;
}

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

// An encoder that reports success over bytes no reader takes is caught here,
// before the file is written, rather than by the user's compositor.
void check_readable(const std::string& path, const std::vector<unsigned char>& bytes,
                    const OIIO::ImageSpec& spec) {
  OIIO::Filesystem::IOMemReader memory(bytes.data(), bytes.size());
  auto in = OIIO::ImageInput::open(path, nullptr, &memory);
  const std::string why = in ? "" : OIIO::geterror();
  if (!in || in->spec().width != spec.width || in->spec().height != spec.height ||
      in->spec().nchannels != spec.nchannels)
    throw HostError("cannot write " + path + ": the encoded image does not read back" +
                    (why.empty() ? "" : " (" + why + ")"));
}

}  // namespace

std::array<float, 8> rec709_chromaticities() {
  return {0.64f, 0.33f, 0.30f, 0.60f, 0.15f, 0.06f, 0.3127f, 0.3290f};
}

std::vector<std::string> output_limits(const std::string& path, const OutputOptions& o) {
  const Format f = format_of(path);
  std::vector<std::string> lines;
  const std::string head = path + ": " + f.name + " ";
  if (o.keep_alpha && !f.alpha)
    lines.push_back(head + "holds no alpha; written opaque, over black");
  if (o.bits == 16 && !f.sixteen)
    lines.push_back(head + (f.floating ? "holds floats" : "holds 8 bits a channel") +
                    "; --bits 16 is for PNG, TIFF and DPX" +
                    (f.associated ? " (--half gives 16-bit floats)" : ""));
  if (!f.associated && (o.half || o.tiled || o.compression != "zip"))
    lines.push_back(head + "is not EXR: --half, --tiled and --compression are not used");
  return lines;
}

long write_image(const std::string& path, const OutputFrame& frame, const OutputOptions& o) {
  // Messages of the library's debug channel would reach the user's terminal.
  static const bool quiet = OIIO::attribute("debug", 0);
  (void)quiet;
  const Format f = format_of(path);
  const bool alpha = has_alpha(f, o.keep_alpha);
  const OIIO::ImageSpec spec = spec_for(f, frame, o, alpha);
  const int n = spec.nchannels;
  // Kept from frame to frame: at 4K it is 100 MB or more, which the
  // allocator would map afresh each time and the kernel fault in and zero.
  static thread_local std::vector<float> px;
  px.resize(frame.image->red.size() * n);
  const long lost = fill(*frame.image, frame.encoding, f, alpha, frame.colour, px.data(), n, 0);
  if (n == 8) fill(*frame.stars, Encoding::Linear, f, true, frame.colour, px.data(), n, 4);
  const std::vector<unsigned char> bytes = encode_image(path, spec, px.data());
  check_readable(path, bytes, spec);
  write_file_atomically(path, {reinterpret_cast<const char*>(bytes.data()), bytes.size()});
  return lost;
}

void make_stars_layer(FrameImage& stars, Encoding encoding, StarsAlpha alpha) {
  for (size_t i = 0; i < stars.red.size(); ++i) {
    // Over an empty sky the light is all there is: no coverage to divide by.
    float* c[3] = {&stars.red[i], &stars.green[i], &stars.blue[i]};
    if (encoding == Encoding::SRGB)
      for (float* v : c) *v = decode_srgb(*v);
    stars.alpha[i] =
        alpha == StarsAlpha::Opaque ? 1.0f : std::min(1.0f, std::max({*c[0], *c[1], *c[2], 0.0f}));
  }
}

std::string stars_path(const std::string& pattern) {
  const std::string ext = lower_extension(pattern);
  if (ext.empty()) return pattern + ".stars";
  return pattern.substr(0, pattern.size() - ext.size() - 1) + ".stars." +
         pattern.substr(pattern.size() - ext.size());
}

}  // namespace host
