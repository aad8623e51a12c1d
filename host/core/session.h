// A scene at work: the host's scene with one plug-in library and the scene's
// filter instances, loaded from and saved to scene files.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "host/core/filter.h"
#include "host/core/host.h"
#include "host/core/plugin.h"
#include "host/core/scenefile.h"

namespace host {

// Instances go before their servers, servers before the library.
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

}  // namespace host
