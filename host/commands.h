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

// The folder of the running program: the default plug-in sits beside it.
std::string program_dir();
// "A" or "A-B" into first and last; throws HostError naming the option.
void parse_range(const std::string& option, const std::string& text, int& first, int& last);

}  // namespace host
