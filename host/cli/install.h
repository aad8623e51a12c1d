// Where the installed programs find the plug-in.
#pragma once

#include <string>

namespace host {

// The plug-in a host program uses by default: beside the program, or in
// ../lib/vantrel when installed.
std::string default_plugin_path(const std::string& program_dir, int bits);

}  // namespace host
