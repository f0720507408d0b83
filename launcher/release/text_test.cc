#include "launcher/release/text.h"

#include <gtest/gtest.h>

namespace release {
namespace {

TEST(ReleaseText, CaseHexAndDecimal) {
  EXPECT_TRUE(SameAsciiText("System/Core.u", "SYSTEM/core.U"));
  EXPECT_FALSE(SameAsciiText("a", "ab"));
  EXPECT_FALSE(SameAsciiText("\xC3\xA9", "\xC3\x89"));  // only ASCII letters fold

  const unsigned char bytes[] = {0x00, 0x9F, 0xA0, 0xFF};
  EXPECT_EQ(UpperHex(bytes, sizeof bytes), "009FA0FF");
  EXPECT_EQ(UpperHex(bytes, 0), "");

  EXPECT_TRUE(IsUpperHex64(std::string(64, 'A')));
  EXPECT_FALSE(IsUpperHex64(std::string(64, 'a')));
  EXPECT_FALSE(IsUpperHex64(std::string(63, '0')));
  EXPECT_FALSE(IsUpperHex64(std::string(63, '0') + "G"));

  uint64_t v = 7;
  EXPECT_TRUE(ParseDecimal("0", &v));
  EXPECT_EQ(v, 0u);
  EXPECT_TRUE(ParseDecimal("9999999999999999999", &v));
  EXPECT_EQ(v, 9999999999999999999ull);
  v = 7;
  for (const char* bad : {"", "+1", "-1", " 1", "1 ", "1e3", "0x10", "10000000000000000000"}) {
    EXPECT_FALSE(ParseDecimal(bad, &v)) << bad;
    EXPECT_EQ(v, 7u) << bad;
  }
  EXPECT_TRUE(ParseDecimal("18", &v, 18));
  EXPECT_FALSE(ParseDecimal("19", &v, 18));
}

}  // namespace
}  // namespace release
