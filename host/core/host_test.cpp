#include "host/core/host.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstring>
#include <fstream>
#include <memory>

#include "testsupport/test_support.h"

using testing_support::TempDir;

TEST(Host, GlobalsByNameAndWithheld) {
  host::Host h;
  for (const char* name : {VH_SCENE_INFO, VH_CAMERA_INFO, VH_ITEM_INFO, VH_MESSAGES, VH_FILE_IO})
    EXPECT_NE(host::Host::global_lookup(name, 0), nullptr) << name;
  EXPECT_EQ(host::Host::global_lookup("No Such Global", 0), nullptr);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(host::Host::global_lookup(VH_PRODUCT_INFO, 0)), 11u << 20);
  h.withheld.insert(VH_CAMERA_INFO);
  h.product_info = 0;
  EXPECT_EQ(host::Host::global_lookup(VH_CAMERA_INFO, 0), nullptr);
  EXPECT_EQ(host::Host::global_lookup(VH_PRODUCT_INFO, 0), nullptr);
  {
    host::Host inner;  // the newest host answers while it lives
    EXPECT_NE(host::Host::global_lookup(VH_CAMERA_INFO, 0), nullptr);
  }
  EXPECT_EQ(host::Host::current(), &h);
}

TEST(Host, SceneInfoFollowsTheScene) {
  host::Host h;
  h.scene.render.width = 800;
  h.scene.render.height = 600;
  h.scene.render.fps = 30;
  h.scene.render.render_options = VH_ROPT_FIELDS | VH_ROPT_EVEN_FIELD_FIRST;
  host::Item& c1 = h.scene.add(host::ItemKind::Camera, "A");
  host::Item& c2 = h.scene.add(host::ItemKind::Camera, "B");
  auto* si = static_cast<const VHSceneInfo*>(h.global(VH_SCENE_INFO));
  EXPECT_EQ(si->frame_width, 800);
  EXPECT_EQ(si->fps, 30.0);
  EXPECT_EQ(si->region_x1, 799);
  EXPECT_EQ(si->region_y1, 599);
  EXPECT_EQ(si->render_options, unsigned{VH_ROPT_FIELDS | VH_ROPT_EVEN_FIELD_FIRST});
  EXPECT_EQ(host::Host::from_id(si->render_camera(si, 0.0)), c1.id);
  h.scene.render.camera = c2.id;
  h.scene.render.limited_region = true;
  h.scene.render.region_x0 = 10;
  h.scene.render.region_x1 = 20;
  si = static_cast<const VHSceneInfo*>(h.global(VH_SCENE_INFO));
  EXPECT_EQ(host::Host::from_id(si->render_camera(si, 0.0)), c2.id);
  EXPECT_EQ(si->region_x0, 10);
  EXPECT_EQ(si->region_x1, 20);
  EXPECT_TRUE(si->render_options & VH_ROPT_LIMITED_REGION);
}

TEST(Host, MessagesAreData) {
  host::Host h;
  auto* m = static_cast<const VHMessageFuncs*>(h.global(VH_MESSAGES));
  testing::internal::CaptureStderr();
  m->error(m, "Vantrel: Invalid star database file", "/tmp/100%s %n.stars");
  m->info(m, "plain", nullptr);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "error: Vantrel: Invalid star database file\n  /tmp/100%s %n.stars\ninfo: plain\n");
  ASSERT_EQ(h.messages.size(), 2u);
  EXPECT_EQ(h.messages[0].kind, host::Message::Error);
  EXPECT_EQ(h.messages[0].second, "/tmp/100%s %n.stars");
  EXPECT_EQ(h.messages[1].second, "");
}

TEST(Host, FileServiceRoundTripAndRefusals) {
  TempDir dir;
  host::Host h;
  h.echo_messages = false;
  auto* io = static_cast<const VHFileIOFuncs*>(h.global(VH_FILE_IO));
  const VHBlockID table[] = {{VH_BLOCK_ID('N', 'A', 'M', 'E'), "Name"}, {0, nullptr}};

  const std::string path = dir.file("settings.vbl");
  st_LWSaveState* s = io->open_save(io, path.c_str(), VH_IO_TEXT);
  ASSERT_NE(s, nullptr);
  s->begin_block(s->data, &table[0], 1);
  s->write_str(s->data, "Orion's \"belt\"");
  s->end_block(s->data);
  // Nothing reaches the file before the state is closed, and then all of it.
  EXPECT_FALSE(std::ifstream(path).good());
  EXPECT_EQ(io->close_save(io, s), 0);
  EXPECT_EQ(testing_support::read_bytes(path), "Name \"Orion's \\\"belt\\\"\"\n");

  st_LWLoadState* l = io->open_load(io, path.c_str(), VH_IO_TEXT);
  ASSERT_NE(l, nullptr);
  ASSERT_EQ(l->find_block(l->data, table), table[0].id);
  char buf[64];
  l->read_str(l->data, buf, sizeof buf);
  EXPECT_STREQ(buf, "Orion's \"belt\"");
  io->close_load(io, l);

  // Saving again replaces the file whole, on every platform.
  s = io->open_save(io, path.c_str(), VH_IO_TEXT);
  ASSERT_NE(s, nullptr);
  s->begin_block(s->data, &table[0], 1);
  s->write_str(s->data, "Vega");
  s->end_block(s->data);
  EXPECT_EQ(io->close_save(io, s), 0);
  EXPECT_EQ(testing_support::read_bytes(path), "Name \"Vega\"\n");

  // Binary mode hands out the file's bytes.
  testing_support::write_bytes(dir.file("raw.bin"), std::string("AB\0CD", 5));
  l = io->open_load(io, dir.file("raw.bin").c_str(), VH_IO_BINARY);
  ASSERT_NE(l, nullptr);
  EXPECT_EQ(l->read(l->data, buf, 3), 3);
  EXPECT_EQ(l->read(l->data, buf, 10), 2);
  EXPECT_EQ(l->read(l->data, buf, 10), 0);
  // "File Seek 1" moves it anywhere in the file, after reads ahead too; a
  // move outside the file is refused and leaves it where it was.
  auto* seek = static_cast<const VHFileSeek*>(h.global(VH_FILE_SEEK));
  ASSERT_NE(seek, nullptr);
  EXPECT_EQ(seek->size(seek, l), 5);
  EXPECT_EQ(seek->seek(seek, l, 1), 0);
  EXPECT_EQ(l->read(l->data, buf, 2), 2);
  EXPECT_EQ(std::string(buf, 2), std::string("B\0", 2));
  EXPECT_EQ(seek->seek(seek, l, 6), -1);
  EXPECT_EQ(seek->seek(seek, l, -1), -1);
  EXPECT_EQ(l->read(l->data, buf, 10), 2);
  EXPECT_EQ(std::string(buf, 2), "CD");
  EXPECT_EQ(seek->seek(seek, l, 5), 0);
  EXPECT_EQ(l->read(l->data, buf, 10), 0);
  io->close_load(io, l);
  l = io->open_load(io, path.c_str(), VH_IO_TEXT);
  EXPECT_EQ(seek->size(seek, l), -1);
  EXPECT_EQ(seek->seek(seek, l, 0), -1);
  io->close_load(io, l);
  EXPECT_EQ(seek->size(seek, l), -1);  // a state already closed

  EXPECT_EQ(io->open_load(io, dir.file("missing").c_str(), VH_IO_BINARY), nullptr);
  EXPECT_EQ(io->open_load(io, dir.file("missing").c_str(), VH_IO_TEXT), nullptr);
  EXPECT_EQ(io->open_save(io, dir.file("no/such/folder/x").c_str(), VH_IO_TEXT), nullptr);
  EXPECT_EQ(io->open_save(io, "", VH_IO_TEXT), nullptr);

  // A truncated text form is refused at open, with the file and line.
  testing_support::write_bytes(dir.file("cut.vbl"), "Group {\n  Name \"x\"\n");
  EXPECT_EQ(io->open_load(io, dir.file("cut.vbl").c_str(), VH_IO_TEXT), nullptr);
  ASSERT_FALSE(h.messages.empty());
  EXPECT_EQ(h.messages.back().first,
            dir.file("cut.vbl") +
                ":1: block 'Group' is not closed (expected '}' before the end of the text)");
}

TEST(Host, OlderHostEndingFirstLeavesTheNewestCurrent) {
  auto older = std::make_unique<host::Host>();
  auto newer = std::make_unique<host::Host>();
  older.reset();
  EXPECT_EQ(host::Host::current(), newer.get());
  EXPECT_NE(host::Host::global_lookup(VH_SCENE_INFO, 0), nullptr);
  newer.reset();
  EXPECT_EQ(host::Host::current(), nullptr);
  EXPECT_EQ(host::Host::global_lookup(VH_SCENE_INFO, 0), nullptr);
}

namespace {
// Bytes this process has read from files so far.
long long bytes_read() {
  std::ifstream io("/proc/self/io");
  std::string key;
  long long value = 0;
  while (io >> key >> value)
    if (key == "rchar:") return value;
  return -1;
}
}  // namespace

TEST(Host, BinaryLoadReadsWhatIsAskedAndRefusesFolders) {
  TempDir dir;
  host::Host h;
  h.echo_messages = false;
  auto* io = static_cast<const VHFileIOFuncs*>(h.global(VH_FILE_IO));
  // A large database whose header alone is asked for.
  const std::string path = dir.file("large.stars");
  testing_support::write_bytes(path, "VANTREL2" + std::string(24, '\0'));
  ASSERT_EQ(truncate(path.c_str(), 64 << 20), 0);
  const long long before = bytes_read();
  st_LWLoadState* l = io->open_load(io, path.c_str(), VH_IO_BINARY);
  ASSERT_NE(l, nullptr);
  char header[32];
  EXPECT_EQ(l->read(l->data, header, 32), 32);
  EXPECT_EQ(std::string(header, 8), "VANTREL2");
  io->close_load(io, l);
  EXPECT_LT(bytes_read() - before, 1 << 20);

  EXPECT_EQ(io->open_load(io, dir.path.c_str(), VH_IO_BINARY), nullptr);
  ASSERT_EQ(h.messages.size(), 1u);
  EXPECT_EQ(h.messages[0].kind, host::Message::Error);
  EXPECT_EQ(h.messages[0].first,
            "cannot open " + dir.path + ": it is a directory, not a regular file");
}
