// Scene files: the host's scene model and each image filter's settings in the
// text form of tagged blocks (docs/scene-files.md).
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "host/blocks.h"
#include "host/filter.h"
#include "host/host.h"
#include "host/scene.h"

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

// A scene at work: the host's scene, one plug-in library and the scene's
// filter instances. Instances go before their servers, servers before the library.
class Session {
public:
  Session(Host& host, const std::string& plugin_path);
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  // Replaces the host's scene and creates each filter with its settings.
  // Relative paths in settings (star databases) are looked up beside the scene file.
  void load(const std::string& path);
  void load(SceneFile file, const std::string& content_dir, const std::string& source = "scene");
  // Asks every instance for its settings and writes the scene whole or not at all.
  void save(const std::string& path) const;
  std::string to_text() const;

  FilterInstance& add_filter(const std::string& server_name);
  std::vector<const FilterInstance*> filter_list() const;

  Host& host;
  std::unique_ptr<PluginLibrary> library;
  std::vector<std::unique_ptr<ImageFilterServer>> servers;
  std::vector<std::unique_ptr<FilterInstance>> filters;

private:
  const ImageFilterServer& server(const std::string& name);
};

// The plug-in a host program uses by default: beside the program, or in
// ../lib/vantrel when installed.
std::string default_plugin_path(const std::string& program_dir, int bits);

}  // namespace host
