// vantrel-host settings: loads a settings file into a scene's image filter, or
// saves the filter's settings to one, through the filter's own panel: its
// Load Settings or Save Settings button, with the file requester answering
// the path. Opening and closing the panel is what a user does in a desktop
// host, with the same effects: an empty star database takes the default,
// and closing makes the filter's database the default in vantrel.ini.
#include <unistd.h>

#include <cstdio>
#include <memory>
#include <string>

#include "host/cli/commands.h"
#include "host/core/session.h"
#include "host/core/star_filter.h"
#include "host/panel/panel.h"

namespace host {

namespace {

struct SettingsOptions {
  std::string scene, plugin, load, save;
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
  load->excludes(save);
  save->excludes(load);
  s->add_option("--filter", o->filter, "which of the scene's image filters, from 1 (default 1)");
  add_plugin_option(s, o->plugin);
  s->callback([load, save] {
    if (!*load && !*save) throw CLI::RequiredError("--load or --save");
  });
  return {s, [o] { return run_settings(*o); }};
}

}  // namespace host
