#include "host/core/blocks.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>

namespace {

using host::LoadState;
using host::SaveState;

const VHBlockID kTable[] = {
    {VH_BLOCK_ID('I', 'N', 'T', 'S'), "Ints"},    {VH_BLOCK_ID('F', 'L', 'T', 'S'), "Floats"},
    {VH_BLOCK_ID('S', 'T', 'R', 'S'), "Strings"}, {VH_BLOCK_ID('G', 'R', 'U', 'P'), "Group"},
    {VH_BLOCK_ID('R', 'A', 'W', 'T'), "Raw"},     {VH_BLOCK_ID('P', 'R', 'O', 'J'), "Projection"},
    {VH_BLOCK_ID('E', 'N', 'D', 'I'), "END"},     {0, nullptr}};
const VHBlockID* id(const char* token) {
  for (const VHBlockID* e = kTable; e->id; ++e)
    if (!strcmp(e->token, token)) return e;
  return nullptr;
}
const VHBlockID kInner[] = {{VH_BLOCK_ID('P', 'E', 'R', 'S'), "Perspective"},
                            {VH_BLOCK_ID('H', 'E', 'M', 'I'), "Hemispherical"},
                            {0, nullptr}};

LoadState reader(const std::string& text) {
  return LoadState(host::parse_blocks(text, "test.blocks"));
}

}  // namespace

TEST(Blocks, ValuesRoundTripExactly) {
  SaveState save(VH_IO_TEXT);
  st_LWSaveState* s = save.state();
  const int32_t ints[] = {0, -1, INT32_MAX, INT32_MIN};
  const float floats[] = {0.001f,
                          -0.0f,
                          1e-38f,
                          3.4028235e38f,
                          0.1f,
                          16777217.0f,
                          std::numeric_limits<float>::denorm_min()};
  const std::string strings[] = {"",
                                 "with spaces",
                                 "quote \" and back\\slash",
                                 "C:\\stars\\h.stars",
                                 "caf\xC3\xA9 \xE9\xFF",
                                 "tab\tline\nbreak\r",
                                 "{",
                                 "}"};
  s->begin_block(s->data, id("Ints"), 1);
  s->write_i4(s->data, ints, 4);
  s->end_block(s->data);
  s->begin_block(s->data, id("Floats"), 1);
  s->write_fp(s->data, floats, 7);
  s->end_block(s->data);
  for (const std::string& str : strings) {
    s->begin_block(s->data, id("Strings"), 1);
    s->write_str(s->data, str.c_str());
    s->end_block(s->data);
  }
  EXPECT_TRUE(save.error().empty()) << save.error();
  EXPECT_TRUE(save.balanced());

  LoadState load = reader(save.text());
  st_LWLoadState* l = load.state();
  ASSERT_EQ(l->find_block(l->data, kTable), id("Ints")->id);
  int32_t got_i[4] = {};
  EXPECT_EQ(l->read_i4(l->data, got_i, 4), 4);
  EXPECT_EQ(0, memcmp(got_i, ints, sizeof ints));
  l->end_block(l->data);
  ASSERT_EQ(l->find_block(l->data, kTable), id("Floats")->id);
  float got_f[7] = {};
  EXPECT_EQ(l->read_fp(l->data, got_f, 7), 7);
  for (int i = 0; i < 7; ++i) EXPECT_EQ(0, memcmp(&got_f[i], &floats[i], 4)) << i;
  l->end_block(l->data);
  for (const std::string& str : strings) {
    ASSERT_EQ(l->find_block(l->data, kTable), id("Strings")->id);
    char buf[4096];
    EXPECT_EQ(l->read_str(l->data, buf, sizeof buf), static_cast<int>(str.size()));
    EXPECT_EQ(std::string(buf), str);
    l->end_block(l->data);
  }
  EXPECT_EQ(l->find_block(l->data, kTable), 0u);
  EXPECT_EQ(l->find_block(l->data, kTable), 0u);
  EXPECT_TRUE(load.error().empty()) << load.error();
}

TEST(Blocks, NestingSkippingAndTheEnd) {
  SaveState save(VH_IO_TEXT);
  st_LWSaveState* s = save.state();
  const int32_t one = 1, two = 2;
  s->begin_block(s->data, id("Group"), 0);
  s->begin_block(s->data, id("Ints"), 1);
  s->write_i4(s->data, &one, 1);
  s->end_block(s->data);
  EXPECT_EQ(s->depth(s->data), 1);
  s->end_block(s->data);
  s->begin_block(s->data, id("Ints"), 1);
  s->write_i4(s->data, &two, 1);
  s->end_block(s->data);
  EXPECT_EQ(save.text(), "Group {\n  Ints 1\n}\nInts 2\n");

  // A reader that does not know "Group" skips it, contents and all.
  const VHBlockID only_ints[] = {kTable[0], {0, nullptr}};
  LoadState load = reader(save.text());
  st_LWLoadState* l = load.state();
  ASSERT_EQ(l->find_block(l->data, only_ints), id("Ints")->id);
  int32_t v = 0;
  EXPECT_EQ(l->read_i4(l->data, &v, 1), 1);
  EXPECT_EQ(v, 2);
  // Reading past a leaf's values gives nothing and leaves the target alone.
  EXPECT_EQ(l->read_i4(l->data, &v, 1), 0);
  EXPECT_EQ(v, 2);
  l->end_block(l->data);
  EXPECT_EQ(l->find_block(l->data, only_ints), 0u);

  // One that knows it goes inside; the search stops at the group's end.
  LoadState again = reader(save.text());
  l = again.state();
  ASSERT_EQ(l->find_block(l->data, kTable), id("Group")->id);
  EXPECT_EQ(l->depth(l->data), 1);
  ASSERT_EQ(l->find_block(l->data, kTable), id("Ints")->id);
  l->end_block(l->data);
  EXPECT_EQ(l->find_block(l->data, kTable), 0u);
  l->end_block(l->data);
  ASSERT_EQ(l->find_block(l->data, kTable), id("Ints")->id);
}

TEST(Blocks, InlineBlocksAndRawContent) {
  // An empty block begun inside a leaf is written as a keyword on its line,
  // and found again inside that leaf; one end call closes the outer leaf.
  SaveState save(VH_IO_TEXT);
  st_LWSaveState* s = save.state();
  s->begin_block(s->data, id("Projection"), 1);
  s->begin_block(s->data, &kInner[1], 1);
  s->end_block(s->data);
  s->end_block(s->data);
  s->begin_block(s->data, id("Raw"), 1);
  s->write(s->data, "\"C:\\old path\\h.stars\"", 21);
  s->end_block(s->data);
  EXPECT_EQ(save.text(), "Projection Hemispherical\nRaw \"C:\\old path\\h.stars\"\n");

  LoadState load = reader(save.text());
  st_LWLoadState* l = load.state();
  ASSERT_EQ(l->find_block(l->data, kTable), id("Projection")->id);
  EXPECT_EQ(l->find_block(l->data, kInner), kInner[1].id);
  l->end_block(l->data);
  ASSERT_EQ(l->find_block(l->data, kTable), id("Raw")->id);
  char buf[4096];
  int n = l->read(l->data, buf, sizeof buf);
  EXPECT_EQ(std::string(buf, n), "\"C:\\old path\\h.stars\"");
  EXPECT_EQ(l->read(l->data, buf, sizeof buf), 0);
  l->end_block(l->data);
  EXPECT_EQ(l->find_block(l->data, kTable), 0u);
  // A raw line break would break the line structure: refused, not written.
  SaveState bad(VH_IO_TEXT);
  bad.state()->begin_block(bad.state()->data, id("Raw"), 1);
  bad.state()->write(bad.state()->data, "a\nb", 3);
  EXPECT_FALSE(bad.error().empty());
}

TEST(Blocks, MalformedTextIsAClearError) {
  auto error_of = [](const std::string& text) {
    try {
      host::parse_blocks(text, "scene.vsc");
    } catch (const host::HostError& e) {
      return std::string(e.what());
    }
    return std::string("(accepted)");
  };
  EXPECT_EQ(error_of("Group {\n  Ints 1\n"),
            "scene.vsc:1: block 'Group' is not closed (expected '}' before the end of the text)");
  EXPECT_EQ(error_of("Ints 1\n}\n"), "scene.vsc:2: '}' without an open block");
  EXPECT_EQ(error_of("# comment\n{\n"), "scene.vsc:2: expected a keyword before '{'");
  EXPECT_EQ(error_of("Group {\n}\n# fine\n"), "(accepted)");

  // Bad values are not garbage: the read fails and says where.
  LoadState load = reader("Ints twelve\nStrings \"unterminated\nFloats 1.5x\n");
  st_LWLoadState* l = load.state();
  int32_t v = 7;
  ASSERT_NE(l->find_block(l->data, kTable), 0u);
  EXPECT_EQ(l->read_i4(l->data, &v, 1), 0);
  EXPECT_EQ(v, 7);
  EXPECT_EQ(load.error(), "line 1: expected an integer, found 'twelve'");
  l->end_block(l->data);
  ASSERT_NE(l->find_block(l->data, kTable), 0u);
  char buf[64] = "x";
  EXPECT_EQ(l->read_str(l->data, buf, sizeof buf), -1);
  EXPECT_STREQ(buf, "");
  l->end_block(l->data);
  ASSERT_NE(l->find_block(l->data, kTable), 0u);
  float f = 2.0f;
  EXPECT_EQ(l->read_fp(l->data, &f, 1), 0);
  EXPECT_EQ(f, 2.0f);
  // Values outside a leaf are a misuse, not a crash.
  LoadState top = reader("Group {\n}\n");
  EXPECT_EQ(top.state()->read_i4(top.state()->data, &v, 1), 0);
  EXPECT_EQ(top.error(), "read_i4 outside a leaf block");
}

TEST(Blocks, StringsAreCutToTheBuffer) {
  LoadState load = reader("Strings \"abcdef\"\n");
  st_LWLoadState* l = load.state();
  ASSERT_NE(l->find_block(l->data, kTable), 0u);
  char buf[4];
  EXPECT_EQ(l->read_str(l->data, buf, sizeof buf), 3);
  EXPECT_STREQ(buf, "abc");
}
