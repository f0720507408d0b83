// Start-up of the real launcher program in a throw-away install directory.
#include <gtest/gtest.h>

#include <chrono>
#include <regex>

#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>
#endif

#include "launcher/app/launcher_app.h"
#include "platform/file.h"
#include "platform/ini.h"
#include "platform/named_mutex.h"
#include "platform/path.h"
#include "platform/process.h"
#include "testing/client_install.h"
#include "testing/testing.h"

namespace {

using testkit::BuiltLibrary;
using testkit::BuiltProgram;

const std::string& kLauncher = testkit::kLauncherFile;
const std::string& kResources = testkit::kResourceFile;
const std::string& kVersionLib = testkit::kVersionLibraryFile;

class StartupTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(platform::CopyFileOver(BuiltProgram("Quillfen"), dir_ / kLauncher));
    ASSERT_TRUE(dir_.AddVersionLibrary());
    dir_.SetClient("1.0.0.1", "http://127.0.0.1:9/");
    WaitForMutexFree();
  }
  void TearDown() override { WaitForMutexFree(); }

  void UseRealResources() { ASSERT_TRUE(platform::CopyFileOver(BuiltLibrary("Quillfen"), dir_ / kResources)); }
  void UseBrokenResources() { ASSERT_TRUE(platform::WriteStringToFile(dir_ / kResources, "not a library")); }

  // Runs the launcher from `dir` and waits for that process.
  int Run(const std::string& args, const std::string& exe_dir = "") {
    std::string exe = (exe_dir.empty() ? dir_.Path() : exe_dir) + kLauncher;
    auto p = platform::StartProcess(platform::QuoteArgument(exe) + " " + args, dir_.Path());
    EXPECT_NE(p, nullptr);
    if (!p) return -1;
    EXPECT_TRUE(p->WaitFor(60000));
    return p->ExitCode();
  }

  std::string Log() const { return dir_.Log(); }
  bool WaitForLog(const std::string& text, int times = 1) { return dir_.WaitForLog(text, times, 30000); }

  static void WaitForMutexFree() {
    for (int i = 0; i < 600; ++i) {
      bool existed = true;
      auto m = platform::NamedMutex::Create(kInstanceMutexName, &existed);
      if (m && !existed) return;
      m.reset();
      platform::SleepMs(50);
    }
    ADD_FAILURE() << "the single-instance mutex stayed held";
  }

  static int Count(const std::string& text, const std::string& what) {
    return static_cast<int>(testkit::CountOf(text, what));
  }

  // The install: the launcher in it, as the player has it.
  testkit::ClientInstall dir_;
};

TEST_F(StartupTest, FirstStartCopiesItselfAndTheCopyEndsWithoutResources) {
  UseBrokenResources();
  EXPECT_EQ(Run(""), 0);
  // The copy logs its own start-up lines, then ends silently at the resource library.
  ASSERT_TRUE(WaitForLog("nupdate: 1"));
  ASSERT_TRUE(WaitForLog("create mutex sucess", 2));
  WaitForMutexFree();
  std::string log = Log();
  EXPECT_TRUE(platform::Exists(dir_ / "temp" + platform::kPathSep + kLauncher));
  EXPECT_TRUE(platform::Exists(dir_ / "temp" + platform::kPathSep + kResources));

  std::regex file_name(R"(Renewel_\d+_\d+_\d+_\d+_\d+_\d+\.log\.1)");
  std::vector<platform::DirEntry> entries;
  ASSERT_TRUE(platform::ListDirectory(dir_ / "log", &entries));
  bool named = false;
  for (auto& e : entries) named = named || std::regex_match(e.name, file_name);
  EXPECT_TRUE(named);

  EXPECT_EQ(Count(log, "This is NewUpdateVersion.Time:"), 2);
  EXPECT_EQ(Count(log, "nupdate: 0"), 1);
  EXPECT_NE(log.find("filename: " + dir_.Path() + kLauncher), std::string::npos);
  EXPECT_NE(log.find("argc:1"), std::string::npos);
  EXPECT_NE(log.find("argc:3"), std::string::npos);  // the copy: program, -c, update
  EXPECT_EQ(log.find("local version:"), std::string::npos);
  EXPECT_EQ(log.find("create temp error"), std::string::npos);
}

TEST_F(StartupTest, CopyWithResourcesReachesTheWindowStep) {
  UseRealResources();
  platform::WriteStringToFile(dir_ / "temp" + platform::kPathSep + "renewel.ini", "");
  ASSERT_TRUE(platform::MakeDirectories(dir_ / "temp" + platform::kPathSep + "Update" + platform::kPathSep + "x"));
  std::string stale = dir_ / "temp" + platform::kPathSep + "Update" + platform::kPathSep + "x" +
                      platform::kPathSep + "old.bin";
  ASSERT_TRUE(platform::WriteStringToFile(stale, "old"));
  EXPECT_EQ(Run(""), 0);
  ASSERT_TRUE(WaitForLog("local version:1.0.0.1"));
  WaitForMutexFree();
  EXPECT_FALSE(platform::Exists(stale));  // the copy's Update directory is emptied
  EXPECT_TRUE(platform::IsDirectory(platform::DirName(stale)));
}

// temp/ is the launcher's own, and what it finds planted there leads it
// nowhere else: a link where the copy empties its Update directory, links
// at the names it copies to.
class PlantedTempTest : public StartupTest {
 protected:
  std::string Temp() const { return dir_ / "temp" + platform::kPathSep; }
  // Removes a link, to a file or to a directory.
  static void RemoveLink(const std::string& link) {
    if (!platform::RemoveFile(link)) platform::RemoveEmptyDirectory(link);
  }
  testkit::TempDir outside_;
};

TEST_F(PlantedTempTest, AnUpdateLinkToAnOutsideFolderLeavesItsFilesAlone) {
  UseRealResources();
  ASSERT_TRUE(platform::WriteStringToFile(outside_ / "keep.txt", "not the launcher's"));
  ASSERT_TRUE(platform::MakeDirectory(Temp()));
  if (!testkit::MakeLink(outside_.Path(), Temp() + "Update", true)) GTEST_SKIP() << "this system makes no links";
  EXPECT_EQ(Run(""), 0);
  // The copy has passed the point where it empties its Update directory.
  ASSERT_TRUE(WaitForLog("local version:1.0.0.1")) << Log();
  WaitForMutexFree();
  EXPECT_TRUE(platform::Exists(outside_ / "keep.txt"));
}

TEST_F(PlantedTempTest, LinksAtTheNamesCopiedToAreReplacedNotWrittenThrough) {
  UseBrokenResources();
  const std::string victim = outside_ / "victim.bin", other = outside_ / "other.bin";
  ASSERT_TRUE(platform::WriteStringToFile(victim, "victim's"));
  ASSERT_TRUE(platform::WriteStringToFile(other, "other's"));
  ASSERT_TRUE(platform::MakeDirectory(Temp()));
  // The launcher's own name (under Wine a link of the system beneath stands
  // in: Wine follows it unawares), and the temporary the copy of the
  // resource library is written to first (a link of the system's own only:
  // Wine's stand-in would be deleted through).
  if (!testkit::MakeLink(other, Temp() + kLauncher, false) && !testkit::MakeHostLink(other, Temp() + kLauncher))
    GTEST_SKIP() << "this system makes no links";
  const bool own_links = testkit::MakeLink(victim, Temp() + kResources + ".copy~", false);
  EXPECT_EQ(Run(""), 0);
  ASSERT_TRUE(WaitForLog("nupdate: 1")) << Log();
  WaitForMutexFree();
  EXPECT_EQ(testkit::ReadFile(other), "other's");
  if (own_links) {
    EXPECT_EQ(testkit::ReadFile(victim), "victim's");
  }
  EXPECT_FALSE(platform::IsLink(Temp() + kLauncher));
  EXPECT_EQ(platform::FileSize(Temp() + kLauncher), platform::FileSize(dir_ / kLauncher));
}

// A temp/ that is not a directory of the player's own ends start-up: an
// ERROR line says why, nothing is copied and no copy starts.
TEST_F(PlantedTempTest, ATempThatIsNotThePlayersOwnIsRefused) {
  UseRealResources();
  const std::string temp = dir_ / "temp";
  auto refused = [&](const std::string& why) {
    const std::string line = "temp directory refused: " + Temp() + " " + why;
    const std::string log = Log();
    const size_t at = log.find(line);
    if (at == std::string::npos) return ::testing::AssertionFailure() << "no line " << line << "\n" << log;
    const size_t begin = log.rfind('\n', at);
    if (log.substr(begin == std::string::npos ? 0 : begin, at - begin).find("ERROR") == std::string::npos)
      return ::testing::AssertionFailure() << "not at ERROR: " << line;
    return ::testing::AssertionSuccess();
  };

  ASSERT_TRUE(platform::WriteStringToFile(temp, "a file"));
  EXPECT_EQ(Run(""), 0);
  EXPECT_TRUE(refused("is not a directory"));
  ASSERT_TRUE(platform::RemoveFile(temp));

#ifndef _WIN32
  ASSERT_TRUE(platform::MakeDirectory(temp));
  ASSERT_EQ(::chmod(temp.c_str(), 0777), 0);
  EXPECT_EQ(Run(""), 0);
  EXPECT_TRUE(refused("is writable by all users (mode 0777)"));
  EXPECT_FALSE(platform::Exists(Temp() + kLauncher));
  if (::geteuid() == 0) {
    ASSERT_EQ(::chmod(temp.c_str(), 0755), 0);
    ASSERT_EQ(::chown(temp.c_str(), 65534, static_cast<gid_t>(-1)), 0);
    EXPECT_EQ(Run(""), 0);
    EXPECT_TRUE(refused("belongs to user 65534, not to the player (user 0)"));
    EXPECT_FALSE(platform::Exists(Temp() + kLauncher));
  }
  ASSERT_TRUE(platform::RemoveEmptyDirectory(temp));
#endif

  if (testkit::MakeLink(outside_.Path(), temp, true)) {
    EXPECT_EQ(Run(""), 0);
#ifdef _WIN32
    EXPECT_TRUE(refused("is a link or junction"));
#else
    EXPECT_TRUE(refused("is a symbolic link"));
#endif
    EXPECT_FALSE(platform::Exists(outside_ / kLauncher));
    RemoveLink(temp);
  }
  // No copy ever started.
  EXPECT_EQ(Log().find("nupdate: 1"), std::string::npos);
}

TEST_F(StartupTest, SecondStartWhileTheMutexIsHeldEndsSilently) {
  UseRealResources();
  bool existed = true;
  auto held = platform::NamedMutex::Create(kInstanceMutexName, &existed);
  ASSERT_NE(held, nullptr);
  ASSERT_FALSE(existed);
  EXPECT_EQ(Run(""), 0);
  std::string log = Log();
  EXPECT_NE(log.find("nupdate: 0"), std::string::npos);
  EXPECT_EQ(log.find("create mutex sucess"), std::string::npos);
  EXPECT_FALSE(platform::Exists(dir_ / "temp"));
  held.reset();
}

TEST_F(StartupTest, UpdateStartWaitsForTheMutexButNotForANonLauncherParent) {
  UseRealResources();
  bool existed = true;
  auto held = platform::NamedMutex::Create(kInstanceMutexName, &existed);
  ASSERT_NE(held, nullptr);
  std::string exe = dir_.Path() + kLauncher;
  auto p = platform::StartProcess(platform::QuoteArgument(exe) + " -c update", dir_.Path());
  ASSERT_NE(p, nullptr);
  ASSERT_TRUE(WaitForLog("nupdate: 1"));
  EXPECT_FALSE(p->WaitFor(300));  // blocked on the mutex
  EXPECT_EQ(Log().find("create mutex sucess"), std::string::npos);
  held->Release();
  held.reset();
  // Its parent is this test program, which never ends while it waits: the
  // copy must go on without waiting for it.
  EXPECT_TRUE(p->WaitFor(60000));
  std::string log = Log();
  EXPECT_NE(log.find("WaitForSingleObject: "), std::string::npos);
  EXPECT_NE(log.find("local version:1.0.0.1"), std::string::npos);
}

TEST_F(StartupTest, MissingResourceLibraryFailsTheRelaunch) {
  EXPECT_EQ(Run(""), 0);
  std::string log = Log();
  EXPECT_NE(log.find("create tmep file error"), std::string::npos);
  EXPECT_EQ(log.find("nupdate: 1"), std::string::npos);
}

TEST_F(StartupTest, ArgumentErrorsEndStartUp) {
  EXPECT_EQ(Run("-c"), 0);
  EXPECT_NE(Log().find("you have -c,but have no data"), std::string::npos);
  EXPECT_EQ(Log().find("nupdate:"), std::string::npos);
  EXPECT_EQ(Run("-L -AreaId=x1"), 0);
  EXPECT_NE(Log().find("AreaId:x1"), std::string::npos);
  EXPECT_EQ(Log().find("nupdate:"), std::string::npos);
}

TEST_F(StartupTest, InstallDirectoryWithBlanks) {
  UseBrokenResources();
  std::string spaced = dir_ / "My Games" + platform::kPathSep;
  ASSERT_TRUE(platform::MakeDirectory(spaced));
  for (const std::string& f : {kLauncher, kResources, kVersionLib}) {
    ASSERT_TRUE(platform::CopyFileOver(dir_ / f, spaced + f));
  }
  EXPECT_EQ(Run("", spaced), 0);
  // The copy was started (its path has a blank) and logged into the spaced install's log.
  for (int i = 0; i < 600 && !platform::Exists(spaced + "log"); ++i) platform::SleepMs(50);
  bool started = false;
  for (int i = 0; i < 600 && !started; ++i) {
    started = testkit::InstallLog(spaced).find("nupdate: 1") != std::string::npos;
    if (!started) platform::SleepMs(50);
  }
  EXPECT_TRUE(started);
}

}  // namespace
