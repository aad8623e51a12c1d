// The plug-in as a host sees it: vantrel64.so (or vantrel32.so) loaded
// through the host's loader, activated and driven through its callbacks.
#include <gtest/gtest.h>

#include <new>
#include <stdexcept>
#include <string>

#include "testsupport/test_harness.h"

namespace {

using harness::Harness;

const VHServerRecord& handler_server(const host::PluginLibrary& lib) {
  return lib.server(VH_CLASS_IMAGE_FILTER, "Vantrel");
}

}  // namespace

TEST(VantrelModule, DescriptorAndServers) {
  testing_support::TempDir dir;
  host::Host h;
  host::PluginLibrary lib(harness::plugin_copy(dir));
  EXPECT_EQ(lib.descriptor().machine, 0x300u);
  const VHServerRecord& handler = handler_server(lib);
  EXPECT_STREQ(handler.tags[0].text, "Vantrel");
  EXPECT_EQ(handler.tags[0].tag, 0u);
  EXPECT_EQ(handler.tags[1].text, nullptr);
  const VHServerRecord& ui = lib.server(VH_CLASS_IMAGE_FILTER_UI, "Vantrel");
  EXPECT_EQ(ui.tags, handler.tags);
  VHInterface record{};
  EXPECT_EQ(host::activate(ui, &record, 3), VH_ACTIVATE_BADVERSION);  // nothing read
}

TEST(VantrelModule, ActivationVersionGlobalsAndCallbacks) {
  testing_support::TempDir dir;
  host::Host h;
  host::PluginLibrary lib(harness::plugin_copy(dir));
  const VHServerRecord& server = handler_server(lib);
  VHInstanceFuncs inst{};
  VHItemFuncs items{};
  VHImageFilterHandler record{&inst, &items, nullptr, nullptr};

  EXPECT_EQ(host::activate(server, &record, 3), VH_ACTIVATE_BADVERSION);
  EXPECT_EQ(inst.create, nullptr);  // nothing done for a wrong version
  EXPECT_TRUE(h.lookups.empty());

  // A missing global fails the activation, with the callbacks already in place.
  h.withheld.insert(VH_ITEM_INFO);
  EXPECT_EQ(host::activate(server, &record), VH_ACTIVATE_FAILED);
  EXPECT_NE(inst.create, nullptr);
  EXPECT_NE(inst.save, nullptr);
  EXPECT_NE(items.change_id, nullptr);
  EXPECT_NE(record.process, nullptr);
  EXPECT_NE(record.flags, nullptr);
  EXPECT_EQ(h.lookups.count(VH_PRODUCT_INFO), 0u);

  // A second activation asks for every global again.
  h.withheld.clear();
  h.lookups.clear();
  EXPECT_EQ(host::activate(server, &record), VH_ACTIVATE_OK);
  EXPECT_EQ(host::activate(server, &record), VH_ACTIVATE_OK);
  for (const char* g :
       {VH_SCENE_INFO, VH_CAMERA_INFO, VH_ITEM_INFO, VH_MESSAGES, VH_FILE_IO, VH_PRODUCT_INFO})
    EXPECT_EQ(h.lookups[g], 2) << g;

  // A handler record without an item table is filled all the same.
  VHImageFilterHandler no_items{&inst, nullptr, nullptr, nullptr};
  EXPECT_EQ(host::activate(server, &no_items), VH_ACTIVATE_OK);
  EXPECT_NE(no_items.process, nullptr);
}

// The settings' defaults are pinned by the golden file of Settings.NewInstancesSaveTheDefaults;
// here the state a new instance starts with.
TEST(VantrelModule, InstanceStateDescribeAndFlags) {
  Harness hn;
  host::FilterInstance f(*hn.server);
  const vantrel& v = Harness::settings(f);
  EXPECT_EQ(v.StarFile.text(), nullptr);  // no configured default in this build
  EXPECT_FALSE(v.StarFileIs3D);
  EXPECT_FALSE(v.PanelOpen);
  EXPECT_EQ(v.StarSource, nullptr);
  EXPECT_EQ(f.describe(), "Vantrel 1.6");
  Harness::settings(f).Brightness = 0;
  EXPECT_EQ(f.describe(), "Vantrel 1.6");
  const VHImageFilterHandler& h = hn.server->handler();
  EXPECT_EQ(h.flags(f.handle()), 0u);
  EXPECT_EQ(h.item->use_items(f.handle()), nullptr);
}

TEST(VantrelModule, CopyLeavesTheDatabaseBehind) {
  Harness hn;
  const std::string db = hn.db({harness::ahead(0, 0)});
  auto a = hn.instance(db);
  const uint32_t rig = hn.host.scene.add(host::ItemKind::Object, "Rig").id;
  Harness::settings(*a).StarSize = 4.0;
  Harness::settings(*a).ParentID = host::Host::to_id(rig);
  Harness::settings(*a).PanelOpen = true;
  hn.render(*a);
  ASSERT_NE(Harness::settings(*a).StarSource, nullptr);
  {
    host::FilterInstance b(*hn.server);
    b.copy_from(*a);
    const vantrel& vb = Harness::settings(b);
    EXPECT_EQ(vb.StarFile, Harness::settings(*a).StarFile);
    EXPECT_NE(vb.StarFile.text(), Harness::settings(*a).StarFile.text());  // its own text
    EXPECT_EQ(vb.StarSize, 4.0);
    EXPECT_EQ(vb.ParentID, host::Host::to_id(rig));
    EXPECT_EQ(vb.StarSource, nullptr);
    EXPECT_FALSE(vb.PanelOpen);
    // Both render on their own; b loads a database of its own.
    const host::FrameImage fb_ = hn.render(b);
    EXPECT_GT(harness::sum(fb_.red), 0.0);
    EXPECT_NE(vb.StarSource, nullptr);
    EXPECT_NE(vb.StarSource, Harness::settings(*a).StarSource);
  }
  // Destroying the copy freed only its own database.
  const host::FrameImage fa = hn.render(*a);
  EXPECT_GT(harness::sum(fa.red), 0.0);
  // A copy over an instance that holds a database releases it (the leak
  // checkers of the sanitizer and valgrind runs see one that is dropped).
  host::FilterInstance c(*hn.server);
  Harness::settings(c).StarFile = db.c_str();
  hn.render(c);
  ASSERT_NE(Harness::settings(c).StarSource, nullptr);
  c.copy_from(*a);
  EXPECT_EQ(Harness::settings(c).StarSource, nullptr);
  EXPECT_GT(harness::sum(hn.render(c).red), 0.0);
}

TEST(VantrelModule, ChangeIdFollowsTheChain) {
  Harness hn;
  host::FilterInstance f(*hn.server);
  vantrel& v = Harness::settings(f);
  v.ParentID = host::Host::to_id(0xA);
  f.change_ids({{0xA, 0xB}, {0xB, 0xC}});
  EXPECT_EQ(v.ParentID, host::Host::to_id(0xC));
  f.change_ids({{0xC, 0xD}, {0xD, 0xC}});
  EXPECT_EQ(v.ParentID, host::Host::to_id(0xC));
  // A list whose first old id is null is empty: nothing changes.
  const VHItemID list[] = {
      nullptr, host::Host::to_id(0xE), host::Host::to_id(0xC), host::Host::to_id(0xF), nullptr,
      nullptr};
  hn.server->handler().item->change_id(f.handle(), list);
  EXPECT_EQ(v.ParentID, host::Host::to_id(0xC));
}

TEST(VantrelModule, ProductVersionChoosesTheClock) {
  // The camera pans during the first second. A host of version 9 or more is
  // asked the frame number; an older one hands exposure times, here 1 second.
  const double kOffset = 20.0;
  auto x_with = [&](uint32_t product) {
    Harness hn;
    hn.host.product_info = product;
    hn.cam->motion.rotation[0].set(0.0, 0.0);
    hn.cam->motion.rotation[0].set(1.0, kOffset);
    host::ImageFilterServer server(*hn.library, "Vantrel");  // activated under this host version
    host::FilterInstance f(server);
    Harness::settings(f).StarFile = hn.db({harness::ahead(kOffset, 0)}).c_str();
    Harness::settings(f).sRGBFrameBuffer = 0;
    host::FrameImage image(hn.host.scene.render.width, hn.host.scene.render.height);
    host::Progress progress;
    host::FrameAccess access(image, 0, 1.0, 1.0, progress);
    f.process(access.access());
    double cx, cy;
    harness::centroid(image, cx, cy);
    return cx;
  };
  Harness geometry;
  const double at_frame = geometry.perspective_x(kOffset);  // camera still at frame 0
  const double at_access = geometry.perspective_x(0.0);     // camera turned onto the star
  for (uint32_t version : {0u, 8u, 9u, 15u}) {
    const double x = x_with(version << 20);
    const double want = version >= 9 ? at_frame : at_access;
    EXPECT_NEAR(x, want, 0.05) << "version " << version;
  }
}

namespace {

// What a misbehaving host service throws, by kind.

}  // namespace

// Nothing unwinds into the host: the plug-in's own failures and whatever a
// host service throws through it are told (frames to the host's messages,
// the rest to the user) and the entry returns its neutral answer. Frames
// are drawn in three bands of rows, so that a failure on a band's own thread
// is among them.
TEST(VantrelModule, NoExceptionReachesTheHost) {
  const harness::ThreadsInEnvironment bands("3");
  Harness hn;
  auto f = hn.instance(hn.db({harness::ahead(0, 0)}));
  Harness::settings(*f).Projection = 3;
  const host::FrameImage unknown = hn.render(*f, 0, 0.25f);
  ASSERT_EQ(hn.host.messages.size(), 1u);
  EXPECT_EQ(hn.host.messages[0].kind, host::Message::Error);
  EXPECT_EQ(hn.host.messages[0].first.rfind("Vantrel: unknown projection", 0), 0u)
      << hn.host.messages[0].first;
  for (float v : unknown.red) ASSERT_EQ(v, 0.25f);  // the frame stays as rendered
  // The database was rewound on the way out: the next frame renders.
  Harness::settings(*f).Projection = 0;
  EXPECT_GT(harness::sum(hn.render(*f).red), 0.0);

  // No camera in the scene.
  Harness empty;
  empty.host.scene = host::Scene();
  auto g = empty.instance(empty.db({harness::ahead(0, 0)}));
  empty.render(*g);
  ASSERT_EQ(empty.host.messages.size(), 1u);
  EXPECT_EQ(empty.host.messages[0].first.rfind("Vantrel: no camera?", 0), 0u);

  // The host is C code and throws nothing: it fails the plug-in by answering
  // null or an error, and the plug-in's own allocations may fail. No exception
  // is thrown across the module boundary here: with a runtime in each module
  // (mingw's 32-bit builds) none could cross it.
  // A frame whose host hands out no lines: read as an empty sky, and the
  // frame is written all the same.
  hn.host.messages.clear();
  host::FrameImage image(200, 100);
  const host::Progress no_progress;  // FrameAccess keeps a reference to it
  {
    host::FrameAccess access(image, 0, 0, 0, no_progress);
    VHFilterAccess blind = *access.access();
    blind.get_line = [](const VHFilterAccess*, int, int) -> const float* { return nullptr; };
    f->process(&blind);
  }
  EXPECT_TRUE(hn.host.messages.empty());
  EXPECT_GT(harness::sum(image.red), 0.0);

  // A frame larger than the plug-in can hold: its allocation fails inside the
  // plug-in, which says so and leaves the frame as it was.
  hn.host.messages.clear();
  host::FrameAccess access(image, 0, 0, 0, no_progress);
  VHFilterAccess huge = *access.access();
  // More than any address space holds: refused before memory is asked for,
  // which a memory checker that cannot fail an allocation needs.
  huge.width = huge.height = sizeof(void*) == 4 ? 16384 : 1 << 30;
  huge.get_line = [](const VHFilterAccess*, int, int) -> const float* { return nullptr; };
  huge.set_rgb = [](const VHFilterAccess*, int, int, const float*) { ADD_FAILURE() << "written"; };
  f->process(&huge);
  ASSERT_EQ(hn.host.messages.size(), 1u);
  EXPECT_EQ(hn.host.messages[0].kind, host::Message::Error);
  EXPECT_EQ(hn.host.messages[0].first, "Vantrel: Out of memory");
  // The next frame renders.
  hn.host.messages.clear();
  EXPECT_GT(harness::sum(hn.render(*f).red), 0.0);
  EXPECT_TRUE(hn.host.messages.empty());

  // Settings whose values the host cannot read keep what they were.
  Harness::settings(*f).StarSize = 3.5;
  host::LoadState load(host::parse_blocks("StarSize 3\nBlurSegs 4\n", "test"));
  load.state()->read_fp = [](void*, float*, int) -> int { return -1; };
  load.state()->read_i4 = [](void*, int32_t*, int) -> int { return 0; };
  testing::internal::CaptureStderr();
  hn.server->handler().inst->load(f->handle(), load.state());
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  EXPECT_EQ(Harness::settings(*f).StarSize, 3.5);

  host::Host& current = *host::Host::current();  // the one lookups reach
  current.withheld.insert(VH_FILE_IO);
  testing::internal::CaptureStderr();
  const VHServerRecord& server = hn.library->server(VH_CLASS_IMAGE_FILTER, "Vantrel");
  VHInstanceFuncs inst{};
  VHImageFilterHandler record{&inst, nullptr, nullptr, nullptr};
  // An activation whose host lacks a service it needs fails, and says nothing false.
  EXPECT_EQ(server.activate(VH_INTERFACE_VERSION, host::Host::global_lookup, &record, nullptr),
            VH_ACTIVATE_FAILED);
  EXPECT_EQ(server.activate(
                VH_INTERFACE_VERSION, [](const char*, int) -> void* { return nullptr; }, &record,
                nullptr),
            VH_ACTIVATE_FAILED);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  current.withheld.clear();
  EXPECT_EQ(server.activate(VH_INTERFACE_VERSION, host::Host::global_lookup, &record, nullptr),
            VH_ACTIVATE_OK);
}

TEST(VantrelModule, ActivationReadsTheConfiguration) {
  Harness hn;
  // No file at the first activation: written with the defaults, no database.
  EXPECT_EQ(testing_support::read_bytes(hn.dir.file("plugin/vantrel.ini")),
            "VantrelVersion 1\r\nDialogX -9999\r\nDialogY -9999\r\n");
  {
    host::FilterInstance f(*hn.server);
    EXPECT_TRUE(Harness::settings(f).StarFile.empty());
  }
  // The default database beside the plug-in: later activations and new instances take it.
  const std::string db = hn.dir.file("plugin/hipparcos3D.stars");
  harness::write_db(hn.host, db, {harness::ahead(0, 0)});
  testing_support::write_bytes(hn.dir.file("plugin/vantrel.ini"), "VantrelVersion 1\r\n");
  host::ImageFilterServer again(*hn.library, "Vantrel");
  host::FilterInstance f(again);
  EXPECT_EQ(Harness::settings(f).StarFile, String(db.c_str()));
  EXPECT_TRUE(Harness::settings(f).StarFileIs3D);
  EXPECT_EQ(testing_support::read_bytes(hn.dir.file("plugin/vantrel.ini")), "VantrelVersion 1\r\n");
}

TEST(VantrelModule, UnreadableConfigurationFailsTheActivation) {
#ifdef _WIN32
  GTEST_SKIP() << harness::kNoReadFailure;
#endif
  Harness hn;
  const std::string ini = hn.dir.file("plugin/vantrel.ini");
  std::remove(ini.c_str());
  testing_support::make_dirs(ini);
  testing::internal::CaptureStderr();
  VHInstanceFuncs inst{};
  VHImageFilterHandler record{&inst, nullptr, nullptr, nullptr};
  EXPECT_EQ(host::activate(hn.library->server(VH_CLASS_IMAGE_FILTER, "Vantrel"), &record),
            VH_ACTIVATE_FAILED);
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(err.rfind("Error: ReadFile:\n(\"Is a directory\")", 0), 0u) << err;
}
