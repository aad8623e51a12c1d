#include "host/core/scene.h"

#include <algorithm>
#include <cctype>
#include <cmath>

#include "host/core/error.h"

namespace host {

double Channel::at(double time) const {
  if (keys.empty()) return 0.0;
  if (time <= keys.front().time) return keys.front().value;
  if (time >= keys.back().time) return keys.back().value;
  auto hi = std::upper_bound(keys.begin(), keys.end(), time,
                             [](double t, const Key& k) { return t < k.time; });
  auto lo = hi - 1;
  const double f = (time - lo->time) / (hi->time - lo->time);
  return lo->value + (hi->value - lo->value) * f;
}

void Channel::set(double time, double value) {
  auto it = std::lower_bound(keys.begin(), keys.end(), time,
                             [](const Key& k, double t) { return k.time < t; });
  if (it != keys.end() && it->time == time)
    it->value = value;
  else
    keys.insert(it, Key{time, value});
}

Motion::Motion() {
  for (Channel& c : position) c = Channel(0.0);
  for (Channel& c : rotation) c = Channel(0.0);
}

namespace {
Vec3 mul(const Vec3& v, double s) { return {v[0] * s, v[1] * s, v[2] * s}; }
Vec3 add(const Vec3& a, const Vec3& b) { return {a[0] + b[0], a[1] + b[1], a[2] + b[2]}; }
Vec3 sub(const Vec3& a, const Vec3& b) { return {a[0] - b[0], a[1] - b[1], a[2] - b[2]}; }
// A direction of the inner frame expressed in the outer frame.
Vec3 turn(const Vec3& v, const Frame& f) {
  return add(add(mul(f.right, v[0]), mul(f.up, v[1])), mul(f.forward, v[2]));
}
}  // namespace

Vec3 Frame::apply(const Vec3& p) const { return add(turn(p, *this), position); }

Frame Frame::then(const Frame& outer) const {
  Frame r;
  r.right = turn(right, outer);
  r.up = turn(up, outer);
  r.forward = turn(forward, outer);
  r.position = outer.apply(position);
  return r;
}

Channel zoom_for_vertical_fov(double degrees) {
  return Channel(1.0 / std::tan(degrees * kRadiansPerDegree / 2));
}

Frame rotation_frame(double h, double p, double b) {
  Frame heading, pitch, bank;
  heading.right = {std::cos(h), 0, -std::sin(h)};
  heading.forward = {std::sin(h), 0, std::cos(h)};
  pitch.up = {0, std::cos(p), std::sin(p)};
  pitch.forward = {0, -std::sin(p), std::cos(p)};
  bank.right = {std::cos(b), std::sin(b), 0};
  bank.up = {-std::sin(b), std::cos(b), 0};
  return bank.then(pitch).then(heading);
}

Vec3 heading_pitch_bank(const Frame& f, const Vec3* previous) {
  const double pitch = std::asin(std::clamp(-f.forward[1], -1.0, 1.0));
  double heading, bank;
  if (std::fabs(f.forward[1]) > 1 - 1e-12) {  // straight up or down: heading and bank coincide
    heading = std::atan2(-f.right[2], f.right[0]);
    bank = 0;
  } else {
    heading = std::atan2(f.forward[0], f.forward[2]);
    bank = std::atan2(f.right[1], f.up[1]);
  }
  Vec3 hpb{heading / kRadiansPerDegree, pitch / kRadiansPerDegree, bank / kRadiansPerDegree};
  if (previous)
    for (int k : {0, 2}) hpb[k] += 360.0 * std::round(((*previous)[k] - hpb[k]) / 360.0);
  return hpb;
}

Item& Scene::add(ItemKind kind, const std::string& name, uint32_t parent) {
  auto item = std::make_unique<Item>();
  // Kind in the top nibble keeps identifiers readable and within 32 bits.
  do item->id = (static_cast<uint32_t>(kind) + 1) << 28 | next_serial++;
  while (find(item->id));  // a loaded scene may hold this identifier already
  item->kind = kind;
  item->name = name;
  item->parent = parent;
  all.push_back(std::move(item));
  return *all.back();
}

Item& Scene::add_with_id(ItemKind kind, const std::string& item_name, uint32_t id,
                         uint32_t parent) {
  if (id == 0 || find(id))
    throw HostError("item identifier " + std::to_string(id) + " is " +
                    (id ? "taken" : "not valid"));
  Item& item = add(kind, item_name, parent);
  item.id = id;
  return item;
}

Item* Scene::find(uint32_t id) {
  for (auto& i : all)
    if (i->id == id) return i.get();
  return nullptr;
}

const Item* Scene::find(uint32_t id) const { return const_cast<Scene*>(this)->find(id); }

Item* Scene::find_named(const std::string& wanted) {
  for (auto& i : all)
    if (i->name == wanted) return i.get();
  return nullptr;
}

Frame Scene::local_frame(const Item& item, double t) const {
  const Motion& m = item.motion;
  Frame f = rotation_frame(m.rotation[0].at(t) * kRadiansPerDegree,
                           m.rotation[1].at(t) * kRadiansPerDegree,
                           m.rotation[2].at(t) * kRadiansPerDegree);
  const Vec3 position{m.position[0].at(t), m.position[1].at(t), m.position[2].at(t)};
  // p -> (p - pivot) R + position
  f.position = sub(position, turn(item.pivot, f));
  return f;
}

Frame Scene::world_frame(const Item& item, double t) const {
  Frame f = local_frame(item, t);
  int guard = 0;
  for (const Item* p = find(item.parent); p; p = find(p->parent)) {
    if (++guard > 1000) throw HostError("item '" + item.name + "' has a parent loop");
    f = f.then(local_frame(*p, t));
  }
  return f;
}

uint32_t Scene::render_camera() const {
  if (render.camera && find(render.camera)) return render.camera;
  for (auto& i : all)
    if (i->kind == ItemKind::Camera) return i->id;
  return 0;
}

void Scene::fov(const Item& camera, double t, double& horizontal, double& vertical) const {
  const double tan_v = 1.0 / camera.camera.zoom.at(t);
  const double aspect = static_cast<double>(render.width) / render.height;
  vertical = 2.0 * std::atan(tan_v);
  horizontal = 2.0 * std::atan(aspect * tan_v);
}

const char* shutter_name(Shutter s) {
  switch (s) {
    case Shutter::Open: return "Open";
    case Shutter::Centred: return "Centred";
    case Shutter::Close: return "Close";
  }
  return "Open";
}

bool shutter_named(const std::string& name, Shutter& s) {
  for (Shutter each : {Shutter::Open, Shutter::Centred, Shutter::Close}) {
    const std::string n = shutter_name(each);
    if (name.size() == n.size() && std::equal(n.begin(), n.end(), name.begin(), [](char a, char b) {
          return std::tolower(static_cast<unsigned char>(a)) ==
                 std::tolower(static_cast<unsigned char>(b));
        })) {
      s = each;
      return true;
    }
  }
  return false;
}

double Scene::scene_time(double t) const {
  if (render.shutter == Shutter::Open) return t;
  const Item* cam = find(render_camera());
  if (!cam || !cam->camera.motion_blur) return t;
  const double blur = cam->camera.blur_length.at(t) / render.fps;
  return t - (render.shutter == Shutter::Centred ? blur / 2 : blur);
}

void Scene::region(int& x0, int& y0, int& x1, int& y1) const {
  if (render.limited_region) {
    x0 = render.region_x0;
    y0 = render.region_y0;
    x1 = render.region_x1;
    y1 = render.region_y1;
  } else {
    x0 = 0;
    y0 = 0;
    x1 = render.width - 1;
    y1 = render.height - 1;
  }
}

}  // namespace host
