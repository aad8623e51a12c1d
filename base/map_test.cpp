#include "base/map.h"

#include <gtest/gtest.h>

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
