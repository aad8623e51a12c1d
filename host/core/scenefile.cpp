#include "host/core/scenefile.h"

#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>

namespace host {

namespace {

// Reads the values of one leaf, with messages that say where and what.
class Values {
public:
  Values(const Block& block, const std::string& source) : b(block), src(source) {}

  [[noreturn]] void fail(const std::string& what) const {
    throw HostError(src + ":" + std::to_string(b.line) + ": " + b.keyword + " " + what);
  }
  std::string token(const char* expected, bool want_string) {
    std::string v;
    const Token t = read_token(b.text, cur, v);
    if (t == Token::Unterminated) fail("has a string without its closing quote");
    if (t == Token::None) fail(std::string("expects ") + expected);
    if ((t == Token::String) != want_string)
      fail(std::string("expects ") + expected + ", found '" + v + "'");
    return v;
  }
  double number() {
    const std::string v = token("a number", false);
    char* end = nullptr;
    const double d = strtod(v.c_str(), &end);
    // The whole token: a NUL inside it must not end the number early.
    if (end != v.c_str() + v.size() || v.empty() || !std::isfinite(d))
      fail("expects a number, found '" + v + "'");
    return d;
  }
  // Any integer a long long holds; callers check their own range before narrowing.
  long long integer() {
    const std::string v = token("an integer", false);
    char* end = nullptr;
    errno = 0;
    const long long i = strtoll(v.c_str(), &end, 10);
    if (end != v.c_str() + v.size() || v.empty() || errno == ERANGE)
      fail("expects an integer, found '" + v + "'");
    return i;
  }
  long long integer(long long lo, long long hi) {
    const long long i = integer();
    if (i < lo || i > hi)
      fail("expects an integer from " + std::to_string(lo) + " to " + std::to_string(hi) +
           ", found " + std::to_string(i));
    return i;
  }
  int int32() { return static_cast<int>(integer(INT32_MIN, INT32_MAX)); }
  std::string string() { return token("a quoted string", true); }
  std::string word() { return token("a word", false); }
  bool more() {
    size_t c = cur;
    std::string v;
    return read_token(b.text, c, v) != Token::None;
  }
  void end() {
    if (more()) fail("has more values than it takes");
  }

private:
  const Block& b;
  const std::string& src;
  size_t cur = 0;
};

std::string num(double v) {
  char buf[40];
  snprintf(buf, sizeof buf, "%.17g", v);  // every double comes back exactly
  return buf;
}

const char* kind_name(ItemKind k) {
  switch (k) {
    case ItemKind::Object: return "Object";
    case ItemKind::Light: return "Light";
    case ItemKind::Camera: return "Camera";
  }
  return "Object";
}

void read_channel(Values& v, Channel& c, bool keyed) {
  c.keys.clear();
  if (!keyed) {
    c.set(0.0, v.number());
    v.end();
    return;
  }
  do {
    const double t = v.number();
    c.set(t, v.number());
  } while (v.more());
}

std::string channel_line(const std::string& indent, const std::string& name, const Channel& c) {
  if (c.keys.size() == 1 && c.keys[0].time == 0.0)
    return indent + name + " " + num(c.keys[0].value) + "\n";
  std::string line = indent + name + "Keys";
  for (const Channel::Key& k : c.keys) line += " " + num(k.time) + " " + num(k.value);
  return line + "\n";
}

// The channels of an item by their keywords in scene files.
std::vector<std::pair<const char*, Channel*>> channels(Item& item) {
  std::vector<std::pair<const char*, Channel*>> list = {
      {"PositionX", &item.motion.position[0]}, {"PositionY", &item.motion.position[1]},
      {"PositionZ", &item.motion.position[2]}, {"Heading", &item.motion.rotation[0]},
      {"Pitch", &item.motion.rotation[1]},     {"Bank", &item.motion.rotation[2]}};
  if (item.kind == ItemKind::Camera) {
    list.push_back({"Zoom", &item.camera.zoom});
    list.push_back({"FocalDistance", &item.camera.focal_distance});
    list.push_back({"FStop", &item.camera.f_stop});
    list.push_back({"BlurLength", &item.camera.blur_length});
  }
  return list;
}

// What can be checked only once the whole file is read, with the lines to name.
struct Pending {
  std::vector<std::pair<Item*, int>> parents;
  std::vector<std::pair<const Item*, int>> camera_regions;
  // Depth-of-field values of cameras by line, checked once the render options are known.
  std::vector<std::pair<const Item*, int>> focus_lines, f_stop_lines;
  int region_line = 0;
  long long camera_id = 0;
  int camera_line = 0;
};

// A zoom of 0 or less makes no camera; focus values matter only with depth of
// field, so they are noted for check_focus.
void check_camera_channel(Values& v, const std::string& name, const Channel& c, const Item& item,
                          Pending& pending, int line) {
  if (name == "Zoom")
    for (const Channel::Key& k : c.keys)
      if (!(k.value > 0)) v.fail("expects a zoom greater than 0, found " + num(k.value));
  if (name == "FocalDistance") pending.focus_lines.push_back({&item, line});
  if (name == "FStop") pending.f_stop_lines.push_back({&item, line});
}

// With depth of field, an f-stop of 0 or a focus at or inside the focal
// length makes no image: refused at the line that holds it.
void check_focus(const RenderSettings& r, const Pending& p, const std::string& src) {
  if (!(r.render_options & VH_ROPT_DEPTH_OF_FIELD)) return;
  auto shown = [](double v) {
    char text[32];
    snprintf(text, sizeof text, "%g", v);
    return std::string(text);
  };
  auto refuse = [&](int line, const std::string& what) {
    throw HostError(src + ":" + std::to_string(line) + ": " + what + " (DepthOfField is on)");
  };
  for (const auto& [item, line] : p.f_stop_lines)
    for (const Channel::Key& k : item->camera.f_stop.keys)
      if (!(k.value > 0))
        refuse(line, "FStop expects a value greater than 0, found " + num(k.value));
  for (const auto& [item, line] : p.focus_lines)
    for (const Channel::Key& k : item->camera.focal_distance.keys) {
      const double focal_length = item->camera.zoom.at(k.time) * item->camera.aperture_height / 2;
      if (!(k.value > focal_length))
        refuse(line, "FocalDistance " + shown(k.value) + " is not beyond the focal length " +
                         shown(focal_length) + " m");
    }
}

void read_region(Values& v, int& x0, int& y0, int& x1, int& y1) {
  x0 = v.int32();
  y0 = v.int32();
  x1 = v.int32();
  y1 = v.int32();
  v.end();
}

// A limited region must lie within the frame: the pass works out screen
// windows from it, and one outside the frame has no pixels to draw.
void check_region(const std::string& src, int line, const RenderSettings& r, int x0, int y0, int x1,
                  int y1) {
  if (0 <= x0 && x0 <= x1 && x1 < r.width && 0 <= y0 && y0 <= y1 && y1 < r.height) return;
  const std::string w = std::to_string(r.width), h = std::to_string(r.height);
  throw HostError(src + ":" + std::to_string(line) + ": LimitedRegion " + std::to_string(x0) + " " +
                  std::to_string(y0) + " " + std::to_string(x1) + " " + std::to_string(y1) +
                  " is not inside the " + w + " x " + h + " frame (expects 0 <= x0 <= x1 < " + w +
                  " and 0 <= y0 <= y1 < " + h + ")");
}

void parse_item(const Block& block, const std::string& src, Scene& scene, Pending& pending) {
  // The kind and identifier come first: they decide what else may follow.
  ItemKind kind = ItemKind::Object;
  long long id = 0;
  std::string name;
  for (const Block& b : block.children) {
    Values v(b, src);
    if (b.keyword == "Kind") {
      const std::string k = v.word();
      if (k == "Object")
        kind = ItemKind::Object;
      else if (k == "Light")
        kind = ItemKind::Light;
      else if (k == "Camera")
        kind = ItemKind::Camera;
      else
        v.fail("expects Object, Light or Camera, found '" + k + "'");
    } else if (b.keyword == "Id") {
      id = v.integer();
      if (id <= 0 || id > 0xFFFFFFFFLL) v.fail("expects an identifier from 1 to 4294967295");
    } else if (b.keyword == "Name") {
      name = v.string();
    } else {
      continue;
    }
    v.end();
  }
  Item* item;
  try {
    item = id ? &scene.add_with_id(kind, name, static_cast<uint32_t>(id)) : &scene.add(kind, name);
  } catch (const HostError& e) {
    throw HostError(src + ":" + std::to_string(block.line) + ": " + e.what());
  }
  auto chans = channels(*item);
  for (const Block& b : block.children) {
    Values v(b, src);
    const std::string& k = b.keyword;
    if (!b.leaf) v.fail("takes no nested blocks");
    if (k == "Kind" || k == "Id" || k == "Name") continue;
    bool done = false;
    for (auto& [cname, chan] : chans) {
      if (k == cname || k == std::string(cname) + "Keys") {
        read_channel(v, *chan, k != cname);
        check_camera_channel(v, cname, *chan, *item, pending, b.line);
        done = true;
      }
    }
    if (done) continue;
    if (k == "Parent") {
      pending.parents.push_back({item, b.line});
      item->parent = static_cast<uint32_t>(v.integer(0, UINT32_MAX));
      v.end();
    } else if (k == "Pivot") {
      for (double& p : item->pivot) p = v.number();
      v.end();
    } else if (kind == ItemKind::Camera && k == "VerticalFOV") {
      const double fov = v.number();
      if (!(fov > 0 && fov < 180)) v.fail("expects an angle between 0 and 180 degrees");
      item->camera.zoom = zoom_for_vertical_fov(fov);
      v.end();
    } else if (kind == ItemKind::Camera && k == "ApertureHeight") {
      item->camera.aperture_height = v.number();
      v.end();
    } else if (kind == ItemKind::Camera && k == "MotionBlur") {
      item->camera.motion_blur = v.integer(0, 1) != 0;
      v.end();
    } else if (kind == ItemKind::Camera && k == "LimitedRegion") {
      CameraSettings& c = item->camera;
      c.limited_region = true;
      read_region(v, c.region_x0, c.region_y0, c.region_x1, c.region_y1);
      pending.camera_regions.push_back({item, b.line});
    } else {
      v.fail("is not a setting of " + std::string(kind_name(kind)) + " items");
    }
  }
}

}  // namespace

namespace {

FilterEntry parse_filter(Block& b, const std::string& src) {
  FilterEntry entry;
  entry.line = b.line;
  for (Block& c : b.children) {
    if (c.keyword == "Server" && c.leaf)
      entry.server = Values(c, src).string();
    else if (c.keyword == "Settings" && !c.leaf)
      entry.settings = std::move(c.children);
    else
      Values(c, src).fail("is not part of an ImageFilter (Server, Settings { ... })");
  }
  if (entry.server.empty()) Values(b, src).fail("needs a Server \"name\"");
  return entry;
}

// One leaf of the scene's top level.
void parse_setting(const Block& b, const std::string& src, RenderSettings& r, Scene& scene,
                   Pending& pending) {
  Values v(b, src);
  const std::string& k = b.keyword;
  if (!b.leaf) v.fail("is not a scene block (Item, ImageFilter)");
  if (k == "VantrelScene") {
    if (v.integer() != 1) v.fail("version not supported (expected 1)");
  } else if (k == "Name") {
    scene.name = v.string();
  } else if (k == "FramesPerSecond") {
    r.fps = v.number();
    if (!(r.fps > 0)) v.fail("expects a positive number");
  } else if (k == "FrameSize") {
    const long long w = v.integer(), h = v.integer();
    if (w <= 0 || h <= 0 || w > 65536 || h > 65536)
      v.fail("expects a width and a height from 1 to 65536");
    r.width = static_cast<int>(w);
    r.height = static_cast<int>(h);
  } else if (k == "FrameRange") {
    r.first_frame = v.int32();
    r.last_frame = v.int32();
    r.frame_step = v.int32();
    if (r.frame_step <= 0 || r.last_frame < r.first_frame)
      v.fail("expects first, last (not before first) and a positive step");
  } else if (k == "RenderOptions") {
    while (v.more()) {
      const std::string o = v.word();
      if (o == "Fields")
        r.render_options |= VH_ROPT_FIELDS;
      else if (o == "EvenFieldFirst")
        r.render_options |= VH_ROPT_EVEN_FIELD_FIRST;
      else if (o == "DepthOfField")
        r.render_options |= VH_ROPT_DEPTH_OF_FIELD;
      else
        v.fail("does not know the option '" + o + "' (Fields, EvenFieldFirst, DepthOfField)");
    }
  } else if (k == "LimitedRegion") {
    r.limited_region = true;
    read_region(v, r.region_x0, r.region_y0, r.region_x1, r.region_y1);
    pending.region_line = b.line;
  } else if (k == "Shutter") {
    const std::string w = v.word();
    if (!shutter_named(w, r.shutter)) v.fail("expects Open, Centred or Close, found '" + w + "'");
  } else if (k == "Horizon") {
    r.horizon = v.integer(0, 1) != 0;
  } else if (k == "RenderCamera") {
    pending.camera_id = v.integer(1, UINT32_MAX);
    pending.camera_line = b.line;
  } else {
    v.fail("is not a scene setting");
  }
  v.end();
}

// Parents, the render camera and regions, now that every item and the frame size are known.
void check_references(SceneFile& file, const Pending& p, const std::string& src) {
  Scene& scene = file.scene;
  RenderSettings& r = scene.render;
  for (const auto& [item, line] : p.parents)
    if (item->parent && (!scene.find(item->parent) || item->parent == item->id))
      throw HostError(src + ":" + std::to_string(line) + ": Parent " +
                      std::to_string(item->parent) + " is not another item of this scene");
  if (p.camera_id) {
    const Item* cam = scene.find(static_cast<uint32_t>(p.camera_id));
    if (!cam || cam->kind != ItemKind::Camera)
      throw HostError(src + ":" + std::to_string(p.camera_line) + ": RenderCamera " +
                      std::to_string(p.camera_id) + " is not a camera of this scene");
    r.camera = cam->id;
  }
  if (r.limited_region)
    check_region(src, p.region_line, r, r.region_x0, r.region_y0, r.region_x1, r.region_y1);
  for (const auto& [item, line] : p.camera_regions) {
    const CameraSettings& c = item->camera;
    check_region(src, line, r, c.region_x0, c.region_y0, c.region_x1, c.region_y1);
  }
  check_focus(r, p, src);
  // Parent loops show here rather than at the first frame.
  try {
    for (const auto& item : scene.items()) scene.world_frame(*item, 0.0);
  } catch (const HostError& e) {
    throw HostError(src + ": " + e.what());
  }
}

}  // namespace

SceneFile parse_scene(const std::string& text, const std::string& src) {
  BlockList top = parse_blocks(text, src);
  if (top.empty() || top[0].keyword != "VantrelScene")
    throw HostError(src + ": not a Vantrel scene (expected 'VantrelScene 1' first)");
  SceneFile file;
  Pending pending;
  for (Block& b : top) {
    if (b.keyword == "Item" && !b.leaf)
      parse_item(b, src, file.scene, pending);
    else if (b.keyword == "ImageFilter" && !b.leaf)
      file.filters.push_back(parse_filter(b, src));
    else
      parse_setting(b, src, file.scene.render, file.scene, pending);
  }
  check_references(file, pending, src);
  return file;
}

SceneFile read_scene(const std::string& path) {
  return parse_scene(read_file(path, kMaxTextFile), path);
}

std::string format_scene(const Scene& scene, const std::vector<FilterEntry>& filters) {
  const RenderSettings& r = scene.render;
  std::string out = "# Vantrel scene: see docs/scene-files.md\nVantrelScene 1\n";
  out += "Name " + quote(scene.name) + "\n";
  out += "FramesPerSecond " + num(r.fps) + "\n";
  out += "FrameSize " + std::to_string(r.width) + " " + std::to_string(r.height) + "\n";
  out += "FrameRange " + std::to_string(r.first_frame) + " " + std::to_string(r.last_frame) + " " +
         std::to_string(r.frame_step) + "\n";
  std::string opts;
  if (r.render_options & VH_ROPT_FIELDS) opts += " Fields";
  if (r.render_options & VH_ROPT_EVEN_FIELD_FIRST) opts += " EvenFieldFirst";
  if (r.render_options & VH_ROPT_DEPTH_OF_FIELD) opts += " DepthOfField";
  if (!opts.empty()) out += "RenderOptions" + opts + "\n";
  if (r.limited_region)
    out += "LimitedRegion " + std::to_string(r.region_x0) + " " + std::to_string(r.region_y0) +
           " " + std::to_string(r.region_x1) + " " + std::to_string(r.region_y1) + "\n";
  if (r.camera) out += "RenderCamera " + std::to_string(r.camera) + "\n";
  if (r.horizon) out += "Horizon 1\n";
  if (r.shutter != Shutter::Open) out += "Shutter " + std::string(shutter_name(r.shutter)) + "\n";
  for (const auto& ptr : scene.items()) {
    Item& item = *ptr;
    out += "Item {\n  Kind " + std::string(kind_name(item.kind)) + "\n  Id " +
           std::to_string(item.id) + "\n";
    out += "  Name " + quote(item.name) + "\n";
    if (item.parent) out += "  Parent " + std::to_string(item.parent) + "\n";
    if (item.pivot != Vec3{0, 0, 0})
      out += "  Pivot " + num(item.pivot[0]) + " " + num(item.pivot[1]) + " " + num(item.pivot[2]) +
             "\n";
    for (auto& [cname, chan] : channels(item)) out += channel_line("  ", cname, *chan);
    if (item.kind == ItemKind::Camera) {
      const CameraSettings& c = item.camera;
      out += "  ApertureHeight " + num(c.aperture_height) + "\n";
      out += "  MotionBlur " + std::string(c.motion_blur ? "1" : "0") + "\n";
      if (c.limited_region)
        out += "  LimitedRegion " + std::to_string(c.region_x0) + " " +
               std::to_string(c.region_y0) + " " + std::to_string(c.region_x1) + " " +
               std::to_string(c.region_y1) + "\n";
    }
    out += "}\n";
  }
  for (const FilterEntry& f : filters) {
    out += "ImageFilter {\n  Server " + quote(f.server) + "\n  Settings {\n";
    out += format_blocks(f.settings, 2);
    out += "  }\n}\n";
  }
  return out;
}

}  // namespace host
