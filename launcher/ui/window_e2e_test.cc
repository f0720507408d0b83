// The player's whole journey on a real display: a throw-away client install
// served by a local nginx, the launcher started as the player starts it, its
// window read back from screenshots and clicked with xdotool, and the sample
// game's record of how it was started. Run by display_test.sh, which starts a
// private X server; skipped where there is no display, no nginx or no X tools.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "launcher/release/signature.h"
#include "launcher/ui/launcher_dialog.h"
#include "platform/file.h"
#include "platform/gui.h"
#include "platform/ini.h"
#include "platform/path.h"
#include "platform/pid_section.h"
#include "platform/process.h"
#include "platform/resources.h"
#include "testing/client_install.h"
#include "testing/nginx_server.h"
#include "testing/testing.h"

#ifndef RENEWEL_SCREENSHOT_DIR
#define RENEWEL_SCREENSHOT_DIR "screenshots"
#endif

namespace {

using platform::Image;
using platform::kPathSep;
using testkit::BuiltLibrary;
using testkit::BuiltProgram;

const std::string& kLauncher = testkit::kLauncherFile;
const std::string& kResources = testkit::kResourceFile;
const std::string kGame = std::string("Dovra") + platform::kExeSuffix;
constexpr int kWaitMs = 90000;
// Where on the window the start and exit buttons are clicked: their centres
// in the update layout, as the window lays them out.
const platform::Rect kStartButton = ButtonRect(Layout::kUpdate, kStartId);
const platform::Rect kExitButton = ButtonRect(Layout::kUpdate, kExitId);
const int kStartX = kStartButton.left + kStartButton.Width() / 2;
const int kStartY = kStartButton.top + kStartButton.Height() / 2;
const int kExitX = kExitButton.left + kExitButton.Width() / 2;
const int kExitY = kExitButton.top + kExitButton.Height() / 2;

void Step(const std::string& what) {
  std::fprintf(stderr, "window e2e: %s\n", what.c_str());
  std::fflush(stderr);
}

std::string ScreenshotDir() { return RENEWEL_SCREENSHOT_DIR; }

// Runs an X tool through the shell to its end, its standard output kept in
// *out. The end is seen by a marker file written after the tool, since under
// Wine the handle of a program of the host system does not tell it.
bool Tool(const std::string& command, std::string* out = nullptr) {
  static int serial = 0;
  const std::string base = ScreenshotDir() + "/tool-" + std::to_string(++serial);
  platform::MakeDirectories(ScreenshotDir());
  platform::RemoveFile(base + ".done");
  std::unique_ptr<platform::Process> p = platform::StartProcess(
      "/bin/sh -c \"{ " + command + "; } >" + base + ".out 2>/dev/null; echo done >" + base + ".done\"");
  if (!p) return false;
  for (int waited = 0; waited < 20000; waited += 20) {
    std::string text;
    if (platform::ReadFileToString(base + ".done", &text) && !text.empty()) {
      if (out) platform::ReadFileToString(base + ".out", out);
      platform::RemoveFile(base + ".done");
      platform::RemoveFile(base + ".out");
      return true;
    }
    platform::SleepMs(20);
  }
  p->Kill();
  return false;
}

bool ToolsAvailable() {
  std::string out;
  return Tool("command -v xdotool && command -v import", &out) && out.find("import") != std::string::npos;
}

bool Screenshot(const std::string& name, Image* out) {
  const std::string path = ScreenshotDir() + "/" + name + ".bmp";
  if (!Tool("/usr/bin/import -window root bmp3:" + path)) return false;
  std::string file;
  if (!platform::ReadFileToString(path, &file) || file.size() < 14) return false;
  return Image::FromDib(file.substr(14), out);
}

// The screen position of the launcher window, found by its title.
bool FindWindow(int* x, int* y) {
  std::string out;
  if (!Tool("/usr/bin/xdotool search --onlyvisible --name 'Dovra: Glass Frontier' getwindowgeometry --shell", &out))
    return false;
  size_t ax = out.find("X="), ay = out.find("Y=");
  if (ax == std::string::npos || ay == std::string::npos) return false;
  *x = std::atoi(out.c_str() + ax + 2);
  *y = std::atoi(out.c_str() + ay + 2);
  return true;
}

class WindowE2eTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!platform::DisplayAvailable()) GTEST_SKIP() << "no display (run through display_test.sh)";
    if (!NginxServer::Available()) GTEST_SKIP() << "nginx is not installed";
    if (!ToolsAvailable()) GTEST_SKIP() << "xdotool or ImageMagick is missing";
    resources_ = platform::ResourceLibrary::Load(BuiltLibrary("Quillfen"));
    ASSERT_NE(resources_, nullptr);
    ASSERT_TRUE(platform::MakeDirectories(install_ + "System"));
    ASSERT_TRUE(client_.AddLauncher());
    ASSERT_TRUE(client_.AddVersionLibrary());
    ASSERT_TRUE(platform::CopyFileOver(BuiltProgram("recorder"), install_ + "System" + kPathSep + kGame));
    const std::string list = install_ + "serverlist.ini";
    const char* sections[] = {"CNCZone1", "CNCZone2", "CNCZone3", "TelecomZone1", "TelecomZone2"};
    for (int n = 0; n < 5; ++n) {
      platform::SetProfileString("ServerSection", "Server" + std::to_string(n), sections[n], list);
      platform::SetProfileString(sections[n], "ShowText", std::string("Server ") + char('A' + n), list);
      platform::SetProfileString(sections[n], "BishopIP", "127.0.0." + std::to_string(n + 1), list);
      platform::SetProfileString(sections[n], "BishopPort", std::to_string(7100 + n), list);
    }
  }
  void TearDown() override {
    // A launcher left behind by a failed test must not hold the instance
    // mutex for the next one.
    KillLauncher();
  }

  void Serve(const std::string& extra = std::string()) { ASSERT_TRUE(server_.Start(tree_, extra)); }
  void SetClient(const std::string& version) { client_.SetClient(version, server_.Url("")); }
  std::string ClientVersion() { return client_.ClientVersion(); }
  std::string LastServer() {
    return platform::ProfileString("ServerSection", "LastServer", "", install_ + "serverlist.ini");
  }
  void Publish(const std::string& latest, const std::string& body) {
    ASSERT_TRUE(client_.Publish(server_.Url(""), latest, body));
  }
  std::string BigFile() {
    EXPECT_TRUE(platform::WriteStringToFile(client_.Scratch("big.bin"), testkit::Pattern(4 * 1024 * 1024)));
    return client_.Scratch("big.bin");
  }

  // The player's start: no arguments, from the install directory.
  void StartLauncher(const std::string& args = std::string(), const std::string& program = std::string()) {
    const std::string exe = program.empty() ? install_ + kLauncher : program;
    // What the launcher prints is its log again, which Log() reads: kept
    // out of the test's own output, where a failure's message would drown.
    auto p = platform::StartProcess(platform::QuoteArgument(exe) + (args.empty() ? "" : " " + args), install_,
                                    client_.Scratch("launcher-output-" + std::to_string(++started_) + ".txt"));
    ASSERT_NE(p, nullptr);
    first_ = std::move(p);
  }

  std::string Log() const { return client_.Log(); }
  size_t Count(const std::string& text) const { return client_.Count(text); }
  // The highest progress the window logged while downloading.
  float MaxDownloadRate() const {
    const std::string log = Log(), key = "Updating client,Rate:";
    float best = -1;
    for (size_t at = log.find(key); at != std::string::npos; at = log.find(key, at + 1))
      best = std::max(best, static_cast<float>(std::atof(log.c_str() + at + key.size())));
    return best;
  }
  bool WaitForDownloadRate(float rate) {
    for (int waited = 0; waited < kWaitMs; waited += 100) {
      if (MaxDownloadRate() >= rate) return true;
      platform::SleepMs(100);
    }
    return false;
  }
  // Waits until the log holds `text` at least `times` times.
  bool WaitForLog(const std::string& text, size_t times = 1, int ms = kWaitMs) {
    return client_.WaitForLog(text, times, ms);
  }

  // Waits for the window of the current launcher copy and remembers its
  // place and its process.
  bool WaitForWindow() {
    for (int waited = 0; waited < kWaitMs; waited += 200) {
      if (FindWindow(&wx_, &wy_)) {
        std::unique_ptr<platform::PidSection> s = platform::PidSection::Open(resources_->LoadResourceString(802));
        if (s) pid_ = s->ReadPid();
        platform::SleepMs(500);  // let it paint
        return FindWindow(&wx_, &wy_);
      }
      platform::SleepMs(200);
    }
    return false;
  }
  bool WaitForLauncherEnd() {
    for (int waited = 0; waited < kWaitMs; waited += 100) {
      int x, y;
      const bool window = FindWindow(&x, &y);
      if (!window && (pid_ == 0 || !platform::ProcessIsAlive(pid_))) return true;
      platform::SleepMs(100);
    }
    return false;
  }
  // After a click on exit: the window is gone and the launcher process has
  // ended within 2 s.
  bool EndsWithinTwoSeconds() {
    for (int waited = 0; waited <= 2000; waited += 50) {
      if (pid_ != 0 && !platform::ProcessIsAlive(pid_)) return true;
      platform::SleepMs(50);
    }
    return false;
  }
  // Ends the launcher copy the window was last seen with and the one that
  // runs now (a restart after a self-update makes a new one), each within 5 s.
  void KillLauncher() {
    std::unique_ptr<platform::PidSection> s;
    if (resources_) s = platform::PidSection::Open(resources_->LoadResourceString(802));
    for (uint32_t pid : {pid_, s ? s->ReadPid() : 0u}) {
      if (pid == 0 || !platform::ProcessIsAlive(pid)) continue;
      platform::KillProcess(pid);
      for (int i = 0; i < 50 && platform::ProcessIsAlive(pid); ++i) platform::SleepMs(100);
    }
  }
  void Click(int x, int y) {
    Tool("/usr/bin/xdotool mousemove " + std::to_string(wx_ + x) + " " + std::to_string(wy_ + y) +
         " sleep 0.2 click 1");
  }
  bool Shot(const std::string& name, Image* shot) { return Screenshot(name_ + "-" + name, shot); }
  platform::Color At(const Image& shot, int x, int y) const { return shot.ColorAt(wx_ + x, wy_ + y); }

  Image Bitmap(int id) {
    std::string raw;
    Image img;
    EXPECT_TRUE(resources_->LoadRaw(platform::kResourceBitmap, id, &raw) && Image::FromDib(raw, &img)) << id;
    return img;
  }
  // A point of the start button where its disabled look (the checked image)
  // differs from every frame of its enabled animation.
  bool StartProbePoint(int* px, int* py, platform::Color* disabled) {
    Image checked = Bitmap(152);
    std::vector<Image> frames;
    for (int id = 190; id <= 194; ++id) frames.push_back(Bitmap(id));
    for (int y = 10; y < std::min(93, checked.height()); y += 3) {
      for (int x = 10; x < std::min(214, checked.width()); x += 3) {
        const platform::Color c = checked.ColorAt(x, y);
        if (c == platform::kPureGreen) continue;
        bool differs = true;
        for (const Image& f : frames)
          differs = differs && x < f.width() && y < f.height() && !(f.ColorAt(x, y) == c) &&
                    !(f.ColorAt(x, y) == platform::kPureGreen);
        if (differs) {
          *px = x, *py = y, *disabled = c;
          return true;
        }
      }
    }
    return false;
  }
  // Whether the screenshot shows the start button enabled.
  bool StartEnabled(const Image& shot) {
    int px = 0, py = 0;
    platform::Color disabled;
    if (!StartProbePoint(&px, &py, &disabled)) {
      ADD_FAILURE() << "no point tells the start button's looks apart";
      return false;
    }
    return !(At(shot, 522 + px, 511 + py) == disabled);
  }
  void ExpectShaped(const Image& shot) {
    Image background = Bitmap(267);
    if (background.ColorAt(1, 300) == platform::kPureGreen) {
      EXPECT_FALSE(At(shot, 1, 300) == platform::kPureGreen) << "key-colour pixels not cut away";
    }
    EXPECT_TRUE(At(shot, 300, 40) == background.ColorAt(300, 40)) << "update background not shown";
  }
  std::string GameRecord() {
    std::string text;
    const std::string path = install_ + "System" + kPathSep + kGame + ".started.txt";
    for (int waited = 0; waited < 20000; waited += 100) {
      if (platform::ReadFileToString(path, &text) && text.find("end\n") != std::string::npos) return text;
      platform::SleepMs(100);
    }
    return text;
  }

  std::unique_ptr<platform::ResourceLibrary> resources_;
  testkit::ClientInstall client_;
  const std::string install_ = client_.Path();
  const std::string temp_ = client_ / "temp" + kPathSep;
  const std::string tree_ = client_.Tree();
  std::string name_ = "journey";
  NginxServer server_;
  std::unique_ptr<platform::Process> first_;
  int wx_ = 0, wy_ = 0;
  uint32_t pid_ = 0;
  int started_ = 0;
};

const char kUpToDateLine[] = "Updated to latest version,Rate:100NOUPDATING";

TEST_F(WindowE2eTest, PlayerUpdatesTwoVersionsAndStartsTheGame) {
  name_ = "journey";
  Serve("limit_rate 400k;");
  Publish("1.0.0.3", "package 1.0.0.1 1.0.0.2\n file data/big.bin " + BigFile() +
                         "\npackage 1.0.0.2 1.0.0.3\n text data/two.txt second\n");
  SetClient("1.0.0.1");
  StartLauncher();
  Step("waiting for the window");
  ASSERT_TRUE(WaitForWindow()) << Log();
  Image shot;
  ASSERT_TRUE(Shot("01-window", &shot));
  ExpectShaped(shot);
  EXPECT_FALSE(StartEnabled(shot));
  Step("downloading");
  // The bar moves: the window shows the engine's progress part of the way.
  ASSERT_TRUE(WaitForDownloadRate(20)) << Log();
  ASSERT_TRUE(Shot("02-downloading", &shot));
  EXPECT_FALSE(StartEnabled(shot));
  ASSERT_TRUE(WaitForLog(kUpToDateLine)) << Log();
  platform::SleepMs(600);
  ASSERT_TRUE(Shot("03-up-to-date", &shot));
  EXPECT_TRUE(StartEnabled(shot));
  EXPECT_EQ(ClientVersion(), "1.0.0.3");
  EXPECT_LE(MaxDownloadRate(), 70.0f);
  EXPECT_NE(Log().find("Update successful,Rate:100"), std::string::npos);

  Step("start");
  Click(kStartX, kStartY);
  const std::string record = GameRecord();
  ASSERT_NE(record.find("end\n"), std::string::npos) << Log();
  const std::string system_dir = install_ + "System";
  EXPECT_NE(record.find("cwd=" + system_dir.substr(0, system_dir.size()) + "\n"), std::string::npos) << record;
  EXPECT_NE(record.find("\narg=-updated\narg=-BishopIP=127.0.0.1\narg=-BishopPort=7100\nend"), std::string::npos)
      << record;
  EXPECT_EQ(LastServer(), "CNCZone1");
  EXPECT_TRUE(WaitForLauncherEnd()) << Log();
  EXPECT_NE(Log().find("-updated -BishopIP=127.0.0.1 -BishopPort=7100  param"), std::string::npos);
}

TEST_F(WindowE2eTest, AlreadyUpToDateEnablesStartAtOnce) {
  name_ = "up-to-date";
  Serve();
  Publish("1.0.0.5", "");
  SetClient("1.0.0.5");
  StartLauncher();
  ASSERT_TRUE(WaitForWindow()) << Log();
  ASSERT_TRUE(WaitForLog(kUpToDateLine)) << Log();
  Image shot;
  ASSERT_TRUE(Shot("01-window", &shot));
  EXPECT_TRUE(StartEnabled(shot));
  // Exit closes without a game.
  Click(kExitX, kExitY);
  EXPECT_TRUE(WaitForLauncherEnd()) << Log();
  EXPECT_FALSE(platform::Exists(install_ + "System" + kPathSep + kGame + ".started.txt"));
  EXPECT_EQ(Count("kill timer..."), 1u);
}

TEST_F(WindowE2eTest, DigestMismatchOffersOnlyExit) {
  name_ = "digest-mismatch";
  Serve();
  Publish("1.0.0.2", "package 1.0.0.1 1.0.0.2\n digest 00000000000000000000000000000000\n");
  SetClient("1.0.0.1");
  StartLauncher();
  ASSERT_TRUE(WaitForWindow()) << Log();
  ASSERT_TRUE(WaitForLog("update package md5 check error")) << Log();
  platform::SleepMs(800);
  Image shot;
  ASSERT_TRUE(Shot("01-mismatch", &shot));
  EXPECT_FALSE(StartEnabled(shot));
  // Clicking the disabled start does nothing.
  Click(kStartX, kStartY);
  platform::SleepMs(500);
  EXPECT_FALSE(platform::Exists(install_ + "System" + kPathSep + kGame + ".started.txt"));
  Click(kExitX, kExitY);
  EXPECT_TRUE(WaitForLauncherEnd()) << Log();
  EXPECT_EQ(ClientVersion(), "1.0.0.1");
}

TEST_F(WindowE2eTest, FixedServerIsStartedAndLastServerKept) {
  name_ = "fixed-server";
  Serve();
  Publish("1.0.0.5", "");
  SetClient("1.0.0.5");
  platform::SetProfileString("ServerSection", "LastServer", "CNCZone2", install_ + "serverlist.ini");
  // The copy is started directly: the relaunch does not pass -L on.
  ASSERT_TRUE(platform::MakeDirectories(temp_));
  ASSERT_TRUE(platform::CopyFileOver(install_ + kLauncher, temp_ + kLauncher));
  ASSERT_TRUE(platform::CopyFileOver(install_ + kResources, temp_ + kResources));
  StartLauncher("-c update -L -AreaId=4", temp_ + kLauncher);
  ASSERT_TRUE(WaitForWindow()) << Log();
  ASSERT_TRUE(WaitForLog(kUpToDateLine)) << Log();
  platform::SleepMs(300);
  Click(kStartX, kStartY);
  const std::string record = GameRecord();
  EXPECT_NE(record.find("\narg=-BishopIP=127.0.0.5\narg=-BishopPort=7104\nend"), std::string::npos) << record << Log();
  EXPECT_EQ(LastServer(), "CNCZone2");
  EXPECT_TRUE(WaitForLauncherEnd()) << Log();
}

TEST_F(WindowE2eTest, ExitDuringTheDownloadStopsTheEngine) {
  name_ = "exit-downloading";
  Serve("limit_rate 200k;");
  Publish("1.0.0.2", "package 1.0.0.1 1.0.0.2\n file data/big.bin " + BigFile() + "\n text marker.txt x\n");
  SetClient("1.0.0.1");
  StartLauncher();
  ASSERT_TRUE(WaitForWindow()) << Log();
  ASSERT_TRUE(WaitForLog("Updating client,Rate:", 2)) << Log();
  Image shot;
  ASSERT_TRUE(Shot("01-downloading", &shot));
  Click(kExitX, kExitY);
  EXPECT_TRUE(EndsWithinTwoSeconds()) << Log();
  EXPECT_TRUE(WaitForLauncherEnd()) << Log();
  EXPECT_EQ(Count("kill timer..."), 1u);
  EXPECT_EQ(ClientVersion(), "1.0.0.1");
  EXPECT_FALSE(platform::Exists(install_ + "marker.txt"));
  EXPECT_EQ(Log().find("setup package"), std::string::npos);
}

// Exit while the version server takes its time over version.xml: the window
// closes, the process ends within 2 s and nothing more is asked for.
TEST_F(WindowE2eTest, ExitWhileTheVersionServerDelaysItsReply) {
  name_ = "exit-delayed-reply";
  ASSERT_TRUE(server_.Start(tree_, "location ~ \"version\\.xml$\" { limit_req zone=slow burst=10; }",
                            "limit_req_zone $server_port zone=slow:1m rate=12r/m;"));  // 5 s a reply
  Publish("1.0.0.2", "package 1.0.0.1 1.0.0.2\n text marker.txt x\n");
  SetClient("1.0.0.1");
  StartLauncher();
  ASSERT_TRUE(WaitForWindow()) << Log();
  // The engine has logged the address it is fetching.
  ASSERT_TRUE(WaitForLog("/1.0.0.1/version.xml")) << Log();
  platform::SleepMs(500);
  Click(kExitX, kExitY);
  EXPECT_TRUE(EndsWithinTwoSeconds()) << Log();
  EXPECT_TRUE(WaitForLauncherEnd()) << Log();
  // The delayed reply arrives to nobody; no package is asked for.
  platform::SleepMs(5500);
  for (const auto& l : server_.AccessLog()) EXPECT_EQ(l.uri.find("/packages/"), std::string::npos) << l.uri;
  EXPECT_EQ(ClientVersion(), "1.0.0.1");
  EXPECT_FALSE(platform::Exists(install_ + "marker.txt"));
}

// Exit while every range of the package stalls after its headers.
TEST_F(WindowE2eTest, ExitWhileTheDownloadStalls) {
  name_ = "exit-stalled";
  Serve("location /packages/ { limit_rate_after 2000; limit_rate 1; }");
  Publish("1.0.0.2", "package 1.0.0.1 1.0.0.2\n file data/big.bin " + BigFile() + "\n");
  SetClient("1.0.0.1");
  StartLauncher();
  ASSERT_TRUE(WaitForWindow()) << Log();
  ASSERT_TRUE(WaitForLog("FetchFileSegment Begin", 4)) << Log();
  platform::SleepMs(1000);
  Click(kExitX, kExitY);
  EXPECT_TRUE(EndsWithinTwoSeconds()) << Log();
  EXPECT_TRUE(WaitForLauncherEnd()) << Log();
  EXPECT_EQ(ClientVersion(), "1.0.0.1");
}

TEST_F(WindowE2eTest, SelfUpdateMidChainRestartsAndFinishes) {
  name_ = "self-update";
  Serve();
  // The first package replaces the launcher (by the same program) and asks
  // for the restart; the restarted launcher installs the second.
  Publish("1.0.0.3", "package 1.0.0.1 1.0.0.2\n updateself true\n file " + kLauncher + " " +
                         BuiltProgram("Quillfen") + "\npackage 1.0.0.2 1.0.0.3\n text data/two.txt second\n");
  SetClient("1.0.0.1");
  StartLauncher();
  ASSERT_TRUE(WaitForWindow()) << Log();
  ASSERT_TRUE(WaitForLog("nupdate: 2")) << Log();  // the restart
  ASSERT_TRUE(WaitForLog(kUpToDateLine)) << Log();
  ASSERT_TRUE(WaitForWindow()) << Log();
  platform::SleepMs(300);
  Image shot;
  ASSERT_TRUE(Shot("01-after-restart", &shot));
  EXPECT_TRUE(StartEnabled(shot));
  EXPECT_EQ(ClientVersion(), "1.0.0.3");
  EXPECT_TRUE(platform::Exists(install_ + "data" + kPathSep + "two.txt"));
  Click(kStartX, kStartY);
  EXPECT_NE(GameRecord().find("-BishopIP=127.0.0.1"), std::string::npos) << Log();
  EXPECT_TRUE(WaitForLauncherEnd()) << Log();
}

// The news page of the pane: strings 1006 and 1007 of the resource library,
// given through its Quillfen.ini, name a page beside latest-version.xml, and
// string 803 the key it is signed with.
class NewsPaneTest : public WindowE2eTest {
 protected:
  void SetUp() override {
    WindowE2eTest::SetUp();
    if (IsSkipped()) return;
    // One key signs the update channel and the page.
    key_text_ = client_.MakeKey("publisher.key");
    ASSERT_FALSE(key_text_.empty());
    std::string seed_text;
    ASSERT_TRUE(platform::ReadFileToString(client_.Scratch("publisher.key"), &seed_text));
    ASSERT_TRUE(DecodeSeedFile(seed_text, &seed_));
  }
  void PublishSigned() {
    ASSERT_TRUE(client_.Publish(server_.Url(""), "1.0.0.5", "", client_.Scratch("publisher.key")));
  }
  // `page` at `name` with its signature file, signed over `signed_bytes`.
  void PutPage(const std::string& name, const std::string& page, const std::string& signed_bytes) {
    Signature sig;
    ASSERT_TRUE(Sign(seed_, signed_bytes, &sig));
    ASSERT_TRUE(platform::WriteStringToFile(tree_ + name, page));
    ASSERT_TRUE(platform::WriteStringToFile(tree_ + name + ".sig", SignatureFileText(sig)));
  }
  // The launcher runs from its temp/ copy, whose resource library reads the
  // Quillfen.ini beside it; the relaunch copies the library, not the file.
  void NamePage(const std::string& name) {
    ASSERT_TRUE(platform::MakeDirectories(temp_));
    for (const std::string& dir : {install_, temp_}) {
      ASSERT_TRUE(platform::SetProfileString("strings", "803", key_text_, dir + "Quillfen.ini"));
      ASSERT_TRUE(platform::SetProfileString("strings", "1006", server_.Url(name), dir + "Quillfen.ini"));
      ASSERT_TRUE(platform::SetProfileString("strings", "1007", server_.Url(name), dir + "Quillfen.ini"));
    }
  }
  bool Requested(const std::string& uri) {
    for (const auto& l : server_.AccessLog())
      if (l.uri == uri) return true;
    return false;
  }
  // Waits (at most 20 s) until the launcher has asked for `uri`.
  bool WaitForRequest(const std::string& uri) {
    for (int waited = 0; waited < 20000; waited += 100) {
      if (Requested(uri)) return true;
      platform::SleepMs(100);
    }
    return false;
  }
  // Whether the pane (49,127)-(550,478) is filled with `colour` around the
  // headline.
  bool PaneShows(const Image& shot, platform::Color colour) {
    for (const auto& [x, y] : std::vector<std::pair<int, int>>{{60, 300}, {300, 400}, {540, 470}, {530, 300}})
      if (!(At(shot, x, y) == colour)) return false;
    return true;
  }
  // Screenshots until the pane shows `colour`, at most 10 s.
  bool WaitForPane(const std::string& name, platform::Color colour, Image* shot) {
    for (int attempt = 0; attempt < 40; ++attempt) {
      platform::SleepMs(250);
      if (!Shot(name, shot)) return false;
      if (PaneShows(*shot, colour)) return true;
    }
    return false;
  }

  SigningSeed seed_;
  std::string key_text_;
};

const platform::Color kPageColour{23, 97, 181};

// The pane shows the signed page, inertly: its script, refresh, frame and
// plug-in never reach the server, and a click on its download link goes to
// the system's browser, not to the pane.
TEST_F(NewsPaneTest, PaneShowsTheSignedPageInertly) {
  name_ = "news";
  Serve();
  PublishSigned();
  const std::string page =
      "<!DOCTYPE html><html><head><meta charset=\"utf-8\"><title>News</title>"
      "<meta http-equiv=\"refresh\" content=\"0;url=/marker-refresh.html\">"
      "<script>new Image().src = '/marker-script.png'; fetch('/marker-fetch.txt');</script>"
      "</head><body style=\"margin:0;background:rgb(23,97,181);color:#fff;font:bold 28px sans-serif\">"
      "<a href=\"/download.bin\" download style=\"display:block;height:600px;color:#fff;text-decoration:none\">"
      "<p style=\"margin:20px\">Renewel news: version 1.0.0.5 is out</p></a>"
      "<iframe src=\"/marker-frame.html\" width=\"1\" height=\"1\"></iframe>"
      "<object type=\"application/x-shockwave-flash\" data=\"/marker-plugin.swf\" width=\"1\" height=\"1\"></object>"
      "</body></html>";
  PutPage("news.html", page, page);
  ASSERT_TRUE(platform::WriteStringToFile(tree_ + "download.bin", testkit::Pattern(4096)));
  NamePage("news.html");
#ifndef _WIN32
  // The system's browser: a stand-in opener on the search path that notes
  // the address it is given.
  const std::string opener_dir = client_.Scratch("opener");
  const std::string opened = client_.Scratch("opened.txt");
  ASSERT_TRUE(platform::MakeDirectories(opener_dir));
  ASSERT_TRUE(platform::WriteStringToFile(opener_dir + "/xdg-open", "#!/bin/sh\necho \"$1\" >> " + opened + "\n"));
  ASSERT_TRUE(Tool("chmod +x " + opener_dir + "/xdg-open"));
  const std::string path = std::getenv("PATH") ? std::getenv("PATH") : "/usr/bin:/bin";
  setenv("PATH", (opener_dir + ":" + path).c_str(), 1);
  // Where the desktop's programs keep caches and data: the pane keeps
  // nothing there.
  const std::string kept = client_.Scratch("home");
  ASSERT_TRUE(platform::MakeDirectories(kept + "/cache") && platform::MakeDirectories(kept + "/data"));
  const char* const kKept[] = {"XDG_CACHE_HOME", "XDG_DATA_HOME"};
  std::vector<std::pair<std::string, bool>> saved;
  for (const char* name : kKept) {
    saved.emplace_back(std::getenv(name) ? std::getenv(name) : "", std::getenv(name) != nullptr);
    setenv(name, (kept + (name == kKept[0] ? "/cache" : "/data")).c_str(), 1);
  }
#endif
  SetClient("1.0.0.5");
  StartLauncher();
#ifndef _WIN32
  setenv("PATH", path.c_str(), 1);
  for (size_t i = 0; i < saved.size(); ++i) {
    if (saved[i].second) {
      setenv(kKept[i], saved[i].first.c_str(), 1);
    } else {
      unsetenv(kKept[i]);
    }
  }
#endif
  ASSERT_TRUE(WaitForWindow()) << Log();
  // Nothing of the update depends on the pane.
  ASSERT_TRUE(WaitForLog(kUpToDateLine)) << Log();
  // The launcher itself fetches the page and its signature.
  ASSERT_TRUE(WaitForRequest("/news.html.sig")) << Log();
  ASSERT_TRUE(WaitForLog("news page signature verified")) << Log();

  Image shot;
  const bool shown = WaitForPane("01-news", kPageColour, &shot);
  auto expect_no_marker = [&] {
    for (const auto& l : server_.AccessLog()) EXPECT_EQ(l.uri.find("/marker"), std::string::npos) << l.uri;
  };
  expect_no_marker();
  // Under Wine, whose own HTML engine is switched off for tests, the page is
  // fetched and checked but not drawn; the rest holds all the same.
  const bool drawn_or_required = shown || !std::getenv("RENEWEL_DISPLAY_UNDER_WINE");
  if (!shown && drawn_or_required) {
    ADD_FAILURE() << "pane at (300,400) shows " << int(At(shot, 300, 400).r) << "," << int(At(shot, 300, 400).g)
                  << "," << int(At(shot, 300, 400).b);
  }
  if (!shown) RecordProperty("pane", "blank");
  EXPECT_FALSE(At(shot, 300, 40) == kPageColour);
  EXPECT_TRUE(StartEnabled(shot));

#ifndef _WIN32
  if (shown) {
    // The download link, clicked, goes to the system's browser.
    Click(300, 400);
    std::string opened_text;
    for (int waited = 0; waited < 10000 && opened_text.empty(); waited += 100) {
      platform::ReadFileToString(opened, &opened_text);
      if (opened_text.empty()) platform::SleepMs(100);
    }
    EXPECT_EQ(opened_text, server_.Url("download.bin") + "\n");
    // The opener ran as the pane refused the navigation: it stays as it was.
    ASSERT_TRUE(Shot("02-after-click", &shot));
    EXPECT_TRUE(PaneShows(shot, kPageColour));
  }
#endif
  Click(kExitX, kExitY);
  EXPECT_TRUE(WaitForLauncherEnd()) << Log();
  expect_no_marker();
  EXPECT_FALSE(Requested("/download.bin"));
#ifndef _WIN32
  std::string stored;
  // (The graphics driver's shader cache and the settings store are not the
  // pane's.)
  ASSERT_TRUE(Tool("find " + kept + " -type f -not -path '*/mesa_shader_cache/*' -not -path '*/dconf/*'", &stored));
  EXPECT_EQ(stored, "");
#endif
  EXPECT_EQ(Count("news page not shown"), 0u);
}

// A page whose bytes differ from what was signed is not shown: the pane
// stays blank and the log has a WARN line.
TEST_F(NewsPaneTest, TamperedPageLeavesThePaneBlank) {
  name_ = "news-tampered";
  Serve();
  PublishSigned();
  const std::string page =
      "<!DOCTYPE html><html><body style=\"margin:0;background:rgb(23,97,181)\"><p>News</p></body></html>";
  std::string signed_bytes = page;
  signed_bytes.replace(signed_bytes.find("News"), 4, "Nows");
  PutPage("news.html", page, signed_bytes);
  NamePage("news.html");
  SetClient("1.0.0.5");
  StartLauncher();
  ASSERT_TRUE(WaitForWindow()) << Log();
  ASSERT_TRUE(WaitForLog(kUpToDateLine)) << Log();
  ASSERT_TRUE(WaitForLog("news page not shown, its signature does not verify")) << Log();
  // The line is a warning.
  const std::string log = Log();
  const size_t at = log.find("news page not shown");
  const size_t line = log.rfind('\n', at) == std::string::npos ? 0 : log.rfind('\n', at) + 1;
  EXPECT_NE(log.substr(line, at - line).find("WARN:"), std::string::npos) << log.substr(line, at - line + 80);
  Image shot;
  EXPECT_FALSE(WaitForPane("01-blank", kPageColour, &shot));
  EXPECT_TRUE(StartEnabled(shot));
  Click(kExitX, kExitY);
  EXPECT_TRUE(WaitForLauncherEnd()) << Log();
  // Only the launcher asked, once for each.
  std::vector<std::string> news;
  for (const auto& l : server_.AccessLog())
    if (l.uri.rfind("/news", 0) == 0) news.push_back(l.uri);
  EXPECT_EQ(news, (std::vector<std::string>{"/news.html", "/news.html.sig"}));
}

}  // namespace
