// vantrel-host new-scene: a scene with one camera aimed at the sky and the
// plug-in's own default settings.
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "host/cli/camera_options.h"
#include "host/cli/commands.h"
#include "host/core/frame_list.h"
#include "host/core/session.h"
#include "host/core/star_filter.h"
#include "stardb/star_record.h"

namespace host {

namespace {

struct NewScene {
  std::string out;
  CameraOptions camera;
  std::string size = "1920x1080", frames = "1-1", database, plugin, name;
  double fps = 24;
  bool linear = false, force = false;
  int blur_segs = 0;
  const CLI::Option* blur_option = nullptr;  // given or not
  double mag_limit = 0;
  const CLI::Option* mag_option = nullptr;
  std::string projection;
};

// A setting asked for on the command line, by the option that asked.
struct Asked {
  std::string keyword, value, option;
};

Block* find_leaf(BlockList& blocks, const std::string& keyword) {
  for (Block& b : blocks)
    if (b.keyword == keyword && b.leaf) return &b;
  return nullptr;
}

// Replaces the values of a top-level leaf, keeping its place.
void set_leaf(BlockList& blocks, const Asked& a) {
  Block* b = find_leaf(blocks, a.keyword);
  if (!b) throw HostError("the plug-in's settings have no " + a.keyword);
  b->text = " " + a.value;
}

// One side of --size: digits only, from 1 to 65536 as scenes allow.
int size_side(const std::string& text, const std::string& whole) {
  if (text.empty() || text.size() > 5 ||
      text.find_first_not_of("0123456789") != std::string::npos || std::stoi(text) < 1 ||
      std::stoi(text) > 65536)
    throw HostError("--size expects WIDTHxHEIGHT, each from 1 to 65536, found '" + whole + "'");
  return std::stoi(text);
}

// Checks every option the way a scene's values are checked when it is read,
// so that new-scene writes no scene that render would refuse.
void check_options(const NewScene& o, RenderSettings& r) {
  const std::string::size_type x = o.size.find_first_of("xX");
  if (x == std::string::npos)
    throw HostError("--size expects WIDTHxHEIGHT, each from 1 to 65536, found '" + o.size + "'");
  r.width = size_side(o.size.substr(0, x), o.size);
  r.height = size_side(o.size.substr(x + 1), o.size);
  if (!(std::isfinite(o.fps) && o.fps > 0))
    throw HostError("--fps expects a positive number of frames per second");
  r.fps = o.fps;
  // A scene holds one range: first, last and step.
  const std::vector<FrameSpan> spans = parse_frame_list("--frames", o.frames);
  if (spans.size() != 1)
    throw HostError("--frames expects one range A-B or A-BxSTEP for a scene, found '" + o.frames +
                    "'");
  r.first_frame = static_cast<int>(spans[0].first);
  r.last_frame = static_cast<int>(spans[0].last);
  r.frame_step = static_cast<int>(spans[0].step);
  // Magnitude -20 is the threshold's top, 99999999; past 100 it is 0, every star.
  if (o.mag_option->count() && !(o.mag_limit >= -20 && o.mag_limit <= 100))
    throw HostError("--mag-limit expects a magnitude from -20 to 100");
  if (o.blur_option->count() && (o.blur_segs < 0 || o.blur_segs > 100))
    throw HostError("--blur-segs expects a count from 0 to 100");
  if (!o.projection.empty() &&
      std::none_of(std::begin(star_filter::kProjections), std::end(star_filter::kProjections),
                   [&](const char* p) { return o.projection == p; }))
    throw HostError(
        "--projection expects Perspective, Hemispherical or AzimuthalEquidistant, found '" +
        o.projection + "'");
}

std::vector<Asked> asked_settings(const NewScene& o) {
  std::vector<Asked> asked = {{star_filter::kSrgbFrameBuffer, o.linear ? "0" : "1", "--linear"}};
  if (!o.database.empty())
    asked.push_back({star_filter::kStarFile, quote(o.database), "--database"});
  if (o.blur_option->count())
    asked.push_back({star_filter::kBlurSegs, std::to_string(o.blur_segs), "--blur-segs"});
  if (!o.projection.empty())
    asked.push_back({star_filter::kProjection, quote(o.projection), "--projection"});
  if (o.mag_option->count()) {
    // The brightness a star of that magnitude has in a database: it passes,
    // since the threshold lets through what is at least as bright.
    char text[32];
    snprintf(text, sizeof text, "%.9g",
             static_cast<double>(star_db::brightness_of_magnitude(o.mag_limit)));
    asked.push_back({star_filter::kLumThreshold, text, "--mag-limit"});
  }
  return asked;
}

// The filter keeps what it accepts: a setting it replaced (a database it
// cannot read falls back to its default) is refused here rather than saved.
void check_kept(const FilterInstance& f, const std::vector<Asked>& asked, const NewScene& o) {
  BlockList kept = f.save();
  for (const Asked& a : asked) {
    const Block* b = find_leaf(kept, a.keyword);
    if (!b || b->text == " " + a.value) continue;
    if (a.keyword == star_filter::kStarFile)
      throw HostError("--database " + o.database + " is not a star database");
    throw HostError("the plug-in did not keep " + a.option + " (" + a.keyword + b->text + ")");
  }
  // Without a database every frame fails: say so now, not at the first frame.
  const Block* db = find_leaf(kept, star_filter::kStarFile);
  if (db && db->text == " " + quote(""))
    throw HostError("the plug-in has no default star database beside it; name one with --database");
}

// A new scene over an existing file would lose that file's work.
void refuse_overwrite(const NewScene& o) {
  if (!o.force && access(o.out.c_str(), F_OK) == 0)
    throw HostError(o.out + " exists; --force writes the new scene over it");
}

// Scenes hold absolute database paths: a path relative to the working folder
// would name another file, or none, when the scene is rendered from elsewhere.
NewScene with_absolute_database(const NewScene& o, const Host& h) {
  NewScene stored = o;
  if (o.database.empty()) return stored;
  const InputFile db(h.resolve(o.database));
  if (!db.is_open()) throw HostError("--database " + o.database + ": " + db.reason());
  stored.database = star_filter::database_path(o.database, h.content_dir);
  return stored;
}

int new_scene(const NewScene& o) {
  Host h;
  h.echo_messages = true;
  const std::string& out = o.out;
  h.content_dir = folder_of(out);
  Scene& scene = h.scene;
  check_options(o, scene.render);
  refuse_overwrite(o);
  const NewScene stored = with_absolute_database(o, h);
  Session session(h, plugin_path(o.plugin));

  scene.name = o.name.empty() ? name_of(out) : o.name;
  Item& cam = scene.add(ItemKind::Camera, "Camera");
  make_camera(o.camera, scene, cam);
  const uint32_t sky = make_sky(o.camera, scene, cam);

  // The filter's settings are the plug-in's own defaults, with the few asked for.
  FilterInstance& f = session.add_filter(star_filter::kServer);
  BlockList settings = f.save();
  std::vector<Asked> asked = asked_settings(stored);
  if (sky)  // the filter's parent item carries the sky: saved as a signed 32-bit value
    asked.push_back({star_filter::kParentId, std::to_string(static_cast<int32_t>(sky)), "--site"});
  for (const Asked& a : asked) set_leaf(settings, a);
  f.load(settings);
  check_kept(f, asked, o);
  // What is written is what render reads: read it back as render would.
  parse_scene(session.to_text(), out);
  session.save(out);
  return 0;
}

}  // namespace

Command new_scene_command(CLI::App& app) {
  auto o = std::make_shared<NewScene>();
  CLI::App* n = app.add_subcommand(
      "new-scene", "write a scene with a camera and the plug-in's default settings");
  n->add_option("out", o->out, "scene file to write")->required();
  add_camera_options(n, o->camera);
  n->add_option("--size", o->size, "frame size WxH (default 1920x1080)");
  o->camera.frames_option = n->add_option(
      "--frames", o->frames, "frame range A-B or A-BxSTEP (default 1-1, or the --camera-chan's)");
  n->add_option("--fps", o->fps, "frames per second (default 24)");
  n->add_option("--database", o->database, "star database (default: the plug-in's default)");
  o->mag_option = n->add_option("--mag-limit", o->mag_limit,
                                "draw stars down to this visual magnitude (sets LumThreshold)");
  o->blur_option = n->add_option("--blur-segs", o->blur_segs, "motion-blur segments, 0 to 100");
  n->add_option("--projection", o->projection,
                "Perspective, Hemispherical or AzimuthalEquidistant");
  n->add_flag("--linear", o->linear,
              "the frames hold linear values (EXR); default sRGB-encoded (PNG)");
  n->add_option("--name", o->name, "scene name");
  n->add_flag("--force", o->force, "write over an existing file");
  add_plugin_option(n, o->plugin);
  return {n, [o] { return new_scene(*o); }};
}

}  // namespace host
