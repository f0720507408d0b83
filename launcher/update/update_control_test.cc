#include "launcher/update/update_control.h"

#include <gtest/gtest.h>

#include <atomic>
#include <ctime>
#include <thread>

#include "launcher/release/text.h"
#include "platform/env.h"

namespace {

TEST(UpdateControlTest, StatesAndTexts) {
  UpdateControl& c = UpdateControl::Instance();
  EXPECT_EQ(&c, &UpdateControl::Instance());
  EXPECT_EQ(c.GetState(), Checking);
  EXPECT_STREQ(c.GetStateText(), "Updating Checker");
  EXPECT_STREQ(UpdateStateText(DigestMismatch), "Failed to install file checker, please update again");
  EXPECT_STREQ(UpdateStateText(LatestFetchFailed), "Failed to download latest-versrion.xml file");
  EXPECT_STREQ(UpdateStateText(18), "");
  int finals = 0;
  for (int s = 0; s < kUpdateStateCount; ++s) finals += IsFinalState(s);
  EXPECT_EQ(finals, 10);
  EXPECT_TRUE(IsFinalState(Preloaded));
  // A network that stays down ends the engine's work.
  EXPECT_TRUE(IsFinalState(NetworkError));
  c.SetState(UpToDate);
  EXPECT_EQ(c.GetProgress(), 100.0f);
  c.SetState(Checking);
  EXPECT_EQ(c.GetProgress(), 0.0f);
}

// The status line: the state's text, unless a download waits on a busy
// server; then how long it waits, in whole seconds rounded up.
TEST(UpdateControlTest, StatusTextTellsOfABusyServerWhileDownloading) {
  EXPECT_EQ(StatusText(Downloading, -1), "Updating client");
  EXPECT_EQ(StatusText(Downloading, 0), "server busy, retrying in 1 s");
  EXPECT_EQ(StatusText(Downloading, 1000), "server busy, retrying in 1 s");
  EXPECT_EQ(StatusText(Downloading, 1001), "server busy, retrying in 2 s");
  EXPECT_EQ(StatusText(Downloading, 59500), "server busy, retrying in 60 s");
  // Other states keep their text: the wait belongs to the download.
  EXPECT_EQ(StatusText(NetworkError, 3000), "Network error");
  EXPECT_EQ(StatusText(UpToDate, 3000), "Updated to latest version");
  EXPECT_EQ(StatusText(18, -1), "");
}

// A clock whose local time is UTC plus two hours.
class TwoHoursEast : public platform::EnvWrapper {
 public:
  std::tm LocalTimeAt(int64_t seconds) override {
    const std::time_t t = static_cast<std::time_t>(seconds + 7200);
    std::tm out{};
    if (const std::tm* g = std::gmtime(&t)) out = *g;
    return out;
  }
};

// A pre-loaded version tells when it installs, in the player's local time.
TEST(UpdateControlTest, StatusTextOfAPreloadSaysWhenItInstalls) {
  TwoHoursEast clock;
  platform::ScopedEnv use(&clock);
  int64_t at = 0;
  ASSERT_TRUE(release::ParseUtcTime("2026-12-12T18:05:59Z", &at));
  EXPECT_EQ(StatusText(Preloaded, -1, at), "Pre-loaded, installs at 2026-12-12 20:05");
  EXPECT_EQ(StatusText(Preloaded, -1, 0), "Pre-loaded");
  // The time belongs to the pre-load only.
  EXPECT_EQ(StatusText(UpToDate, -1, at), "Updated to latest version");
}

TEST(UpdateControlTest, LockIsReentrantAndExcludesOtherThreads) {
  UpdateControl& c = UpdateControl::Instance();
  c.Lock();
  c.Lock();
  std::atomic<bool> other_got_it{false};
  std::thread t([&] {
    UpdateControlLock hold;
    other_got_it = true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_FALSE(other_got_it);
  c.Unlock();
  c.Unlock();
  t.join();
  EXPECT_TRUE(other_got_it);
}

}  // namespace
