// vantrel-host's commands. Each one adds its subcommand and options to the
// program and hands back what runs it; main() parses and runs the one chosen.
#pragma once

#include <CLI/CLI.hpp>

#include <functional>
#include <string>

namespace host {

struct Command {
  CLI::App* sub;
  std::function<int()> run;  // the exit status
};

Command render_command(CLI::App& app);
Command new_scene_command(CLI::App& app);
Command settings_command(CLI::App& app);
Command panel_command(CLI::App& app);
Command submit_command(CLI::App& app);
Command import_chan_command(CLI::App& app);
Command export_chan_command(CLI::App& app);

// The folder of the running program: the default plug-in sits beside it.
std::string program_dir();
// Adds --plugin to a command, kept in path.
void add_plugin_option(CLI::App* command, std::string& path);
// The plug-in --plugin named, or the default one beside this program.
std::string plugin_path(const std::string& given);
// "A" or "A-B" into first and last; throws HostError naming the option.
void parse_range(const std::string& option, const std::string& text, int& first, int& last);

}  // namespace host
