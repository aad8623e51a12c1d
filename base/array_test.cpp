#include "base/array.h"

#include <gtest/gtest.h>

#include <string>

TEST(ByteArray, GrowthRule) {
  ByteArray a;
  a.reserve(5);
  EXPECT_EQ(a.capacity, 32u);
  a.reserve(33);
  EXPECT_EQ(a.capacity, 64u);
  ByteArray b;
  b.reserve(32);
  EXPECT_EQ(b.capacity, 32u);
  b.reserve(200);
  EXPECT_EQ(b.capacity, 256u);
  ByteArray c;
  c.reserve(1000);
  EXPECT_EQ(c.capacity, 1000u);
}

TEST(ByteArray, SpuriousReallocWarnsAndChangesNothing) {
  ByteArray a;
  a.reserve(40);
  a.length = 10;
  char* bytes = a.bytes;
  testing::internal::CaptureStderr();
  a.realloc(40);
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(err, "warning: spurious realloc\n");
  EXPECT_EQ(a.bytes, bytes);
  EXPECT_EQ(a.capacity, 40u);
  EXPECT_EQ(a.length, 10u);
}

TEST(ByteArray, CompactAndRelease) {
  ByteArray a;
  a.compact();
  EXPECT_EQ(a.bytes, nullptr);
  EXPECT_EQ(a.capacity, 0u);
  a.reserve(100);
  a.length = 0;
  a.compact();
  EXPECT_EQ(a.bytes, nullptr);
  EXPECT_EQ(a.capacity, 0u);
  a.reserve(100);
  a.length = 7;
  a.compact();
  EXPECT_EQ(a.capacity, 7u);
  EXPECT_EQ(a.length, 7u);
}

TEST(ByteArray, ImpossibleSizeFailsWithoutChange) {
  ByteArray a;
  a.reserve(64);
  a.length = 3;
  char* bytes = a.bytes;
  size_t huge = static_cast<size_t>(-1) - 64;
  try {
    a.realloc(huge);
    FAIL() << "allocation of " << huge << " bytes succeeded";
  } catch (const StrXception& e) {
    std::string expected = "out of memory (current size 64 bytes, failed allocation of " +
                           std::to_string(huge) + " bytes)";
    EXPECT_EQ(std::string(e.message.c_str()).rfind(expected, 0), 0u) << e.message.c_str();
  }
  EXPECT_EQ(a.bytes, bytes);
  EXPECT_EQ(a.capacity, 64u);
  EXPECT_EQ(a.length, 3u);
}

TEST(Array, StringsSurviveGrowthAndDieInReverse) {
  Array<String> a;
  for (int i = 0; i < 100; ++i) a.append(String::format("star %d", i));
  EXPECT_EQ(a.len(), 100u);
  // 32 bytes first, then doubling up to 100 pointer-sized elements.
  EXPECT_EQ(a.capacity, sizeof(void*) == 8 ? 1024u : 512u);
  for (int i = 0; i < 100; ++i) EXPECT_EQ(a[i], String::format("star %d", i));
  a.clear();
  EXPECT_EQ(a.len(), 0u);
  EXPECT_EQ(a.bytes, nullptr);
}

TEST(Array, AppendingOwnElementWhileGrowing) {
  Array<String> a;
  a.append("first");
  for (int i = 0; i < 10; ++i) a.append(a[0]);  // crosses several reallocations
  ASSERT_EQ(a.len(), 11u);
  for (const String& s : a) EXPECT_STREQ(s.c_str(), "first");
}

TEST(Array, DestroysLastFirst) {
  static std::string order;
  struct Noisy {
    char tag;
    Noisy(char t) : tag(t) {}
    Noisy(const Noisy& o) = default;
    ~Noisy() { order += tag; }
  };
  order.clear();
  {
    Array<Noisy> a;
    a.append(Noisy('a'));
    a.append(Noisy('b'));
    a.append(Noisy('c'));
    order.clear();  // temporaries above
  }
  EXPECT_EQ(order, "cba");
}

// Moving an array hands over its storage; the elements a moved-to array held
// before are destroyed (the sanitizer build's leak checker sees any that are not).
TEST(Array, MovesHandOverTheStorage) {
  Array<String> a;
  a.append("one");
  a.append("two");
  const char* storage = a.bytes;
  Array<String> b(static_cast<Array<String>&&>(a));
  EXPECT_EQ(b.bytes, storage);
  EXPECT_EQ(a.bytes, nullptr);
  EXPECT_EQ(a.len(), 0u);
  Array<String> c;
  c.append("old");
  c = static_cast<Array<String>&&>(b);
  ASSERT_EQ(c.len(), 2u);
  EXPECT_STREQ(c[1].c_str(), "two");
  EXPECT_EQ(b.len(), 0u);
}
