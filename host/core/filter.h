// Image filters from plug-ins: a server activated once per library, and
// instances that live from create to destroy.
#pragma once

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "host/core/blocks.h"
#include "host/core/plugin.h"
#include "hostapi/filter.h"

namespace host {

// An activated image filter server. Its handler record holds the plug-in's callbacks.
class ImageFilterServer {
public:
  // Throws HostError naming the activation's result when it is not success.
  ImageFilterServer(const PluginLibrary& library, const std::string& name);
  ImageFilterServer(const ImageFilterServer&) = delete;
  ImageFilterServer& operator=(const ImageFilterServer&) = delete;

  const VHImageFilterHandler& handler() const { return record; }
  const std::string& name() const { return server_name; }

private:
  std::string server_name;
  VHInstanceFuncs inst{};
  VHItemFuncs items{};
  VHImageFilterHandler record{};
};

// One instance of an image filter; destroyed with this object.
class FilterInstance {
public:
  explicit FilterInstance(const ImageFilterServer& server);
  FilterInstance(const FilterInstance&) = delete;
  FilterInstance& operator=(const FilterInstance&) = delete;
  ~FilterInstance();

  VHInstance handle() const { return instance; }
  const ImageFilterServer& server() const { return *srv; }
  std::string describe() const;
  // Copies the other instance's settings into this one.
  void copy_from(const FilterInstance& other);
  // The blocks the instance's save callback writes; throws on a misuse of the state.
  BlockList save() const;
  // Problems in the blocks are warned naming source (the file they came from), if given.
  void load(const BlockList& blocks, const std::string& source = "") const;
  void process(const VHFilterAccess* access) const;
  void change_ids(const std::vector<std::pair<uint32_t, uint32_t>>& pairs) const;

private:
  const ImageFilterServer* srv;
  VHInstance instance = nullptr;
};

}  // namespace host
