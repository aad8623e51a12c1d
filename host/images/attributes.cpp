#include "host/images/attributes.h"

#include <cmath>
#include <cstdio>

#include "host/core/star_filter.h"

namespace host {

namespace {

using Matrix = std::array<float, 16>;  // row-major, row vectors: p' = p M

// The inverse of the camera's frame: world points into camera space.
Matrix world_to_camera(const Frame& f) {
  Matrix m{};
  const Vec3* axes[3] = {&f.right, &f.up, &f.forward};
  for (int j = 0; j < 3; ++j) {
    const Vec3& a = *axes[j];
    for (int k = 0; k < 3; ++k) m[k * 4 + j] = static_cast<float>(a[k]);
    m[12 + j] = 0.0f + static_cast<float>(
                           -(f.position[0] * a[0] + f.position[1] * a[1] + f.position[2] * a[2]));
  }
  m[15] = 1.0f;
  return m;
}

// Camera space to NDC as the filter projects: screen x * zoom / z over a
// window of half-height 1 and half-width the frame's aspect, pixels from the
// top. The filter's pixel coordinates put pixel i's centre at i, the window's
// left edge on pixel 0's centre: NDC, whose pixel i spans [i, i + 1) / width,
// is shifted by half a pixel to match.
Matrix camera_to_ndc(double zoom, double aspect, int width, int height) {
  Matrix p{};
  p[0 * 4 + 0] = static_cast<float>(0.5 * zoom / aspect);
  p[1 * 4 + 1] = static_cast<float>(-0.5 * zoom);
  p[2 * 4 + 0] = static_cast<float>(0.5 + 0.5 / width);
  p[2 * 4 + 1] = static_cast<float>(0.5 + 0.5 / height);
  p[2 * 4 + 3] = 1.0f;  // w = z
  p[3 * 4 + 2] = 1.0f;  // z = 1 / depth after the division
  return p;
}

Matrix product(const Matrix& a, const Matrix& b) {
  Matrix r{};
  for (int i = 0; i < 4; ++i)
    for (int j = 0; j < 4; ++j)
      for (int k = 0; k < 4; ++k) r[i * 4 + j] += a[i * 4 + k] * b[k * 4 + j];
  return r;
}

// The records of a star database after its header, or -1 when it does not open.
long long star_count(const std::string& path) {
  FILE* f = fopen(path.c_str(), "rb");
  if (!f) return -1;
  long long size = -1;
  if (fseek(f, 0, SEEK_END) == 0) size = ftell(f);
  fclose(f);
  return size >= 32 ? size / 32 - 1 : -1;
}

void add_filter_text(const Session& session, FrameAttributes& a, bool& perspective) {
  int index = 0;
  for (const FilterInstance* f : session.filter_list()) {
    const BlockList blocks = f->save();
    const std::string key = "vantrel:filter" + (index++ ? std::to_string(index) : "");
    a.text.push_back({key, f->server().name() + "\n" + format_blocks(blocks)});
    if (f->server().name() != star_filter::kServer) continue;
    const std::optional<std::string> projection = star_filter::projection(blocks);
    if (projection && *projection != "Perspective") perspective = false;
    const std::optional<std::string> db = star_filter::star_file(blocks);
    if (!db || a.star_count >= 0) continue;
    const std::string path = (*db)[0] == '/' || session.host.content_dir.empty()
                                 ? *db
                                 : session.host.content_dir + "/" + *db;
    a.text.push_back({"vantrel:database", *db});
    a.star_count = star_count(path);
  }
}

}  // namespace

FrameAttributes frame_attributes(const Session& session, int frame) {
  const Host& h = session.host;
  FrameAttributes a;
  a.fps = h.scene.render.fps;
  a.chromaticities = rec709_chromaticities();
  a.text.push_back({"vantrel:version", VANTREL_VERSION});
  bool perspective = true;
  add_filter_text(session, a, perspective);
  const Item* camera = h.scene.find(h.scene.render_camera());
  if (!camera) return a;
  double start, end;
  frame_times(h, frame, start, end);
  const Matrix view = world_to_camera(h.scene.world_frame(*camera, end));
  a.world_to_camera = view;
  double hfov, vfov;
  h.scene.fov(*camera, end, hfov, vfov);
  const double aspect = std::tan(0.5 * hfov) / std::tan(0.5 * vfov);
  const RenderSettings& r = h.scene.render;
  if (perspective)
    a.world_to_ndc =
        product(view, camera_to_ndc(camera->camera.zoom.at(end), aspect, r.width, r.height));
  return a;
}

}  // namespace host
