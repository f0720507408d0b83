#include "launcher/update/version.h"

#include <gtest/gtest.h>

#include "launcher/update/install_path.h"
#include "platform/file.h"
#include "platform/ini.h"
#include "platform/path.h"
#include "testing/testing.h"

namespace {

using testkit::TempDir;

TEST(CompareVersionsTest, ComparesNumbersNotTexts) {
  EXPECT_EQ(CompareVersions("1.2.3.4", "1.2.3.4"), 0);
  EXPECT_EQ(CompareVersions("1.2.3.4", "1.2.3.5"), -1);
  EXPECT_EQ(CompareVersions("2.0.0.0", "1.9.9.9"), 1);
  EXPECT_EQ(CompareVersions("3.5.0.0", "2.0.0.0"), 1);
  EXPECT_EQ(CompareVersions("1.10.0.0", "1.9.0.0"), 1);
  EXPECT_EQ(CompareVersions("01.2.3.4", "1.2.3.4"), 0);
  EXPECT_EQ(CompareVersions(" 1.2.3.4 [Internal]", "1.2.3.4"), 0);
  EXPECT_EQ(CompareVersions("-1.0.0.0", "1.0.0.0"), -1);
}

TEST(CompareVersionsTest, TextsThatDoNotParse) {
  EXPECT_EQ(CompareVersions("1.2.3", "1.2.3.4"), -2);
  EXPECT_EQ(CompareVersions("", "1.2.3.4"), -2);
  EXPECT_EQ(CompareVersions("1.2.3.4", "x"), -2);
  // Only the first 63 characters are read.
  EXPECT_EQ(CompareVersions(std::string(60, ' ') + "1.2.3.4", "1.2.3.4"), -2);
  EXPECT_EQ(CompareVersions(std::string(55, ' ') + "1.2.3.4", "1.2.3.4"), 0);
}

TEST(InstallPathTest, CutsAtTheLastTempDirectory) {
  const auto p = testkit::NativePath;
  EXPECT_EQ(InstallPathFor(p("/game/Quillfen.exe"), p("log/")), p("/game/log/"));
  EXPECT_EQ(InstallPathFor(p("/game/temp/Quillfen.exe"), p("log/")), p("/game/log/"));
  // A temp folder above the install directory: the last occurrence wins.
  EXPECT_EQ(InstallPathFor(p("/temp/game/Quillfen.exe"), "x"), p("/x"));
  EXPECT_EQ(InstallPathFor(p("/temp/game/temp/Quillfen.exe"), "x"), p("/temp/game/x"));
  EXPECT_EQ(InstallPathFor(p("/game/Temp/Quillfen.exe"), "x"), p("/game/Temp/x"));  // case-sensitive
}

// The version library stand-in reads its values from an INI file beside it.
class VersionLibraryTest : public ::testing::Test {
 protected:
  std::string Install(const std::string& built, const std::string& version, const std::string& url) {
    std::string lib = dir_ / VersionLibraryName();
    EXPECT_TRUE(platform::CopyFileOver(testkit::BuiltLibrary(built), lib));
    std::string ini = dir_ / "dovra_version.ini";
    platform::SetProfileString("version", "ClientVersion", version, ini);
    platform::SetProfileString("version", "UpdateVersionUrl", url, ini);
    return lib;
  }
  TempDir dir_;
};

TEST_F(VersionLibraryTest, QueriesBothTextsAndSeesReplacementAtOnce) {
  std::string lib = Install("dovra_version", "1.0.0.1", "http://127.0.0.1:1/");
  std::string version = "old", url;
  EXPECT_TRUE(QueryVersionLibrary(lib, "GetClientVersion", version));
  EXPECT_EQ(version, "1.0.0.1");
  EXPECT_TRUE(QueryVersionLibrary(lib, "GetUpdateVersionUrl", url));
  EXPECT_EQ(url, "http://127.0.0.1:1/");
  // A setup program writes the new version; the next query loads afresh.
  platform::SetProfileString("version", "ClientVersion", "1.0.0.2", dir_ / "dovra_version.ini");
  EXPECT_TRUE(QueryVersionLibrary(lib, "GetClientVersion", version));
  EXPECT_EQ(version, "1.0.0.2");
}

TEST_F(VersionLibraryTest, MissingExportLeavesTextAndMissingLibrarySaysNo) {
  std::string lib = Install("dovra_version_noclient", "", "");
  std::string out;
  EXPECT_TRUE(QueryVersionLibrary(lib, "GetClientVersion", out));
  EXPECT_EQ(out, "");
  out = "kept";
  EXPECT_TRUE(QueryVersionLibrary(lib, "GetClientVersion", out));
  EXPECT_EQ(out, "kept");
  EXPECT_FALSE(QueryVersionLibrary(dir_ / "absent.lib", "GetClientVersion", out));
  EXPECT_EQ(out, "kept");
}

}  // namespace
