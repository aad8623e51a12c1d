#include "tools/catalog.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <fstream>
#include <sstream>

#include "testsupport/test_support.h"

namespace {

using stars::CatalogStar;

const char* kKStars =
    "# Star catalog: a few lines in the layout of the KStars stars.dat\n"
    "#  RA        DEC      pmRA     pmDEC  plx      mag  BV SpT b? dV   vper, genetive name, long "
    "name\n"
    "064508.92 -164258.0 -000546.0-001223.100379.2 -1.4400.01A0 1            , alp CMa, Sirius\n"
    "055510.31 +072425.4 +000027.3+000010.900007.6 00.4501.50M2 0            , alp Ori, "
    "Betelgeuse\n"
    "051432.27 -081205.9 +000001.9-000000.600004.2 00.18-0.03B8 0 0.05   2.07, bet Ori, Rigel\n"
    "120000.00 +450000.0 +000000.0+000000.0        05.00     A0 0\n"
    "003260.00 +001260.0 +000000.0+000000.0        06.00     A0 0\n"
    "12000x.00 +450000.0 +000000.0+000000.0        05.00     A0 0\n"
    "120000.00 +450000.0\n"
    "250000.00 +450000.0 +000000.0+000000.0        05.00     A0 0\n";

std::vector<CatalogStar> read(const std::string& text, stars::Format f, stars::ReadReport& r,
                              bool strict = false) {
  std::istringstream in(text);
  return stars::read_catalog(in, f, r, strict);
}

}  // namespace

TEST(Catalog, KStarsLines) {
  stars::ReadReport r;
  const std::vector<CatalogStar> s = read(kKStars, stars::Format::KStars, r);
  ASSERT_EQ(s.size(), 5u);
  // Sirius: 06h45m08.92s, -16d42'58.0", parallax 379.2 mas, magnitude -1.44, B-V 0.01.
  EXPECT_DOUBLE_EQ(s[0].ra, 15.0 * (6 + 45 / 60.0 + 8.92 / 3600));
  EXPECT_DOUBLE_EQ(s[0].dec, -(16 + 42 / 60.0 + 58.0 / 3600));
  EXPECT_DOUBLE_EQ(s[0].distance, 1000.0 / 379.2);
  EXPECT_DOUBLE_EQ(s[0].mag, -1.44);
  EXPECT_DOUBLE_EQ(s[0].pm_ra, -546.0);
  EXPECT_DOUBLE_EQ(s[0].pm_dec, -1223.1);
  EXPECT_TRUE(s[0].has_bv);
  EXPECT_DOUBLE_EQ(s[0].bv, 0.01);
  EXPECT_DOUBLE_EQ(s[2].bv, -0.03);
  // No parallax and no B-V: no distance, white.
  EXPECT_EQ(s[3].distance, 0.0);
  EXPECT_FALSE(s[3].has_bv);
  EXPECT_EQ(stars::star_colour(s[3]), (std::array<uint8_t, 3>{255, 255, 255}));
  // Malformed lines by number.
  // Seconds of 60, a rounding carry of the catalogue, are the next minute.
  EXPECT_DOUBLE_EQ(s[4].ra, 15.0 * 33 / 60);
  EXPECT_DOUBLE_EQ(s[4].dec, 13.0 / 60);
  EXPECT_EQ(r.lines, 10);
  EXPECT_EQ(r.malformed, 3);
  ASSERT_EQ(r.first_problems.size(), 3u);
  EXPECT_EQ(r.first_problems[0], "line 8: bad RA seconds '0x.00'");
  EXPECT_EQ(r.first_problems[1],
            "line 9: line too short for the catalogue's columns (19 characters)");
  EXPECT_EQ(r.first_problems[2], "line 10: RA out of range '250000.00'");
  stars::ReadReport strict;
  try {
    read(kKStars, stars::Format::KStars, strict, true);
    FAIL() << "strict reading accepted a malformed line";
  } catch (const stars::CatalogError& e) {
    EXPECT_STREQ(e.what(), "line 8: bad RA seconds '0x.00'");
  }
}

TEST(Catalog, HygAndPlainCsv) {
  const std::string hyg =
      "\"id\",\"hip\",\"proper\",\"ra\",\"dec\",\"dist\",\"pmra\",\"pmdec\",\"mag\",\"ci\"\n"
      "0,,Sol,0.000000,0.000000,0.0000,0.00,0.00,-26.700,0.656\n"
      "32263,32349,Sirius,6.752481,-16.716116,2.6371,-546.01,-1223.08,-1.440,0.009\n"
      "1,1,,0.000060,1.089009,219.7802,-5.20,-1.88,9.100,\n"
      "2,2,,0.000283,-19.498840,100000.0000,181.21,-0.93,9.270,0.999\n"
      "3,3,,nope,1.0,1.0,0,0,1.0,0.1\n";
  stars::ReadReport r;
  const std::vector<CatalogStar> s = read(hyg, stars::Format::HYG, r);
  ASSERT_EQ(s.size(), 3u);  // the Sun left out, one malformed row
  EXPECT_DOUBLE_EQ(s[0].ra, 6.752481 * 15);
  EXPECT_DOUBLE_EQ(s[0].distance, 2.6371);
  EXPECT_DOUBLE_EQ(s[0].bv, 0.009);
  EXPECT_FALSE(s[1].has_bv);
  EXPECT_EQ(s[2].distance, 0.0);  // 100000 marks an unknown distance
  EXPECT_EQ(r.malformed, 1);
  EXPECT_EQ(r.first_problems[0], "line 6: bad ra 'nope'");

  const std::string csv =
      "ra_deg,dec_deg,mag,bv,parallax_mas\n83.0,-5.0,2.5,0.3,10\n84.0,6.0,3.0,,\n85.0,100.0,1,,\n";
  stars::ReadReport c;
  const std::vector<CatalogStar> p = read(csv, stars::Format::CSV, c);
  ASSERT_EQ(p.size(), 2u);
  EXPECT_DOUBLE_EQ(p[0].distance, 100.0);
  EXPECT_EQ(p[1].distance, 0.0);
  EXPECT_EQ(c.first_problems.at(0), "line 4: position out of range");
  stars::ReadReport bad;
  EXPECT_THROW(read("ra,dec\n1,2\n", stars::Format::CSV, bad), stars::CatalogError);
}

TEST(Catalog, BrightnessColourAndMotion) {
  EXPECT_DOUBLE_EQ(stars::brightness_of(0), 1.0);
  EXPECT_NEAR(stars::brightness_of(7.5), 0.001, 1e-6);  // the default threshold
  EXPECT_DOUBLE_EQ(stars::brightness_of(-2.5), 10.0);
  EXPECT_NEAR(stars::bv_to_temperature(0.65), 5800, 100);  // a Sun-like star
  // A 6500 K blackbody is white within a few byte steps.
  CatalogStar white;
  white.has_bv = true;
  const std::array<double, 3> rgb = stars::blackbody_rgb(6500);
  for (double c : rgb) EXPECT_GT(c, 0.9);
  // Blue to red as B-V grows: the red-to-blue ratio rises steadily.
  double last = -1;
  for (double bv = -0.3; bv <= 2.0; bv += 0.1) {
    CatalogStar s;
    s.has_bv = true;
    s.bv = bv;
    const std::array<uint8_t, 3> c = stars::star_colour(s);
    const double ratio = (c[0] + 1.0) / (c[2] + 1.0);
    EXPECT_GT(ratio, last) << bv;
    last = ratio;
  }
  CatalogStar hot, cool;
  hot.has_bv = cool.has_bv = true;
  hot.bv = -0.03;  // Rigel
  cool.bv = 1.5;   // Betelgeuse
  EXPECT_EQ(stars::star_colour(hot)[2], 255);
  EXPECT_LT(stars::star_colour(hot)[0], 235);
  EXPECT_EQ(stars::star_colour(cool)[0], 255);
  EXPECT_LT(stars::star_colour(cool)[2], 170);

  // Barnard's star moves 10.4"/yr; a star at declination 60 moving 1000 mas/yr
  // along the sky gains 2 arc seconds of right ascension per year.
  CatalogStar m;
  m.ra = 10;
  m.dec = 60;
  m.pm_ra = 1000;
  m.pm_dec = -500;
  stars::apply_proper_motion(m, 100);
  EXPECT_NEAR(m.ra, 10 + 100 * 1.0 / 3600 / 0.5, 1e-9);
  EXPECT_NEAR(m.dec, 60 - 100 * 0.5 / 3600, 1e-9);
  CatalogStar wrap;
  wrap.ra = 359.99;
  wrap.pm_ra = 3600 * 1000;  // a degree a year
  stars::apply_proper_motion(wrap, 1);
  EXPECT_NEAR(wrap.ra, 0.99, 1e-9);
}

TEST(Catalog, DatabaseWrittenAndInspected) {
  testing_support::TempDir dir;
  stars::ReadReport r;
  const std::vector<CatalogStar> s = read(kKStars, stars::Format::KStars, r);
  const std::string path = dir.file("k.stars");
  stars::write_database(path, s, true);
  const std::string bytes = testing_support::read_bytes(path);
  ASSERT_EQ(bytes.size(), 32u * 6);
  EXPECT_EQ(bytes.substr(0, 8), "VANTREL2");
  // The records are ordered on the sky: each star is found by its position.
  auto record_at = [&](double ra) {
    for (size_t at = 32; at < bytes.size(); at += 32) {
      double r;
      memcpy(&r, &bytes[at], 8);
      if (r == ra) return at;
    }
    return size_t{0};
  };
  const size_t sirius = record_at(s[0].ra), betelgeuse = record_at(s[1].ra);
  ASSERT_NE(sirius, 0u);
  ASSERT_NE(betelgeuse, 0u);
  double dist;
  float b;
  memcpy(&b, &bytes[sirius + 16], 4);
  memcpy(&dist, &bytes[sirius + 24], 8);
  EXPECT_EQ(b, static_cast<float>(std::pow(10.0, 0.4 * 1.44)));
  EXPECT_EQ(dist, 1000.0 / 379.2);
  EXPECT_EQ(static_cast<uint8_t>(bytes[betelgeuse + 20]), 255);  // red

  stars::DatabaseInfo info = stars::inspect_database(path);
  EXPECT_EQ(info.version, 2);
  EXPECT_EQ(info.stars, 5u);
  EXPECT_EQ(info.with_distance, 3u);
  EXPECT_EQ(info.trailing, 0u);
  EXPECT_EQ(info.histogram_start, -2);
  const std::string text = stars::describe(info, path);
  EXPECT_NE(text.find("magnitude -1.44 to 6.00"), std::string::npos) << text;

  // Damaged files: a clear diagnosis, no crash.
  testing_support::write_bytes(dir.file("short.stars"), "VANTREL2");
  EXPECT_THROW(stars::inspect_database(dir.file("short.stars")), stars::CatalogError);
  testing_support::write_bytes(dir.file("png.stars"), "\x89PNG\r\n\x1a\n" + std::string(40, 'x'));
  try {
    stars::inspect_database(dir.file("png.stars"));
    FAIL();
  } catch (const stars::CatalogError& e) {
    EXPECT_NE(std::string(e.what()).find("is not a star database: it begins \".PNG...."),
              std::string::npos)
        << e.what();
  }
  testing_support::write_bytes(dir.file("cut.stars"),
                               bytes.substr(0, 32 * 3 + 10));  // two stars and a piece
  info = stars::inspect_database(dir.file("cut.stars"));
  EXPECT_EQ(info.stars, 2u);
  EXPECT_EQ(info.trailing, 10u);
  EXPECT_NE(stars::describe(info, "cut").find("NOT a whole number of records"), std::string::npos);
  std::string nan = bytes;
  const double bad = std::nan("");
  memcpy(&nan[32], &bad, 8);
  testing_support::write_bytes(dir.file("nan.stars"), nan);
  EXPECT_EQ(stars::inspect_database(dir.file("nan.stars")).bad_values, 1u);
  EXPECT_THROW(stars::write_database(dir.file("no/such/x.stars"), s, false), stars::CatalogError);
}

namespace {

// A Tycho-2 main-catalogue record: 206 bytes, '|' after each field, every
// field right-aligned in its 1-based byte columns.
struct TychoLine {
  std::string text = std::string(206, ' ');
  TychoLine() {
    for (int bar : {13,  15,  28,  41,  49,  57,  61,  65,  71,  77,  85,  93,  96,  100, 104, 108,
                    110, 117, 123, 130, 136, 140, 142, 152, 165, 178, 183, 188, 194, 200, 202})
      text[bar - 1] = '|';
    put(1, 4, "0001");
    put(6, 10, "00008");
    put(12, 12, "1");
  }
  TychoLine& put(int first, int last, const std::string& v) {
    const size_t width = static_cast<size_t>(last - first + 1);
    text.replace(static_cast<size_t>(first - 1), width, std::string(width - v.size(), ' ') + v);
    return *this;
  }
  TychoLine& mean(const char* ra, const char* dec, const char* pmra, const char* pmde) {
    return put(16, 27, ra).put(29, 40, dec).put(42, 48, pmra).put(50, 56, pmde);
  }
  TychoLine& mags(const char* bt, const char* vt) { return put(111, 116, bt).put(124, 129, vt); }
};

}  // namespace

TEST(Catalog, Tycho2Records) {
  const std::string colour = TychoLine()
                                 .mean("56.75091123", "24.11663430", "19.9", "-45.4")
                                 .mags("3.046", "2.873")
                                 .put(143, 148, "17702")
                                 .put(153, 164, "56.75090513")
                                 .put(166, 177, "24.11665490")
                                 .put(179, 182, "1.61")
                                 .text;
  const std::string x = TychoLine()
                            .put(14, 14, "X")
                            .mags("11.822", "10.957")
                            .put(153, 164, "0.01000000")
                            .put(166, 177, "-5.25000000")
                            .put(179, 182, "1.73")
                            .text;
  const std::string vt_only =
      TychoLine().mean("10.5", "-20.25", "1.0", "2.0").mags("", "11.5").text;
  const std::string bt_only =
      TychoLine().mean("10.5", "-20.25", "1.0", "2.0").mags("12.25", "").text;
  const std::string neither = TychoLine().mean("10.5", "-20.25", "1.0", "2.0").text;
  const std::string supplement(122, '1');
  // CR LF line ends, as a copy made on another system has them.
  const std::string text = colour + "\r\n" + x + "\r\n" + vt_only + "\r\n" + bt_only + "\r\n" +
                           neither + "\r\n" + supplement + "\r\n";
  stars::ReadReport r;
  std::vector<CatalogStar> s;
  std::istringstream in(text);
  stars::read_catalog_each(in, stars::Format::Tycho2, r, stars::ReadOptions(),
                           [&](const CatalogStar& c) { s.push_back(c); });
  ASSERT_EQ(s.size(), 4u);
  EXPECT_DOUBLE_EQ(s[0].ra, 56.75091123);
  EXPECT_DOUBLE_EQ(s[0].dec, 24.11663430);
  EXPECT_DOUBLE_EQ(s[0].pm_ra, 19.9);
  EXPECT_DOUBLE_EQ(s[0].pm_dec, -45.4);
  EXPECT_NEAR(s[0].mag, 2.873 - 0.090 * (3.046 - 2.873), 1e-12);
  EXPECT_NEAR(s[0].bv, 0.850 * (3.046 - 2.873), 1e-12);
  EXPECT_EQ(s[0].hip, 17702);
  EXPECT_EQ(s[0].epoch, 2000);
  // X: the observed position and its epoch, no motion.
  EXPECT_DOUBLE_EQ(s[1].ra, 0.01);
  EXPECT_DOUBLE_EQ(s[1].dec, -5.25);
  EXPECT_DOUBLE_EQ(s[1].epoch, 1991.73);
  EXPECT_EQ(s[1].pm_ra, 0.0);
  EXPECT_EQ(s[1].hip, 0);
  EXPECT_TRUE(s[1].has_bv);
  // One band only: that band as V, no colour, counted.
  EXPECT_DOUBLE_EQ(s[2].mag, 11.5);
  EXPECT_FALSE(s[2].has_bv);
  EXPECT_DOUBLE_EQ(s[3].mag, 12.25);
  EXPECT_FALSE(s[3].has_bv);
  EXPECT_EQ(r.no_colour, 2);
  EXPECT_EQ(r.malformed, 2);
  ASSERT_EQ(r.first_problems.size(), 2u);
  EXPECT_EQ(r.first_problems[0], "line 5: neither BT nor VT");
  EXPECT_EQ(r.first_problems[1],
            "line 6: line too short for a Tycho-2 record (122 characters, not 206)");
  // A damaged field is named.
  stars::ReadReport bad;
  std::istringstream damaged(TychoLine().mean("5x.75", "24.1", "1", "1").mags("3", "3").text);
  stars::read_catalog_each(damaged, stars::Format::Tycho2, bad, stars::ReadOptions(),
                           [](const CatalogStar&) {});
  EXPECT_EQ(bad.first_problems.at(0), "line 1: bad mean RA '5x.75'");
}

TEST(Catalog, GaiaRows) {
  const std::string csv =
      "# a Gaia archive query\n"
      "source_id,ref_epoch,ra,dec,parallax,parallax_over_error,pmra,pmdec,phot_g_mean_mag,bp_rp\n"
      "1,2016.0,45.0,10.0,10.0,20.0,100.0,-50.0,8.0,0.82\n"
      "2,2016.0,46.0,11.0,10.0,3.0,,,9.0,0.0\n"
      "3,2016.0,47.0,12.0,-1.5,10.0,null,null,10.0,null\n"
      "4,2016.0,48.0,13.0,,,,,,1.0\n"
      "5,2016.0,49.0,14.0,NULL,null,1,1,11.0,\n"
      "6,2016.0,oops,14.0,1,1,1,1,11.0,1\n";
  stars::ReadReport r;
  std::vector<CatalogStar> s;
  std::istringstream in(csv);
  stars::read_catalog_each(in, stars::Format::Gaia, r, stars::ReadOptions(),
                           [&](const CatalogStar& c) { s.push_back(c); });
  ASSERT_EQ(s.size(), 4u);
  // G - V = -0.02704 + 0.01424 C - 0.2156 C^2 + 0.01426 C^3.
  EXPECT_NEAR(8.0 - s[0].mag, -0.02704 + 0.01424 * 0.82 - 0.2156 * 0.6724 + 0.01426 * 0.551368,
              1e-12);
  EXPECT_NEAR(s[0].bv, 0.65, 0.02);  // Sun-like
  EXPECT_NEAR(s[1].bv, 0.0, 0.02);   // Vega-like
  EXPECT_NEAR(s[1].mag, 9.02704, 1e-12);
  EXPECT_DOUBLE_EQ(s[0].distance, 100.0);
  EXPECT_EQ(s[1].distance, 0.0);  // parallax only 3 times its error
  EXPECT_EQ(s[2].distance, 0.0);  // negative parallax
  EXPECT_EQ(s[0].epoch, 2016.0);
  EXPECT_DOUBLE_EQ(s[0].pm_ra, 100.0);
  EXPECT_EQ(s[2].pm_ra, 0.0);
  EXPECT_FALSE(s[2].has_bv);
  EXPECT_DOUBLE_EQ(s[2].mag, 10.0);  // no colour: G stands for V
  EXPECT_EQ(r.no_colour, 2);
  EXPECT_EQ(r.no_magnitude, 1);
  EXPECT_EQ(r.malformed, 1);
  EXPECT_EQ(r.first_problems.at(0), "line 8: bad ra 'oops'");
  // A lower bar for the parallax gives the second star its distance.
  stars::ReadOptions loose;
  loose.min_parallax_snr = 2;
  stars::ReadReport r2;
  std::istringstream again(csv);
  s.clear();
  stars::read_catalog_each(again, stars::Format::Gaia, r2, loose,
                           [&](const CatalogStar& c) { s.push_back(c); });
  EXPECT_DOUBLE_EQ(s.at(1).distance, 100.0);
  // Redder is redder in B-V too, over the whole range of colours.
  for (double c = -0.6; c < 5.5; c += 0.01)
    EXPECT_LE(stars::gaia_bv(c), stars::gaia_bv(c + 0.01)) << c;
  stars::ReadReport none;
  std::istringstream header_only("ra,dec,parallax\n1,2,3\n");
  EXPECT_THROW(stars::read_catalog(header_only, stars::Format::Gaia, none, false),
               stars::CatalogError);
}
