#include "platform/ini.h"

#include <gtest/gtest.h>

#include "platform/file.h"
#include "testing/testing.h"

namespace platform {
namespace {

TEST(IniTest, IntegerRuleOfTheProfileFunctions) {
  EXPECT_EQ(ParseProfileInt("42"), 42);
  EXPECT_EQ(ParseProfileInt("  -1"), -1);
  EXPECT_EQ(ParseProfileInt("+7x"), 7);
  EXPECT_EQ(ParseProfileInt("0x1F"), 31);
  EXPECT_EQ(ParseProfileInt("abc"), 0);
  EXPECT_EQ(ParseProfileInt("4294967295"), -1);
}

TEST(IniTest, ReadsCaseInsensitivelyWithDefaults) {
  testkit::TempDir tmp;
  std::string path = tmp / "a.ini";
  ASSERT_TRUE(WriteStringToFile(path,
                                "; comment\r\n[Main]\r\nInternalFlag = 3 \r\nName=\"quoted text\"\r\nEmpty=\r\n"
                                "Neg=-1\r\nJunk=x12\r\n[Other]\nKey=v\n"));
  EXPECT_EQ(ProfileInt("main", "internalflag", 0, path), 3);
  EXPECT_EQ(ProfileInt("main", "Empty", 9, path), 9);
  EXPECT_EQ(ProfileInt("main", "Neg", 9, path), -1);
  EXPECT_EQ(ProfileInt("main", "Junk", 9, path), 0);
  EXPECT_EQ(ProfileInt("main", "Missing", 5, path), 5);
  EXPECT_EQ(ProfileInt("nosuch", "InternalFlag", 5, path), 5);
  EXPECT_EQ(ProfileInt("main", "InternalFlag", 5, tmp / "missing.ini"), 5);
  EXPECT_EQ(ProfileString("MAIN", "name", "d", path), "quoted text");
  EXPECT_EQ(ProfileString("Other", "key", "d", path), "v");
  EXPECT_EQ(ProfileString("Other", "none", "dflt", path), "dflt");
  EXPECT_EQ(ProfileString("MAIN", "name", "d", path, 7), "quoted");
}

TEST(IniTest, WritesCreateReplaceAndAppend) {
  testkit::TempDir tmp;
  std::string path = tmp / "s.ini";
  ASSERT_TRUE(SetProfileString("ServerSection", "LastServer", "Server3", path));
  EXPECT_EQ(ProfileString("serversection", "lastserver", "", path), "Server3");
  ASSERT_TRUE(SetProfileString("SERVERSECTION", "LastServer", "Server4", path));
  ASSERT_TRUE(SetProfileString("ServerSection", "Count", "2", path));
  ASSERT_TRUE(SetProfileString("Server4", "IP", "127.0.0.1", path));
  EXPECT_EQ(ProfileString("ServerSection", "LastServer", "", path), "Server4");
  EXPECT_EQ(ProfileInt("ServerSection", "Count", 0, path), 2);
  EXPECT_EQ(ProfileString("Server4", "IP", "", path), "127.0.0.1");
  std::string text;
  ASSERT_TRUE(ReadFileToString(path, &text));
  EXPECT_EQ(text.find("LastServer=Server3"), std::string::npos);
  EXPECT_EQ(text.find("[Server4]"), text.rfind("[Server4]"));
}

}  // namespace
}  // namespace platform
