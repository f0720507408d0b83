// The widgets on a real display: a skinned window from the resource library
// is shown, read back from screenshots and driven with the pointer from a
// worker thread, which also checks the cross-thread messages, a timer and a
// message box. Run by display_test.sh, which starts a private X server;
// skipped where there is no display.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "gtest/gtest.h"
#include "launcher/ui/bmp_button.h"
#include "launcher/ui/flash_bmp_button.h"
#include "launcher/ui/skin_dialog.h"
#include "launcher/ui/web_browser.h"
#include "platform/file.h"
#include "platform/gui.h"
#include "platform/process.h"
#include "platform/resources.h"
#include "platform/window.h"
#include "testing/testing.h"

#ifndef RENEWEL_SCREENSHOT_DIR
#define RENEWEL_SCREENSHOT_DIR "screenshots"
#endif

namespace {

using platform::Color;
using platform::Image;

constexpr int kLeft = 40, kTop = 30;  // where the window is put on the screen
constexpr int kExit = 1011, kMinimise = 1070, kStart = 1010, kServer = 1071;
constexpr int kWaitMs = 15000;

// Runs an X tool to its end, at most kWaitMs. The end is seen by a marker
// file the shell writes after the tool, since under Wine the handle of a
// program of the host system does not tell when it has ended.
bool Tool(const std::string& command) {
  static int serial = 0;
  const std::string marker = std::string(RENEWEL_SCREENSHOT_DIR) + "/tool-" + std::to_string(++serial) + ".done";
  platform::MakeDirectories(RENEWEL_SCREENSHOT_DIR);
  platform::RemoveFile(marker);
  std::unique_ptr<platform::Process> p =
      platform::StartProcess("/bin/sh -c \"" + command + " >/dev/null 2>&1; echo done >" + marker + "\"");
  if (!p) return false;
  for (int waited = 0; waited < kWaitMs; waited += 20) {
    std::string text;
    if (platform::ReadFileToString(marker, &text) && !text.empty()) {
      platform::RemoveFile(marker);
      return true;
    }
    platform::SleepMs(20);
  }
  p->Kill();
  return false;
}

// A screenshot of the whole screen, kept as a BMP file for review.
bool Screenshot(const std::string& name, Image* out) {
  const std::string path = std::string(RENEWEL_SCREENSHOT_DIR) + "/" + name + ".bmp";
  platform::MakeDirectories(RENEWEL_SCREENSHOT_DIR);
  if (!Tool("/usr/bin/import -window root bmp3:" + path)) return false;
  std::string file;
  if (!platform::ReadFileToString(path, &file) || file.size() < 14) return false;
  return Image::FromDib(file.substr(14), out);
}

// Progress of the worker, so that a run that hits its time limit shows where.
void Step(const char* what) {
  std::fprintf(stderr, "display test: %s\n", what);
  std::fflush(stderr);
}

void Pointer(int x, int y) { Tool("/usr/bin/xdotool mousemove " + std::to_string(kLeft + x) + " " + std::to_string(kTop + y)); }

// What the window's thread saw.
struct Seen {
  std::mutex mu;
  std::vector<int> messages;
  std::vector<uint32_t> threads;
  std::vector<int> commands;
  std::vector<int> chosen;  // context menu entries
};

enum Op : uintptr_t { kRecord = 1, kQueryHover, kShowBox, kEnd, kQueryTimer, kAskBox };
constexpr int kMenuEntry = 40007;

class TestWindow : public SkinDialog {
 public:
  TestWindow(const BitmapSource* bitmaps, Seen* seen) : SkinDialog(bitmaps), seen_(seen) {}

  void OnCreate(platform::Window& window) override {
    SkinDialog::OnCreate(window);
    window_thread = platform::CurrentThreadId();
    window.RemoveTitleBar();
    window.SetIconResource(128);
    SetKeyColor(platform::kPureGreen);
    ShapeFromImage(true);
    loaded = LoadBackground(156);
    window.Move(platform::Rect{kLeft, kTop, kLeft + 880, kTop + 620});
    const platform::Color green = platform::kPureGreen;
    exit_.Attach(window.Find(kExit));
    minimise_.Attach(window.Find(kMinimise));
    start_.Attach(window.Find(kStart));
    server_.Attach(window.Find(kServer));
    loaded = loaded && exit_.LoadImages(*bitmaps(), 144, 146, 147, 145, green) &&
             minimise_.LoadImages(*bitmaps(), 182, 184, 185, 183, green) &&
             start_.SetFrames(*bitmaps(), {190, 191, 192, 193, 194}) &&
             start_.LoadImages(*bitmaps(), 155, 153, 154, 152, green) &&
             server_.LoadImages(*bitmaps(), 263, 261, 262, 273, green);
    window.Find(kExit)->Move({808, 17, 859, 43});
    window.Find(kMinimise)->Move({760, 17, 811, 43});
    window.Find(kStart)->Move({522, 511, 736, 604});
    window.Find(kServer)->Move({585, 405, 585, 405});  // takes no room
    window.SetContextMenu({{kMenuEntry - 1, "Another entry"}, {kMenuEntry, "The test's entry"}});
    group_.Add(&exit_);
    group_.Add(&minimise_);
    start_.Flash(true);
    platform::Control* version = window.Find(1016);
    version->SetTextColor(platform::kWhite);
    version->SetText("1.0.0.1");
    version->Move({674, 64, 794, 80});
    browser_.Attach(window.Find(1001));
    browser_.ShowPage("", "about:blank");
    window.SetTimer(7, 50);
  }
  void OnTimer(int id) override {
    if (id == 7) ++ticks;
  }
  void OnCommand(int id, int notification) override {
    std::lock_guard<std::mutex> hold(seen_->mu);
    if (notification == platform::kButtonClicked) seen_->commands.push_back(id);
    if (notification == platform::kMenuChosen) seen_->chosen.push_back(id);
  }
  intptr_t OnMessage(unsigned message, uintptr_t wparam, intptr_t lparam) override {
    {
      std::lock_guard<std::mutex> hold(seen_->mu);
      seen_->threads.push_back(platform::CurrentThreadId());
    }
    switch (wparam) {
      case kRecord: {
        std::lock_guard<std::mutex> hold(seen_->mu);
        seen_->messages.push_back(static_cast<int>(lparam));
        return lparam * 10;
      }
      case kQueryHover:
        return (exit_.IsHover() ? 1 : 0) | (exit_.IsChecked() ? 2 : 0) | (minimise_.IsChecked() ? 4 : 0);
      case kShowBox:
        window()->ShowMessage("A message for the test", "RenewelTestBox");
        box_closed = true;
        return 0;
      case kAskBox:
        answer = window()->AskYesNo("A question for the test", "RenewelTestAsk") ? 1 : 0;
        return 0;
      case kQueryTimer:
        return ticks;
      case kEnd:
        start_.Flash(false);
        window()->EndModal(static_cast<int>(lparam));
        return 0;
      default: return 0;
    }
  }

  std::atomic<uint32_t> window_thread{0};
  std::atomic<int> ticks{0};
  std::atomic<bool> box_closed{false};
  std::atomic<int> answer{-1};  // of the question: 1 yes, 0 no, -1 none yet
  bool loaded = false;

 private:
  Seen* seen_;
  CBmpButton exit_, minimise_, server_;
  CFlashBmpButton start_;
  ButtonGroup group_;
  CWebBrowser2 browser_;
};

Color At(const Image& shot, int x, int y) { return shot.ColorAt(kLeft + x, kTop + y); }

class DisplayTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!platform::DisplayAvailable()) GTEST_SKIP() << "no display (run through display_test.sh)";
    lib_ = platform::ResourceLibrary::Load(testkit::BuiltLibrary("Quillfen"));
    ASSERT_NE(lib_, nullptr);
    bitmaps_ = std::make_unique<ResourceBitmaps>(lib_.get());
  }
  Image Bitmap(int id) {
    Image img;
    EXPECT_TRUE(bitmaps_->Bitmap(id, &img)) << id;
    return img;
  }
  std::unique_ptr<platform::ResourceLibrary> lib_;
  std::unique_ptr<ResourceBitmaps> bitmaps_;
};

TEST_F(DisplayTest, SkinnedWindowFollowsThePointerAndTakesMessagesFromAnyThread) {
  Seen seen;
  TestWindow window(bitmaps_.get(), &seen);
  // The worker drives the window once it runs: OnCreate has stored window().
  std::vector<std::string> failures;
  std::thread worker([&] {
    auto fail = [&](const std::string& what) { failures.push_back(what); };
    auto send = [&](Op op, intptr_t arg = 0) { return window.window()->Send(platform::kUiOpMessage, op, arg); };
    for (int i = 0; i < 300 && !window.window(); ++i) platform::SleepMs(50);
    if (!window.window()) return fail("the window never appeared");
    send(kQueryHover);  // returns once the modal loop runs
    Pointer(300, 300);
    platform::SleepMs(800);

    const Image background = Bitmap(156), exit_normal = Bitmap(144), exit_hover = Bitmap(147),
                exit_pressed = Bitmap(146), exit_checked = Bitmap(145);
    Image shot;
    if (!Screenshot("01-shown", &shot)) return fail("no screenshot");
    // The green border is cut away; what shows there is the empty screen.
    if (At(shot, 1, 300) == platform::kPureGreen || At(shot, 0, 0) == platform::kPureGreen)
      fail("key-colour pixels were not cut away");
    if (At(shot, 300, 600) != background.ColorAt(300, 600)) fail("background not painted");
    if (At(shot, 808 + 6, 17 + 13) != exit_normal.ColorAt(6, 13)) fail("exit button not in its normal image");

    // Start-up finds this process's window the way it finds another launcher's.
    platform::WindowRef found = 0;
    if (!platform::FindVisibleWindowOfProcess(platform::CurrentProcessId(), &found)) fail("own window not found");
    if (found) platform::ActivateWindow(found);

    Step("hover");
    Pointer(808 + 25, 17 + 13);
    platform::SleepMs(600);
    if ((send(kQueryHover) & 1) == 0) fail("no hover over the exit button");
    if (!Screenshot("02-hover", &shot)) return fail("no screenshot");
    if (At(shot, 808 + 6, 17 + 13) != exit_hover.ColorAt(6, 13)) fail("hover image not shown");

    Step("press");
    Tool("/usr/bin/xdotool mousedown 1");
    platform::SleepMs(600);
    if (!Screenshot("03-pressed", &shot)) return fail("no screenshot");
    if (At(shot, 808 + 6, 17 + 13) != exit_pressed.ColorAt(6, 13)) fail("pressed image not shown");
    Tool("/usr/bin/xdotool mouseup 1");
    platform::SleepMs(600);
    if ((send(kQueryHover) & 6) != 2) fail("the click did not check only the exit button");
    if (!Screenshot("04-checked", &shot)) return fail("no screenshot");
    if (At(shot, 808 + 6, 17 + 13) != exit_checked.ColorAt(6, 13)) fail("checked image not shown");

    Step("zero-sized button");
    Pointer(585, 405);  // the zero-sized server button
    platform::SleepMs(300);
    Tool("/usr/bin/xdotool click 1");
    Pointer(300, 300);
    platform::SleepMs(600);
    if ((send(kQueryHover) & 1) != 0) fail("hover stayed after the pointer left");

    Step("context menu");
    // Opens the menu with `opening` and chooses its second entry with the
    // keyboard; waits (at most 5 s) until `choices` entries were reported.
    auto choose = [&](const std::string& opening, size_t choices) {
      Tool(opening);
      platform::SleepMs(800);
      Tool("/usr/bin/xdotool key Down Down Return");
      for (int i = 0; i < 25; ++i) {
        platform::SleepMs(200);
        std::lock_guard<std::mutex> hold(seen.mu);
        if (seen.chosen.size() >= choices) return;
      }
    };
    // Right-clicking the start button opens it, and so does Shift+F10.
    Pointer(629, 557);
    platform::SleepMs(300);
    choose("/usr/bin/xdotool click 3", 1);
    choose("/usr/bin/xdotool key shift+F10", 2);
    {
      std::lock_guard<std::mutex> hold(seen.mu);
      if (seen.chosen != std::vector<int>{kMenuEntry, kMenuEntry})
        fail("the menu's second entry was not reported chosen, by the mouse and by the keyboard");
      if (!seen.commands.empty() && seen.commands.back() == kStart) fail("the right click clicked the button");
    }
    Pointer(300, 300);

    Step("messages");
    // Posted and sent messages from this thread.
    window.window()->Post(platform::kUiCallMessage, kRecord, 1);
    if (send(kRecord, 2) != 20) fail("the sent message's result was lost");
    window.window()->Post(platform::kUiCallMessage, kRecord, 3);
    window.window()->Post(platform::kUiCallMessage, kRecord, 4);
    if (send(kRecord, 5) != 50) fail("the sent message's result was lost");
    if (send(kQueryTimer) == 0) fail("the timer never fired");

    Step("message box");
    // A message box, found by its caption and dismissed with Enter.
    window.window()->Post(platform::kUiCallMessage, kShowBox, 0);
    bool dismissed = false;
    for (int i = 0; i < 50 && !dismissed; ++i) {
      platform::SleepMs(200);
      Tool("/usr/bin/xdotool search --name RenewelTestBox windowfocus %1 sleep 0.3 key Return");
      dismissed = window.box_closed;
    }
    if (!dismissed) {
      fail("the message box was not dismissed");
      return;  // the window thread is held by the box; the run's time limit ends it
    }
    Step("question");
    // A question, answered with Enter: its default button is Yes.
    window.window()->Post(platform::kUiCallMessage, kAskBox, 0);
    for (int i = 0; i < 50 && window.answer < 0; ++i) {
      platform::SleepMs(200);
      Tool("/usr/bin/xdotool search --name RenewelTestAsk windowfocus %1 sleep 0.3 key Return");
    }
    if (window.answer != 1) {
      fail(window.answer < 0 ? "the question was not answered" : "Enter answered No");
      if (window.answer < 0) return;
    }
    window.window()->Post(platform::kUiCallMessage, kEnd, 7);
  });
  const int code = platform::RunDialog(*lib_, 9, &window);
  worker.join();
  for (const std::string& f : failures) ADD_FAILURE() << f;
  EXPECT_TRUE(window.loaded);
  EXPECT_EQ(code, 7);
  std::lock_guard<std::mutex> hold(seen.mu);
  // Posted messages keep their order, each send is handled before it returns.
  std::vector<int> posted;
  for (int m : seen.messages)
    if (m == 1 || m == 3 || m == 4) posted.push_back(m);
  EXPECT_EQ(posted, (std::vector<int>{1, 3, 4}));
  ASSERT_EQ(seen.messages.size(), 5u);
  const auto index = [&](int m) { return std::find(seen.messages.begin(), seen.messages.end(), m) - seen.messages.begin(); };
  EXPECT_LT(index(2), index(3));
  for (uint32_t t : seen.threads) EXPECT_EQ(t, window.window_thread.load());
  EXPECT_EQ(seen.commands, (std::vector<int>{kExit}));  // nothing from the zero-sized button
}

}  // namespace
