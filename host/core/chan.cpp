#include "host/core/chan.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <sstream>

#include "host/core/error.h"

namespace host::chan {

namespace {

using Matrix = std::array<Vec3, 3>;  // rows; acts on column vectors

Matrix multiply(const Matrix& a, const Matrix& b) {
  Matrix m{};
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j)
      for (int k = 0; k < 3; ++k) m[i][j] += a[i][k] * b[k][j];
  return m;
}

// A right-handed turn of `degrees` about one axis.
Matrix about(int axis, double degrees) {
  const double r = degrees * kRadiansPerDegree, c = std::cos(r), s = std::sin(r);
  const int b = (axis + 1) % 3, d = (axis + 2) % 3;
  Matrix m{};
  m[axis][axis] = 1;
  m[b][b] = c;
  m[b][d] = -s;
  m[d][b] = s;
  m[d][d] = c;
  return m;
}

// Even orders (XYZ, YZX, ZXY) and odd ones differ in the signs of the decomposition.
double parity(const RotationOrder& o) { return (o.axis[1] - o.axis[0] + 3) % 3 == 1 ? 1.0 : -1.0; }

// The angles that rebuild m as about(k, g) * about(j, b) * about(i, a).
Vec3 angles_of(const Matrix& m, const RotationOrder& o) {
  const int i = o.axis[0], j = o.axis[1], k = o.axis[2];
  const double s = parity(o);
  const double sine = std::clamp(-s * m[k][i], -1.0, 1.0);
  double a, g;
  if (std::fabs(sine) > 1 - 1e-12) {  // gimbal lock: the first and last axes coincide
    a = std::atan2(-s * m[j][k], m[j][j]);
    g = 0;
  } else {
    a = std::atan2(s * m[k][j], m[k][k]);
    g = std::atan2(s * m[j][i], m[i][i]);
  }
  Vec3 out{};
  out[i] = a / kRadiansPerDegree;
  out[j] = std::asin(sine) / kRadiansPerDegree;
  out[k] = g / kRadiansPerDegree;
  return out;
}

// The value equal to `angle` modulo 360 nearest to `near`.
double unwrap(double angle, double near) {
  return angle + 360.0 * std::round((near - angle) / 360.0);
}

std::string where(const std::string& source, int line) {
  return source + ":" + std::to_string(line) + ": ";
}

// One value of a line: a finite number, the whole token.
double number(const std::string& token, const std::string& at) {
  char* end = nullptr;
  const double d = strtod(token.c_str(), &end);
  if (token.empty() || end != token.c_str() + token.size() || !std::isfinite(d))
    throw HostError(at + "expects a finite number, found '" + token + "'");
  return d;
}

}  // namespace

std::string RotationOrder::name() const {
  std::string n;
  for (int a : axis) n += static_cast<char>('X' + a);
  return n;
}

RotationOrder parse_order(const std::string& text, const std::string& option) {
  RotationOrder o;
  std::string up;
  for (char c : text) up += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  std::string sorted = up;
  std::sort(sorted.begin(), sorted.end());
  if (sorted != "XYZ")
    throw HostError(option + " expects an order of X, Y and Z such as ZXY, found '" + text + "'");
  for (int n = 0; n < 3; ++n) o.axis[n] = up[n] - 'X';
  return o;
}

std::vector<Row> parse(const std::string& text, const std::string& source) {
  std::vector<Row> rows;
  std::map<int, int> seen;  // frame -> line
  size_t columns = 0;
  std::istringstream in(text);
  std::string line;
  for (int number_of_line = 1; std::getline(in, line); ++number_of_line) {
    const std::string at = where(source, number_of_line);
    std::istringstream words(line);
    std::vector<std::string> tokens;
    for (std::string w; words >> w;) tokens.push_back(w);
    if (tokens.empty()) continue;
    if (tokens.size() != 7 && tokens.size() != 8)
      throw HostError(at + "expects 'frame tx ty tz rx ry rz [vertical angle of view]', found " +
                      std::to_string(tokens.size()) + " values");
    if (columns && tokens.size() != columns)
      throw HostError(at + "has " + std::to_string(tokens.size()) +
                      " values where the lines before have " + std::to_string(columns));
    columns = tokens.size();
    Row r;
    const double f = number(tokens[0], at);
    if (f != std::floor(f) || std::fabs(f) > 1e9)
      throw HostError(at + "expects a whole frame number, found '" + tokens[0] + "'");
    r.frame = static_cast<int>(f);
    for (int k = 0; k < 3; ++k) r.translate[k] = number(tokens[1 + k], at);
    for (int k = 0; k < 3; ++k) r.rotate[k] = number(tokens[4 + k], at);
    if (columns == 8) {
      r.vertical_fov = number(tokens[7], at);
      if (!(*r.vertical_fov > 0 && *r.vertical_fov < 180))
        throw HostError(at + "expects an angle of view between 0 and 180 degrees, found '" +
                        tokens[7] + "'");
    }
    const auto [it, fresh] = seen.emplace(r.frame, number_of_line);
    if (!fresh)
      throw HostError(at + "frame " + std::to_string(r.frame) + " again (first on line " +
                      std::to_string(it->second) + ")");
    rows.push_back(r);
  }
  if (rows.empty()) throw HostError(source + ": no camera lines (frame tx ty tz rx ry rz)");
  std::sort(rows.begin(), rows.end(), [](const Row& a, const Row& b) { return a.frame < b.frame; });
  return rows;
}

std::string format(const std::vector<Row>& rows) {
  std::string out;
  char buf[64];
  for (const Row& r : rows) {
    out += std::to_string(r.frame);
    for (double v :
         {r.translate[0], r.translate[1], r.translate[2], r.rotate[0], r.rotate[1], r.rotate[2]}) {
      snprintf(buf, sizeof buf, " %.9g", v == 0 ? 0.0 : v);  // no "-0"
      out += buf;
    }
    if (r.vertical_fov) {
      snprintf(buf, sizeof buf, " %.9g", *r.vertical_fov);
      out += buf;
    }
    out += "\n";
  }
  return out;
}

Frame camera_frame(const Row& row, const RotationOrder& o) {
  Matrix m = about(o.axis[0], row.rotate[o.axis[0]]);
  m = multiply(about(o.axis[1], row.rotate[o.axis[1]]), m);
  m = multiply(about(o.axis[2], row.rotate[o.axis[2]]), m);
  // The columns are the camera's right, up and back; Z mirrored into our world.
  Frame f;
  f.right = {m[0][0], m[1][0], -m[2][0]};
  f.up = {m[0][1], m[1][1], -m[2][1]};
  f.forward = {-m[0][2], -m[1][2], m[2][2]};
  f.position = {row.translate[0], row.translate[1], -row.translate[2]};
  return f;
}

Row row_of(const Frame& c, const RotationOrder& o) {
  Matrix m;
  for (int i = 0; i < 3; ++i) {
    const double mirror = i == 2 ? -1.0 : 1.0;
    m[i] = {c.right[i] * mirror, c.up[i] * mirror, -c.forward[i] * mirror};
  }
  Row r;
  r.rotate = angles_of(m, o);
  r.translate = {c.position[0], c.position[1], -c.position[2]};
  return r;
}

void apply(const std::vector<Row>& rows, const Track& t, Item& camera, const std::string& source) {
  if (camera.parent)
    throw HostError("camera '" + camera.name +
                    "' has a parent item; a channel file gives a camera's motion in the world");
  for (int f = t.first; f <= t.last; ++f)
    if (!std::any_of(rows.begin(), rows.end(), [f](const Row& r) { return r.frame == f; }))
      throw HostError(source + ": frame " + std::to_string(f) + " is missing (the scene renders " +
                      std::to_string(t.first) + "-" + std::to_string(t.last) + ")");
  Motion m;
  for (Channel& c : m.position) c.keys.clear();
  for (Channel& c : m.rotation) c.keys.clear();
  Channel zoom;
  Vec3 last{0, 0, 0};
  for (const Row& r : rows) {
    const double time = r.frame / t.fps;
    const Frame f = camera_frame(r, t.order);
    const Vec3 hpb = heading_pitch_bank(f, m.rotation[0].keys.empty() ? nullptr : &last);
    last = hpb;
    for (int k = 0; k < 3; ++k) {
      m.position[k].set(time, f.position[k]);
      m.rotation[k].set(time, hpb[k]);
    }
    if (r.vertical_fov) zoom.set(time, zoom_for_vertical_fov(*r.vertical_fov).at(0));
  }
  camera.motion = m;
  if (!zoom.keys.empty()) camera.camera.zoom = zoom;
}

std::vector<Row> track_of(const Scene& scene, const Item& camera, const Track& t) {
  std::vector<Row> rows;
  Vec3 last{0, 0, 0};
  for (int f = t.first; f <= t.last; ++f) {
    const double time = f / t.fps;
    Frame w = scene.world_frame(camera, time);
    w.position = w.apply(camera.pivot);  // where the camera's eye is
    Row r = row_of(w, t.order);
    if (!rows.empty())
      for (int k = 0; k < 3; ++k)
        if (k != t.order.axis[1]) r.rotate[k] = unwrap(r.rotate[k], last[k]);
    last = r.rotate;
    r.frame = f;
    double h, v;
    scene.fov(camera, time, h, v);
    r.vertical_fov = v / kRadiansPerDegree;
    rows.push_back(r);
  }
  return rows;
}

}  // namespace host::chan
