#include "host/core/plugin.h"

#include <gtest/gtest.h>

#include "host/core/filter.h"
#include "host/core/host.h"

namespace {

std::string load_error(const std::string& path) {
  try {
    host::PluginLibrary lib(path);
  } catch (const host::HostError& e) {
    return e.what();
  }
  return "(loaded)";
}

}  // namespace

TEST(PluginLibrary, LoadsStartsActivatesAndShutsDown) {
  // Our own handle keeps the library mapped, so its counters outlive the host's unload.
  host::SharedLibrary keep(TEST_PLUGIN_GOOD);
  auto started = reinterpret_cast<int (*)()>(keep.symbol("test_plugin_started"));
  auto stopped = reinterpret_cast<int (*)()>(keep.symbol("test_plugin_stopped"));
  ASSERT_NE(started, nullptr);
  ASSERT_NE(stopped, nullptr);
  {
    host::Host h;
    host::PluginLibrary lib(TEST_PLUGIN_GOOD);
    EXPECT_EQ(started(), 1);
    EXPECT_EQ(lib.descriptor().machine, 0x300u);
    const VHServerRecord& server = lib.server(VH_CLASS_IMAGE_FILTER, "Test");
    EXPECT_STREQ(server.tags[0].text, "Test");
    int local = 0;
    EXPECT_EQ(host::activate(server, &local), VH_ACTIVATE_OK);
    EXPECT_EQ(local, 4);
    EXPECT_EQ(host::activate(server, &local, 3), VH_ACTIVATE_BADVERSION);
    h.withheld.insert(VH_MESSAGES);
    EXPECT_EQ(host::activate(server, &local), VH_ACTIVATE_FAILED);

    try {
      lib.server(VH_CLASS_IMAGE_FILTER, "Vantrel");
      FAIL() << "found a server that is not there";
    } catch (const host::HostError& e) {
      EXPECT_EQ(std::string(e.what()), std::string(TEST_PLUGIN_GOOD) +
                                           " has no ImageFilterHandler server named \"Vantrel\"");
    }
    EXPECT_EQ(stopped(), 0);
  }
  EXPECT_EQ(stopped(), 1);
}

TEST(PluginLibrary, RefusesWhatIsNotAPlugin) {
  EXPECT_EQ(load_error(TEST_PLUGIN_NONE),
            std::string(TEST_PLUGIN_NONE) + " is not a plug-in: it has no _mod_descrip");
  EXPECT_EQ(load_error(TEST_PLUGIN_BAD_SYNC),
            std::string(TEST_PLUGIN_BAD_SYNC) +
                ": module descriptor has synchronisation word 0x19941204, expected 0x04121994");
  EXPECT_EQ(load_error(TEST_PLUGIN_BAD_VERSION),
            std::string(TEST_PLUGIN_BAD_VERSION) + ": module descriptor version 2, expected 3");
  const std::string missing = load_error("/nonexistent/vantrel64.so");
  EXPECT_EQ(missing.rfind("cannot load plug-in /nonexistent/vantrel64.so: ", 0), 0u) << missing;
  const std::string text_file = load_error(__FILE__);
  EXPECT_EQ(text_file.rfind("cannot load plug-in ", 0), 0u) << text_file;
}

// What a filter's handlers answer for a failure is told, never passed over.
TEST(PluginLibrary, AFiltersFailureTextsAreTold) {
  host::Host h;
  h.echo_messages = false;
  host::PluginLibrary lib(TEST_PLUGIN_GOOD);
  host::ImageFilterServer server(lib, "Failing");
  host::FilterInstance a(server), b(server);
  b.copy_from(a);
  b.load(host::BlockList(), "s.vsc");
  EXPECT_TRUE(b.save().empty());
  ASSERT_EQ(h.messages.size(), 3u);
  EXPECT_EQ(h.messages[0].kind, host::Message::Error);
  EXPECT_EQ(h.messages[0].first, "\"Failing\" could not copy its settings:");
  EXPECT_EQ(h.messages[0].second, "out of memory while copying");
  EXPECT_EQ(h.messages[1].first, "\"Failing\" could not load its settings from s.vsc:");
  EXPECT_EQ(h.messages[1].second, "the settings are damaged");
  EXPECT_EQ(h.messages[2].kind, host::Message::Error);
  EXPECT_EQ(h.messages[2].first, "\"Failing\" could not save its settings:");
  EXPECT_EQ(h.messages[2].second, "out of memory while saving");
}
