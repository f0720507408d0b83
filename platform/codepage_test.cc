#include "platform/codepage.h"

#include <gtest/gtest.h>

namespace platform {
namespace {

TEST(CodepageTest, DoubleByteRoundTrip) {
  std::u16string w;
  ASSERT_TRUE(ToUtf16(936, "a\xD6\xD0", &w));
  EXPECT_EQ(w, u"a\u4E2D");
  std::string s;
  bool lossy = false;
  ASSERT_TRUE(FromUtf16(936, w, &s, &lossy));
  EXPECT_EQ(s, "a\xD6\xD0");
  EXPECT_FALSE(lossy);
}

TEST(CodepageTest, UnrepresentableCharactersAreReported) {
  std::string s;
  bool lossy = false;
  ASSERT_TRUE(FromUtf16(1252, u"x\u4E2Dy\u00E9", &s, &lossy));
  EXPECT_TRUE(lossy);
  EXPECT_EQ(s.size(), 4u);  // one default character in place of the ideograph
  EXPECT_EQ(s[0], 'x');
  EXPECT_EQ(s.substr(2), "y\xE9");
}

TEST(CodepageTest, Utf8AndUnknownCodePages) {
  std::u16string w;
  ASSERT_TRUE(ToUtf16(65001, "\xC3\xA9\xF0\x9F\x98\x80", &w));
  EXPECT_EQ(w, u"\u00E9\U0001F600");
  std::string s;
  bool lossy = false;
  ASSERT_TRUE(FromUtf16(65001, w, &s, &lossy));
  EXPECT_EQ(s, "\xC3\xA9\xF0\x9F\x98\x80");
  ASSERT_TRUE(ToUtf16(65001, "a\xFF" "b", &w));  // an invalid byte does not stop the rest
  EXPECT_EQ(w.front(), u'a');
  EXPECT_EQ(w.back(), u'b');
  EXPECT_FALSE(ToUtf16(12345, "x", &w));
  EXPECT_FALSE(FromUtf16(12345, u"x", &s, &lossy));
}

TEST(CodepageTest, FlagsAndLeadBytes) {
  for (unsigned cp : {65000u, 65001u, 50220u, 50229u, 52936u, 54936u, 57002u, 57011u}) {
    EXPECT_TRUE(TakesNoConversionFlags(cp)) << cp;
  }
  for (unsigned cp : {1252u, 936u, 57001u, 57012u}) EXPECT_FALSE(TakesNoConversionFlags(cp)) << cp;
  bool lead[256];
  DoubleByteLeads(936, lead);
  EXPECT_TRUE(lead[0x81]);
  EXPECT_TRUE(lead[0xFE]);
  EXPECT_FALSE(lead[0x41]);
  EXPECT_FALSE(lead[0x80]);
  DoubleByteLeads(1252, lead);
  for (bool b : lead) EXPECT_FALSE(b);
  unsigned ansi = AnsiCodePage();
  EXPECT_NE(ansi, 0u);
}

}  // namespace
}  // namespace platform
