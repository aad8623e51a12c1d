// Scene files: the host's scene model and each image filter's settings in the
// text form of tagged blocks (docs/scene-files.md).
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "host/core/blocks.h"
#include "host/core/scene.h"
#include "hostapi/globals.h"

namespace host {

// An image filter of a scene: its server name and the blocks its save callback wrote.
struct FilterEntry {
  std::string server;
  BlockList settings;
  int line = 0;
};

struct SceneFile {
  Scene scene;
  std::vector<FilterEntry> filters;
};

// Errors name the source, the line and what was expected.
SceneFile parse_scene(const std::string& text, const std::string& source);
SceneFile read_scene(const std::string& path);
std::string format_scene(const Scene& scene, const std::vector<FilterEntry>& filters);

}  // namespace host
