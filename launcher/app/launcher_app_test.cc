#include "launcher/app/launcher_app.h"

#include <gtest/gtest.h>

#include "launcher/app/relaunch.h"
#include "launcher/log/logger.h"
#include "platform/file.h"
#include "platform/path.h"
#include "testing/testing.h"

namespace {

using Args = std::vector<std::string>;

// Parses and returns the mode, or -1 when start-up would end; the log text
// and standard error go to `log` and `err`.
int Parse(const Args& args, std::string* log = nullptr, std::string* err = nullptr) {
  testkit::TempDir tmp;
  Logger::Instance().Init("T", tmp.Path(), Logger::kToFile, 200, 100000);
  AreaId.clear();
  RunMode mode;
  ::testing::internal::CaptureStderr();
  bool ok = LauncherApp::ParseCommandLine(args, &mode);
  std::string e = ::testing::internal::GetCapturedStderr();
  if (err) *err = e;
  if (log) platform::ReadFileToString(Logger::Instance().CurrentFileName(), log);
  Logger::Instance().Init("T", tmp.Path(), 0, 200, 100000);
  return ok ? static_cast<int>(mode) : -1;
}

TEST(CommandLineTest, Modes) {
  EXPECT_EQ(Parse({"Quillfen"}), Normal);
  EXPECT_EQ(Parse({"Quillfen", "-c", "update"}), Update);
  EXPECT_EQ(Parse({"Quillfen", "-c", "updater"}), Update);  // prefix match
  EXPECT_EQ(Parse({"Quillfen", "-cfoo", "update"}), Update);
  EXPECT_EQ(Parse({"Quillfen", "-c", "other"}), Normal);
  EXPECT_EQ(Parse({"Quillfen", "-c", "update", "-r", "Restart"}), Restart);  // the later option wins
  EXPECT_EQ(Parse({"Quillfen", "-r", "Restart", "-c", "update"}), Update);
  EXPECT_EQ(Parse({"Quillfen", "-r", "restart"}), Normal);  // case-sensitive
  EXPECT_EQ(Parse({"Quillfen", "-c", "repair"}), Repair);
  EXPECT_EQ(Parse({"Quillfen", "-c", "Repair"}), Normal);
  EXPECT_EQ(Parse({"Quillfen", "-c", "repair", "-c", "update"}), Update);
  EXPECT_EQ(Parse({"Quillfen", "-c", "update", "-c", "repair"}), Repair);
  EXPECT_EQ(Parse({"Quillfen", "-c", "repair", "-r", "Restart"}), Restart);
}

TEST(CommandLineTest, HelpIsTheOnlyArgument) {
  EXPECT_TRUE(LauncherApp::IsHelpRequest({"Quillfen", "--help"}));
  EXPECT_TRUE(LauncherApp::IsHelpRequest({"Quillfen", "-h"}));
  EXPECT_TRUE(LauncherApp::IsHelpRequest({"Quillfen", "/?"}));
  EXPECT_FALSE(LauncherApp::IsHelpRequest({"Quillfen"}));
  EXPECT_FALSE(LauncherApp::IsHelpRequest({"Quillfen", "-c", "update"}));
  EXPECT_FALSE(LauncherApp::IsHelpRequest({"Quillfen", "--help", "-c", "update"}));
  EXPECT_FALSE(LauncherApp::IsHelpRequest({"Quillfen", "--helpful"}));
}

TEST(CommandLineTest, OptionsWithoutData) {
  std::string log;
  EXPECT_EQ(Parse({"Quillfen", "-c"}, &log), -1);
  EXPECT_NE(log.find("you have -c,but have no data"), std::string::npos);
  EXPECT_EQ(Parse({"Quillfen", "-c", "update", "-r"}, &log), -1);
  EXPECT_NE(log.find("you have -r,but have no data"), std::string::npos);
  // The option's value is examined as an argument in its own right.
  EXPECT_EQ(Parse({"Quillfen", "-r", "-c"}, &log), -1);
  EXPECT_NE(log.find("you have -c,but have no data"), std::string::npos);
}

TEST(CommandLineTest, AreaRules) {
  std::string log, err;
  EXPECT_EQ(Parse({"Quillfen", "-L", "-AreaId=12"}, &log, &err), Normal);
  EXPECT_EQ(AreaId, "12");
  EXPECT_NE(log.find("strncmp(__argv[i])"), std::string::npos);
  EXPECT_NE(log.find("AreaId:12"), std::string::npos);
  EXPECT_EQ(err, "");

  EXPECT_EQ(Parse({"Quillfen", "-L", "-AreaId=x1"}, &log, &err), -1);
  EXPECT_NE(err.find("Error: Specified server doesn't exist."), std::string::npos);

  EXPECT_EQ(Parse({"Quillfen", "-L", "-AreaId="}, &log, &err), -1);
  EXPECT_NE(err.find("Error: Specified server doesn't exist."), std::string::npos);

  EXPECT_EQ(Parse({"Quillfen", "-L"}, &log, &err), -1);
  EXPECT_NE(log.find("you have -L,but have no data"), std::string::npos);
  EXPECT_NE(err.find("Error: Specified server doesn't exist."), std::string::npos);

  EXPECT_EQ(Parse({"Quillfen", "-L", "AreaId=4"}, &log, &err), -1);
  EXPECT_NE(log.find("Can not find 'AreaId' param after '-L'."), std::string::npos);
  EXPECT_EQ(err, "");

  // Longer than the field: refused like an invalid area.
  EXPECT_EQ(Parse({"Quillfen", "-L", "-AreaId=" + std::string(150, '7')}, &log, &err), -1);
  EXPECT_NE(err.find("Error: Specified server doesn't exist."), std::string::npos);
  EXPECT_EQ(Parse({"Quillfen", "-L", "-AreaId=" + std::string(99, '7')}, &log, &err), Normal);
}

TEST(DownloadLimitTest, KibibytesPerSecondFromTheMainSection) {
  testkit::TempDir tmp;
  Logger::Instance().Init("T", tmp.Path(), Logger::kToFile, 200, 100000);
  // A file of its own for each case: the system's profile functions may keep
  // a file they have read.
  int files = 0;
  auto with = [&](const std::string& text) {
    const std::string ini = tmp / ("renewel" + std::to_string(++files) + ".ini");
    EXPECT_TRUE(platform::WriteStringToFile(ini, text));
    return LauncherApp::DownloadLimit(ini);
  };
  EXPECT_EQ(LauncherApp::DownloadLimit(tmp / "missing.ini"), 0u);
  EXPECT_EQ(with("[main]\r\nInternalFlag=1\r\n"), 0u);
  EXPECT_EQ(with("[main]\r\nMaxDownloadKBps=\r\n"), 0u);
  EXPECT_EQ(with("[main]\r\nMaxDownloadKBps=0\r\n"), 0u);
  EXPECT_EQ(with("[main]\r\nMaxDownloadKBps=256\r\n"), 256u * 1024);
  EXPECT_EQ(with("[Main]\r\nmaxdownloadkbps =  512 \r\n"), 512u * 1024);
  // Another section's key is not this one.
  EXPECT_EQ(with("[other]\r\nMaxDownloadKBps=256\r\n[main]\r\n"), 0u);
  // Not a cap: negative, or text.
  EXPECT_EQ(with("[main]\r\nMaxDownloadKBps=-5\r\n"), 0u);
  EXPECT_EQ(with("[main]\r\nMaxDownloadKBps=fast\r\n"), 0u);
  // The largest value an ini integer holds does not wrap.
  EXPECT_EQ(with("[main]\r\nMaxDownloadKBps=2147483647\r\n"), 2147483647ull * 1024);
  std::string log;
  platform::ReadFileToString(Logger::Instance().CurrentFileName(), &log);
  Logger::Instance().Init("T", tmp.Path(), 0, 200, 100000);
  EXPECT_NE(log.find("MaxDownloadKBps -5 ignored"), std::string::npos) << log;
}

TEST(RelaunchTest, CommandLinesAndTargets) {
  const auto p = testkit::NativePath;
  EXPECT_EQ(RelaunchCommandLine(p("/g/temp/Quillfen.exe")), p("/g/temp/Quillfen.exe -c update "));
  EXPECT_EQ(RelaunchCommandLine(p("/My Games/temp/Q.exe")), p("\"/My Games/temp/Q.exe\" -c update "));
  EXPECT_EQ(RelaunchCommandLine(p("/g/temp/Quillfen.exe"), "repair"), p("/g/temp/Quillfen.exe -c repair "));
  EXPECT_EQ(RestartTarget(p("/g/temp/Quillfen.exe")), p("/g/Quillfen.exe"));
  // Without temp before the file name the target is the path with the name again.
  EXPECT_EQ(RestartTarget(p("/g/Quillfen.exe")), p("/g/Quillfen.exeQuillfen.exe"));
  EXPECT_EQ(RestartCommandLine(p("/g/Quillfen.exe")), p("/g/Quillfen.exe -r Restart "));

  std::vector<RelaunchFile> files = RelaunchFiles("Quillfen.exe");
  ASSERT_EQ(files.size(), 6u);
  EXPECT_EQ(files[0].name, "Quillfen.exe");
  EXPECT_TRUE(files[0].required);
  EXPECT_EQ(files[2].name, std::string("Quillfen") + platform::kLibSuffix);
  EXPECT_TRUE(files[2].required);
  int required = 0;
  for (const RelaunchFile& f : files) required += f.required;
  EXPECT_EQ(required, 2);
}

}  // namespace
