#include "host/core/host.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>

#include "host/core/render.h"

namespace host {

namespace {

// Hosts alive, oldest first. They may end in any order; the newest alive answers.
std::vector<Host*>& live_hosts() {
  static std::vector<Host*> hosts;
  return hosts;
}

const Item* camera_item(void* h, VHItemID id) {
  const Item* item = host_of(h).scene.find(Host::from_id(id));
  return item && item->kind == ItemKind::Camera ? item : nullptr;
}

// The scene's time at which to answer the filter's question about time t.
double when(void* h, double t) { return host_of(h).scene.scene_time(t); }

void put(const Vec3& v, double out[3]) {
  out[0] = v[0];
  out[1] = v[1];
  out[2] = v[2];
}

}  // namespace

Host::Host() {
  live_hosts().push_back(this);

  filter_rows.host = this;
  filter_rows.output_line = &FrameAccess::output_line;

  scene_info = VHSceneInfo{};
  scene_info.host = this;
  scene_info.render_camera = [](const VHSceneInfo* self, double) {
    return Host::to_id(host_of(self->host).scene.render_camera());
  };

  wire_camera_info();
  wire_item_info();
  wire_messages_and_files();
}

void Host::wire_camera_info() {
  camera_info.host = this;
  camera_info.zoom_factor = [](const VHCameraInfo* s, VHItemID c, double t) {
    const Item* cam = camera_item(s->host, c);
    return cam ? cam->camera.zoom.at(when(s->host, t)) : 0.0;
  };
  camera_info.focal_length = [](const VHCameraInfo* s, VHItemID c, double t) {
    const Item* cam = camera_item(s->host, c);
    return cam ? cam->camera.zoom.at(when(s->host, t)) * cam->camera.aperture_height / 2.0 * 1000.0
               : 0.0;
  };
  camera_info.focal_distance = [](const VHCameraInfo* s, VHItemID c, double t) {
    const Item* cam = camera_item(s->host, c);
    return cam ? cam->camera.focal_distance.at(when(s->host, t)) : 0.0;
  };
  camera_info.f_stop = [](const VHCameraInfo* s, VHItemID c, double t) {
    const Item* cam = camera_item(s->host, c);
    return cam ? cam->camera.f_stop.at(when(s->host, t)) : 0.0;
  };
  camera_info.blur_length = [](const VHCameraInfo* s, VHItemID c, double t) {
    // Without motion blur the shutter is instantaneous: no blur interval.
    const Item* cam = camera_item(s->host, c);
    return cam && cam->camera.motion_blur ? cam->camera.blur_length.at(when(s->host, t)) : 0.0;
  };
  camera_info.fov_angles = [](const VHCameraInfo* s, VHItemID c, double t, double* h, double* v) {
    const Item* cam = camera_item(s->host, c);
    *h = *v = 0.0;
    if (cam) host_of(s->host).scene.fov(*cam, when(s->host, t), *h, *v);
  };
  camera_info.flags = [](const VHCameraInfo* s, VHItemID c) {
    const Item* cam = camera_item(s->host, c);
    if (!cam) return 0u;
    return (cam->camera.limited_region ? unsigned{VH_CAMF_LIMITED_REGION} : 0u) |
           (cam->camera.motion_blur ? unsigned{VH_CAMF_MOTION_BLUR} : 0u);
  };
  camera_info.region_limits = [](const VHCameraInfo* s, VHItemID c, int* x0, int* y0, int* x1,
                                 int* y1) {
    const Item* cam = camera_item(s->host, c);
    if (!cam) {
      *x0 = *y0 = *x1 = *y1 = 0;
      return;
    }
    *x0 = cam->camera.region_x0;
    *y0 = cam->camera.region_y0;
    *x1 = cam->camera.region_x1;
    *y1 = cam->camera.region_y1;
  };
}

void Host::wire_item_info() {
  item_info.host = this;
  item_info.first = [](const VHItemInfo* s, int kind, VHItemID parent) -> VHItemID {
    for (const auto& i : host_of(s->host).scene.items())
      if (static_cast<int>(i->kind) == kind && (!parent || i->parent == Host::from_id(parent)))
        return Host::to_id(i->id);
    return nullptr;
  };
  item_info.next = [](const VHItemInfo* s, VHItemID id) -> VHItemID {
    const auto& items = host_of(s->host).scene.items();
    bool seen = false;
    int kind = -1;
    for (const auto& i : items) {
      if (seen && static_cast<int>(i->kind) == kind) return Host::to_id(i->id);
      if (i->id == Host::from_id(id)) {
        seen = true;
        kind = static_cast<int>(i->kind);
      }
    }
    return nullptr;
  };
  item_info.parent = [](const VHItemInfo* s, VHItemID id) -> VHItemID {
    const Item* i = host_of(s->host).scene.find(Host::from_id(id));
    return i ? Host::to_id(i->parent) : nullptr;
  };
  item_info.name = [](const VHItemInfo* s, VHItemID id) -> const char* {
    const Item* i = host_of(s->host).scene.find(Host::from_id(id));
    return i ? i->name.c_str() : nullptr;
  };
  item_info.kind = [](const VHItemInfo* s, VHItemID id) {
    const Item* i = host_of(s->host).scene.find(Host::from_id(id));
    return i ? static_cast<int>(i->kind) : -1;
  };
  item_info.param = [](const VHItemInfo* s, VHItemID id, int code, double t, double out[3]) {
    const Scene& scene = host_of(s->host).scene;
    const Item* i = scene.find(Host::from_id(id));
    out[0] = out[1] = out[2] = 0.0;
    if (!i) return;
    t = scene.scene_time(t);
    const Frame w = scene.world_frame(*i, t);
    switch (code) {
      case VH_PARAM_POSITION:
        for (int k = 0; k < 3; ++k) out[k] = i->motion.position[k].at(t);
        break;
      case VH_PARAM_RIGHT: put(w.right, out); break;
      case VH_PARAM_UP: put(w.up, out); break;
      case VH_PARAM_FORWARD: put(w.forward, out); break;
      case VH_PARAM_ROTATION:
        for (int k = 0; k < 3; ++k) out[k] = i->motion.rotation[k].at(t) * kRadiansPerDegree;
        break;
      case VH_PARAM_SCALING: out[0] = out[1] = out[2] = 1.0; break;
      case VH_PARAM_PIVOT: put(i->pivot, out); break;
      case VH_PARAM_WORLD_POSITION: put(w.apply(i->pivot), out); break;
      default: break;
    }
  };
}

void Host::wire_messages_and_files() {
  message_funcs.host = this;
  message_funcs.info = [](const VHMessageFuncs* s, const char* a, const char* b) {
    host_of(s->host).message(Message::Info, a, b);
  };
  message_funcs.error = [](const VHMessageFuncs* s, const char* a, const char* b) {
    host_of(s->host).message(Message::Error, a, b);
  };
  message_funcs.warning = [](const VHMessageFuncs* s, const char* a, const char* b) {
    host_of(s->host).message(Message::Warning, a, b);
  };

  file_seek.host = this;
  file_seek.size = [](const VHFileSeek* s, st_LWLoadState* st) -> int64_t {
    LoadState* l = host_of(s->host).open_load_of(st);
    return l ? l->size() : -1;
  };
  file_seek.seek = [](const VHFileSeek* s, st_LWLoadState* st, int64_t offset) {
    LoadState* l = host_of(s->host).open_load_of(st);
    return l && l->seek(offset) ? 0 : -1;
  };

  file_io.host = this;
  file_io.open_load = [](const VHFileIOFuncs* s, const char* p, int m) {
    return host_of(s->host).open_load(p, m);
  };
  file_io.close_load = [](const VHFileIOFuncs* s, st_LWLoadState* st) {
    host_of(s->host).close_load(st);
  };
  file_io.open_save = [](const VHFileIOFuncs* s, const char* p, int m) {
    return host_of(s->host).open_save(p, m);
  };
  file_io.close_save = [](const VHFileIOFuncs* s, st_LWSaveState* st) {
    return host_of(s->host).close_save(st);
  };
}

Host::~Host() {
  std::vector<Host*>& hosts = live_hosts();
  hosts.erase(std::remove(hosts.begin(), hosts.end(), this), hosts.end());
}

Host* Host::current() { return live_hosts().empty() ? nullptr : live_hosts().back(); }

void* Host::global_lookup(const char* name, int) {
  Host* h = current();
  return h && name ? h->global(name) : nullptr;
}

void Host::sync_scene_info() {
  const RenderSettings& r = scene.render;
  scene_info.name = scene.name.c_str();
  scene_info.filename = scene_filename.c_str();
  scene_info.fps = r.fps;
  scene_info.frame_width = r.width;
  scene_info.frame_height = r.height;
  scene_info.first_frame = r.first_frame;
  scene_info.last_frame = r.last_frame;
  scene_info.frame_step = r.frame_step;
  scene_info.render_options =
      r.render_options | (r.limited_region ? unsigned{VH_ROPT_LIMITED_REGION} : 0u);
  scene.region(scene_info.region_x0, scene_info.region_y0, scene_info.region_x1,
               scene_info.region_y1);
}

void* Host::global(const char* name) {
  ++lookups[name];
  if (withheld.count(name)) return nullptr;
  auto extra = extra_globals.find(name);
  if (extra != extra_globals.end()) return extra->second;
  if (!strcmp(name, VH_SCENE_INFO)) {
    sync_scene_info();
    return &scene_info;
  }
  if (!strcmp(name, VH_CAMERA_INFO)) return &camera_info;
  if (!strcmp(name, VH_ITEM_INFO)) return &item_info;
  if (!strcmp(name, VH_MESSAGES)) return &message_funcs;
  if (!strcmp(name, VH_FILE_IO)) return &file_io;
  if (!strcmp(name, VH_FILTER_ROWS)) return &filter_rows;
  if (!strcmp(name, VH_FILE_SEEK)) return &file_seek;
  if (!strcmp(name, VH_PRODUCT_INFO))
    return reinterpret_cast<void*>(static_cast<uintptr_t>(product_info));
  return nullptr;
}

void Host::message(Message::Kind kind, const char* first, const char* second) {
  messages.push_back(Message{kind, first ? first : "", second ? second : ""});
  if (!echo_messages) return;
  static const char* const label[] = {"info", "error", "warning"};
  // Plain writes: the texts are data, never formats.
  fputs(label[kind], stderr);
  fputs(": ", stderr);
  fputs(printable(first ? first : "").c_str(), stderr);
  if (second && *second) {
    fputs("\n  ", stderr);
    fputs(printable(second).c_str(), stderr);
  }
  fputc('\n', stderr);
}

std::string Host::resolve(const std::string& path) const {
  // Relative on this platform: no root ("/", or on Windows a drive or "\\").
  const std::filesystem::path given(path);
  if (!path.empty() && !given.has_root_directory() && !given.has_root_name() &&
      !content_dir.empty()) {
    const std::string beside = content_dir + "/" + path;
    if (access(beside.c_str(), R_OK) == 0) return beside;
  }
  return path;
}

st_LWLoadState* Host::open_load(const char* path_, int mode) {
  if (!path_ || !*path_) return nullptr;
  const std::string path = resolve(path_);
  InputFile file(path);
  if (!file.is_open()) {
    // A missing file is an answer plug-ins ask for (is there a database?);
    // a folder, a device or a FIFO in a file's place is a mistake to name.
    if (file.problem() == InputFile::Problem::NotRegular)
      message(Message::Error, ("cannot open " + path + ": it is " + file.reason()).c_str(),
              nullptr);
    return nullptr;
  }
  try {
    if (mode == VH_IO_BINARY)
      open_loads.push_back({std::make_unique<LoadState>(std::move(file)), path});
    else
      open_loads.push_back(
          {std::make_unique<LoadState>(parse_blocks(file.read_all(kMaxTextFile), path)), path});
  } catch (const std::exception& e) {
    message(Message::Error, e.what(), nullptr);
    return nullptr;
  }
  return open_loads.back().state->state();
}

LoadState* Host::open_load_of(st_LWLoadState* state) {
  for (OpenLoad& o : open_loads)
    if (o.state->state() == state) return o.state.get();
  return nullptr;
}

void Host::close_load(st_LWLoadState* state) {
  for (auto it = open_loads.begin(); it != open_loads.end(); ++it)
    if (it->state->state() == state) {
      if (!it->state->error().empty())
        message(Message::Warning, ("while reading " + it->path + ":").c_str(),
                it->state->error().c_str());
      open_loads.erase(it);
      return;
    }
}

st_LWSaveState* Host::open_save(const char* path, int mode) {
  if (!path || !*path) return nullptr;
  // Refuse now what could not be written later: the folder must take a new file.
  std::string probe = std::string(path) + ".probe-" + std::to_string(getpid());
  FILE* f = fopen(probe.c_str(), "wb");
  if (!f) return nullptr;
  fclose(f);
  remove(probe.c_str());
  open_saves.push_back(OpenSave{std::make_unique<SaveState>(mode), path});
  return open_saves.back().state->state();
}

int Host::close_save(st_LWSaveState* state) {
  for (auto it = open_saves.begin(); it != open_saves.end(); ++it) {
    if (it->state->state() != state) continue;
    OpenSave done = std::move(*it);
    open_saves.erase(it);
    if (!done.state->error().empty())
      message(Message::Warning, ("while writing " + done.path + ":").c_str(),
              done.state->error().c_str());
    try {
      write_file_atomically(done.path, done.state->text());
    } catch (const FileError& e) {
      message(Message::Error, e.what(), nullptr);
      return -1;
    }
    written.push_back(done.path);
    return 0;
  }
  return -1;
}

}  // namespace host
