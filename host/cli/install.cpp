#include "host/cli/install.h"

#include <unistd.h>

namespace host {

std::string default_plugin_path(const std::string& program_dir, int bits) {
#ifdef _WIN32
  const std::string name = "vantrel" + std::to_string(bits) + ".dll";
#else
  const std::string name = "vantrel" + std::to_string(bits) + ".so";
#endif
  const std::string beside = program_dir + "/" + name;
  if (access(beside.c_str(), R_OK) == 0) return beside;
  const std::string installed = program_dir + "/../lib/vantrel/" + name;
  if (access(installed.c_str(), R_OK) == 0) return installed;
  return beside;
}

}  // namespace host
