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

TEST(ReleaseText, UtcTimes) {
  int64_t t = -1;
  ASSERT_TRUE(ParseUtcTime("1970-01-01T00:00:00Z", &t));
  EXPECT_EQ(t, 0);
  ASSERT_TRUE(ParseUtcTime("2028-02-29T23:59:59Z", &t));
  EXPECT_EQ(t, 1835481599);
  ASSERT_TRUE(ParseUtcTime("2100-03-01T00:00:00Z", &t));
  EXPECT_EQ(t, 4107542400);
  // Every field in its width, zeros in front; a negative time is the epoch.
  EXPECT_EQ(FormatUtcTime(0), "1970-01-01T00:00:00Z");
  EXPECT_EQ(FormatUtcTime(-5), "1970-01-01T00:00:00Z");
  EXPECT_EQ(FormatUtcTime(1835481599), "2028-02-29T23:59:59Z");
  EXPECT_EQ(FormatUtcTime(int64_t{31536000} + 86400 * 40 + 3600 * 9 + 60 * 5 + 7), "1971-02-10T09:05:07Z");
  EXPECT_EQ(FormatUtcTime(int64_t{253402300800}), "10000-01-01T00:00:00Z");
  // Every format round-trips through a span of days, leap years included.
  for (int64_t s = 0; s < int64_t{4107542400}; s += 86400 * 37 + 3671) {
    int64_t back = -1;
    ASSERT_TRUE(ParseUtcTime(FormatUtcTime(s), &back)) << FormatUtcTime(s);
    EXPECT_EQ(back, s) << FormatUtcTime(s);
  }
  t = 5;
  for (const char* bad : {"", "2026-12-08T10:00:00", "2026-12-08 10:00:00Z", "2026-12-08T10:00:00z",
                          "2026-13-01T00:00:00Z", "2026-02-29T00:00:00Z", "2100-02-29T00:00:00Z",
                          "2026-04-31T00:00:00Z", "2026-12-08T24:00:00Z", "2026-12-08T10:60:00Z",
                          "1969-12-31T23:59:59Z", "2026-12-08T10:00:00+01:00", "+026-12-08T10:00:00Z",
                          "2026-12-08T10:00:00ZZ"}) {
    EXPECT_FALSE(ParseUtcTime(bad, &t)) << bad;
    EXPECT_EQ(t, 5) << bad;
  }
}

// Names Windows takes for something else than the file they spell, and the
// near misses it takes as written.
TEST(ReleaseText, WindowsMisreadNames) {
  for (const char* misread :
       {"CON", "con", "Prn", "AUX", "nul", "NUL.txt", "nul.tar.gz", "Com1", "COM9", "com0", "LPT1", "lpt9.log",
        "COM1 .log", "CON  ", "CONIN$", "conout$", "CLOCK$", "COM\xC2\xB9", "LPT\xC2\xB3.dat", "COM\xB2",
        "dovra_version.ini.", "dovra_version.ini ", "data.", "DOVRA_~1.INI", ".DELTA-~1.JOU", "A~0", "x~12y"})
    EXPECT_TRUE(IsWindowsMisreadName(misread)) << misread;
  for (const char* plain : {"CONSOLE", "CON_", "icon", "xNUL", "COM10", "LPT", "COM", "COMA", "LPT\xC2\xB4",
                            "nul_.txt", "a.nul", "Core.u", ".delta-setup", "~", "file~", "~file", "a~b.txt", ". a", ""})
    EXPECT_FALSE(IsWindowsMisreadName(plain)) << plain;
}

}  // namespace
}  // namespace release
