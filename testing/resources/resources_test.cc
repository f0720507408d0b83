// The resource library stand-in, loaded the way the launcher loads it, with
// and without string overrides in Quillfen.ini beside it.
#include <gtest/gtest.h>

#include "platform/file.h"
#include "platform/path.h"
#include "platform/resources.h"
#include "testing/testing.h"

namespace {

using testkit::TempDir;

// A copy of the built library in its own directory, with `ini` beside it
// (none when empty).
std::unique_ptr<platform::ResourceLibrary> LoadCopy(const TempDir& dir, const std::string& ini) {
  const std::string name = "Quillfen" + std::string(platform::kLibSuffix);
  EXPECT_TRUE(platform::CopyFileOver(testkit::BuiltLibrary("Quillfen"), dir / name));
  if (!ini.empty()) {
    EXPECT_TRUE(platform::WriteStringToFile(dir / "Quillfen.ini", ini));
  }
  return platform::ResourceLibrary::Load(dir / name);
}

const char kKey[] = "11qYAYKxCrfVS/7TyWQHOg7hcvPapiMlrwIaaPcHURo=";

TEST(ResourceStrings, TableAsBuiltWithoutAnIniFile) {
  TempDir dir;
  auto lib = LoadCopy(dir, "");
  ASSERT_NE(lib, nullptr);
  EXPECT_EQ(lib->LoadResourceString(13), "Updating Checker");
  EXPECT_EQ(lib->LoadResourceString(802), "QuillfenLauncherSection");
  EXPECT_EQ(lib->LoadResourceString(803), "");
  EXPECT_EQ(lib->LoadResourceString(1007), "about:blank");
  std::string raw;
  EXPECT_TRUE(lib->LoadRaw(platform::kResourceDialog, 9, &raw));
}

TEST(ResourceStrings, IniBesideTheLibraryOverridesStringsOfTheTable) {
  TempDir dir;
  const std::string long_text(1500, 'L');
  auto lib = LoadCopy(dir, std::string("; overrides\r\n[other]\r\n803=wrong section\r\n[Strings]\r\n803=") + kKey +
                               "\r\n1007 = http://127.0.0.1:8080/news.html\r\n13=" + long_text +
                               "\r\n9999=not in the table\r\n801=\r\n");
  ASSERT_NE(lib, nullptr);
  EXPECT_EQ(lib->LoadResourceString(803), kKey);
  EXPECT_EQ(lib->LoadResourceString(1007), "http://127.0.0.1:8080/news.html");
  EXPECT_EQ(lib->LoadResourceString(13), long_text);
  // An empty value overrides too; strings without a line keep their text.
  EXPECT_EQ(lib->LoadResourceString(801), "");
  EXPECT_EQ(lib->LoadResourceString(802), "QuillfenLauncherSection");
  EXPECT_EQ(lib->LoadResourceString(1006), "about:blank");
  EXPECT_EQ(lib->LoadResourceString(515), "serverlist.ini");
  EXPECT_EQ(lib->LoadResourceString(9999), "");
  std::string raw;
  EXPECT_TRUE(lib->LoadRaw(platform::kResourceDialog, 9, &raw));
}

}  // namespace
