// vantrel-host: renders scenes with the plug-in, writes new scenes, moves a
// scene's filter settings to and from settings files, serves the filter's
// panel to a browser, and hands frame ranges to a Slurm cluster.
//
//   vantrel-host render SCENE [--frames A-B] [--background PATTERN] [--output PATTERN]...
//   vantrel-host new-scene OUT [--camera-ra DEG] [--camera-dec DEG] [--fov DEG] [--size WxH] ...
//   vantrel-host settings SCENE [--plugin PATH] [--filter N] --load FILE | --save FILE
//   vantrel-host panel SCENE [--plugin PATH] [--port N] [--open] [--full] [--background PATTERN]
//   vantrel-host submit SCENE -o PATTERN [--frames A-B] [--chunk N] [--dry-run] [--wait] ...
//   vantrel-host submit --resume JOBDIR
//   vantrel-host import-chan SCENE FILE.chan [--rotation-order ZXY]
//   vantrel-host export-chan SCENE -o FILE.chan [--rotation-order ZXY] [--frames A-B]
//
// Every failure is one line on the standard error stream and a non-zero exit status.
#include <unistd.h>
#ifdef __GLIBC__
#include <malloc.h>
#endif

#include <cstdio>
#include <exception>
#include <new>
#include <vector>

#include "host/cli/commands.h"
#include "host/cli/install.h"
#include "host/core/error.h"
#include "host/core/session.h"
#include "host/core/words.h"

namespace host {

std::string program_dir() {
  char buf[4096];
  const ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n <= 0) return ".";
  buf[n] = '\0';
  std::string path(buf);
  return path.substr(0, path.find_last_of('/'));
}

void add_plugin_option(CLI::App* command, std::string& path) {
  command->add_option("--plugin", path,
                      "the plug-in library (default: vantrel64.so beside this program)");
}

std::string plugin_path(const std::string& given) {
  return given.empty() ? default_plugin_path(program_dir(), 64) : given;
}

void parse_range(const std::string& option, const std::string& text, int& first, int& last) {
  const std::string::size_type dash = text.find('-', 1);
  try {
    size_t used = 0;
    first = std::stoi(text.substr(0, dash), &used);
    if (used != (dash == std::string::npos ? text.size() : dash)) throw std::invalid_argument("");
    last = first;
    if (dash != std::string::npos) {
      last = std::stoi(text.substr(dash + 1), &used);
      if (used != text.size() - dash - 1) throw std::invalid_argument("");
    }
  } catch (const std::exception&) {
    throw HostError(option + " expects A or A-B, found '" + text + "'");
  }
  if (last < first) throw HostError(option + " " + text + " ends before it starts");
}

namespace {

// For a word the parser did not take: the nearest option of the command
// given, or the nearest command when none was recognised.
std::string nearest_hint(const CLI::App& app) {
  for (const CLI::App* sub : app.get_subcommands()) {
    std::vector<std::string> options;
    for (const CLI::Option* o : sub->get_options())
      for (const std::string& name : o->get_lnames()) options.push_back("--" + name);
    for (const std::string& extra : sub->remaining())
      if (extra.rfind("--", 0) == 0) return did_you_mean(extra.substr(0, extra.find('=')), options);
  }
  std::vector<std::string> commands;
  for (const CLI::App* sub : app.get_subcommands([](const CLI::App*) { return true; }))
    commands.push_back(sub->get_name());
  const std::vector<std::string> extras = app.remaining();
  return extras.empty() ? "" : did_you_mean(extras[0], commands);
}

}  // namespace

}  // namespace host

int main(int argc, char** argv) {
#ifdef __GLIBC__
  // Every frame allocates and frees tens of megabytes. By default glibc
  // hands such blocks back to the kernel, which faults them in again,
  // zeroed, on the next frame; with workers side by side those faults
  // contend in the kernel and cost a third of a sequence's time. Freed
  // memory is kept for the next frame instead.
  mallopt(M_MMAP_THRESHOLD, 32 << 20);
  mallopt(M_TRIM_THRESHOLD, 1 << 30);
#endif
  CLI::App app{"vantrel-host: renders star fields into frames with the Vantrel plug-in"};
  app.require_subcommand(1);
  const std::vector<host::Command> commands = {
      host::render_command(app),     host::new_scene_command(app), host::settings_command(app),
      host::panel_command(app),      host::submit_command(app),    host::import_chan_command(app),
      host::export_chan_command(app)};
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    // --help and --version print and succeed; a usage error is one line and status 2.
    if (e.get_exit_code() == 0) return app.exit(e);
    fprintf(stderr, "vantrel-host: %s%s (see --help)\n", host::printable(e.what()).c_str(),
            host::printable(host::nearest_hint(app)).c_str());
    return 2;
  }
  try {
    for (const host::Command& c : commands)
      if (*c.sub) return c.run();
    return 2;
  } catch (const std::bad_alloc&) {
    fprintf(stderr, "vantrel-host: out of memory\n");
    return 1;
  } catch (const std::exception& e) {
    fprintf(stderr, "vantrel-host: %s\n", e.what());
    return 1;
  }
}
