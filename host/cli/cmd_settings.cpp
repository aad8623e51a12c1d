// vantrel-host settings: loads a settings file into a scene's image filter, or
// saves the filter's settings to one, through the filter's own panel: its
// Load Settings or Save Settings button, with the file requester answering
// the path. Opening and closing the panel is what a user does in a desktop
// host, with the same effects: an empty star database takes the default,
// and closing makes the filter's database the default in vantrel.ini.
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "host/cli/commands.h"
#include "host/core/session.h"
#include "host/core/star_filter.h"
#include "host/panel/panel.h"

namespace host {

namespace {

struct SettingsOptions {
  std::string scene, plugin, load, save, get;
  std::vector<std::string> set;  // KEY=VALUE
  int filter = 1;
};

std::string absolute(const std::string& path) {
  if (!path.empty() && path[0] == '/') return path;
  char cwd[4096];
  if (!getcwd(cwd, sizeof cwd)) throw HostError("cannot tell the working folder for " + path);
  return std::string(cwd) + "/" + path;
}

uint32_t button(const Panel& panel, const std::string& label) {
  for (const Control& c : panel.controls())
    if (c.cls == ControlClass::Button && c.label == label) return c.id;
  throw HostError("the filter's panel has no \"" + label + "\" button");
}

size_t errors(const Host& h) {
  size_t n = 0;
  for (const Message& m : h.messages) n += m.kind == Message::Error;
  return n;
}

// Presses the button with the requester answering the path; true when the
// panel was refreshed (a load that took).
bool press_with_file(PanelToolkit& kit, ScriptedFrontEnd& front, Session& session,
                     FilterInstance& filter, const std::string& label, const std::string& path) {
  front.files.push_back(path);
  OpenInterface ui(kit, *session.library, filter);
  Panel& panel = ui.panel();
  panel.take_changes();
  panel.press(button(panel, label));
  if (front.requests.empty())
    throw HostError("the filter did not ask for a file (see its message above)");
  return !panel.take_changes().empty();
}

// A top-level leaf of the filter's settings, or an error that lists them.
Block& setting(BlockList& settings, const std::string& key) {
  std::string known;
  for (Block& b : settings) {
    if (b.leaf && b.keyword == key) return b;
    if (b.leaf && b.keyword != "END") known += (known.empty() ? "" : ", ") + b.keyword;
  }
  throw HostError("the filter has no setting '" + key + "' (it has " + known + ")");
}

// The value of a leaf as a person writes it: a string without its quotes.
std::string plain(const std::string& text) {
  size_t cursor = 0;
  std::string value;
  if (read_token(text, cursor, value) == Token::String) return value;
  const size_t first = text.find_first_not_of(' ');
  return first == std::string::npos ? "" : text.substr(first);
}

// Whether the filter kept what was asked: the same text, or for a number the
// same value once rounded to the single precision the filter keeps (1.6 is
// kept as 1.60000002).
bool kept_as_asked(const std::string& asked, const std::string& kept) {
  if (asked == kept) return true;
  auto number = [](const std::string& text, double& value) {
    const size_t first = text.find_first_not_of(' ');
    if (first == std::string::npos || text.find_first_of("xXnN", first) != std::string::npos)
      return false;
    char* end = nullptr;
    value = strtod(text.c_str() + first, &end);
    return end == text.c_str() + text.size() && std::isfinite(value);
  };
  double a, k;
  return number(asked, a) && number(kept, k) && static_cast<float>(a) == static_cast<float>(k);
}

// KEY=VALUE pairs into the filter's settings, loaded through its own Load
// Settings as a settings file would be, so that it checks and warns alike.
// A value the filter replaced by another is refused, and the scene kept.
void set_values(const SettingsOptions& o, Session& session, FilterInstance& filter,
                PanelToolkit& kit, ScriptedFrontEnd& front) {
  BlockList settings = filter.save();
  std::vector<std::pair<std::string, std::string>> asked;
  for (const std::string& pair : o.set) {
    const std::string::size_type eq = pair.find('=');
    if (eq == std::string::npos || eq == 0)
      throw HostError("--set expects KEY=VALUE, found '" + pair + "'");
    const std::string key = pair.substr(0, eq), value = pair.substr(eq + 1);
    Block& b = setting(settings, key);
    size_t cursor = 0;
    std::string old;
    b.text = " " + (read_token(b.text, cursor, old) == Token::String ? quote(value) : value);
    asked.push_back({key, b.text});
  }
  const std::string file = temporary_name(absolute(o.scene) + ".settings");
  write_file_atomically(file, format_blocks(settings));
  const size_t errors_before = errors(session.host);
  bool refreshed = false;
  try {
    refreshed = press_with_file(kit, front, session, filter, "Load Settings", file);
  } catch (...) {
    unlink(file.c_str());
    throw;
  }
  unlink(file.c_str());
  if (errors(session.host) != errors_before || !refreshed)
    throw HostError("the filter did not take the settings (see above); " + o.scene + " unchanged");
  BlockList kept = filter.save();
  for (const auto& [key, text] : asked) {
    const Block& b = setting(kept, key);
    if (!kept_as_asked(text, b.text))
      throw HostError("the filter did not take " + key + "=" + plain(text) + " (it keeps " + key +
                      b.text + "); " + o.scene + " unchanged");
  }
}

// A settings file of the star filter begins with its version; anything else
// (an image, a scene) would load as nothing and change nothing. Its star
// database, when it names one, must be there: resolved beside the settings
// file, where its writer saw it.
void check_settings_file(const std::string& path) {
  BlockList blocks;
  try {
    blocks = parse_blocks(read_file(path, kMaxTextFile), path);
  } catch (const std::exception& e) {
    throw HostError(e.what() + std::string(": not a settings file"));
  }
  const bool versioned =
      !blocks.empty() && blocks[0].leaf && blocks[0].keyword == star_filter::kVersion;
  if (!versioned)
    throw HostError(path + " is not a settings file of the star filter: it does not begin with " +
                    star_filter::kVersion);
  for (const std::string& w : star_filter::unknown_keywords(blocks, path))
    fprintf(stderr, "warning: %s\n", w.c_str());
  const std::optional<std::string> db = star_filter::star_file(blocks);
  if (!db) return;
  const std::string problem =
      star_filter::database_problem(star_filter::database_path(*db, folder_of(path)));
  for (const Block& b : blocks)
    if (!problem.empty() && b.leaf && b.keyword == star_filter::kStarFile)
      throw HostError(path + ":" + std::to_string(b.line) + ": " + problem +
                      "; the scene is left as it was");
}

// Scenes and the configuration file hold absolute database paths: a relative
// one would name another file from another folder. A relative path of a
// settings file means one beside it, so the load resolves it there.
void store_absolute_star_file(PanelToolkit& kit, Session& session, FilterInstance& filter) {
  const std::optional<std::string> before = star_filter::star_file(filter.save());
  star_filter::make_star_file_absolute(filter, session.host);
  // Closing the panel makes the filter's database the default: again, absolute.
  if (star_filter::star_file(filter.save()) != before) OpenInterface(kit, *session.library, filter);
}

int run_settings(const SettingsOptions& o) {
  Host h;
  ScriptedFrontEnd front;
  PanelToolkit kit(h, front);
  Session session(h, plugin_path(o.plugin));
  session.load(o.scene);
  if (o.filter < 1 || static_cast<size_t>(o.filter) > session.filters.size())
    throw HostError(o.scene + " has " + std::to_string(session.filters.size()) +
                    " image filters; --filter " + std::to_string(o.filter) + " names none of them");
  FilterInstance& filter = *session.filters[static_cast<size_t>(o.filter - 1)];
  if (!o.get.empty()) {
    BlockList current = filter.save();
    printf("%s\n", plain(setting(current, o.get).text).c_str());
    return 0;
  }
  if (!o.set.empty()) {
    set_values(o, session, filter, kit, front);
    session.save(o.scene);
    printf("set %zu setting%s of %s\n", o.set.size(), o.set.size() == 1 ? "" : "s",
           o.scene.c_str());
    return 0;
  }
  const bool loading = !o.load.empty();
  const std::string path = absolute(loading ? o.load : o.save);
  if (loading && access(path.c_str(), R_OK) != 0)
    throw HostError("cannot read settings file " + path);
  if (filter.server().name() == star_filter::kServer) {
    star_filter::make_star_file_absolute(filter, h);
    if (loading) check_settings_file(path);
  }
  const std::string scene_dir = h.content_dir;
  if (loading) h.content_dir = folder_of(path);
  const size_t errors_before = errors(h);
  const bool refreshed = press_with_file(kit, front, session, filter,
                                         loading ? "Load Settings" : "Save Settings", path);
  if (loading && filter.server().name() == star_filter::kServer)
    store_absolute_star_file(kit, session, filter);
  h.content_dir = scene_dir;
  if (errors(h) != errors_before)
    throw HostError(std::string(loading ? "loading " : "saving ") + path + " failed (see above)");
  if (loading) {
    if (!refreshed) throw HostError("the settings in " + path + " were not loaded (see above)");
    session.save(o.scene);
    printf("loaded %s into %s\n", path.c_str(), o.scene.c_str());
  } else {
    if (h.written.empty() || h.written.back() != path)
      throw HostError("the settings were not written to " + path + " (see above)");
    printf("saved the settings of %s to %s\n", o.scene.c_str(), path.c_str());
  }
  return 0;
}

}  // namespace

Command settings_command(CLI::App& app) {
  auto o = std::make_shared<SettingsOptions>();
  CLI::App* s = app.add_subcommand(
      "settings",
      "load a settings file into a scene's filter (the scene is written back), or save the "
      "filter's settings to one; as through the filter's panel, which also makes the filter's "
      "star database the default in vantrel.ini");
  s->add_option("scene", o->scene, "scene file")->required();
  CLI::Option* load = s->add_option("--load", o->load, "settings file to read into the filter");
  CLI::Option* save = s->add_option("--save", o->save, "settings file to write");
  CLI::Option* set = s->add_option(
      "--set", o->set, "KEY=VALUE into the filter, checked as a settings file's; may repeat");
  CLI::Option* get =
      s->add_option("--get", o->get, "print the value of one of the filter's settings");
  const std::vector<CLI::Option*> modes = {load, save, set, get};
  for (CLI::Option* a : modes)
    for (CLI::Option* b : modes)
      if (a != b) a->excludes(b);
  s->add_option("--filter", o->filter, "which of the scene's image filters, from 1 (default 1)");
  add_plugin_option(s, o->plugin);
  s->callback([load, save, set, get] {
    if (!*load && !*save && !*set && !*get)
      throw CLI::RequiredError("--load, --save, --set or --get");
  });
  return {s, [o] { return run_settings(*o); }};
}

}  // namespace host
