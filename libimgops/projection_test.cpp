#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "libimgops/stars.h"

namespace {

using M = Matrix4<double>;

struct Shot {
  bool visible;
  float x, y;
};

Shot shoot(double ra, double dec, double dist, double parallax, const M& m, int proj, int w = 100,
           int h = 100, double l = -1, double r = 1, double b = -1, double t = 1) {
  VectorN<float, 2> out{{-7.0f, -7.0f}};
  const ScreenMapping screen{static_cast<op_stars_projection>(proj), w, h, l, r, b, t};
  bool v = world_to_screen(SkyPoint{ra, dec, dist, parallax}, m, screen, out);
  return {v, out[0], out[1]};
}

// A matrix whose output x is the star's homogeneous weight, seen through
// Perspective with t = 1 for the direction (1, 0, 0).
M weight_probe() {
  M m{};
  m(3, 0) = 1.0;
  m(0, 2) = 1.0;
  m(0, 3) = 1.0;
  return m;
}

}  // namespace

TEST(Matrix4, ProductAppliesLeftFirst) {
  M t = M::identity();
  t(3, 0) = 5.0;  // translate x by 5
  M s = M::identity();
  s(0, 0) = 2.0;                   // scale x by 2
  EXPECT_EQ((t * s)(3, 0), 10.0);  // translate, then scale
  EXPECT_EQ((s * t)(3, 0), 5.0);   // scale, then translate
  EXPECT_EQ((M::identity() * t)(3, 0), 5.0);
}

TEST(Projection, HemisphericalEdgeAndPole) {
  Shot s = shoot(0, 0, 0, 0, M::identity(), Hemispherical);
  EXPECT_TRUE(s.visible);  // v = 0 is in front, r^2 + u^2 = 1 is not beyond the disc
  EXPECT_FLOAT_EQ(s.x, 100.0f);
  EXPECT_FLOAT_EQ(s.y, 50.0f);
  for (double ra : {0.0, 77.0, 200.0}) {
    Shot pole = shoot(ra, 90, 0, 0, M::identity(), Hemispherical);
    EXPECT_NEAR(pole.x, 50.0f, 1e-4) << ra;
    EXPECT_NEAR(pole.y, 0.0f, 1e-4) << ra;
  }
}

TEST(Projection, HomogeneousWeightFromDistanceAndParallax) {
  M m = weight_probe();
  auto weight = [&](double dist, double par) {
    return shoot(0, 0, dist, par, m, Perspective, 1, 1, 0, 1).x;
  };
  EXPECT_FLOAT_EQ(weight(10, 0), 0.1f);
  EXPECT_EQ(weight(10, 20), 0.0f);  // pushed beyond infinity: clamped to a direction
  EXPECT_FLOAT_EQ(weight(0, -100), 1.0f);
  EXPECT_EQ(weight(-5, 0), 0.0f);
}

TEST(Projection, PerspectiveNearPlaneAndDirections) {
  // Camera-space point with weight 1 and depth 0.5, near 1 and no far plane:
  // third component 1 - 1 / 0.5 = -1, so the star is hidden; the point is still written.
  M cam{};
  cam(0, 2) = 0.5;
  cam(3, 3) = 1.0;
  M final = cam * perspective_matrix(1.0, 1.0, -1.0);
  Shot s = shoot(0, 0, 1.0, 0, final, Perspective);
  EXPECT_FALSE(s.visible);
  EXPECT_NE(s.x, -7.0f);
  // Without a distance the same direction is in front: third component 1.
  EXPECT_TRUE(shoot(0, 0, 0, 0, final, Perspective).visible);

  // A direction straight ahead of an identity camera lands on the centre, and
  // x = tan(angle) * zoom for one off to the side.
  M look = M::identity();
  M z = look * perspective_matrix(2.0, 1.0, -1.0);
  Shot c = shoot(90, 0, 0, 0, z, Perspective);  // +Z
  EXPECT_TRUE(c.visible);
  EXPECT_NEAR(c.x, 50.0f, 1e-3);
  EXPECT_NEAR(c.y, 50.0f, 1e-3);
  Shot side = shoot(80, 0, 0, 0, z, Perspective);  // 10 degrees towards +X
  const double expect_x = (std::tan(10.0 * M_PI / 180) * 2.0 + 1) / 2 * 100;
  EXPECT_NEAR(side.x, expect_x, 1e-3);
  EXPECT_FALSE(shoot(270, 0, 0, 0, z, Perspective).visible);  // behind

  EXPECT_EQ(perspective_matrix(-1.0, 1.0, -1.0)(2, 3), 0.0);  // identity
  EXPECT_EQ(perspective_matrix(std::nan(""), 1.0, -1.0)(2, 2), 1.0);
  EXPECT_DOUBLE_EQ(perspective_matrix(2.0, 1.0, 10.0)(2, 2), 1.0 / (0.9 * 2.0));
}

TEST(Projection, DiscProjectionsRejectTheBackHalf) {
  for (int proj : {Hemispherical, AzimuthalEquidistant}) {
    EXPECT_TRUE(shoot(90, 0, 0, 0, M::identity(), proj).visible) << proj;    // +Z
    EXPECT_FALSE(shoot(270, 0, 0, 0, M::identity(), proj).visible) << proj;  // -Z
    EXPECT_FALSE(shoot(200, -30, 0, 0, M::identity(), proj).visible) << proj;
  }
}

TEST(Projection, AzimuthalEquidistantRadiusAndAxis) {
  // 90 degrees off axis: radius asin(1) * 0.6366197546520227 = 0.99999997.
  Shot edge = shoot(0, 0, 0, 0, M::identity(), AzimuthalEquidistant, 2, 2);
  EXPECT_TRUE(edge.visible);
  EXPECT_FLOAT_EQ(edge.x, static_cast<float>(1.0 + M_PI / 2 * 0.6366197546520227));
  // 45 degrees off axis lands at radius one half.
  Shot half = shoot(45, 0, 0, 0, M::identity(), AzimuthalEquidistant, 2, 2);
  EXPECT_NEAR(half.x, 1.5f, 1e-6);
  // Exactly on the view axis: the centre, not a point of not-a-number.
  M axis{};
  axis(0, 2) = 1.0;
  axis(3, 3) = 1.0;
  Shot centre = shoot(0, 0, 0, 0, axis, AzimuthalEquidistant, 100, 100);
  EXPECT_TRUE(centre.visible);
  EXPECT_EQ(centre.x, 50.0f);
  EXPECT_EQ(centre.y, 50.0f);
}

TEST(Projection, UnknownProjectionRaisesEvenWhenHidden) {
  // 3 is the one value outside the three projections that the enumeration
  // can hold: any other would be undefined before world_to_screen saw it.
  for (int proj : {3}) {
    try {
      shoot(270, 0, 0, 0, M::identity(), proj);
      FAIL() << "projection " << proj << " accepted";
    } catch (const StrXception& e) {
      std::string m = e.message.c_str();
      EXPECT_EQ(m, "unknown projection");
      const std::string where = e.where.c_str();
      EXPECT_NE(where.find("world_to_screen"), std::string::npos) << where;
      EXPECT_NE(where.find("(libimgops/stars.cpp:"), std::string::npos) << where;
    }
  }
}
