// The user's guide and its pictures: every picture the guide and the README
// show is there and every picture there is shown; each strip's neighbouring
// panels differ visibly; the PNGs carry no date; the scenes and the catalogue
// that scripts/guide.sh renders still load and render in the real programs.
#include <dirent.h>

#include <gtest/gtest.h>

#include <OpenImageIO/imageio.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "docs/guide/strip_layout.h"
#include "testsupport/test_support.h"

namespace {

const std::string kSource = VANTREL_SOURCE_DIR;

std::vector<std::string> files_in(const std::string& dir, const std::string& suffix) {
  std::vector<std::string> names;
  if (DIR* d = opendir(dir.c_str())) {
    while (const dirent* e = readdir(d)) {
      const std::string n = e->d_name;
      if (n.size() > suffix.size() &&
          n.compare(n.size() - suffix.size(), suffix.size(), suffix) == 0)
        names.push_back(n);
    }
    closedir(d);
  }
  std::sort(names.begin(), names.end());
  return names;
}

// The pictures a Markdown file shows, as paths from the repository's root:
// ![text](path) and <img src="path">, relative to the file's folder.
std::vector<std::string> pictures_shown(const std::string& markdown) {
  const std::string text = testing_support::read_bytes(kSource + "/" + markdown);
  const std::string folder =
      markdown.find('/') == std::string::npos ? "" : markdown.substr(0, markdown.rfind('/') + 1);
  std::vector<std::string> paths;
  // Each opening is followed by the text that ends before the path, and the path by its end.
  const struct {
    const char *open, *before, *after;
  } forms[] = {{"![", "](", ")"}, {"<img", "src=\"", "\""}};
  for (const auto& form : forms)
    for (size_t at = 0; (at = text.find(form.open, at)) != std::string::npos;) {
      const size_t path = text.find(form.before, at);
      if (path == std::string::npos) break;
      const size_t first = path + std::strlen(form.before), end = text.find(form.after, first);
      if (end == std::string::npos) break;
      paths.push_back(folder + text.substr(first, end - first));
      at = end;
    }
  return paths;
}

struct Rgb {
  int width = 0, height = 0;
  std::vector<unsigned char> px;
  std::string description;
  const unsigned char* at(int x, int y) const {
    return &px[(static_cast<size_t>(y) * width + x) * 3];
  }
};

Rgb read_rgb(const std::string& path) {
  Rgb im;
  auto in = OIIO::ImageInput::open(path);
  if (!in) return im;
  const OIIO::ImageSpec& spec = in->spec();
  im.width = spec.width;
  im.height = spec.height;
  im.description = spec.get_string_attribute("ImageDescription");
  im.px.resize(static_cast<size_t>(im.width) * im.height * 3);
  if (!in->read_image(0, 0, 0, 3, OIIO::TypeDesc::UINT8, im.px.data())) im.width = 0;
  return im;
}

// Pixels of panel b that differ from the same pixel of panel a by more than
// a step a reader can see (8 of 255 in some channel).
long visible_differences(const Rgb& im, const guide::StripLayout& layout, size_t a, size_t b) {
  long n = 0;
  for (int y = 0; y < layout.panel_height; ++y)
    for (int x = 0; x < layout.panel_width; ++x) {
      const unsigned char* p = im.at(layout.panels[a].x + x, layout.panels[a].y + y);
      const unsigned char* q = im.at(layout.panels[b].x + x, layout.panels[b].y + y);
      for (int c = 0; c < 3; ++c)
        if (std::abs(p[c] - q[c]) > 8) {
          ++n;
          break;
        }
    }
  return n;
}

// The chunks of a PNG file: type and data.
std::vector<std::pair<std::string, std::string>> png_chunks(const std::string& bytes) {
  std::vector<std::pair<std::string, std::string>> chunks;
  for (size_t at = 8; at + 12 <= bytes.size();) {
    const auto b = [&](size_t i) { return static_cast<unsigned char>(bytes[at + i]); };
    const size_t length = (size_t{b(0)} << 24) | (b(1) << 16) | (b(2) << 8) | b(3);
    if (at + 12 + length > bytes.size()) break;
    chunks.push_back({bytes.substr(at + 4, 4), bytes.substr(at + 8, length)});
    at += 12 + length;
  }
  return chunks;
}

}  // namespace

TEST(Guide, EveryPictureShownIsThereAndEveryPictureIsShown) {
  std::set<std::string> shown;
  for (const char* md : {"docs/guide.md", "README.md"}) {
    const std::vector<std::string> paths = pictures_shown(md);
    EXPECT_FALSE(paths.empty()) << md << " shows no picture";
    for (const std::string& p : paths) {
      EXPECT_GT(read_rgb(kSource + "/" + p).width, 0) << md << " shows " << p << ", not an image";
      shown.insert(p);
    }
  }
  const std::vector<std::string> pngs = files_in(kSource + "/docs/img", ".png");
  EXPECT_GE(pngs.size(), 10u);
  for (const std::string& png : pngs)
    EXPECT_TRUE(shown.count("docs/img/" + png)) << "docs/img/" << png << " is shown nowhere";
}

TEST(Guide, NeighbouringPanelsOfEveryStripDifferVisibly) {
  for (const std::string& png : files_in(kSource + "/docs/img", ".png")) {
    const Rgb im = read_rgb(kSource + "/docs/img/" + png);
    guide::StripLayout layout;
    ASSERT_TRUE(parse_layout(im.description, layout)) << png << ": " << im.description;
    for (const guide::StripLayout::Origin& o : layout.panels)
      ASSERT_TRUE(o.x >= 0 && o.y >= 0 && o.x + layout.panel_width <= im.width &&
                  o.y + layout.panel_height <= im.height)
          << png << ": a panel reaches outside the picture";
    // A thousandth of the panel: the spots of a few stars, more than stray pixels.
    const long enough = static_cast<long>(layout.panel_width) * layout.panel_height / 1000;
    for (size_t i = 1; i < layout.panels.size(); ++i)
      EXPECT_GE(visible_differences(im, layout, i - 1, i), enough)
          << png << ": panels " << i << " and " << i + 1 << " look alike";
  }
}

TEST(Guide, PicturesCarryNoDate) {
  for (const std::string& png : files_in(kSource + "/docs/img", ".png")) {
    const auto chunks = png_chunks(testing_support::read_bytes(kSource + "/docs/img/" + png));
    ASSERT_FALSE(chunks.empty()) << png;
    EXPECT_EQ(chunks.back().first, "IEND") << png << " is cut short";
    for (const auto& [type, data] : chunks) {
      EXPECT_NE(type, "tIME") << png;
      // Text chunks start with their keyword: the strip's layout is the only one written.
      if (type == "tEXt" || type == "zTXt" || type == "iTXt") {
        EXPECT_EQ(data.substr(0, data.find('\0')), "Description") << png;
      }
    }
  }
}

// Each scene, shrunk to a small frame beside the shipped database, renders
// through vantrel-host without a word on the standard error stream: no
// setting is refused, no keyword unknown, no database missing.
TEST(Guide, ScenesAndCatalogueStillWork) {
  testing_support::TempDir dir;
  ASSERT_EQ(
      std::system(("ln -s '" + kSource + "/data/hipparcos3D.stars' '" + dir.path + "/'").c_str()),
      0);
  const std::vector<std::string> scenes = files_in(kSource + "/docs/guide/scenes", ".vsc");
  EXPECT_GE(scenes.size(), 4u);
  for (const std::string& name : scenes) {
    std::string text = testing_support::read_bytes(kSource + "/docs/guide/scenes/" + name);
    const size_t size = text.find("\nFrameSize ");
    ASSERT_NE(size, std::string::npos) << name;
    text.replace(size, text.find('\n', size + 1) - size, "\nFrameSize 96 54");
    testing_support::write_bytes(dir.file(name), text);
    const std::string err = dir.file(name + ".err");
    const std::string cmd = "'" VANTREL_HOST_PATH "' render '" + dir.file(name) + "' -q -o '" +
                            dir.file(name + ".png") + "' 2> '" + err + "'";
    EXPECT_EQ(std::system(cmd.c_str()), 0) << cmd;
    EXPECT_EQ(testing_support::read_bytes(err), "") << name;
    EXPECT_EQ(read_rgb(dir.file(name + ".png")).width, 96) << name;
  }
  const std::string out = dir.file("own.stars");
  const std::string cmd = "'" VANTREL_STARS_PATH "' convert '" + kSource +
                          "/docs/guide/orion-bright.csv' --format csv --strict -q -o '" + out + "'";
  ASSERT_EQ(std::system(cmd.c_str()), 0) << cmd;
  EXPECT_EQ(testing_support::read_bytes(out).size(), 32u * 10);  // a header and nine stars
}
