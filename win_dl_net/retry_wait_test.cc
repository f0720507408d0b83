#include "win_dl_net/retry_wait.h"

#include <gtest/gtest.h>

#include <set>
#include <thread>
#include <vector>

#include "platform/env.h"
#include "testing/testing.h"

namespace {

TEST(HttpDate, TheThreeFormsAndWhatIsNotADate) {
  int64_t t = 0;
  ASSERT_TRUE(ParseHttpDate("Sun, 06 Nov 1994 08:49:37 GMT", &t));
  EXPECT_EQ(t, 784111777);
  ASSERT_TRUE(ParseHttpDate("Sunday, 06-Nov-94 08:49:37 GMT", &t));
  EXPECT_EQ(t, 784111777);
  ASSERT_TRUE(ParseHttpDate("Sun Nov  6 08:49:37 1994", &t));
  EXPECT_EQ(t, 784111777);
  ASSERT_TRUE(ParseHttpDate("Thu, 01 Jan 1970 00:00:00 GMT", &t));
  EXPECT_EQ(t, 0);
  ASSERT_TRUE(ParseHttpDate("Tue, 29 Feb 2028 23:59:59 GMT", &t));
  EXPECT_EQ(t, 1835481599);
  ASSERT_TRUE(ParseHttpDate("Sat, 01 Mar 2100 00:00:00 GMT", &t));
  EXPECT_EQ(t, 4107542400);
  // Not dates: no such day, no such month, not GMT, cut short, two-digit
  // year in the fixed form, a number.
  for (const char* bad : {"Thu, 29 Feb 2029 00:00:00 GMT", "Mon, 01 Foo 2024 00:00:00 GMT",
                          "Mon, 01 Jan 2024 00:00:00 CET", "Mon, 01 Jan 2024 00:00", "Mon, 01 Jan 24 00:00:00 GMT",
                          "Mon, 01 Jan 2024 24:00:00 GMT", "120", ""}) {
    EXPECT_FALSE(ParseHttpDate(bad, &t)) << bad;
  }
}

// A two-digit year lies within 50 years from now, now being the env's clock.
TEST(HttpDate, ATwoDigitYearFollowsTheClock) {
  class In2090 : public platform::EnvWrapper {
   public:
    int64_t NowSeconds() override { return 3786912000; }  // 1 Jan 2090
  } clock;
  platform::ScopedEnv use(&clock);
  int64_t t = 0;
  ASSERT_TRUE(ParseHttpDate("Sunday, 06-Nov-94 08:49:37 GMT", &t));
  EXPECT_EQ(t, 784111777 + int64_t{3155760000});  // the same instant in 2094
  ASSERT_TRUE(ParseHttpDate("Sunday, 06-Nov-50 08:49:37 GMT", &t));
  EXPECT_LT(t, 3786912000);  // 2050, not 2150
}

TEST(RetryAfter, SecondsOrTheTimeUntilADate) {
  const int64_t now = 784111777;  // Sun, 06 Nov 1994 08:49:37 GMT
  EXPECT_EQ(RetryAfterMs("2", now), 2000);
  EXPECT_EQ(RetryAfterMs(" 120 ", now), 120000);
  EXPECT_EQ(RetryAfterMs("0", now), 0);
  EXPECT_EQ(RetryAfterMs("Sun, 06 Nov 1994 08:50:07 GMT", now), 30000);
  EXPECT_EQ(RetryAfterMs("Sun Nov  6 09:49:37 1994", now), 3600000);
  // A date gone by: ask again now.
  EXPECT_EQ(RetryAfterMs("Sun, 06 Nov 1994 08:00:00 GMT", now), 0);
  // Neither: the backoff decides.
  EXPECT_EQ(RetryAfterMs("-5", now), -1);
  EXPECT_EQ(RetryAfterMs("2.5", now), -1);
  EXPECT_EQ(RetryAfterMs("soon", now), -1);
  EXPECT_EQ(RetryAfterMs("", now), -1);
  // Huge numbers do not wrap.
  EXPECT_GT(RetryAfterMs("99999999999999999999", now), 0);
}

// A timing whose random source always gives `pick(bound)` and records the
// bounds asked for.
struct Picked {
  explicit Picked(std::function<uint32_t(uint32_t)> pick) {
    timing.random = [this, pick](uint32_t bound) {
      bounds.push_back(bound);
      return pick(bound);
    };
  }
  RetryTiming timing;
  std::vector<uint32_t> bounds;
};

TEST(BackoffTest, FirstWaitThenAFullJitterWindowDoublingUpToTheCap) {
  Picked most([](uint32_t bound) { return bound; });
  Backoff b(most.timing);
  std::vector<uint32_t> waits;
  for (int i = 0; i < 9; ++i) waits.push_back(b.Failed(-1));
  EXPECT_EQ(waits, (std::vector<uint32_t>{1000, 2000, 4000, 8000, 16000, 32000, 60000, 60000, 60000}));
  // Full jitter: anything from nothing up to the window.
  Picked least([](uint32_t) { return 0u; });
  Backoff c(least.timing);
  EXPECT_EQ(c.Failed(-1), 1000u);
  EXPECT_EQ(c.Failed(-1), 0u);
  EXPECT_EQ(c.Failed(-1), 0u);
  EXPECT_EQ(least.bounds, (std::vector<uint32_t>{2000, 4000}));
}

TEST(BackoffTest, ProgressStartsAgainAtTheFirstWait) {
  Picked most([](uint32_t bound) { return bound; });
  Backoff b(most.timing);
  b.Failed(-1);
  b.Failed(-1);
  EXPECT_EQ(b.Failed(-1), 4000u);
  b.Progressed();
  EXPECT_EQ(b.FailuresInARow(), 0u);
  EXPECT_EQ(b.Failed(-1), 1000u);
  EXPECT_EQ(b.Failed(-1), 2000u);
}

TEST(BackoffTest, RetryAfterIsTheFloorAndTenMinutesTheCeiling) {
  Picked least([](uint32_t) { return 0u; });
  Backoff b(least.timing);
  EXPECT_EQ(b.Failed(2000), 2000u);
  // A day, as seconds or as a date, waits ten minutes.
  EXPECT_EQ(b.Failed(RetryAfterMs("86400", 0)), 600000u);
  EXPECT_EQ(b.Failed(RetryAfterMs("Fri, 02 Jan 1970 00:00:00 GMT", 0)), RetryTiming::kRetryAfterCapMs);
  // A jitter comes on top: up to twice the Retry-After, doubling with each
  // busy answer in a row (at most 60 s), within the cap.
  Picked most([](uint32_t bound) { return bound; });
  Backoff c(most.timing);
  EXPECT_EQ(c.Failed(2000), 6000u);
  EXPECT_EQ(c.Failed(2000), 10000u);
  EXPECT_EQ(c.Failed(2000), 18000u);
  EXPECT_EQ(c.Failed(50000), 110000u);
  EXPECT_EQ(c.Failed(599000), 600000u);
}

TEST(BackoffTest, FixedRuleWaitsOneSecondWhateverTheServerSays) {
  RetryTiming fixed;
  fixed.fixed = true;
  Backoff b(fixed);
  for (int i = 0; i < 6; ++i) EXPECT_EQ(b.Failed(i % 2 ? 30000 : -1), 1000u);
}

TEST(BackoffTest, OwnGeneratorSpreadsWithinTheWindow) {
  RetryTiming timing;
  std::set<uint32_t> seen;
  // Backoffs made at the same moment, as by a crowd of clients, differ.
  for (int i = 0; i < 200; ++i) {
    Backoff b(timing);
    b.Failed(-1);
    uint32_t w = b.Failed(-1);
    EXPECT_LE(w, 2000u);
    seen.insert(w);
  }
  EXPECT_GT(seen.size(), 100u);
}

TEST(StopWaitTest, InterruptEndsTheWaitAtOnceAndEveryLaterOne) {
  StopWait wait;
  std::thread stopper([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    wait.Interrupt();
  });
  bool result = true;
  EXPECT_TRUE(testkit::EndsWithin(1000, [&] { result = wait.WaitMs(600000); }));
  stopper.join();
  EXPECT_FALSE(result);
  EXPECT_TRUE(wait.Interrupted());
  EXPECT_TRUE(testkit::EndsWithin(100, [&] { result = wait.WaitMs(600000); }));
  EXPECT_FALSE(result);
  StopWait other;
  EXPECT_TRUE(other.WaitMs(1));
}

}  // namespace
