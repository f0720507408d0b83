#include "launcher/update/update_control.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

namespace {

TEST(UpdateControlTest, StatesAndTexts) {
  UpdateControl& c = UpdateControl::Instance();
  EXPECT_EQ(&c, &UpdateControl::Instance());
  EXPECT_EQ(c.GetState(), Checking);
  EXPECT_STREQ(c.GetStateText(), "Updating Checker");
  EXPECT_STREQ(UpdateStateText(DigestMismatch), "Failed to install file checker, please update again");
  EXPECT_STREQ(UpdateStateText(LatestFetchFailed), "Failed to download latest-versrion.xml file");
  EXPECT_STREQ(UpdateStateText(17), "");
  int finals = 0;
  for (int s = 0; s < kUpdateStateCount; ++s) finals += IsFinalState(s);
  EXPECT_EQ(finals, 9);
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
  EXPECT_EQ(StatusText(17, -1), "");
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
