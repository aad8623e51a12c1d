#include "LW/settings.h"

#include <cmath>
#include <cstddef>
#include <cstring>

#define arraysize(a) static_cast<ptrdiff_t>(sizeof(a) / sizeof((a)[0]))

namespace {

constexpr uint32_t ID(const char (&s)[5]) {
  return VH_BLOCK_ID(static_cast<unsigned char>(s[0]), static_cast<unsigned char>(s[1]),
                     static_cast<unsigned char>(s[2]), static_cast<unsigned char>(s[3]));
}

constexpr uint32_t VERS = ID("VERS"), SFIL = ID("SFIL"), SSIZ = ID("SSIZ"), SASP = ID("SASP"),
                   LTHR = ID("LTHR"), LMAX = ID("LMAX"), SBRI = ID("SBRI"), SSAT = ID("SSAT"),
                   BIAS = ID("BIAS"), TSTR = ID("TSTR"), TINR = ID("TINR"), TING = ID("TING"),
                   TINB = ID("TINB"), BLSG = ID("BLSG"), PRID = ID("PRID"), SRGB = ID("SRGB"),
                   ADOF = ID("ADOF"), THRD = ID("THRD"), PROJ = ID("PROJ"), PARA = ID("PARA"),
                   ENDI = ID("ENDI"), PERS = ID("PERS"), HEMI = ID("HEMI");

// Version-1 data names the projection by an inner block.
const VHBlockID v1_projection_ids[] = {
    {PERS, "Perspective"}, {HEMI, "Hemispherical"}, {0, nullptr}};

const char* const projection_names[] = {"Perspective", "Hemispherical", "AzimuthalEquidistant"};

// The values the panel lets a user enter. Anything else in saved data (a
// hand-edited scene, a damaged file) would draw NaN or take minutes a frame.
struct Limits {
  uint32_t id;
  double lo, hi;
};
const Limits kLimits[] = {
    {SBRI, 0, 99999999}, {SSAT, 0, 99999999}, {LMAX, 0, 99999999}, {LTHR, 0, 99999999},
    {SSIZ, 0, 99999999}, {SASP, 0, 99999999}, {BLSG, 0, 100},
};

const char* keyword_of(uint32_t id) {
  for (const VHBlockID* b = vantrel_block_ids; b->id; ++b)
    if (b->id == id) return b->token;
  return "?";
}

// True when a value read for the block may be kept; otherwise warns, naming
// the keyword, the value and what was expected.
bool acceptable(uint32_t id, double value) {
  const char* keyword = keyword_of(id);
  if (!std::isfinite(value)) {
    warning(VANTREL_FUNCTION, "%s %g is not a finite number; the setting is kept as it was",
            keyword, value);
    return false;
  }
  // Compared as saved: 99999999 is stored as the float 1e8 and must read back.
  for (const Limits& l : kLimits)
    if (l.id == id && !(value >= static_cast<float>(l.lo) && value <= static_cast<float>(l.hi))) {
      warning(VANTREL_FUNCTION, "%s %g is outside %.10g to %.10g; the setting is kept as it was",
              keyword, value, l.lo, l.hi);
      return false;
    }
  return true;
}

// The version-1 star file block holds the path between double quotes; false
// (with a warning) when it does not.
bool v1_star_file(char* buf, String& path) {
  char* lastquote = buf[0] == '"' ? strrchr(buf + 1, '"') : nullptr;
  if (!lastquote) {
    warning(VANTREL_FUNCTION, "StarFile %s is not a path in double quotes; the setting is kept",
            buf);
    return false;
  }
  *lastquote = '\0';
  path = buf + 1;
  return true;
}

}  // namespace

const VHBlockID vantrel_block_ids[22] = {
    {VERS, "VantrelVersion"},
    {SFIL, "StarFile"},
    {SSIZ, "StarSize"},
    {SASP, "StarAspect"},
    {LTHR, "LumThreshold"},
    {LMAX, "LumMax"},
    {SBRI, "Brightness"},
    {SSAT, "Saturation"},
    {BIAS, "BrightnessBias"},
    {TSTR, "TintStrength"},
    {TINR, "TintRed"},
    {TING, "TintGreen"},
    {TINB, "TintBlue"},
    {BLSG, "BlurSegs"},
    {PRID, "ParentID"},
    {SRGB, "sRGBFrameBuffer"},
    {ADOF, "AnamorphicDOF"},
    {THRD, "ThreeD"},
    {PROJ, "Projection"},
    {PARA, "Parallax"},
    {ENDI, "END"},
    {0, nullptr},
};

void vantrel_save(const vantrel* v, const st_LWSaveState* s, bool scene) {
  const VHBlockID* const idroot = vantrel_block_ids;
  const VHBlockID* id = idroot;
  // Each block is the next row of the table: the cursor walks it in order.
  auto leaf = [&](auto write) {
    s->begin_block(s->data, id, 1);
    write();
    s->end_block(s->data);
    ++id;
  };
  auto i4 = [&](int32_t value) { leaf([&] { s->write_i4(s->data, &value, 1); }); };
  auto fp = [&](double value) {
    const float f = static_cast<float>(value);
    leaf([&] { s->write_fp(s->data, &f, 1); });
  };

  i4(2);
  leaf([&] { s->write_str(s->data, v->StarFile.c_str()); });
  fp(v->StarSize);
  fp(v->StarAspect);
  fp(v->LumThreshold);
  fp(v->LumMax);
  fp(v->Brightness);
  fp(v->Saturation);
  fp(v->BrightnessBias);
  fp(v->TintStrength);
  fp(v->TintRed);
  fp(v->TintGreen);
  fp(v->TintBlue);
  i4(v->BlurSegs);
  if (scene)
    i4(static_cast<int32_t>(static_cast<uint32_t>(reinterpret_cast<uintptr_t>(v->ParentID))));
  else
    ++id;
  i4(v->sRGBFrameBuffer);
  i4(v->AnamorphicDOF);
  i4(v->ThreeD);
  if (v->Projection < 0 || v->Projection > 2) THROW_STR("unknown projection");
  leaf([&] { s->write_str(s->data, projection_names[v->Projection]); });
  fp(v->Parallax);
  leaf([] {});
  ASSERT(id - idroot + 1 == arraysize(vantrel_block_ids));
}

void vantrel_load(vantrel* v, const st_LWLoadState* s) {
  int version = 2;
  for (;;) {
    const uint32_t id = s->find_block(s->data, vantrel_block_ids);
    if (id == 0 || id == ENDI) break;
    // A value that cannot be read, or that no panel would accept, leaves the
    // setting as it was.
    auto fp = [&](double& field) {
      float f = 0.0f;
      if (s->read_fp(s->data, &f, 1) == 1 && acceptable(id, f)) field = f;
    };
    auto i4 = [&](int32_t& field) {
      int32_t x = 0;
      if (s->read_i4(s->data, &x, 1) == 1 && acceptable(id, x)) field = x;
    };
    char buf[4096];
    switch (id) {
      case VERS: {
        int32_t x = version;
        i4(x);
        version = x == 1 ? 1 : 2;
        break;
      }
      case SSIZ: fp(v->StarSize); break;
      case SASP: fp(v->StarAspect); break;
      case LTHR: fp(v->LumThreshold); break;
      case LMAX: fp(v->LumMax); break;
      case SBRI: fp(v->Brightness); break;
      case SSAT: fp(v->Saturation); break;
      case BIAS: fp(v->BrightnessBias); break;
      case TSTR: fp(v->TintStrength); break;
      case TINR: fp(v->TintRed); break;
      case TING: fp(v->TintGreen); break;
      case TINB: fp(v->TintBlue); break;
      case PARA: fp(v->Parallax); break;
      case BLSG: i4(v->BlurSegs); break;
      case SRGB: i4(v->sRGBFrameBuffer); break;
      case ADOF: i4(v->AnamorphicDOF); break;
      case THRD: i4(v->ThreeD); break;
      case PRID: {
        int32_t x = 0;
        if (s->read_i4(s->data, &x, 1) == 1)
          v->ParentID =
              reinterpret_cast<VHItemID>(static_cast<uintptr_t>(static_cast<uint32_t>(x)));
        break;
      }
      case PROJ:
        if (version == 1) {
          v->Projection =
              s->find_block(s->data, v1_projection_ids) == HEMI ? Hemispherical : Perspective;
        } else {
          if (s->read_str(s->data, buf, sizeof buf) < 0) buf[0] = '\0';
          v->Projection = !strcmp(buf, "Hemispherical")          ? Hemispherical
                          : !strcmp(buf, "AzimuthalEquidistant") ? AzimuthalEquidistant
                                                                 : Perspective;
        }
        break;
      case SFIL: {
        String path;
        if (version == 1) {
          const int n = s->read(s->data, buf, 4095);
          buf[n > 0 ? n : 0] = '\0';
          // A malformed path skips this one value; the blocks after it still count.
          if (!v1_star_file(buf, path)) break;
        } else {
          if (s->read_str(s->data, buf, sizeof buf) < 0) buf[0] = '\0';
          path = buf;
        }
        v->StarFile = path;
        // A database that is no longer there gives way to the default one
        // silently; a file that is there but is no database is worth a word.
        const StarFileHeader header = read_star_file_header(v->StarFile.c_str());
        v->StarFileIs3D = header.is_3d;
        if (!header.valid) {
          if (header.opened)
            warning(VANTREL_FUNCTION, "star database %s: %s; using the default database",
                    v->StarFile.c_str(), header.problem());
          v->StarFile = default_star_file_path(&v->StarFileIs3D);
        }
        break;
      }
      default: THROW_STR("unknown id");
    }
    s->end_block(s->data);
  }
}

void vantrel_save_to_file(const vantrel* v, const char* path) {
  const VHFileIOFuncs* io = vantrel_host.fileio;
  st_LWSaveState* s = io ? io->open_save(io, path, VH_IO_TEXT) : nullptr;
  if (!s) THROW_STR("error saving settings file");
  try {
    vantrel_save(v, s, false);
  } catch (const Xception& e) {
    e.report();
  }
  // The host writes the file when the state closes: a file it could not write is a failure.
  if (io->close_save(io, s) < 0) THROW_STR("error saving settings file");
}

void vantrel_load_from_file(vantrel* v, const char* path) {
  const VHFileIOFuncs* io = vantrel_host.fileio;
  LoadStateGuard load(io, io ? io->open_load(io, path, VH_IO_TEXT) : nullptr);
  if (!load.get()) THROW_STR("error opening settings file");
  try {
    vantrel_load(v, load.get());
  } catch (const Xception& e) {
    e.report();
  }
}
