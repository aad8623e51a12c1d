#include "host/core/filter.h"

#include "host/core/host.h"

namespace host {

ImageFilterServer::ImageFilterServer(const PluginLibrary& library, const std::string& name)
    : server_name(name) {
  const VHServerRecord& server = library.server(VH_CLASS_IMAGE_FILTER, name.c_str());
  record.inst = &inst;
  record.item = &items;
  const int result = activate(server, &record);
  if (result != VH_ACTIVATE_OK)
    throw HostError("image filter \"" + name + "\" of " + library.path() + " refused activation (" +
                    (result == VH_ACTIVATE_BADVERSION ? "interface version not supported"
                                                      : "a host service is missing or it failed") +
                    ")");
  if (!inst.create || !inst.destroy || !record.process)
    throw HostError("image filter \"" + name + "\" left its callbacks unset");
}

FilterInstance::FilterInstance(const ImageFilterServer& server) : srv(&server) {
  const char* error = nullptr;
  instance = server.handler().inst->create(server.handler().inst->priv, nullptr, &error);
  if (!instance)
    throw HostError("cannot create an instance of \"" + server.name() +
                    "\": " + (error ? error : "the plug-in gave no reason"));
}

FilterInstance::~FilterInstance() { srv->handler().inst->destroy(instance); }

std::string FilterInstance::describe() const {
  const char* d = srv->handler().inst->describe ? srv->handler().inst->describe(instance) : nullptr;
  return d ? d : srv->name();
}

namespace {

// The text a handler answers for a failure, as an error message of the host's.
void tell_handler_failure(const char* failure, const std::string& what) {
  if (failure && Host::current()) Host::current()->message(Message::Error, what.c_str(), failure);
}

}  // namespace

void FilterInstance::copy_from(const FilterInstance& other) {
  if (!srv->handler().inst->copy) return;
  tell_handler_failure(srv->handler().inst->copy(other.instance, instance),
                       "\"" + srv->name() + "\" could not copy its settings:");
}

BlockList FilterInstance::save() const {
  SaveState state(VH_IO_TEXT);
  if (srv->handler().inst->save)
    tell_handler_failure(srv->handler().inst->save(instance, state.state()),
                         "\"" + srv->name() + "\" could not save its settings:");
  if (!state.error().empty() || !state.balanced())
    throw HostError("\"" + srv->name() + "\" wrote malformed settings: " +
                    (state.error().empty() ? "a block was left open" : state.error()));
  return parse_blocks(state.text(), srv->name() + " settings");
}

void FilterInstance::load(const BlockList& blocks, const std::string& source) const {
  LoadState state(blocks);
  if (srv->handler().inst->load)
    tell_handler_failure(srv->handler().inst->load(instance, state.state()),
                         "\"" + srv->name() + "\" could not load its settings" +
                             (source.empty() ? "" : " from " + source) + ":");
  if (!state.error().empty() && Host::current())
    Host::current()->message(Message::Warning,
                             ("while loading \"" + srv->name() + "\" settings" +
                              (source.empty() ? "" : " from " + source) + ":")
                                 .c_str(),
                             state.error().c_str());
}

void FilterInstance::process(const VHFilterAccess* access) const {
  srv->handler().process(instance, access);
}

void FilterInstance::change_ids(const std::vector<std::pair<uint32_t, uint32_t>>& pairs) const {
  if (!srv->handler().item || !srv->handler().item->change_id) return;
  std::vector<VHItemID> list;
  for (const auto& p : pairs) {
    list.push_back(Host::to_id(p.first));
    list.push_back(Host::to_id(p.second));
  }
  list.push_back(nullptr);
  list.push_back(nullptr);
  srv->handler().item->change_id(instance, list.data());
}

}  // namespace host
