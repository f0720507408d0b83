#include "win_dl_net/rate_limit.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <deque>
#include <vector>

#include "platform/file.h"
#include "platform/path.h"
#include "platform/process.h"
#include "testing/served_bytes.h"
#include "testing/testing.h"
#include "win_dl_net/segment_policy.h"

namespace {

// A clock the test moves by hand.
struct HandClock {
  int64_t now = 1000;
  int calls = 0;
  RateLimit::Clock Fn() {
    return [this] { return ++calls, now; };
  }
};

// A small generator of the same numbers in every run.
struct Numbers {
  uint64_t state = 0x9E3779B97F4A7C15ull;
  uint32_t Below(uint32_t bound) {
    state = state * 6364136223846793005ull + 1442695040888963407ull;
    return static_cast<uint32_t>((state >> 33) % bound);
  }
};

// Four readers on one limit, as the four ranges of a job: each asks for up
// to a block, reads all or (now and then) part of what it got and gives the
// rest back, and every few seconds stalls for a while as a connection does;
// once the server pauses for all of them.
// A waiting reader wakes a little late, as a thread does. Returns the bytes
// read at each millisecond of `ms`; `per_reader` the bytes of each.
std::vector<uint64_t> Simulate(uint64_t rate, int64_t ms, std::vector<uint64_t>* per_reader) {
  HandClock clock;
  const int64_t begin = clock.now;
  RateLimit limit(rate, clock.Fn());
  Numbers rnd;
  std::vector<uint64_t> read(static_cast<size_t>(ms), 0);
  std::vector<int64_t> next(4, begin), stall(4);
  for (int64_t& at : stall) at = begin + 2000 + rnd.Below(10000);
  per_reader->assign(4, 0);
  for (int guard = 0; guard < 50000000; ++guard) {
    const size_t r = static_cast<size_t>(std::min_element(next.begin(), next.end()) - next.begin());
    if (next[r] >= begin + ms) break;
    clock.now = next[r];
    if (clock.now >= begin + 20000 && clock.now < begin + 26000) {  // the server pauses for all
      next[r] = begin + 26000;
      continue;
    }
    if (clock.now >= stall[r]) {  // the connection stalls for a second or four
      next[r] += 1000 + rnd.Below(3000);
      stall[r] = next[r] + 2000 + rnd.Below(10000);
      continue;
    }
    uint32_t wait = 0;
    const uint32_t want = 1 + rnd.Below(8192);
    const uint32_t granted = limit.Take(want, &wait);
    if (granted == 0) {
      EXPECT_GE(wait, 1u);
      EXPECT_LE(wait, RateLimit::kMaxWaitMs);
      next[r] += wait + rnd.Below(3);
      continue;
    }
    EXPECT_LE(granted, want);
    const uint32_t got = rnd.Below(8) == 0 ? rnd.Below(granted + 1) : granted;
    limit.GiveBack(granted - got);
    read[static_cast<size_t>(clock.now - begin)] += got;
    (*per_reader)[r] += got;
    next[r] += rnd.Below(2);  // a read takes a moment, or none
  }
  return read;
}

TEST(RateLimitTest, AnyFiveSecondsStayWithinTenPercentOverTheLimit) {
  for (uint64_t rate : {1024ull, 100ull * 1024, 300ull * 1024, 8ull * 1024 * 1024}) {
    SCOPED_TRACE(rate);
    const int64_t ms = 60000;
    std::vector<uint64_t> per_reader;
    const std::vector<uint64_t> read = Simulate(rate, ms, &per_reader);
    // Every window of five seconds, at every millisecond.
    const size_t window = 5000;
    uint64_t in_window = 0, most = 0, total = 0;
    for (size_t t = 0; t < read.size(); ++t) {
      in_window += read[t];
      total += read[t];
      if (t >= window) in_window -= read[t - window];
      most = std::max(most, in_window);
    }
    EXPECT_LE(most, rate * 5 * 11 / 10);

    // And the limit is a cap, not a brake: the readers get about the rate,
    // each a share of it.
    EXPECT_GE(total, rate * 54 * 95 / 100);  // 54 s with someone reading
    EXPECT_LE(total, rate * 61);
    for (uint64_t mine : per_reader) EXPECT_GE(mine, total / 20);
  }
}

TEST(RateLimitTest, AnIdleSpellSavesUpAtMostABurst) {
  HandClock clock;
  const uint64_t rate = 100 * 1024;
  RateLimit limit(rate, clock.Fn());
  clock.now += 60000;
  uint64_t taken = 0;
  uint32_t wait = 0, got = 0;
  while ((got = limit.Take(8192, &wait)) > 0) taken += got;
  EXPECT_LE(taken, rate * RateLimit::kBurstMs / 1000 + 1);
  EXPECT_GE(taken, rate * RateLimit::kBurstMs / 1000 - 1);
  // Giving back does not add to the burst either.
  limit.GiveBack(1 << 30);
  taken = 0;
  while ((got = limit.Take(8192, &wait)) > 0) taken += got;
  EXPECT_LE(taken, rate * RateLimit::kBurstMs / 1000 + 1);
  // Dry now: the wait names when some come, and then they do.
  EXPECT_EQ(limit.Take(8192, &wait), 0u);
  EXPECT_GE(wait, 1u);
  EXPECT_LE(wait, RateLimit::kMaxWaitMs);
  clock.now += wait;
  EXPECT_GT(limit.Take(8192, &wait), 0u);
}

TEST(RateLimitTest, TheLowestRateStillMovesAndAWaitIsShort) {
  HandClock clock;
  RateLimit limit(1, clock.Fn());  // one byte a second
  uint32_t wait = 0;
  EXPECT_EQ(limit.Take(8192, &wait), 0u);
  EXPECT_EQ(wait, RateLimit::kMaxWaitMs);  // not a second: a stop is seen sooner
  clock.now += 1000;
  EXPECT_EQ(limit.Take(8192, &wait), 1u);
}

TEST(RateLimitTest, NoLimitGrantsEverythingWithoutTheClock) {
  HandClock clock;
  RateLimit limit(0, clock.Fn());
  EXPECT_FALSE(limit.Limited());
  uint32_t wait = 7;
  EXPECT_EQ(limit.Take(8192, &wait), 8192u);
  EXPECT_EQ(wait, 0u);
  limit.GiveBack(100);
  EXPECT_EQ(clock.calls, 0);
}

// --- A job under a limit, against the in-process server ---------------------

class LimitedJobTest : public testkit::ServedBytesTest<160000> {
 protected:
  std::string Local() const { return tmp_.Path() + "pkgs" + platform::kPathSep + "pkg.exe"; }
};

TEST_F(LimitedJobTest, TheRangesTogetherKeepToTheLimit) {
  const uint64_t limit = 100 * 1024;
  platform::MakeDirectories(tmp_.Path() + "pkgs");
  SegmentPolicy job(tmp_.Path() + "pkgs", server_.Url("dir/pkg.exe"));
  job.SetJournalPath(tmp_ / "Download.xml");
  job.SetRateLimit(limit);
  ASSERT_TRUE(job.Init());
  const auto began = std::chrono::steady_clock::now();
  ASSERT_TRUE(job.Start());
  job.Wait();
  const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - began);
  EXPECT_EQ(job.GetDownloadedSize(), kSize);
  EXPECT_TRUE(testkit::ReadFile(Local()) == data_);
  // No faster than the limit allows (a lower bound only: how much slower a
  // loaded machine makes it is no business of this test).
  EXPECT_GE(took.count(), static_cast<int64_t>(kSize * 1000 / limit * 9 / 10));
}

TEST_F(LimitedJobTest, StopWhileWaitingForTheAllowanceEndsWithinTwoSeconds) {
  platform::MakeDirectories(tmp_.Path() + "pkgs");
  SegmentPolicy job(tmp_.Path() + "pkgs", server_.Url("pkg.exe"));
  job.SetJournalPath(tmp_ / "Download.xml");
  job.SetRateLimit(2 * 1024);  // the file would take more than a minute
  ASSERT_TRUE(job.Init());
  ASSERT_TRUE(job.Start());
  for (int i = 0; i < 1000 && job.GetDownloadedSize() == 0; ++i) platform::SleepMs(5);
  EXPECT_GT(job.GetDownloadedSize(), 0u);
  EXPECT_TRUE(testkit::EndsWithin(2000, [&] {
    job.Stop();
    job.Wait();
  }));
  EXPECT_LT(job.GetDownloadedSize(), kSize);
  // What came is on disk and in the journal, for the next run to resume.
  const std::string file = testkit::ReadFile(Local());
  ASSERT_EQ(job.Segments().size(), 4u);
  for (const SegmentInfo& s : job.Segments()) {
    EXPECT_TRUE(file.substr(s.isp, s.sp - s.isp) == data_.substr(s.isp, s.sp - s.isp));
  }
}

}  // namespace
