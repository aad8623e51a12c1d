// vantrel-host never reports a false success: a star database that cannot be
// used is never swapped in silence, settings files are told apart from other
// files, and a run's inputs are checked before its first frame.
#include <sys/stat.h>

#include "testsupport/cli_support.h"

namespace {

using testing_support::read_bytes;
using testing_support::write_bytes;

bool has(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

// The scene file with one text replaced, written over itself or to another name.
std::string edited(const std::string& scene, const std::string& from, const std::string& to,
                   const std::string& path) {
  std::string text = read_bytes(scene);
  const size_t at = text.find(from);
  EXPECT_NE(at, std::string::npos) << from;
  if (at != std::string::npos) text.replace(at, from.size(), to);
  write_bytes(path, text);
  return path;
}

RunOptions in(const std::string& cwd) {
  RunOptions o;
  o.cwd = cwd;
  return o;
}

std::string star_file_line(const std::string& scene) {
  const std::string text = read_bytes(scene);
  const size_t at = text.find("StarFile ");
  return at == std::string::npos ? "" : text.substr(at, text.find('\n', at) - at);
}

struct Inputs : Cli {
  void SetUp() override {
    Cli::SetUp();
    testing_support::make_dirs(dir.file("elsewhere"));
  }
  // A default database beside the plug-in: the one it falls back to.
  std::string give_default() {
    const std::string d = folder_of_plugin() + "/hipparcos3D.stars";
    harness::write_db(h, d, {harness::ahead(0, 0)});
    return d;
  }
  std::string folder_of_plugin() const { return plugin.substr(0, plugin.find_last_of('/')); }
  RunResult render(const std::string& s, std::vector<std::string> extra = {},
                   const std::string& cwd = "") {
    std::vector<std::string> args = {"render", s, "--plugin", plugin, "-q"};
    args.insert(args.end(), extra.begin(), extra.end());
    return run(args, in(cwd));
  }
};

}  // namespace

TEST_F(Inputs, AMissingDatabaseIsNeverSwappedInSilence) {
  const std::string fallback = give_default();
  // A mistyped StarFile: refused before frame 1, naming the scene's line and the path.
  const std::string typo = edited(scene(), "StarFile \"" + db + "\"",
                                  "StarFile \"/nowhere/smal.stars\"", dir.file("t.vsc"));
  const std::string out = dir.file("t.png");
  RunResult r = render(typo, {"-o", out});
  EXPECT_EQ(r.status, 1) << r.err;
  EXPECT_TRUE(has(r.err, "vantrel-host: " + typo + ":")) << r.err;
  EXPECT_TRUE(has(r.err,
                  ": cannot read the star database /nowhere/smal.stars: No such file or "
                  "directory (--allow-default-database renders with the plug-in's default one)\n"))
      << r.err;
  EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
  EXPECT_NE(access(out.c_str(), F_OK), 0);
  // Asked for, the fall-back renders, and the filter names both paths.
  r = render(typo, {"-o", out, "--allow-default-database"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(has(r.err,
                  "warning: star database /nowhere/smal.stars: the file cannot be opened; "
                  "using the default database " +
                      fallback + " instead"))
      << r.err;
  EXPECT_EQ(access(out.c_str(), F_OK), 0);

  // new-scene stores the database it was given as an absolute path: the scene
  // renders the same stars from any folder.
  testing_support::make_dirs(dir.file("cat"));
  std::filesystem::copy_file(db, dir.file("cat/mine.stars"));
  testing_support::make_dirs(dir.file("shot"));
  r = run({"new-scene", "shot/s.vsc", "--database", "cat/mine.stars", "--size", "64x48", "--plugin",
           plugin},
          in(dir.path));
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(star_file_line(dir.file("shot/s.vsc")),
            "StarFile " + host::quote(dir.file("cat/mine.stars")));
  r = render(dir.file("shot/s.vsc"), {"-o", dir.file("shot/s.png")}, dir.file("elsewhere"));
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_FALSE(has(r.err, "warning")) << r.err;
}

TEST_F(Inputs, SettingsFilesNameTheirDatabaseBesideThemAndStoreItAbsolute) {
  const std::string s = scene();
  give_default();
  // A preset folder: the settings file names its database beside it.
  testing_support::make_dirs(dir.file("presets"));
  std::filesystem::copy_file(db, dir.file("presets/deep.stars"));
  ASSERT_EQ(
      run({"settings", s, "--save", dir.file("presets/deep.vset"), "--plugin", plugin}).status, 0);
  edited(dir.file("presets/deep.vset"), "StarFile \"" + db + "\"", "StarFile \"deep.stars\"",
         dir.file("presets/deep.vset"));
  RunResult r = run({"settings", s, "--load", dir.file("presets/deep.vset"), "--plugin", plugin});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_FALSE(has(r.err, "warning")) << r.err;
  EXPECT_EQ(star_file_line(s), "StarFile " + host::quote(dir.file("presets/deep.stars")));
  // Closing the panel made it the default: absolute there too.
  EXPECT_TRUE(has(read_bytes(folder_of_plugin() + "/vantrel.ini"),
                  "DefaultStarFile \"" + dir.file("presets/deep.stars") + "\""));

  // One whose database is nowhere is refused, and the scene keeps what it had.
  edited(dir.file("presets/deep.vset"), "StarFile \"deep.stars\"", "StarFile \"gone.stars\"",
         dir.file("presets/gone.vset"));
  const std::string before = read_bytes(s);
  r = run({"settings", s, "--load", dir.file("presets/gone.vset"), "--plugin", plugin});
  EXPECT_EQ(r.status, 1) << r.err;
  EXPECT_TRUE(has(r.err, "vantrel-host: " + dir.file("presets/gone.vset") + ":")) << r.err;
  EXPECT_TRUE(has(r.err, "cannot read the star database " + dir.file("presets/gone.stars") +
                             ": No such file or directory; the scene is left as it was\n"))
      << r.err;
  EXPECT_EQ(read_bytes(s), before);

  // A scene's relative database, saved from another folder, goes into the
  // configuration file absolute.
  edited(s, star_file_line(s), "StarFile \"presets/deep.stars\"", s);
  r = run({"settings", "../s.vsc", "--save", "copy.vset", "--plugin", plugin},
          in(dir.file("elsewhere")));
  EXPECT_EQ(r.status, 0) << r.err;
  const std::string ini = read_bytes(folder_of_plugin() + "/vantrel.ini");
  EXPECT_TRUE(has(ini, "DefaultStarFile \"" + dir.file("presets/deep.stars") + "\"")) << ini;
}

TEST_F(Inputs, SettingsLoadRefusesWhatIsNoSettingsFile) {
  const std::string s = scene();
  const std::string png = dir.file("frame.png");
  ASSERT_EQ(render(s, {"-o", png}).status, 0);
  write_bytes(dir.file("other.vsc"), read_bytes(s));
  const std::string before = read_bytes(s);
  for (const std::string& not_settings : {png, dir.file("other.vsc")}) {
    const RunResult r = run({"settings", s, "--load", not_settings, "--plugin", plugin});
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_EQ(r.err.rfind("vantrel-host: " + not_settings, 0), 0u) << r.err;
    EXPECT_TRUE(has(r.err, "not a settings file")) << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    EXPECT_FALSE(has(r.out, "loaded")) << r.out;
    EXPECT_EQ(read_bytes(s), before);
  }
}

TEST_F(Inputs, ASequenceFailsInItsFirstSecondNotAtItsSeventhFrame) {
  const std::string s = scene({"--frames", "1-8"});
  testing_support::make_dirs(dir.file("plates"));
  testing_support::make_dirs(dir.file("out"));
  ASSERT_EQ(render(s, {"-o", dir.file("plates/bg.####.png")}).status, 0);
  const std::string seventh = dir.file("plates/bg.0007.png");
  const std::string plate = read_bytes(seventh);
  const std::vector<std::string> args = {"--background", dir.file("plates/bg.####.png"), "-o",
                                         dir.file("out/f.####.png")};
  struct Case {
    std::string plate7;  // what frame 7's plate holds; empty: no such file
    std::vector<std::string> extra;
    std::string message;
  };
  save(dir.file("small.png"), 32, 24, 3, std::vector<float>(32 * 24 * 3, 0.5f),
       OIIO::TypeDesc::UINT8, false);
  const std::vector<Case> cases = {
      {"", {}, "cannot read the background " + seventh + ": No such file or directory"},
      {read_bytes(dir.file("small.png")),
       {},
       seventh + " is 32 x 24, the scene's frames are 64 x 48"},
      {plate,
       {"-o", dir.file("small.png/f.####.png")},
       "cannot make the folder " + dir.file("small.png")},
      {plate, {"-o", "/proc/f.####.png"}, "the output folder /proc is not writable ("},
  };
  for (const Case& c : cases) {
    if (c.plate7.empty())
      unlink(seventh.c_str());
    else
      write_bytes(seventh, c.plate7);
    std::vector<std::string> extra = args;
    extra.insert(extra.end(), c.extra.begin(), c.extra.end());
    const RunResult r = render(s, extra);
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_EQ(r.err.rfind("vantrel-host: " + c.message, 0), 0u) << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    EXPECT_TRUE(files().empty()) << "frames were rendered before the refusal";
  }
  // --keep-going still renders what it can past the missing plate.
  unlink(seventh.c_str());
  const RunResult r = render(s, {args[0], args[1], args[2], args[3], "--keep-going"});
  EXPECT_EQ(r.status, 1) << r.err;
  EXPECT_TRUE(has(r.err,
                  "warning: 1 background frame cannot be used (first: cannot read the "
                  "background " +
                      seventh + ": No such file or directory); that frame will fail\n"))
      << r.err;
  EXPECT_EQ(files().size(), 7u);
  EXPECT_NE(access(dir.file("out/f.0007.png").c_str(), F_OK), 0);
}

TEST_F(Inputs, AnOutputNeverOverwritesAnInputOfItsRun) {
  const std::string s = scene({"--frames", "1-2"});
  ASSERT_EQ(render(s, {"-o", dir.file("bg.####.png")}).status, 0);
  const std::string plate = read_bytes(dir.file("bg.0002.png")), scene_text = read_bytes(s),
                    stars = read_bytes(db);
  const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
      {{"--background", dir.file("bg.####.png"), "-o", dir.file("bg.####.png")},
       "the output " + dir.file("bg.0001.png") + " is a background frame of this render"},
      {{"--frames", "2", "-o", dir.file("./bg.0002.png"), "--background", dir.file("bg.####.png")},
       "the output " + dir.file("./bg.0002.png") + " is a background frame of this render"},
      {{"--frames", "1", "-o", s + ".png", "-o", s},
       "the output " + s + " is the scene of this render"},
      {{"--frames", "1", "-o", db}, "the output " + db + " is the star database of this render"},
  };
  for (const auto& [extra, message] : cases) {
    const RunResult r = render(s, extra);
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_EQ(r.err, "vantrel-host: " + message + "; writing it would lose it\n");
  }
  EXPECT_EQ(read_bytes(dir.file("bg.0002.png")), plate);
  EXPECT_EQ(read_bytes(s), scene_text);
  EXPECT_EQ(read_bytes(db), stars);
  EXPECT_NE(access((s + ".png").c_str(), F_OK), 0);

  // new-scene keeps an existing file unless told to write over it.
  RunResult r = run({"new-scene", s, "--database", db, "--plugin", plugin});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "vantrel-host: " + s + " exists; --force writes the new scene over it\n");
  EXPECT_EQ(read_bytes(s), scene_text);
  r = run({"new-scene", s, "--database", db, "--plugin", plugin, "--force"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(read_bytes(s), scene_text);
}

TEST_F(Inputs, MessagesAreInTheUsersWords) {
  const std::string s = scene();
  std::vector<std::string> said;
  // A number too large for a float is named as written, with the file and the line.
  const std::string big = edited(s, "StarSize 2.5", "StarSize 1e39", dir.file("big.vsc"));
  RunResult r = render(big, {"-o", dir.file("big.png")});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(has(r.err, "warning: while loading \"Vantrel\" settings from " + big + ":\n"))
      << r.err;
  EXPECT_TRUE(has(r.err, "found '1e39'")) << r.err;
  said.push_back(r.err);
  ASSERT_EQ(run({"settings", s, "--save", dir.file("big.vset"), "--plugin", plugin}).status, 0);
  edited(dir.file("big.vset"), "StarSize 2.5", "StarSize 1e39", dir.file("big.vset"));
  r = run({"settings", s, "--load", dir.file("big.vset"), "--plugin", plugin});
  EXPECT_TRUE(has(r.err, "warning: while reading " + dir.file("big.vset") + ":\n")) << r.err;
  EXPECT_TRUE(has(r.err, "found '1e39'")) << r.err;
  said.push_back(r.err);
  // The plug-in's failures and warnings show no function names or source lines.
  r = run({"settings", s, "--save", "/proc/x.vset", "--plugin", plugin});
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(has(r.err, "error saving settings file\n")) << r.err;
  said.push_back(r.err);
  r = render(edited(s, "Projection \"Perspective\"", "Projection \"Bogus\"", dir.file("p.vsc")),
             {"-o", dir.file("p.png")});
  EXPECT_TRUE(has(r.err, "warning: Projection \"Bogus\" names no projection")) << r.err;
  said.push_back(r.err);
  for (const std::string& text : said)
    for (const char* internal : {" in <", ".cpp:", "inf"})
      EXPECT_FALSE(has(text, internal)) << text;
}

TEST_F(Inputs, MistypedWordsAreToldWithTheNearestKnownOne) {
  const std::string s = scene();
  const std::string typo = edited(s, "StarSize 2.5", "StarSze 2.5", dir.file("typo.vsc"));
  const std::string text = read_bytes(typo);
  const int line = static_cast<int>(
      std::count(text.begin(), text.begin() + static_cast<long>(text.find("StarSze")), '\n') + 1);
  RunResult r = render(typo, {"-o", dir.file("typo.png")});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(has(r.err, "warning: " + typo + ":" + std::to_string(line) +
                             ": StarSze is not a setting of Vantrel (did you mean StarSize?); it "
                             "is ignored\n"))
      << r.err;
  ASSERT_EQ(run({"settings", s, "--save", dir.file("t.vset"), "--plugin", plugin}).status, 0);
  edited(dir.file("t.vset"), "Brightness 5", "Brightnes 5", dir.file("t.vset"));
  r = run({"settings", s, "--load", dir.file("t.vset"), "--plugin", plugin});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(has(r.err, "warning: " + dir.file("t.vset") +
                             ":7: Brightnes is not a setting of Vantrel (did you mean "
                             "Brightness?); it is ignored\n"))
      << r.err;
  // Commands and options: the parser's refusal, with the nearest one.
  r = run({"rendr", s});
  EXPECT_EQ(r.status, 2);
  EXPECT_TRUE(has(r.err, "(did you mean render?) (see --help)\n")) << r.err;
  r = run({"render", s, "--framez", "1"});
  EXPECT_EQ(r.status, 2);
  EXPECT_TRUE(has(r.err, "(did you mean --frames?) (see --help)\n")) << r.err;
  r = run({"render", s, "--quite"});
  EXPECT_TRUE(has(r.err, "(did you mean --quiet?) (see --help)\n")) << r.err;
  r = run({"render", s, "--xyzzy"});
  EXPECT_FALSE(has(r.err, "did you mean")) << r.err;
}
