// Executing a frame's plan against the host: the instance's database, the
// pixels in and out through the sRGB curves, and the passes over the stars.
#include <algorithm>
#include <atomic>
#include <cmath>
#include <memory>

#include "LW/frame.h"
#include "LW/pass_bands.h"
#include "stardb/star_record.h"

namespace {

void send_error(const char* first, const char* second) {
  const VHMessageFuncs* m = vantrel_module.host.messages;
  if (m) m->error(m, first, second);
}

// The host's answers, from the globals the activation fetched.
class GlobalAnswers : public HostAnswers {
public:
  explicit GlobalAnswers(const VantrelHost& h) : h(h) {}

  VHItemID camera_at(double time) const override {
    VHItemID cam = h.scene ? h.scene->render_camera(h.scene, time) : nullptr;
    if (!cam && h.items) cam = h.items->first(h.items, VH_ITEM_CAMERA, nullptr);
    if (!cam) THROW_STR("no camera?");
    return cam;
  }
  CameraAnswers camera(VHItemID cam, double t) const override {
    const VHCameraInfo* c = h.camera;
    CameraAnswers a;
    a.zoom = c->zoom_factor(c, cam, t);
    a.focal_length = c->focal_length(c, cam, t);
    a.focal_distance = c->focal_distance(c, cam, t);
    a.f_stop = c->f_stop(c, cam, t);
    a.blur_length = c->blur_length(c, cam, t);
    c->fov_angles(c, cam, t, &a.hfov, &a.vfov);
    return a;
  }
  unsigned camera_flags(VHItemID cam) const override { return h.camera->flags(h.camera, cam); }
  PixelRegion camera_region(VHItemID cam) const override {
    PixelRegion r;
    h.camera->region_limits(h.camera, cam, &r.x0, &r.y0, &r.x1, &r.y1);
    return r;
  }
  ItemPose pose(VHItemID item, double t) const override {
    const VHItemInfo* i = h.items;
    ItemPose p;
    i->param(i, item, VH_PARAM_RIGHT, t, p.right);
    i->param(i, item, VH_PARAM_UP, t, p.up);
    i->param(i, item, VH_PARAM_FORWARD, t, p.forward);
    i->param(i, item, VH_PARAM_PIVOT, t, p.pivot);
    i->param(i, item, VH_PARAM_WORLD_POSITION, t, p.position);
    return p;
  }

private:
  const VantrelHost& h;
};

FrameFacts facts_of(const VHSceneInfo& scene, const VHFilterAccess& access, uint32_t records) {
  FrameFacts f;
  f.fps = scene.fps;
  f.frame_width = scene.frame_width;
  f.frame_height = scene.frame_height;
  f.region = PixelRegion{scene.region_x0, scene.region_y0, scene.region_x1, scene.region_y1};
  f.render_options = scene.render_options;
  f.image_width = access.width;
  f.image_height = access.height;
  f.frame = access.frame;
  f.start = access.start;
  f.end = access.end;
  f.time_from_frame = vantrel_module.host_time_from_frame;
  f.record_count = records;
  return f;
}

// Makes sure the instance holds the database StarFile names; false (with the
// host told why) when it cannot be used.
bool ensure_database(vantrel* v) {
  if (v->StarSource && v->StarSource->path == v->StarFile) return true;
  v->StarSource.reset();
  if (!star_file_check(v->StarFile.c_str(), &v->StarFileIs3D)) {
    send_error("Vantrel: Invalid star database file", v->StarFile.c_str());
    return false;
  }
  if (v->ThreeD && !v->StarFileIs3D) {
    send_error("Vantrel: This star database file does not support 3D stars", v->StarFile.c_str());
    return false;
  }
  v->StarSource = std::make_unique<LWStarFile>(v->StarFile.c_str());
  return true;
}

// Puts the database's cursor back on its header on every way out of a pass,
// so that the next renderer finds the header even after a failure.
class RewindGuard {
public:
  explicit RewindGuard(StarInput& input) : input(input) {}
  RewindGuard(const RewindGuard&) = delete;
  RewindGuard& operator=(const RewindGuard&) = delete;
  ~RewindGuard() { input.rewind(); }

private:
  StarInput& input;
};

// Steps the host's monitor once for every 2048 records a pass has passed,
// drawn or not; false when the user cancelled.
class PassMonitor {
public:
  explicit PassMonitor(VHMonitor* monitor) : monitor(monitor) {}
  bool passed(uint64_t records) {
    for (; monitor && steps < records / 2048; ++steps)
      if (monitor->step(monitor->data, 1)) return false;
    return true;
  }

private:
  VHMonitor* monitor;
  uint64_t steps = 0;
};

// The cells of a database in sky cells that can reach the frame, ascending.
std::vector<uint32_t> wanted_cells(const StarRenderer& renderer, const StarCells& cells) {
  std::vector<uint32_t> wanted;
  for (const StarCells::Group& g : cells.groups()) {
    if (!renderer.may_light(g.patch)) continue;
    for (uint32_t i = g.first; i < g.first + g.count; ++i)
      if (renderer.may_light(cells.patch(i))) wanted.push_back(i);
  }
  return wanted;
}

// A database in sky cells: only the cells that can reach the frame are read
// and drawn, in file order, which gives the picture of drawing every record.
bool draw_cells(StarRenderer& renderer, StarCells& cells, const std::vector<uint32_t>& wanted,
                PassMonitor& monitor) {
  const bool done = cells.visit(wanted, [&](const CellRun& run) {
    renderer.render_records(run.records, run.bright, run.dirs, run.count);
    return monitor.passed(run.end);
  });
  return done && monitor.passed(cells.record_count());
}

// The records a pass draws, as runs in file order that are all in memory at
// once: the reaching cells, when the window holds them all, or every record
// of a database read whole. False when they cannot all be held.
bool runs_of_pass(LWStarFile& db, const std::vector<uint32_t>& wanted, std::vector<CellRun>& runs) {
  if (db.cells) return db.cells->hold(wanted, runs);
  const float* bright = db.brightnesses();
  const SkyDirection* dirs = db.directions();
  if (!bright || !dirs) return false;
  // Runs as long as the monitor's steps, so that a cancel is seen as soon.
  const uint32_t kRun = 2048;
  const auto* records = reinterpret_cast<const unsigned char*>(db.records.bytes);
  for (uint32_t i = 1; i < db.record_count; i += kRun) {
    const uint32_t n = std::min(kRun, db.record_count - i);
    runs.push_back(CellRun{records + static_cast<size_t>(i) * star_db::kRecordSize, bright + i,
                           dirs + i, n, uint64_t{i} - 1 + n});
  }
  return true;
}

// Draws the runs in stripes of the framebuffer's rows, a thread a band;
// the monitor is stepped on this thread. False when the user cancelled.
bool draw_bands(const PassPlan& pass, const StarRendererData& data, const StarFramebuffer& fb,
                LWStarFile& db, const std::vector<CellRun>& runs, int bands, PassMonitor& monitor,
                std::vector<BatchPiece>& pieces) {
  const StarRenderer renderer(data, fb, db, pass.cameras);
  const int segments = std::max(1, static_cast<int>(pass.cameras.len()) - 1);
  const StripedPass striped{fb, runs, renderer, bands, segments, data.lines, pieces};
  return draw_striped(striped, [&](uint64_t end) { return monitor.passed(end); }) &&
         monitor.passed(db.cells ? db.cells->record_count() : db.record_count - 1);
}

// Draws one pass; false when the user cancelled through the monitor.
bool draw_pass(const PassPlan& pass, const StarFramebuffer& fb, LWStarFile& db, VHMonitor* monitor,
               FrameMemory& memory) {
  RewindGuard rewind(db);
  StarRendererData data = pass.data;
  data.path = vantrel_module.render_reference ? ExactPath : FastPath;
  PassMonitor steps(monitor);
  std::vector<uint32_t> wanted;
  if (db.cells) {
    const StarRenderer planner(data, fb, db, pass.cameras);
    wanted = wanted_cells(planner, *db.cells);
    db.rewind();
  }
  const int bands = pass_band_count(fb, data);
  if (bands > 1) {
    std::vector<CellRun> runs;
    if (runs_of_pass(db, wanted, runs))
      return draw_bands(pass, data, fb, db, runs, bands, steps, memory.pieces);
  }
  const uint64_t records = db.cells ? db.cells->records_of(wanted) : db.record_count;
  const StarFramebuffer view = fills_first(fb, records) ? filled(fb, fb) : fb;
  StarRenderer renderer(data, view, db, pass.cameras);
  if (db.cells) return draw_cells(renderer, *db.cells, wanted, steps);
  bool drew = false;
  for (uint32_t i = 1; i < db.record_count; ++i) {
    if (!renderer.render_next(drew)) break;
    if ((i & 0x7FF) == 0x7FF && !steps.passed(i + 1)) return false;
  }
  return true;
}

// Draws every pass into the rectangle's pixels and hands them back. A
// cancel leaves the host's buffers as they were.
void execute_plan(const FramePlan& plan, const VHFilterAccess* access, vantrel* v) {
  LWStarFile& db = *v->StarSource;
  const bool srgb = v->sRGBFrameBuffer != 0;
  if (!v->Pixels) v->Pixels = std::make_unique<FrameMemory>();
  const std::unique_ptr<FramePixels> pixels =
      vantrel_module.render_reference ? reference_pixels(access, plan.rect, srgb)
                                      : fast_pixels(access, plan.rect, srgb, *v->Pixels);
  VHMonitor* monitor = access->monitor;
  if (monitor) monitor->init(monitor->data, plan.monitor_total);
  for (int p = 0; p < plan.pass_count; ++p)
    if (!draw_pass(plan.passes[p], pixels->framebuffer(), db, monitor, *v->Pixels)) return;
  if (monitor) monitor->done(monitor->data);
  const int rows = plan.rect.y1 - plan.rect.y0 + 1;
  pixels->write_back(vantrel_module.host.rows, plan.whole_image,
                     vantrel_module.render_reference ? 1 : band_count(rows));
}

}  // namespace

void vantrel_render_frame(vantrel* v, const VHFilterAccess* access) {
  VantrelHost& host = vantrel_module.host;
  host.scene =
      host.global ? static_cast<const VHSceneInfo*>(host.global(VH_SCENE_INFO, 0)) : nullptr;
  if (!host.scene) {
    send_error("Vantrel: Error obtaining Scene Info global", nullptr);
    return;
  }
  if (!ensure_database(v)) return;
  LWStarFile& db = *v->StarSource;
  const FramePlan plan =
      plan_frame(facts_of(*host.scene, *access, db.record_count), *v, GlobalAnswers(host));
  if (plan.empty()) return;
  execute_plan(plan, access, v);
}
