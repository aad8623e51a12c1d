// vantrel-host import-chan / export-chan: a scene's camera track to and from
// the channel files that 3D packages and compositors exchange.
#include <cstdio>
#include <memory>
#include <string>

#include "host/cli/camera_options.h"
#include "host/cli/commands.h"
#include "host/core/chan.h"
#include "host/core/session.h"

namespace host {

namespace {

struct ChanOptions {
  std::string scene, file, plugin, order = "ZXY", frames;
};

Item& render_camera(Scene& scene, const std::string& path) {
  Item* cam = scene.find(scene.render_camera());
  if (!cam) throw HostError(path + " has no camera");
  return *cam;
}

int import_chan(const ChanOptions& o) {
  Host h;
  h.echo_messages = true;
  Session session(h, plugin_path(o.plugin));
  session.load(o.scene);
  Item& cam = render_camera(h.scene, o.scene);
  apply_chan_file(o.file, o.order, h.scene, cam);
  session.save(o.scene);
  printf("the track of %s moves camera '%s' of %s\n", o.file.c_str(), cam.name.c_str(),
         o.scene.c_str());
  return 0;
}

int export_chan(const ChanOptions& o) {
  const SceneFile file = read_scene(o.scene);
  const Scene& scene = file.scene;
  const Item* cam = scene.find(scene.render_camera());
  if (!cam) throw HostError(o.scene + " has no camera");
  chan::Track track{scene.render.first_frame, scene.render.last_frame, scene.render.fps,
                    chan::parse_order(o.order, "--rotation-order")};
  if (!o.frames.empty()) parse_range("--frames", o.frames, track.first, track.last);
  write_file_atomically(o.file, chan::format(chan::track_of(scene, *cam, track)));
  printf("wrote %s\n", o.file.c_str());
  return 0;
}

}  // namespace

Command import_chan_command(CLI::App& app) {
  auto o = std::make_shared<ChanOptions>();
  CLI::App* c = app.add_subcommand(
      "import-chan", "replace the motion of a scene's render camera by a channel file's track");
  c->add_option("scene", o->scene, "scene file, written back")->required();
  c->add_option("chan", o->file, "channel file: frame tx ty tz rx ry rz [vertical fov]")
      ->required();
  c->add_option("--rotation-order", o->order, "rotation order, first axis first (default ZXY)");
  add_plugin_option(c, o->plugin);
  return {c, [o] { return import_chan(*o); }};
}

Command export_chan_command(CLI::App& app) {
  auto o = std::make_shared<ChanOptions>();
  CLI::App* c = app.add_subcommand("export-chan",
                                   "write the track of a scene's render camera as a channel file");
  c->add_option("scene", o->scene, "scene file")->required();
  c->add_option("--output,-o", o->file, "channel file to write")->required();
  c->add_option("--rotation-order", o->order, "rotation order, first axis first (default ZXY)");
  c->add_option("--frames", o->frames, "frame range A-B (default: the scene's)");
  return {c, [o] { return export_chan(*o); }};
}

}  // namespace host
