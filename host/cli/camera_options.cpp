#include "host/cli/camera_options.h"

#include <cmath>

#include "host/core/chan.h"
#include "host/core/error.h"
#include "host/core/files.h"
#include "host/core/lens.h"
#include "host/sky/sky.h"

namespace host {

void add_camera_options(CLI::App* n, CameraOptions& o) {
  o.sky_aim = {n->add_option("--camera-ra", o.ra, "right ascension the camera looks at, degrees"),
               n->add_option("--camera-dec", o.dec, "declination the camera looks at, degrees")};
  n->add_option("--fov", o.fov, "angle of view, degrees, along --fov-axis (default 40, vertical)");
  n->add_option("--fov-axis", o.fov_axis, "the side --fov spans: vertical (default) or horizontal");
  n->add_option("--focal", o.focal, "focal length, mm, on --film-back (instead of --fov)");
  n->add_option("--film-back", o.film_back,
                "film back WxH, mm (default 24.576x18.672), fitted to the frame along --fit");
  n->add_option("--fit", o.fit,
                "the film back's side that spans the frame: horizontal (default) "
                "or vertical");
  n->add_option("--camera-chan", o.chan,
                "channel file of the camera's track: frame tx ty tz rx ry rz [vertical fov], Y up, "
                "looking down -Z");
  n->add_option("--rotation-order", o.rotation_order,
                "the channel file's rotation order, first axis first (default ZXY)");
  n->add_option("--shutter", o.shutter,
                "when the shutter is open around a frame's time t for a blur length b: open [t, "
                "t+b] (default), centred [t-b/2, t+b/2] or close [t-b, t]");
  n->add_option("--site", o.site,
                "LAT,LON[,HEIGHT]: the world becomes this place's horizon (+Y up, +Z north, +X "
                "east) and the sky turns over it; degrees east positive, metres");
  n->add_option("--time", o.time, "UTC of the first frame with --site, e.g. 2026-08-12T22:30:00Z");
  n->add_option("--dut1", o.dut1, "UT1 - UTC in seconds (default 0)");
  n->add_option("--north-heading", o.north_heading,
                "the heading of north in the scene's world, degrees (default 0: north along +Z)");
  o.horizon_aim = {
      n->add_option("--camera-az", o.azimuth,
                    "azimuth the camera looks at, degrees from north through east (with --site; "
                    "default 0)"),
      n->add_option("--camera-alt", o.altitude,
                    "altitude the camera looks at, degrees (with --site; default 30)")};
  n->add_flag("--horizon", o.horizon,
              "hold the stars back below the horizon (the world's horizontal plane) through the "
              "frame's coverage");
  n->add_flag("--refraction", o.refraction, "bend the sky by the air's refraction (default off)");
  n->add_option("--pressure", o.pressure, "air pressure for --refraction, hPa (default 1013.25)");
  n->add_option("--temperature", o.temperature,
                "air temperature for --refraction, Celsius (default 10)");
}

void apply_chan_file(const std::string& path, const std::string& order, Scene& scene,
                     Item& camera) {
  const std::vector<chan::Row> rows = chan::parse(read_file(path, kMaxTextFile), path);
  const RenderSettings& r = scene.render;
  const chan::Track track{r.first_frame, r.last_frame, r.fps,
                          chan::parse_order(order, "--rotation-order")};
  chan::apply(rows, track, camera, path);
}

namespace {

// The vertical angle of view asked for, by focal length or angle.
double vertical_fov(const CameraOptions& o, const RenderSettings& r) {
  const double aspect = static_cast<double>(r.width) / r.height;
  if (o.focal != 0) {
    if (!(o.focal > 0 && std::isfinite(o.focal)))
      throw HostError("--focal expects a positive length in millimetres");
    return lens::vertical_fov(o.focal, lens::parse_film_back(o.film_back, "--film-back"),
                              lens::parse_axis(o.fit, "--fit"), aspect);
  }
  if (!(o.fov > 0 && o.fov < 180)) throw HostError("--fov expects degrees between 0 and 180");
  const double v = lens::vertical_fov(o.fov, lens::parse_axis(o.fov_axis, "--fov-axis"), aspect);
  if (!(v > 0 && v < 180)) throw HostError("--fov gives no vertical angle between 0 and 180");
  return v;
}

bool any_given(const std::vector<const CLI::Option*>& options) {
  for (const CLI::Option* p : options)
    if (p && p->count()) return true;
  return false;
}

sky::Place place_of(const CameraOptions& o) {
  sky::Place p;
  p.site = sky::parse_site(o.site, "--site");
  if (o.time.empty()) throw HostError("--site needs --time, the UTC of the first frame");
  p.time = sky::parse_time(o.time, "--time");
  if (!(std::fabs(o.dut1) <= 1)) throw HostError("--dut1 expects seconds from -1 to 1");
  p.dut1 = o.dut1;
  if (!std::isfinite(o.north_heading)) throw HostError("--north-heading expects degrees");
  p.north_heading = o.north_heading;
  p.air.refraction = o.refraction;
  if (!(o.pressure > 0 && o.pressure < 2000))
    throw HostError("--pressure expects hPa between 0 and 2000");
  if (!(o.temperature > -100 && o.temperature < 100))
    throw HostError("--temperature expects degrees Celsius between -100 and 100");
  p.air.pressure = o.pressure;
  p.air.temperature = o.temperature;
  return p;
}

void check_aim(const CameraOptions& o) {
  if (o.site.empty()) {
    if (!o.time.empty() || any_given(o.horizon_aim))
      throw HostError("--time, --camera-az and --camera-alt need --site");
    return;
  }
  if (any_given(o.sky_aim))
    throw HostError(
        "with --site the camera is aimed by --camera-az and --camera-alt, not by "
        "right ascension and declination");
  if (!o.chan.empty() && any_given(o.horizon_aim))
    throw HostError("--camera-chan moves the camera; --camera-az and --camera-alt cannot aim it");
}

}  // namespace

void make_camera(const CameraOptions& o, Scene& scene, Item& cam) {
  check_aim(o);
  scene.render.horizon = o.horizon;
  if (!shutter_named(o.shutter, scene.render.shutter))
    throw HostError("--shutter expects open, centred or close, found '" + o.shutter + "'");
  if (!std::isfinite(o.ra)) throw HostError("--camera-ra expects degrees");
  if (!(o.dec >= -90 && o.dec <= 90))
    throw HostError("--camera-dec expects degrees from -90 to 90");
  const double v = vertical_fov(o, scene.render);
  cam.camera.zoom = zoom_for_vertical_fov(v);
  if (o.focal > 0) cam.camera.aperture_height = 2 * o.focal / 1000 / cam.camera.zoom.at(0);
  if (!o.chan.empty()) {
    if (!o.frames_option->count()) {
      // The track's own frames, unless the command line asked for others.
      const auto rows = chan::parse(read_file(o.chan, kMaxTextFile), o.chan);
      scene.render.first_frame = rows.front().frame;
      scene.render.last_frame = rows.back().frame;
    }
    apply_chan_file(o.chan, o.rotation_order, scene, cam);
    return;
  }
  if (!o.site.empty()) {
    // The world is the horizon frame: heading is azimuth from north's heading, pitch is down.
    if (!(std::isfinite(o.azimuth) && o.altitude >= -90 && o.altitude <= 90))
      throw HostError("--camera-az expects degrees and --camera-alt degrees from -90 to 90");
    cam.motion.rotation[0] = Channel(o.azimuth + o.north_heading);
    cam.motion.rotation[1] = Channel(-o.altitude);
    return;
  }
  // Aim: heading turns +Z towards +X, so right ascension a lies at heading 90 - a; pitch is down.
  cam.motion.rotation[0] = Channel(90.0 - o.ra);
  cam.motion.rotation[1] = Channel(-o.dec);
}

uint32_t make_sky(const CameraOptions& o, Scene& scene, const Item& camera) {
  if (o.site.empty()) return 0;
  const sky::Place place = place_of(o);
  Item& item = scene.add(ItemKind::Object, "Sky");
  const RenderSettings& r = scene.render;
  for (Channel& c : item.motion.rotation) c.keys.clear();
  Vec3 last{};
  for (int f = r.first_frame; f <= r.last_frame; ++f) {
    const double t = f / r.fps;
    const Frame sky_now =
        sky::sky_frame(place, (f - r.first_frame) / r.fps, scene.world_frame(camera, t).forward);
    last = heading_pitch_bank(sky_now, f == r.first_frame ? nullptr : &last);
    for (int k = 0; k < 3; ++k) item.motion.rotation[k].set(t, last[k]);
  }
  return item.id;
}

}  // namespace host
