#include "base/string.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

std::string last_caption, last_text;
void capture(const char* caption, const char* text) {
  last_caption = caption;
  last_text = text;
}

struct SinkGuard {
  SinkGuard() : old(set_report_sink(capture)) {}
  ~SinkGuard() { set_report_sink(old); }
  ReportSink old;
};

}  // namespace

TEST(String, ConstructionFormsAndEmptiness) {
  EXPECT_EQ(String(""), String());
  EXPECT_EQ(String("").text(), nullptr);
  EXPECT_EQ(String(nullptr).length(), 0u);
  EXPECT_EQ(String("abc", 0).text(), nullptr);
  EXPECT_STREQ(String("abcdef", 3).c_str(), "abc");
  // A count past an embedded NUL stops at the NUL.
  EXPECT_STREQ(String("ab\0cd", 5).c_str(), "ab");
  EXPECT_EQ(String("ab\0cd", 5).length(), 2u);

  String a("hello");
  String b(a);
  EXPECT_NE(a.text(), b.text());
  EXPECT_EQ(a, b);
  a.clear();
  EXPECT_EQ(a.text(), nullptr);
  EXPECT_STREQ(b.c_str(), "hello");
}

TEST(String, SelfAssignmentAndAliasedAppend) {
  String s("sky");
  const String& alias = s;
  s = alias;
  EXPECT_STREQ(s.c_str(), "sky");
  s = s.text();
  EXPECT_STREQ(s.c_str(), "sky");
  s += s;
  EXPECT_STREQ(s.c_str(), "skysky");
  s += s.c_str() + 3;
  EXPECT_STREQ(s.c_str(), "skyskysky");
}

TEST(String, AppendConcatenateCompare) {
  String s;
  s += "";
  EXPECT_EQ(s.text(), nullptr);
  s += 'a';
  s += String("bc");
  s += "d";
  EXPECT_STREQ(s.c_str(), "abcd");
  EXPECT_EQ(s.length(), 4u);
  EXPECT_STREQ((String("ab") + String("cd")).c_str(), "abcd");
  EXPECT_STREQ((String() + String("x")).c_str(), "x");
  EXPECT_NE(String("a"), String());
  EXPECT_NE(String("a"), String("A"));
  EXPECT_EQ(static_cast<int>(String("42x")), 42);
  EXPECT_EQ(static_cast<int>(String()), 0);
  EXPECT_EQ(static_cast<int>(String("-7")), -7);
}

TEST(String, HashValues) {
  EXPECT_EQ(String("a").hash(), 17138u);
  EXPECT_EQ(String("abc").hash(), 2281642u);
  EXPECT_EQ(String("\xE9").hash(), 4294963226u);
  EXPECT_EQ(static_cast<int32_t>(String("\xE9").hash()), -4070);
  EXPECT_EQ(String().hash(), 0u);
}

TEST(String, FormatGrowsPastTheFirstBuffer) {
  std::string hundred(100, 'x');
  String s = String::format("%s", hundred.c_str());
  EXPECT_EQ(s.length(), 100u);
  EXPECT_EQ(std::string(s.c_str()), hundred);
  std::string big(10000, 'y');
  EXPECT_EQ(String::format("<%s>", big.c_str()).length(), 10002u);
  EXPECT_STREQ(String::format("%d-%s", 7, "seven").c_str(), "7-seven");
}

TEST(Xception, StrXceptionMessageLayout) {
  // The message is the user's; where it was thrown is kept apart.
  try {
    THROW_STR("out of memory");
  } catch (const StrXception& e) {
    EXPECT_EQ(std::string(e.message.c_str()), "out of memory");
    const std::string where = std::string(VANTREL_FUNCTION) +
                              " (base/string_test.cpp:" + std::to_string(__LINE__ - 4) + ")";
    EXPECT_EQ(std::string(e.where.c_str()), where);
  }
  // The whole message is built at construction: a copy carries it unchanged.
  StrXception e(__FILE__, "f()", 1, "%s and %d%%", "text", 5);
  StrXception copy(e);
  EXPECT_STREQ(copy.message.c_str(), "text and 5%");
  EXPECT_STREQ(copy.where.c_str(), "f() (base/string_test.cpp:1)");
}

TEST(Xception, ReportsThroughTheSink) {
  SinkGuard guard;
  StrXception e("f.cpp", "void f()", 3, "%s", "");
  e.message.clear();
  e.report();
  EXPECT_EQ(last_caption, "Error");
  EXPECT_EQ(last_text, "");

  try {
    ASSERT(1 + 1 == 3);
    FAIL() << "ASSERT did not throw";
  } catch (const Xception& x) {
    x.report();
  }
  EXPECT_EQ(last_caption, "Assertion Failed");
  EXPECT_EQ(last_text.rfind("'1 + 1 == 3' in <", 0), 0u);
  EXPECT_NE(last_text.find("(base/string_test.cpp:"), std::string::npos);
}

TEST(Xception, AssertionTextIsCutAt4095) {
  SinkGuard guard;
  std::string long_expr(5000, 'e');
  AssertXception a(long_expr.c_str(), "file.cpp", "void g()", 9);
  a.report();
  EXPECT_EQ(last_text.size(), 4095u);
  EXPECT_EQ(last_text.substr(0, 3), "'ee");
}

TEST(Warning, OneLineInTheUsersWords) {
  testing::internal::CaptureStderr();
  warning("void h(int)", "odd value %d", 3);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "warning: odd value 3\n");
}
