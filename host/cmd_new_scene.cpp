// vantrel-host new-scene: a scene with one camera aimed at the sky and the
// plug-in's own default settings.
#include <cstdio>
#include <memory>
#include <string>

#include "host/commands.h"
#include "host/scenefile.h"

namespace host {

namespace {

struct NewScene {
  std::string out;
  double ra = 0, dec = 0, fov = 40;
  std::string size = "1920x1080", frames = "1-1", database, plugin, name;
  double fps = 24;
  bool linear = false;
  int blur_segs = -1;
  std::string projection;
};

// Replaces the values of a top-level leaf, keeping its place.
void set_leaf(BlockList& blocks, const std::string& keyword, const std::string& values) {
  for (Block& b : blocks)
    if (b.keyword == keyword && b.leaf) {
      b.text = " " + values;
      return;
    }
  throw HostError("the plug-in's settings have no " + keyword);
}

int new_scene(const NewScene& o) {
  Host h;
  h.echo_messages = true;
  const std::string& out = o.out;
  const std::string::size_type slash = out.find_last_of('/');
  h.content_dir = slash == std::string::npos ? "." : out.substr(0, slash);
  Session session(h, o.plugin.empty() ? default_plugin_path(program_dir(), 64) : o.plugin);

  Scene& scene = h.scene;
  scene.name = o.name.empty() ? out.substr(slash == std::string::npos ? 0 : slash + 1) : o.name;
  int w = 0, ht = 0;
  char x = 0;
  if (sscanf(o.size.c_str(), "%d%c%d", &w, &x, &ht) != 3 || (x != 'x' && x != 'X') || w <= 0 ||
      ht <= 0)
    throw HostError("--size expects WIDTHxHEIGHT, found '" + o.size + "'");
  scene.render.width = w;
  scene.render.height = ht;
  scene.render.fps = o.fps;
  parse_range("--frames", o.frames, scene.render.first_frame, scene.render.last_frame);
  if (!(o.fov > 0 && o.fov < 180)) throw HostError("--fov expects degrees between 0 and 180");
  Item& cam = scene.add(ItemKind::Camera, "Camera");
  // Aim: heading turns +Z towards +X, so right ascension a lies at heading 90 - a; pitch is down.
  cam.motion.rotation[0] = Channel(90.0 - o.ra);
  cam.motion.rotation[1] = Channel(-o.dec);
  cam.camera.zoom = zoom_for_vertical_fov(o.fov);

  // The filter's settings are the plug-in's own defaults, with the few asked for.
  FilterInstance& f = session.add_filter("Vantrel");
  BlockList settings = f.save();
  set_leaf(settings, "sRGBFrameBuffer", o.linear ? "0" : "1");
  if (!o.database.empty()) set_leaf(settings, "StarFile", quote(o.database));
  if (o.blur_segs >= 0) set_leaf(settings, "BlurSegs", std::to_string(o.blur_segs));
  if (!o.projection.empty()) set_leaf(settings, "Projection", quote(o.projection));
  f.load(settings);
  session.save(out);
  return 0;
}

}  // namespace

Command new_scene_command(CLI::App& app) {
  auto o = std::make_shared<NewScene>();
  CLI::App* n = app.add_subcommand(
      "new-scene", "write a scene with a camera and the plug-in's default settings");
  n->add_option("out", o->out, "scene file to write")->required();
  n->add_option("--camera-ra", o->ra, "right ascension the camera looks at, degrees");
  n->add_option("--camera-dec", o->dec, "declination the camera looks at, degrees");
  n->add_option("--fov", o->fov, "vertical field of view, degrees (default 40)");
  n->add_option("--size", o->size, "frame size WxH (default 1920x1080)");
  n->add_option("--frames", o->frames, "frame range A-B (default 1-1)");
  n->add_option("--fps", o->fps, "frames per second (default 24)");
  n->add_option("--database", o->database, "star database (default: the plug-in's default)");
  n->add_option("--blur-segs", o->blur_segs, "motion-blur segments");
  n->add_option("--projection", o->projection,
                "Perspective, Hemispherical or AzimuthalEquidistant");
  n->add_flag("--linear", o->linear,
              "the frames hold linear values (EXR); default sRGB-encoded (PNG)");
  n->add_option("--name", o->name, "scene name");
  n->add_option("--plugin", o->plugin, "the plug-in library");
  return {n, [o] { return new_scene(*o); }};
}

}  // namespace host
