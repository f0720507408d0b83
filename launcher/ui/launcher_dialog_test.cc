// The launcher window against a fake window and fake engine: layouts, the
// polling table, the game start and exit, without a display.
#include "launcher/ui/launcher_dialog.h"

#include <gtest/gtest.h>

#include <chrono>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "launcher/log/logger.h"
#include "launcher/release/signature.h"
#include "launcher/update/update_control.h"
#include "platform/file.h"
#include "platform/ini.h"
#include "platform/path.h"
#include "platform/process.h"
#include "testing/gui_fakes.h"
#include "testing/fault_server.h"
#include "testing/nginx_server.h"
#include "testing/testing.h"

namespace {

using platform::Rect;

using testkit::FakeControl;

class FakeWindow : public platform::Window {
 public:
  explicit FakeWindow(platform::WindowDelegate* delegate) : delegate_(delegate) {
    for (int id : {1001, 1010, 1011, 1012, 1014, 1015, 1016, 1018, 1020, 1048, 1058, 1059, 1070, 1071, 1072, 1073})
      controls_[id] = std::make_unique<FakeControl>(id);
  }
  // As the real window goes: the delegate hears first, then the buttons.
  ~FakeWindow() override {
    delegate_->OnDestroy();
    controls_.clear();  // each tells its button
  }
  FakeControl& C(int id) { return *controls_.at(id); }
  platform::Control* Find(int id) override {
    auto it = controls_.find(id);
    return it == controls_.end() ? nullptr : it->second.get();
  }
  std::vector<platform::Control*> Controls() override {
    std::vector<platform::Control*> all;
    for (auto& [id, c] : controls_) all.push_back(c.get());
    return all;
  }
  void EndModal(int code) override { ended.push_back(code); }
  void RemoveTitleBar() override { title_bar = false; }
  void SetShape(const std::vector<Rect>&) override {}
  void SetTitle(const std::string& t) override { title = t; }
  std::string Title() const override { return title; }
  void SetIcon(const platform::Image&) override {}
  void SetIconResource(int id) override { icon = id; }
  void Minimise() override { ++minimised; }
  void Show(bool) override {}
  bool IsVisible() const override { return true; }
  void Move(const Rect&) override {}
  Rect Bounds() const override { return {}; }
  void SetClientSize(int, int) override {}
  void Repaint() override {}
  void SetTimer(int id, int period) override { timers[id] = period; }
  void KillTimer(int id) override { timers.erase(id); }
  void ShowMessage(const std::string& text, const std::string& caption) override {
    boxes.push_back(text + "|" + caption);
  }
  void SetContextMenu(const std::vector<platform::MenuEntry>& entries) override {
    menu.clear();
    for (const auto& e : entries) menu.push_back(std::to_string(e.id) + "|" + e.text);
  }
  bool AskYesNo(const std::string& text, const std::string& caption) override {
    questions.push_back(text + "|" + caption);
    return answer;
  }
  intptr_t Send(unsigned message, uintptr_t wparam, intptr_t lparam) override {
    return delegate_->OnMessage(message, wparam, lparam);
  }
  // From any thread, as the real window takes them.
  void Post(unsigned message, uintptr_t wparam, intptr_t lparam) override {
    std::lock_guard<std::mutex> hold(posted_mutex);
    posted.push_back({message, wparam, lparam});
  }
  uintptr_t NativeHandle() const override { return 0; }
  // Delivers the posted messages, as the modal loop would.
  void Drain() {
    for (;;) {
      Posted m;
      {
        std::lock_guard<std::mutex> hold(posted_mutex);
        if (posted.empty()) return;
        m = posted.front();
        posted.pop_front();
      }
      delegate_->OnMessage(m.message, m.wparam, m.lparam);
    }
  }

  struct Posted {
    unsigned message;
    uintptr_t wparam;
    intptr_t lparam;
  };
  platform::WindowDelegate* delegate_;
  std::map<int, std::unique_ptr<FakeControl>> controls_;
  std::vector<int> ended;
  bool title_bar = true;
  std::string title;
  int icon = 0, minimised = 0;
  std::map<int, int> timers;
  std::vector<std::string> boxes;
  std::vector<std::string> questions;
  std::vector<std::string> menu;  // the context menu's entries, "id|text"
  bool answer = true;  // to every question
  std::mutex posted_mutex;
  std::deque<Posted> posted;
};

// Every bitmap exists: a small image.
class FakeBitmaps : public BitmapSource {
 public:
  bool Bitmap(int id, platform::Image* out) const override {
    *out = platform::Image(id == 156 || id == 267 ? 880 : 8, id == 156 || id == 267 ? 620 : 8);
    return true;
  }
};

// The engine and the system as the window sees them.
struct World {
  int32_t state = Checking;
  float progress = 0;
  int starts = 0;
  std::vector<int32_t> stops;
  std::string version = "1.0.0.3";
  std::vector<std::string> probes;
  int64_t busy_ms = -1;  // the engine's wait on a busy server
  // The download's count and size (none while `downloading` is false), and
  // the clock the window measures its pace by.
  bool downloading = false;
  uint64_t received = 0, size = 0;
  int64_t now_ms = 0;
  struct Started {
    std::string file, parameters, directory;
  };
  std::vector<Started> programs;
  int program_result = 42;
  std::map<int, std::string> strings;  // resource strings in place of the usual ones
  std::string channel;                  // the player's update channel
  bool can_repair = false;              // the window is given a repair to offer
  bool repairing = false;               // the engine runs in repair mode already
  int repairs = 0;

  LauncherServices Services() {
    LauncherServices s;
    s.start_engine = [this] { return ++starts, true; };
    s.stop_engine = [this](int32_t st) { stops.push_back(st); };
    s.engine_state = [this] { return state; };
    s.engine_progress = [this] { return progress; };
    s.status_text = [this](int32_t st) { return StatusText(st, busy_ms); };
    s.download_bytes = [this](uint64_t* r, uint64_t* sz) {
      *r = received;
      *sz = size;
      return downloading;
    };
    s.clock_ms = [this] { return now_ms; };
    s.query_version = [this](std::string* v) { return *v = version, true; };
    s.start_program = [this](const std::string& f, const std::string& p, const std::string& d) {
      programs.push_back({f, p, d});
      return program_result;
    };
    s.start_probe = [this](const std::string& r) { return probes.push_back(r), 0; };
    s.end_networking = [] {};
    s.channel = channel;
    if (can_repair) s.start_repair = [this] { return ++repairs, true; };
    s.repairing = repairing;
    s.resource_string = [this](int id) {
      if (strings.count(id)) return strings.at(id);
      switch (id) {
        case 13: return std::string("Closing");
        case 515: return std::string("serverlist.ini");
        case 1006: return std::string("about:blank");
        case 1007: return std::string("about:blank");
        default: return std::string();
      }
    };
    return s;
  }
};

class LauncherDialogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    game_ = dir_ / "game" + platform::kPathSep;
    exe_dir_ = game_ + "temp" + platform::kPathSep;
    list_ = game_ + "serverlist.ini";
    ASSERT_TRUE(platform::MakeDirectories(exe_dir_));
    AddServer(0, "CNCZone1", "North 1", "10.0.0.1", "7001");
    AddServer(1, "CNCZone2", "North 2", "10.0.0.2", "7002");
    AddServer(2, "TelecomZone1", "South 1", "10.0.1.1", "7101");
    AddServer(3, "TelecomZone2", "South 2", "10.0.1.2", "7102");
    AddServer(4, "TelecomZone3", "South 3", "10.0.1.3", "7103");
  }
  void AddServer(int n, const std::string& section, const std::string& text, const std::string& ip,
                 const std::string& port) {
    platform::SetProfileString("ServerSection", "Server" + std::to_string(n), section, list_);
    platform::SetProfileString(section, "ShowText", text, list_);
    platform::SetProfileString(section, "BishopIP", ip, list_);
    platform::SetProfileString(section, "BishopPort", port, list_);
  }
  std::string LastServer() { return platform::ProfileString("ServerSection", "LastServer", "", list_); }

  // Creates the window as the modal run would.
  void Open(const std::string& area_id = "") {
    dialog_ = std::make_unique<LauncherDialog>(&bitmaps_, world_.Services(), "1.0.0.1 ", exe_dir_, area_id);
    window_ = std::make_unique<FakeWindow>(dialog_.get());
    dialog_->OnCreate(*window_);
  }
  // A new window and dialog in place of the open ones.
  void Reopen() {
    window_.reset();
    dialog_.reset();
    Open();
  }
  void Poll(int32_t state, float progress = 0) {
    world_.state = state;
    world_.progress = progress;
    dialog_->OnTimer(kPollTimer);
  }
  FakeControl& C(int id) { return window_->C(id); }

  testkit::TempDir dir_;
  std::string game_, exe_dir_, list_;
  FakeBitmaps bitmaps_;
  World world_;
  std::unique_ptr<LauncherDialog> dialog_;
  std::unique_ptr<FakeWindow> window_;
};

TEST(LauncherLayoutTest, TablesEndAndKeepTheHiddenButtonsWithoutRoom) {
  for (Layout layout : {Layout::kStartup, Layout::kUpdate}) {
    int rows = 0;
    for (const ButtonRow* r = ButtonRows(layout); r->id >= 1; ++r, ++rows) {
      const bool no_room = (r->id >= 1071 && r->id <= 1073) || r->id == 1058 || r->id == 1059;
      EXPECT_EQ(no_room, r->width == 0 && r->height == 0) << r->id;
      EXPECT_EQ(r->enabled, 1);
    }
    EXPECT_EQ(rows, layout == Layout::kStartup ? 8 : 3);
    int placements = 0;
    for (const PlacementRow* r = PlacementRows(layout); r->id >= 1; ++r) ++placements;
    EXPECT_EQ(placements, layout == Layout::kStartup ? 3 : 7);
  }
  EXPECT_EQ(LayoutBackground(Layout::kStartup), 156);
  EXPECT_EQ(LayoutBackground(Layout::kUpdate), 267);
}

TEST(LauncherLayoutTest, ButtonRectIsTheRowsRectangle) {
  EXPECT_EQ(ButtonRect(Layout::kUpdate, kStartId), (Rect{522, 511, 736, 604}));
  EXPECT_EQ(ButtonRect(Layout::kStartup, kExitId), (Rect{808, 17, 859, 43}));
  EXPECT_EQ(ButtonRect(Layout::kStartup, kStartupButtonId), (Rect{515, 508, 729, 601}));
  // Not in that layout, or no button at all.
  EXPECT_TRUE(ButtonRect(Layout::kStartup, kStartId).Empty());
  EXPECT_TRUE(ButtonRect(Layout::kUpdate, kBrowserId).Empty());
  EXPECT_TRUE(ButtonRect(Layout::kUpdate, 0).Empty());
}

TEST(LauncherGameStartTest, CommandLine) {
  const std::string sep(1, platform::kPathSep);
  EXPECT_EQ(GameDirectory("/g/temp" + sep), "/g/");
  EXPECT_EQ(GameExecutablePath("/g/"), "/g/System" + sep + "Dovra" + platform::kExeSuffix);
  EXPECT_EQ(GameWorkingDirectory("/g/"), "/g/System");
  EXPECT_EQ(GameParameters("10.0.0.1", 7001), "-updated -BishopIP=10.0.0.1 -BishopPort=7001 ");
  EXPECT_EQ(GameExecutablePath(std::string(300, 'x')).size(), 259u);
}

TEST(LauncherPollTableTest, ActionsByState) {
  PollAction up = ActionForState(UpToDate);
  EXPECT_TRUE(up.enable_start && up.enable_exit && up.stop_polling && up.refresh_version && up.reload_list);
  EXPECT_STREQ(up.log_suffix, "NOUPDATING");
  for (int32_t s = 0; s < kUpdateStateCount; ++s) {
    PollAction a = ActionForState(s);
    // A pre-load leaves the installed version to be played.
    EXPECT_EQ(a.enable_start, s == UpToDate || s == Preloaded) << s;
    EXPECT_EQ(a.stop_polling, s == UpToDate || s == Preloaded) << s;
    EXPECT_EQ(a.set_bar, s == Downloading) << s;
    EXPECT_EQ(a.disable_exit, s == Installing) << s;
    // The final failures offer exit; polling goes on.
    if (IsFinalState(s) && s != UpToDate) {
      EXPECT_TRUE(a.show_status && a.enable_exit) << s;
    }
  }
  for (int32_t s : std::vector<int32_t>{Checking, FetchingInfo, ParsingInfo, NotLatest, TempDirFailed, 18, -1}) {
    PollAction a = ActionForState(s);
    EXPECT_FALSE(a.show_status || a.enable_exit || a.disable_exit || a.log) << s;
  }
}

TEST_F(LauncherDialogTest, SetUpEndsInTheUpdateLayoutWithTheEngineStarted) {
  Open();
  EXPECT_FALSE(window_->title_bar);
  EXPECT_EQ(window_->icon, kLauncherIcon);
  EXPECT_EQ(window_->title, "Dovra: Glass Frontier");
  EXPECT_TRUE(dialog_->update_layout());
  EXPECT_EQ(world_.starts, 1);
  EXPECT_EQ(window_->timers, (std::map<int, int>{{kPollTimer, 100}, {kListTimer, 5000}}));
  // One probe per list entry, all five.
  EXPECT_EQ(world_.probes, (std::vector<std::string>{"10.0.0.1 0", "10.0.0.2 1", "10.0.1.1 2", "10.0.1.2 3",
                                                      "10.0.1.3 4"}));
  // Neither layout names a page: the pane is blanked once, for the last
  // layout.
  window_->Drain();
  ASSERT_EQ(C(1001).pages.size(), 1u);
  EXPECT_EQ(C(1001).pages[0].bytes, "");
  EXPECT_EQ(C(1016).text, "1.0.0.1 ");
  EXPECT_EQ(C(1018).text, "   Ver :");
  EXPECT_EQ(C(1016).color, platform::kWhite);
  // Update layout: start shown and disabled at its place, 1012 hidden.
  EXPECT_TRUE(C(1010).visible);
  EXPECT_FALSE(C(1010).enabled);
  EXPECT_EQ(C(1010).bounds, (Rect{522, 511, 736, 604}));
  EXPECT_FALSE(C(1012).visible);
  EXPECT_EQ(C(1048).bounds, (Rect{58, 555, 489, 576}));
  EXPECT_EQ(C(1048).range, std::make_pair(0, 100));
  EXPECT_EQ(C(1015).text, "0%");
  EXPECT_EQ(C(1014).text, "");
  for (int id : {1058, 1059, 1071, 1072, 1073}) {
    EXPECT_TRUE(C(id).bounds.Empty()) << id;
    EXPECT_TRUE(C(id).visible) << id;
  }
  EXPECT_EQ(C(1071).font, (platform::Font{"Arial", 16, 700}));
  // The selection restored without LastServer: the first CNC server.
  EXPECT_EQ(SelectedServerSection, "CNCZone1");
  EXPECT_EQ(C(1020).text, "North 1");
  EXPECT_EQ(C(1071).text, "North 1");
  EXPECT_TRUE(dialog_->Button(1071)->IsChecked());
  EXPECT_TRUE(dialog_->Button(1059)->IsChecked());
  EXPECT_FALSE(dialog_->Button(1058)->IsChecked());

  // Timer 2 fires once.
  dialog_->OnTimer(kListTimer);
  EXPECT_EQ(window_->timers.count(kListTimer), 0u);
  EXPECT_EQ(C(1020).text, "North 1");
}

TEST_F(LauncherDialogTest, StatusFollowsTheEngineUntilUpToDate) {
  Open();
  Poll(Checking);
  Poll(FetchingInfo);
  Poll(ParsingInfo);
  EXPECT_EQ(C(1014).text, "");
  Poll(Downloading, 35.7f);
  EXPECT_EQ(C(1014).text, "Updating client");
  EXPECT_EQ(C(1015).text, "35%");
  EXPECT_EQ(C(1048).position, 35);
  Poll(Installing, 70);
  EXPECT_FALSE(C(1011).enabled);
  EXPECT_EQ(C(1014).text, "Updating client");  // 12 keeps the text
  Poll(Succeeded, 100);
  EXPECT_EQ(C(1014).text, "Update successful");
  EXPECT_TRUE(C(1011).enabled);
  EXPECT_EQ(C(1016).text, "1.0.0.3");
  EXPECT_FALSE(C(1010).enabled);
  Poll(Checking);
  EXPECT_EQ(C(1014).text, "Update successful");
  world_.version = "1.0.0.4";
  Poll(UpToDate, 100);
  EXPECT_EQ(C(1014).text, "Updated to latest version");
  EXPECT_EQ(C(1015).text, "100%");
  EXPECT_TRUE(C(1010).enabled);
  EXPECT_TRUE(C(1011).enabled);
  EXPECT_EQ(C(1016).text, "1.0.0.4");
  EXPECT_EQ(window_->timers.count(kPollTimer), 0u);
}

// A player on another channel than the default sees it on the status line,
// whatever the status; the default channel adds nothing (the test above).
TEST_F(LauncherDialogTest, StatusLineNamesAChannelOtherThanTheDefault) {
  world_.channel = "beta";
  world_.busy_ms = 2000;
  Open();
  Poll(Downloading, 10);
  EXPECT_EQ(C(1014).text, "server busy, retrying in 2 s  [beta channel]");
  world_.busy_ms = -1;
  Poll(UpToDate, 100);
  EXPECT_EQ(C(1014).text, "Updated to latest version  [beta channel]");
  EXPECT_EQ(StatusLine("Network error", ""), "Network error");
}

// While the download waits on a busy server the status line says so, counting
// down; when the wait is over it reads as before. A network that stays down
// ends like the other failures: exit offered, start not.
TEST_F(LauncherDialogTest, StatusTellsOfABusyServerAndOfANetworkError) {
  Open();
  world_.busy_ms = 4200;
  Poll(Downloading, 10);
  EXPECT_EQ(C(1014).text, "server busy, retrying in 5 s");
  world_.busy_ms = 800;
  Poll(Downloading, 10);
  EXPECT_EQ(C(1014).text, "server busy, retrying in 1 s");
  world_.busy_ms = -1;
  Poll(Downloading, 12);
  EXPECT_EQ(C(1014).text, "Updating client");
  world_.busy_ms = 3000;
  Poll(NetworkError);
  EXPECT_EQ(C(1014).text, "Network error");
  EXPECT_TRUE(C(1011).enabled);
  EXPECT_FALSE(C(1010).enabled);
}

// While the package downloads the status line carries the pace, taken over
// the last seconds; it is gone once the state moves on.
TEST_F(LauncherDialogTest, StatusShowsThePaceOnlyWhileDownloading) {
  Open();
  world_.downloading = true;
  world_.size = 10 * 1048576;
  // The engine's count moves once a second, by 1 MiB; the window polls ten
  // times a second.
  for (int tick = 0; tick < 30; ++tick) {
    world_.now_ms = 1000 + tick * 100;
    world_.received = static_cast<uint64_t>(tick / 10) * 1048576;
    Poll(Downloading, 5);
    // Until the count has moved twice there is no pace to tell.
    if (tick < 20) {
      EXPECT_EQ(C(1014).text, "Updating client") << tick;
    }
  }
  // 1 MiB a second, 8 MiB left.
  EXPECT_EQ(C(1014).text, "Updating client (1.0 MB/s, 0:08 left)");
  // Installing keeps the last text (its poll shows none); a later download
  // starts its measure afresh.
  Poll(Installing, 70);
  world_.now_ms += 100;
  world_.received = 0;
  Poll(Downloading, 0);
  EXPECT_EQ(C(1014).text, "Updating client");
  world_.busy_ms = 3000;
  Poll(NetworkError);
  EXPECT_EQ(C(1014).text, "Network error");
}

TEST_F(LauncherDialogTest, FinalFailureOffersOnlyExit) {
  Open();
  window_->Drain();
  Poll(Installing);
  Poll(DigestMismatch);
  EXPECT_EQ(C(1014).text, "Failed to install file checker, please update again");
  EXPECT_TRUE(C(1011).enabled);
  EXPECT_FALSE(C(1010).enabled);
  EXPECT_EQ(window_->timers.count(kPollTimer), 1u);
  // A double-click on 1004 while start is disabled does nothing.
  dialog_->OnCommand(1004, platform::kButtonDoubleClicked);
  EXPECT_TRUE(world_.programs.empty());
  EXPECT_TRUE(window_->ended.empty() && window_->posted.empty());
}

TEST_F(LauncherDialogTest, StartGameRemembersTheServerAndCloses) {
  Open();
  Poll(UpToDate, 100);
  dialog_->OnCommand(1071 + 1, platform::kButtonClicked);  // North 2
  EXPECT_EQ(C(1020).text, "North 2");
  dialog_->OnCommand(1010, platform::kButtonClicked);
  ASSERT_EQ(world_.programs.size(), 1u);
  EXPECT_EQ(world_.programs[0].file, GameExecutablePath(game_));
  EXPECT_EQ(world_.programs[0].directory, game_ + "System");
  EXPECT_EQ(world_.programs[0].parameters, "-updated -BishopIP=10.0.0.2 -BishopPort=7002 ");
  EXPECT_EQ(LastServer(), "CNCZone2");
  EXPECT_EQ(world_.stops, (std::vector<int32_t>{UnexpectedError}));
  EXPECT_EQ(C(1014).text, "Closing");
  EXPECT_TRUE(window_->ended.empty());  // posted, not done in place
  window_->Drain();
  EXPECT_EQ(window_->ended, (std::vector<int>{kExitCode}));
  // A second exit while closing does nothing more.
  dialog_->OnClose();
  window_->Drain();
  EXPECT_EQ(window_->ended.size(), 1u);
}

TEST_F(LauncherDialogTest, StartFailureKeepsTheWindow) {
  Open();
  Poll(UpToDate, 100);
  world_.program_result = 2;
  dialog_->OnCommand(1006, platform::kButtonDoubleClicked);
  EXPECT_EQ(window_->boxes, (std::vector<std::string>{"Start game failed!\r\nError=2|Error!"}));
  window_->Drain();
  EXPECT_TRUE(window_->ended.empty());
  EXPECT_TRUE(world_.stops.empty());
  // No server selected: the player is asked for one.
  dialog_->OnCommand(1058, platform::kButtonClicked);  // Telecom zone
  EXPECT_TRUE(dialog_->Button(1058)->IsChecked());
  EXPECT_EQ(C(1071).text, "South 2");   // list entry 3 is the zone's first button
  EXPECT_FALSE(dialog_->Button(1071)->IsChecked());
  EXPECT_EQ(C(1020).text, "North 1");  // the selection stays
  SelectedServerSection = "none";
  world_.program_result = 33;
  dialog_->OnCommand(1010, platform::kButtonClicked);
  EXPECT_EQ(window_->boxes.back(), "Please select the server|Quillfen");
  EXPECT_EQ(world_.programs.size(), 1u);
}

TEST_F(LauncherDialogTest, AFailedInstallOffersARepairOnce) {
  world_.can_repair = true;
  Open();
  // Failures a repair cannot get past ask nothing.
  for (int32_t state : {NetworkError, LatestFetchFailed, InfoFetchFailed, DigestMismatch, UnexpectedError}) {
    Poll(state);
  }
  EXPECT_TRUE(window_->questions.empty());
  window_->answer = false;
  Poll(SetupFailed);
  Poll(SetupFailed);
  Poll(PackageFailed);
  ASSERT_EQ(window_->questions.size(), 1u);
  EXPECT_EQ(window_->questions[0],
            "The update could not be completed.\r\n\r\nCheck every game file now and download only the files that "
            "differ from the newest version?|Repair game files");
  EXPECT_EQ(world_.repairs, 0);

  // Yes: the repair starts and is polled until it ends.
  Reopen();
  window_->answer = true;
  Poll(UpToDate, 100);
  EXPECT_TRUE(C(kStartId).enabled);
  EXPECT_EQ(window_->timers.count(kPollTimer), 0u);
  Poll(PackageFailed);
  EXPECT_EQ(world_.repairs, 1);
  EXPECT_FALSE(C(kStartId).enabled);
  EXPECT_EQ(window_->timers.count(kPollTimer), 1u);
  // The repair failing in turn asks nothing more.
  Poll(SetupFailed);
  EXPECT_EQ(window_->questions.size(), 1u);
  EXPECT_EQ(world_.repairs, 1);
  Poll(UpToDate, 100);
  EXPECT_TRUE(C(kStartId).enabled);
}

TEST_F(LauncherDialogTest, AGameThatDoesNotStartOffersARepair) {
  world_.can_repair = true;
  Open();
  Poll(UpToDate, 100);
  world_.program_result = 2;
  dialog_->OnCommand(kStartId, platform::kButtonClicked);
  EXPECT_EQ(window_->boxes, (std::vector<std::string>{"Start game failed!\r\nError=2|Error!"}));
  ASSERT_EQ(window_->questions.size(), 1u);
  EXPECT_EQ(window_->questions[0].rfind("The game could not be started; some of its files may be damaged.", 0), 0u);
  EXPECT_EQ(world_.repairs, 1);
  EXPECT_EQ(window_->timers.count(kPollTimer), 1u);

  // Not while a repair runs already, nor without one to offer.
  world_.repairing = true;
  Reopen();
  Poll(SetupFailed);
  EXPECT_EQ(window_->questions.size(), 0u);
  world_.repairing = false;
  world_.can_repair = false;
  Reopen();
  Poll(SetupFailed);
  EXPECT_EQ(window_->questions.size(), 0u);
}

TEST_F(LauncherDialogTest, TheContextMenuRepairsWheneverTheEngineHasEnded) {
  Open();
  EXPECT_TRUE(window_->menu.empty());  // no repair to offer, no menu
  world_.can_repair = true;
  Reopen();
  EXPECT_EQ(window_->menu, (std::vector<std::string>{"40001|Repair game files..."}));
  Poll(Downloading, 10);
  dialog_->OnCommand(kRepairMenuId, platform::kMenuChosen);
  EXPECT_EQ(window_->boxes,
            (std::vector<std::string>{"The launcher is still updating; choose the repair again when it has "
                                      "finished.|Repair game files"}));
  EXPECT_TRUE(window_->questions.empty());
  // A click with the same number is no menu choice.
  Poll(UpToDate, 100);
  dialog_->OnCommand(kRepairMenuId, platform::kButtonClicked);
  EXPECT_TRUE(window_->questions.empty());
  window_->answer = false;
  dialog_->OnCommand(kRepairMenuId, platform::kMenuChosen);
  ASSERT_EQ(window_->questions.size(), 1u);
  EXPECT_EQ(window_->questions[0].rfind("Every game file will be checked.\r\n\r\nCheck every game file now", 0), 0u);
  EXPECT_EQ(world_.repairs, 0);
  // Asked again each time it is chosen; a failed update asks nothing more.
  window_->answer = true;
  dialog_->OnCommand(kRepairMenuId, platform::kMenuChosen);
  EXPECT_EQ(world_.repairs, 1);
  EXPECT_EQ(window_->timers.count(kPollTimer), 1u);
  Poll(SetupFailed);
  EXPECT_EQ(window_->questions.size(), 2u);
  dialog_->OnCommand(kRepairMenuId, platform::kMenuChosen);
  EXPECT_EQ(world_.repairs, 2);
}

TEST_F(LauncherDialogTest, FixedServerIsStartedAndLastServerKept) {
  // The remembered slot lies in the other zone: the selection shows an empty
  // slot, and the fixed server is started all the same.
  platform::SetProfileString("ServerSection", "LastServer", "CNCZone1", list_);
  Open("4");
  Poll(UpToDate, 100);
  EXPECT_EQ(SelectedServerSection, "");
  dialog_->OnCommand(1010, platform::kButtonClicked);
  ASSERT_EQ(world_.programs.size(), 1u) << ::testing::PrintToString(window_->boxes) << SelectedServerSection;
  EXPECT_EQ(world_.programs[0].parameters, "-updated -BishopIP=10.0.1.3 -BishopPort=7103 ");
  EXPECT_EQ(LastServer(), "CNCZone1");
  window_->Drain();
  EXPECT_EQ(window_->ended, (std::vector<int>{kExitCode}));
}

TEST_F(LauncherDialogTest, MissingFixedServerEndsAtSetUp) {
  Open("9");
  EXPECT_EQ(window_->boxes, (std::vector<std::string>{"Error: Specified server doesn't exist.|Quillfen"}));
  EXPECT_EQ(world_.starts, 0);
  window_->Drain();
  EXPECT_EQ(window_->ended, (std::vector<int>{kExitCode}));
}

TEST_F(LauncherDialogTest, KeysCloseAndMessages) {
  Open();
  window_->Drain();
  EXPECT_TRUE(dialog_->OnKey(platform::kKeyEnter));
  EXPECT_TRUE(dialog_->OnKey(platform::kKeyEscape));
  EXPECT_TRUE(window_->posted.empty());
  dialog_->OnCommand(1070, platform::kButtonClicked);
  EXPECT_EQ(window_->minimised, 1);
  // Operations of the sent message; 7 and above are ignored.
  UiTextArgs text{&C(1014), "by message"};
  window_->Send(platform::kUiOpMessage, kUiOpSetText, reinterpret_cast<intptr_t>(&text));
  EXPECT_EQ(C(1014).text, "by message");
  UiMoveArgs move{&C(1020), Rect{1, 2, 3, 4}};
  window_->Send(platform::kUiOpMessage, kUiOpMove, reinterpret_cast<intptr_t>(&move));
  EXPECT_EQ(C(1020).bounds, (Rect{1, 2, 3, 4}));
  UiShowArgs hide{&C(1020), 0};
  window_->Send(platform::kUiOpMessage, kUiOpShow, reinterpret_cast<intptr_t>(&hide));
  EXPECT_FALSE(C(1020).visible);
  EXPECT_EQ(window_->Send(platform::kUiOpMessage, 7, reinterpret_cast<intptr_t>(&text)), 0);
  // Closing the window runs Exit.
  dialog_->OnClose();
  EXPECT_EQ(world_.stops, (std::vector<int32_t>{UnexpectedError}));
  window_->Drain();
  EXPECT_EQ(window_->ended, (std::vector<int>{kExitCode}));
}

// The news pane against a real server on 127.0.0.1: what the window fetches
// itself, what it hands the pane, and what it refuses.
class LauncherNewsTest : public LauncherDialogTest {
 protected:
  void SetUp() override {
    LauncherDialogTest::SetUp();
    if (!NginxServer::Available()) GTEST_SKIP() << "nginx is not installed";
    tree_ = dir_ / "tree" + platform::kPathSep;
    ASSERT_TRUE(platform::MakeDirectories(tree_));
    ASSERT_TRUE(server_.Start(tree_));
    ASSERT_TRUE(GenerateSeed(&seed_));
    PublisherKey key;
    ASSERT_TRUE(PublicKeyOfSeed(seed_, &key));
    key_text_ = EncodePublicKey(key);
    Logger::Instance().Init("T", logs_.Path(), Logger::kToFile, 200, 1000000);
  }
  void TearDown() override {
    Close();
    Logger::Instance().Init("T", logs_.Path(), 0, 200, 1000000);
  }
  // A page and, unless `sig` is null, its signature file.
  void Put(const std::string& name, const std::string& page, const std::string* sig) {
    ASSERT_TRUE(platform::WriteStringToFile(tree_ + name, page));
    if (sig) {
      ASSERT_TRUE(platform::WriteStringToFile(tree_ + name + ".sig", *sig));
    }
  }
  std::string SigOver(const std::string& data, const SigningSeed& seed) {
    Signature sig;
    EXPECT_TRUE(Sign(seed, data, &sig));
    return SignatureFileText(sig);
  }
  void Close() {
    window_.reset();  // the dialog hears OnDestroy first
    dialog_.reset();
  }
  // Opens the window with `key` as string 803 and both layouts naming
  // `page`, and runs its message loop until the pane is given a page
  // (at most 10 s). The pages the pane was given.
  std::vector<FakeControl::Page> Show(const std::string& key, const std::string& page) {
    Close();
    server_.ClearAccessLog();
    world_.strings[803] = key;
    world_.strings[1006] = world_.strings[1007] = server_.Url(page);
    Open();
    for (int waited = 0; waited < 10000 && C(1001).pages.empty(); waited += 20) {
      window_->Drain();
      if (C(1001).pages.empty()) platform::SleepMs(20);
    }
    return C(1001).pages;
  }
  std::vector<std::string> Requested() {
    std::vector<std::string> uris;
    for (const auto& l : server_.AccessLog()) uris.push_back(l.uri);
    return uris;
  }
  std::string Log() const {
    std::string text;
    platform::ReadFileToString(Logger::Instance().CurrentFileName(), &text);
    return text;
  }

  testkit::TempDir logs_;
  std::string tree_;
  NginxServer server_;
  SigningSeed seed_;
  std::string key_text_;
};

size_t CountOf(const std::string& text, const std::string& needle) {
  size_t n = 0;
  for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) ++n;
  return n;
}

const char kNews[] = "<!DOCTYPE html><html><body><p>Version 1.0.0.5 is out</p></body></html>\n";

TEST_F(LauncherNewsTest, SignedPageReachesThePaneAsItsBytesWithItsAddress) {
  const std::string sig = SigOver(kNews, seed_);
  Put("news.html", kNews, &sig);
  // A key list in rotation: the old key first, the signing key second.
  SigningSeed old_seed;
  PublisherKey old_key;
  ASSERT_TRUE(GenerateSeed(&old_seed) && PublicKeyOfSeed(old_seed, &old_key));
  const auto pages = Show(EncodePublicKey(old_key) + ", " + key_text_, "news.html");
  ASSERT_EQ(pages.size(), 1u) << Log();
  EXPECT_EQ(pages[0].bytes, kNews);
  EXPECT_EQ(pages[0].base_url, server_.Url("news.html"));
  // The window fetched the page and its signature, once each.
  EXPECT_EQ(Requested(), (std::vector<std::string>{"/news.html", "/news.html.sig"}));
  EXPECT_NE(Log().find("news page signature verified"), std::string::npos) << Log();
  EXPECT_EQ(Log().find("WARN"), std::string::npos) << Log();
}

TEST_F(LauncherNewsTest, PageThatFailsItsCheckLeavesThePaneBlankWithAWarning) {
  SigningSeed other;
  ASSERT_TRUE(GenerateSeed(&other));
  std::string tampered = kNews;
  tampered[30] ^= 1;
  const std::string good_sig = SigOver(kNews, seed_), other_sig = SigOver(kNews, other);
  // Refused for its size before any signature is looked at.
  const std::string big = std::string(kMaxPageSize + 1, 'x');
  Put("tampered.html", tampered, &good_sig);
  Put("unsigned.html", kNews, nullptr);
  Put("other-key.html", kNews, &other_sig);
  Put("big.html", big, &good_sig);
  struct Case {
    const char* page;
    std::string key;
    const char* why;
  } cases[] = {
      {"tampered.html", key_text_, "does not verify"},
      {"unsigned.html", key_text_, "not available"},
      {"other-key.html", key_text_, "does not verify"},
      {"big.html", key_text_, "larger than 1048576"},
      {"missing.html", key_text_, "not fetched"},
      {"unsigned.html", "not a key", "does not decode"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.page);
    const size_t warnings = CountOf(Log(), "WARN");
    const auto pages = Show(c.key, c.page);
    ASSERT_EQ(pages.size(), 1u) << Log();
    EXPECT_EQ(pages[0].bytes, "");
    EXPECT_EQ(CountOf(Log(), "WARN"), warnings + 1) << Log();
    const std::string log = Log();
    const size_t line = log.rfind("news page not shown");
    ASSERT_NE(line, std::string::npos) << log;
    EXPECT_NE(log.find(c.why, line), std::string::npos) << log.substr(line);
  }
}

TEST_F(LauncherNewsTest, InstallWithoutAKeyShowsThePageUnchecked) {
  Put("news.html", kNews, nullptr);
  const auto pages = Show("", "news.html");
  ASSERT_EQ(pages.size(), 1u) << Log();
  EXPECT_EQ(pages[0].bytes, kNews);
  EXPECT_EQ(Requested(), (std::vector<std::string>{"/news.html"}));
}

TEST_F(LauncherNewsTest, OnlyThePageOfTheLastLayoutIsFetched) {
  const std::string sig = SigOver(kNews, seed_);
  Put("news.html", kNews, &sig);
  Put("startup.html", "<p>start</p>", nullptr);
  world_.strings[803] = key_text_;
  world_.strings[1006] = server_.Url("startup.html");
  world_.strings[1007] = server_.Url("news.html");
  Open();
  for (int waited = 0; waited < 10000 && C(1001).pages.empty(); waited += 20) {
    window_->Drain();
    if (C(1001).pages.empty()) platform::SleepMs(20);
  }
  ASSERT_EQ(C(1001).pages.size(), 1u);
  EXPECT_EQ(C(1001).pages[0].bytes, kNews);
  EXPECT_EQ(Requested(), (std::vector<std::string>{"/news.html", "/news.html.sig"}));
}

// A page that trickles in holds neither the message loop nor the close.
TEST_F(LauncherNewsTest, ClosingWhileThePageTricklesInEndsAtOnce) {
  if (!FaultServer::Available()) GTEST_SKIP() << "no fault server here";
  FaultServer slow;
  ASSERT_TRUE(slow.Start(std::string(20000, 'n')));
  slow.SetScript([](const FaultServer::Request&) { return FaultServer::Fault::kSlowDrip; });
  world_.strings[1006] = world_.strings[1007] = slow.Url("/news.html");
  const auto opened = std::chrono::steady_clock::now();
  Open();
  window_->Drain();  // the fetch starts
  EXPECT_LT(std::chrono::steady_clock::now() - opened, std::chrono::seconds(2));
  for (int waited = 0; waited < 10000 && slow.Requests().empty(); waited += 20) platform::SleepMs(20);
  ASSERT_EQ(slow.Requests().size(), 1u);
  const auto closing = std::chrono::steady_clock::now();
  Close();
  EXPECT_LT(std::chrono::steady_clock::now() - closing, std::chrono::seconds(2));
}

}  // namespace
