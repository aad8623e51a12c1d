#include "base/map.h"

#include <gtest/gtest.h>

#include <new>

TEST(VoidPtrMap, BucketCountsFromHints) {
  EXPECT_EQ(VoidPtrMap(0).bucket_count(), 1);
  EXPECT_EQ(VoidPtrMap(1).bucket_count(), 1);
  EXPECT_EQ(VoidPtrMap(2).bucket_count(), 2);
  EXPECT_EQ(VoidPtrMap(16).bucket_count(), 16);
  EXPECT_EQ(VoidPtrMap(17).bucket_count(), 32);
}

TEST(VoidPtrMap, FirstInsertedWinsAndWalkMayFree) {
  struct Node : VoidPtrMap::Node {
    int value;
  };
  VoidPtrMap map(4);
  int k1, k2;
  Node* a = new Node;
  a->key = &k1;
  a->value = 1;
  Node* b = new Node;
  b->key = &k1;
  b->value = 2;
  Node* c = new Node;
  c->key = &k2;
  c->value = 3;
  map.insert(6, a);
  map.insert(6, b);
  map.insert(1, c);
  EXPECT_EQ(map.find(6, &k1), a);
  EXPECT_EQ(map.find(1, &k2), c);
  EXPECT_EQ(map.find(6, &k2), nullptr);  // another bucket (6 & 3 vs 1 & 3)
  EXPECT_EQ(map.find(1, &k1), nullptr);

  struct Stop : VoidPtrMap::ForEachFunc {
    int seen = 0;
    int operator()(VoidPtrMap::Node*) override { return ++seen == 2; }
  } stop;
  EXPECT_EQ(map.for_each(stop).seen, 2);

  struct Free : VoidPtrMap::ForEachFunc {
    int freed = 0;
    int operator()(VoidPtrMap::Node* n) override {
      delete static_cast<Node*>(n);
      ++freed;
      return 0;
    }
  } free_all;
  EXPECT_EQ(map.for_each(free_all).freed, 3);
}

TEST(InString, InterningIsByContent) {
  InString a("Vantrel"), b(String("Vantrel")), c("vantrel");
  EXPECT_EQ(a, b);
  EXPECT_EQ(a.handle(), b.handle());
  EXPECT_NE(a, c);
  EXPECT_STREQ(c.c_str(), "vantrel");
  EXPECT_EQ(a.hash(), static_cast<uint32_t>(reinterpret_cast<uintptr_t>(a.handle())) >> 4);
}

TEST(InString, HighBytesFallInTheirBucket) {
  int before = intern_bucket_of(26);
  InString e("\xE9");
  EXPECT_EQ(intern_bucket_of(26), before + 1);
  InString again("\xE9");
  EXPECT_EQ(intern_bucket_of(26), before + 1);
  EXPECT_EQ(e, again);
}

TEST(PtrMap, StringValuesCopyAndRelease) {
  PtrMap<InString, String> map(16);
  EXPECT_EQ(map.bucket_count(), 16);
  map.insert("StarFile", "C:/stars.bin");
  map.insert("StarFile", "second");
  map.insert("Version", "2");
  ASSERT_NE(map.find("StarFile"), nullptr);
  EXPECT_STREQ(map.find("StarFile")->c_str(), "C:/stars.bin");
  EXPECT_EQ(map.find("Missing"), nullptr);

  PtrMap<InString, String> copy(map);
  EXPECT_EQ(copy.bucket_count(), 16);
  *map.find("Version") = "changed";
  EXPECT_STREQ(copy.find("Version")->c_str(), "2");
  EXPECT_STREQ(copy.find("StarFile")->c_str(), "C:/stars.bin");

  struct Count : VoidPtrMap::ForEachFunc {
    int n = 0;
    int operator()(VoidPtrMap::Node*) override { return ++n, 0; }
  } count;
  EXPECT_EQ(copy.for_each(count).n, 3);  // duplicates are kept, in order
}

// Many keys: the map and the intern table grow with the load, and nothing
// found changes: every key finds its oldest value, in every bucket count.
TEST(PtrMap, GrowsWithItsLoadAndKeepsTheOldestFirst) {
  PtrMap<InString, String> map(16);
  const int n = 20000;
  for (int i = 0; i < n; ++i) map.insert(String::format("key%d", i), String::format("%d", i));
  for (int i = 0; i < n; i += 7) map.insert(String::format("key%d", i), "later");
  EXPECT_GT(map.bucket_count(), 16);
  EXPECT_LE(map.node_count(), 4 * map.bucket_count());
  for (int i = 0; i < n; ++i) {
    const String* v = map.find(String::format("key%d", i));
    ASSERT_NE(v, nullptr) << i;
    ASSERT_EQ(static_cast<int>(*v), i);
  }
  PtrMap<InString, String> copy(map);
  EXPECT_EQ(copy.bucket_count(), map.bucket_count());
  EXPECT_EQ(static_cast<int>(*copy.find("key14")), 14);
  EXPECT_EQ(InString("key123"), InString(String("key123")));
}

// A copy that fails part-way frees the nodes it had already made.
namespace {
int copies_left = 0;
struct Fragile {
  const char* text;
  Fragile(const char* t) : text(t) {}  // NOLINT: built from the key's literal
  Fragile(const Fragile& o) : text(o.text) {
    if (copies_left-- == 0) throw std::bad_alloc();
  }
};
}  // namespace

TEST(PtrMap, FailedCopyLeaksNothing) {
  copies_left = 1000;
  PtrMap<InString, Fragile> map(4);
  for (const char* k : {"a", "b", "c", "d", "e"}) map.insert(k, k);
  copies_left = 2;  // the third copy fails; the leak checker of the sanitizer build sees the rest
  using FragileMap = PtrMap<InString, Fragile>;
  EXPECT_THROW(FragileMap{map}, std::bad_alloc);
  copies_left = 1000;
  PtrMap<InString, Fragile> copy(map);
  EXPECT_STREQ(copy.find("e")->text, "e");
}
