#include "host/core/session.h"

#include <cstdint>
#include <optional>

#include "host/core/files.h"
#include "host/core/star_filter.h"

namespace host {

namespace {

// A filter's parent item carries its sky; one missing from the scene leaves
// the filter without a transform for it, and the sky comes out empty.
void warn_unknown_parent(Host& host, const FilterInstance& f, const std::string& where) {
  const std::optional<uint32_t> item = star_filter::parent_id(f.save());
  if (!item || !*item || host.scene.find(*item)) return;
  host.message(Message::Warning,
               (where + ": \"" + f.server().name() + "\" has ParentID " + std::to_string(*item) +
                ", which is no item of this scene: its sky will be empty")
                   .c_str(),
               nullptr);
}

}  // namespace

Session::Session(Host& h, const std::string& plugin_path)
    : host(h), library(std::make_unique<PluginLibrary>(plugin_path)) {}

const ImageFilterServer& Session::server(const std::string& name) {
  for (const auto& s : servers)
    if (s->name() == name) return *s;
  servers.push_back(std::make_unique<ImageFilterServer>(*library, name));
  return *servers.back();
}

FilterInstance& Session::add_filter(const std::string& server_name) {
  filters.push_back(std::make_unique<FilterInstance>(server(server_name)));
  return *filters.back();
}

void Session::load(const std::string& path) {
#ifdef _WIN32
  const std::string::size_type slash = path.find_last_of("/\\");
#else
  const std::string::size_type slash = path.find_last_of('/');
#endif
  load(read_scene(path), slash == std::string::npos ? "." : path.substr(0, slash), path);
}

void Session::load(SceneFile file, const std::string& content_dir, const std::string& source) {
  filters.clear();
  host.scene = std::move(file.scene);
  host.content_dir = content_dir;
  for (FilterEntry& f : file.filters) {
    FilterInstance* inst;
    try {
      inst = &add_filter(f.server);
    } catch (const HostError& e) {
      throw HostError(source + ":" + std::to_string(f.line) + ": " + e.what());
    }
    if (f.server == star_filter::kServer)
      for (const std::string& w : star_filter::unknown_keywords(f.settings, source))
        host.message(Message::Warning, w.c_str(), nullptr);
    inst->load(f.settings, source);
    warn_unknown_parent(host, *inst, source + ":" + std::to_string(f.line));
  }
}

std::string Session::to_text() const {
  std::vector<FilterEntry> entries;
  for (const auto& f : filters) entries.push_back(FilterEntry{f->server().name(), f->save(), 0});
  return format_scene(host.scene, entries);
}

void Session::save(const std::string& path) const { write_file_atomically(path, to_text()); }

std::vector<const FilterInstance*> Session::filter_list() const {
  std::vector<const FilterInstance*> list;
  for (const auto& f : filters) list.push_back(f.get());
  return list;
}

}  // namespace host
