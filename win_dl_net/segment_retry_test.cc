// The download job against busy, refusing and failing servers: Retry-After,
// backoff, Stop during a wait, and further addresses of the package.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <ctime>
#include <map>
#include <thread>

#include "launcher/log/logger.h"
#include "platform/file.h"
#include "platform/path.h"
#include "platform/process.h"
#include "testing/fault_server.h"
#include "testing/served_bytes.h"
#include "testing/testing.h"
#include "testing/write_watch.h"
#include "win_dl_net/segment_policy.h"

namespace {

using Fault = FaultServer::Fault;
using Clock = std::chrono::system_clock;
using Arrival = std::chrono::steady_clock::time_point;

// Gaps are measured on the server's steady clock: the wall clock of this
// machine may be set while a test runs.
long long MsBetween(Arrival a, Arrival b) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(b - a).count();
}

std::string HttpDate(std::time_t t) {
  char text[64];
  std::strftime(text, sizeof text, "%a, %d %b %Y %H:%M:%S GMT", std::gmtime(&t));
  return text;
}

class RetryJobTest : public testkit::ServedBytesTest<1000003> {
 protected:
  static constexpr uint32_t kRange1 = 250000;  // first byte of range 1
  static constexpr uint32_t kRange3 = 750000;  // first byte of range 3, the last

  void SetUp() override {
    ServedBytesTest::SetUp();
    if (IsSkipped()) return;
    platform::MakeDirectories(tmp_.Path() + "pkgs");
    // The smallest jitter, so that a wait is exactly what the rule says.
    timing_.random = [](uint32_t) { return 0u; };
  }

  std::unique_ptr<SegmentPolicy> NewJob(const std::string& url, const std::vector<std::string>& mirrors = {}) {
    auto job = std::make_unique<SegmentPolicy>(tmp_.Path() + "pkgs", url);
    job->SetJournalPath(tmp_ / "Download.xml");
    job->SetMirrors(mirrors);
    job->SetRetryTiming(timing_);
    return job;
  }
  std::string Local() const { return tmp_.Path() + "pkgs" + platform::kPathSep + "pkg.exe"; }
  std::vector<testkit::WriteWatch::Range> Ranges() const { return testkit::JobRanges(kSize); }
  // Arrival times of the requests of `server` that asked for byte `start`.
  static std::vector<FaultServer::Request> RangeRequests(const FaultServer& server, uint32_t start) {
    std::vector<FaultServer::Request> out;
    for (const auto& r : server.Requests()) {
      if (r.index > 0 && r.has_range && r.start == start) out.push_back(r);
    }
    return out;
  }
  static std::vector<Arrival> Arrivals(const FaultServer& server, uint32_t start) {
    std::vector<Arrival> out;
    for (const auto& r : RangeRequests(server, start)) out.push_back(r.arrived);
    return out;
  }
  // Runs the job until it ends by itself; a job still running after 30 s is
  // stopped (and the test fails).
  void RunToEnd(SegmentPolicy& job) {
    ASSERT_TRUE(job.Init());
    ASSERT_TRUE(job.Start());
    std::atomic<bool> ended{false}, stopped{false};
    std::thread watchdog([&] {
      for (int waited = 0; waited < 30000 && !ended; waited += 10) platform::SleepMs(10);
      if (!ended) {
        stopped = true;
        job.Stop();
      }
    });
    job.Wait();
    ended = true;
    watchdog.join();
    EXPECT_FALSE(stopped) << "the job did not end within 30 s";
  }

  RetryTiming timing_;
};

TEST_F(RetryJobTest, RetryAfterInSecondsIsHonoured) {
  server_.SetRetryAfter("2");
  int busy = 0;
  server_.SetScript([&](const FaultServer::Request& r) {
    return r.index > 0 && r.start == kRange1 && busy++ == 0 ? Fault::kBusy : Fault::kNone;
  });
  auto job = NewJob(server_.Url("pkg.exe"));
  RunToEnd(*job);
  EXPECT_EQ(job->GetDownloadedSize(), kSize);
  auto at = Arrivals(server_, kRange1);
  ASSERT_EQ(at.size(), 2u);
  EXPECT_GE(MsBetween(at[0], at[1]), 2000);
  EXPECT_LT(MsBetween(at[0], at[1]), 4000);
  EXPECT_TRUE(testkit::ReadFile(Local()) == data_);
}

TEST_F(RetryJobTest, RetryAfterAsADateIsHonoured) {
  // A 429 that names a moment three seconds on; the range asks again no
  // earlier than that moment.
  const std::time_t until = std::time(nullptr) + 3;
  server_.SetRetryAfter(HttpDate(until));
  int busy = 0;
  server_.SetScript([&](const FaultServer::Request& r) {
    return r.index > 0 && r.start == kRange1 && busy++ == 0 ? Fault::kTooMany : Fault::kNone;
  });
  auto job = NewJob(server_.Url("pkg.exe"));
  RunToEnd(*job);
  EXPECT_EQ(job->GetDownloadedSize(), kSize);
  auto asked = RangeRequests(server_, kRange1);
  ASSERT_EQ(asked.size(), 2u);
  EXPECT_GE(Clock::to_time_t(asked[1].at), until);
  EXPECT_LT(MsBetween(asked[0].arrived, asked[1].arrived), 5000);
}

TEST_F(RetryJobTest, RefusedFiveTimesTheGapsGrow) {
  // 503 without Retry-After five times: the waits are the backoff's. With
  // the largest jitter and a first wait of 100 ms: 100, 200, 400, 800, 1600.
  timing_.first_ms = 100;
  timing_.random = [](uint32_t bound) { return bound; };
  int refused = 0;
  server_.SetScript([&](const FaultServer::Request& r) {
    return r.index > 0 && r.start == kRange1 && refused++ < 5 ? Fault::kServerError : Fault::kNone;
  });
  auto job = NewJob(server_.Url("pkg.exe"));
  RunToEnd(*job);
  EXPECT_EQ(job->GetDownloadedSize(), kSize);
  auto at = Arrivals(server_, kRange1);
  ASSERT_EQ(at.size(), 6u);
  // Each gap is at least its wait, twice the one before, and less than a
  // second more: the waits double. The gaps are not compared with each other:
  // the time a refusal takes to reach the client (up to 200 ms when the
  // server is a separate program) can make one short gap longer than the next.
  long long wait = 100;
  for (size_t k = 1; k < at.size(); ++k, wait *= 2) {
    long long gap = MsBetween(at[k - 1], at[k]);
    EXPECT_GE(gap, wait) << "gap " << k;
    EXPECT_LT(gap, wait + 1000) << "gap " << k;
  }
}

TEST_F(RetryJobTest, ProgressStartsTheBackoffAgain) {
  // Every attempt at the last range brings half of what is left and then
  // breaks: each one is a first failure after progress, so no wait grows
  // (300, 600, 1200, 2400 ms if it did).
  timing_.first_ms = 300;
  timing_.random = [](uint32_t bound) { return bound; };
  server_.SetScript([&](const FaultServer::Request& r) {
    return r.index > 0 && r.start >= kRange3 && r.start < kSize - 20000 ? Fault::kTruncate : Fault::kNone;
  });
  auto job = NewJob(server_.Url("pkg.exe"));
  RunToEnd(*job);
  EXPECT_EQ(job->GetDownloadedSize(), kSize);
  std::vector<Arrival> at;
  for (const auto& r : server_.Requests()) {
    if (r.index > 0 && r.start >= kRange3) at.push_back(r.arrived);
  }
  ASSERT_GE(at.size(), 5u);
  for (size_t k = 1; k < at.size(); ++k) {
    long long gap = MsBetween(at[k - 1], at[k]);
    EXPECT_GE(gap, 300) << "gap " << k;
    EXPECT_LT(gap, 1100) << "gap " << k;
  }
  EXPECT_TRUE(testkit::ReadFile(Local()) == data_);
}

TEST_F(RetryJobTest, StopDuringALongRetryAfterEndsAtOnce) {
  // Half a minute: long against the second a Stop may take, short enough
  // that a wait the Stop does not end fails the test in bounded time.
  server_.SetRetryAfter("30");
  server_.SetScript([](const FaultServer::Request& r) { return r.index > 0 ? Fault::kBusy : Fault::kNone; });
  auto job = NewJob(server_.Url("pkg.exe"));
  ASSERT_TRUE(job->Init());
  ASSERT_TRUE(job->Start());
  for (int i = 0; i < 500 && server_.Requests().size() < 5; ++i) platform::SleepMs(10);
  ASSERT_EQ(server_.Requests().size(), 5u);
  platform::SleepMs(200);  // every range is in its wait now
  EXPECT_TRUE(testkit::EndsWithin(1000, [&] {
    job->Stop();
    job->Wait();
  }));
  EXPECT_EQ(job->GetDownloadedSize(), 0u);
  // Nothing but the waits ended: the journal holds the four ranges as laid out.
  auto resumed = NewJob(server_.Url("pkg.exe"));
  server_.SetScript(nullptr);
  ASSERT_TRUE(resumed->Init());
  ASSERT_EQ(resumed->Segments().size(), 4u);
  for (const SegmentInfo& s : resumed->Segments()) EXPECT_EQ(s.sp, s.isp);
}

TEST_F(RetryJobTest, BusySizeQueryIsAskedAgainAndStopEndsItsWait) {
  // Busy twice, then an answer: Init succeeds (the old rule gives up at once).
  server_.SetRetryAfter("0");
  server_.SetScript([](const FaultServer::Request& r) { return r.index < 2 ? Fault::kBusy : Fault::kNone; });
  EXPECT_TRUE(NewJob(server_.Url("pkg.exe"))->Init());
  EXPECT_EQ(server_.Requests().size(), 3u);

  RetryTiming fixed;
  fixed.fixed = true;
  timing_ = fixed;
  server_.SetScript([](const FaultServer::Request&) { return Fault::kBusy; });
  EXPECT_FALSE(NewJob(server_.Url("pkg.exe"))->Init());
  EXPECT_EQ(server_.Requests().size(), 4u);

  timing_ = RetryTiming();
  server_.SetRetryAfter("30");
  auto job = NewJob(server_.Url("pkg.exe"));
  std::thread stopper([&] {
    for (int i = 0; i < 500 && server_.Requests().size() < 5; ++i) platform::SleepMs(10);
    platform::SleepMs(200);
    job->Stop();
  });
  bool ok = true;
  EXPECT_TRUE(testkit::EndsWithin(1500, [&] { ok = job->Init(); }));
  stopper.join();
  EXPECT_FALSE(ok);
  EXPECT_EQ(server_.Requests().size(), 5u);
}

// --- The stall limit ---------------------------------------------------------

using Steady = std::chrono::steady_clock;

long long MsSince(Steady::time_point t) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Steady::now() - t).count();
}

// Every range is answered busy, for ever: the run ends by itself once no byte
// has come for the stall limit and says what the ranges met; while they
// waited, the job told when the next one would ask again.
TEST_F(RetryJobTest, RangesBusyForEverEndTheRunAtTheStallLimit) {
  server_.SetRetryAfter("1");
  server_.SetScript([](const FaultServer::Request& r) { return r.index == 0 ? Fault::kNone : Fault::kBusy; });
  auto job = NewJob(server_.Url("pkg.exe"));
  Deadlines deadlines;
  deadlines.stall_ms = 2500;
  job->SetDeadlines(deadlines);
  const auto began = Steady::now();
  ASSERT_TRUE(job->Init());
  EXPECT_EQ(job->BusyRetryMs(), -1);
  ASSERT_TRUE(job->Start());
  int64_t longest = -1;
  for (int i = 0; i < 1000 && job->IsRunning(); ++i) {
    longest = std::max(longest, job->BusyRetryMs());
    platform::SleepMs(20);
  }
  const long long took = MsSince(began);
  job->Stop();
  job->Wait();
  EXPECT_GE(took, 2400);
  EXPECT_LT(took, 6000);
  EXPECT_TRUE(job->Stalled());
  EXPECT_NE(job->StallReason().find("server busy (status 503, Retry-After 1)"), std::string::npos)
      << job->StallReason();
  EXPECT_GT(longest, 0);
  EXPECT_LE(longest, 1000);
  EXPECT_EQ(job->BusyRetryMs(), -1);  // nobody waits any more
  EXPECT_EQ(job->GetDownloadedSize(), 0u);
}

// The size query answered busy, for ever: Init gives up at the stall limit
// rather than after its rounds, and says why.
TEST_F(RetryJobTest, ASizeQueryBusyForEverEndsInitAtTheStallLimit) {
  server_.SetRetryAfter("1");
  server_.SetScript([](const FaultServer::Request&) { return Fault::kBusy; });
  auto job = NewJob(server_.Url("pkg.exe"));
  Deadlines deadlines;
  deadlines.stall_ms = 2500;
  job->SetDeadlines(deadlines);
  int64_t longest = -1;
  std::atomic<bool> done{false};
  std::thread watch([&] {
    for (int i = 0; i < 1000 && !done; ++i) {
      longest = std::max(longest, job->BusyRetryMs());
      platform::SleepMs(20);
    }
  });
  const auto began = Steady::now();
  bool ok = true;
  // Ten rounds a second apart would take nine seconds.
  EXPECT_TRUE(testkit::EndsWithin(6000, [&] { ok = job->Init(); }));
  const long long took = MsSince(began);
  done = true;
  watch.join();
  EXPECT_FALSE(ok);
  EXPECT_GE(took, 2400);
  EXPECT_TRUE(job->Stalled());
  EXPECT_EQ(job->StallReason(), "server busy (status 503, Retry-After 1) to the size query");
  EXPECT_GT(longest, 0);
}

// --- Further addresses -------------------------------------------------------

class MirrorJobTest : public RetryJobTest {
 protected:
  void SetUp() override {
    RetryJobTest::SetUp();
    if (IsSkipped()) return;
    ASSERT_TRUE(mirror_.Start(data_));
    timing_.first_ms = 100;
  }
  FaultServer mirror_;
};

TEST_F(MirrorJobTest, RangesContinueFromTheMirrorWhereThePrimaryBroke) {
  // The primary answers the size, gives each range 20000 bytes and breaks
  // off, then answers 503 for good: after three failures in a row each range
  // goes on from the mirror at its position.
  std::map<uint32_t, int> seen;
  server_.SetScript([&](const FaultServer::Request& r) {
    if (r.index == 0) return Fault::kNone;
    return seen[r.start / kRange1]++ == 0 ? Fault::kStall : Fault::kServerError;
  });
  testkit::WriteWatch watch(Local(), data_, Ranges());
  auto job = NewJob(server_.Url("dir/pkg.exe"), {mirror_.Url("elsewhere/pkg.exe")});
  RunToEnd(*job);
  EXPECT_EQ(job->GetDownloadedSize(), kSize);
  EXPECT_EQ(watch.Bad(), 0);
  EXPECT_TRUE(testkit::ReadFile(Local()) == data_);
  // The mirror was asked for the rest of each range only, and nothing of the size.
  auto asked = mirror_.Requests();
  ASSERT_EQ(asked.size(), 4u);
  for (const auto& r : asked) {
    const uint32_t isp = r.start / kRange1 * kRange1;
    EXPECT_EQ(r.start, isp + 20000) << r.range;
  }
  // The journal keeps the primary address.
  std::string journal = testkit::ReadFile(tmp_ / "Download.xml");
  EXPECT_NE(journal.find("<URL>" + server_.Url("dir/pkg.exe") + "</URL>"), std::string::npos) << journal;
}

TEST_F(MirrorJobTest, EveryAddressIsTriedBeforeARangeGivesUp) {
  // The size from the second address (the primary is gone, the first mirror
  // has no such file); range 2 refused everywhere but at the last address.
  const std::string gone_url = "http://127.0.0.1:1/pkg.exe";  // nothing listens there
  FaultServer last;
  ASSERT_TRUE(last.Start(data_));
  server_.SetScript([](const FaultServer::Request& r) {
    return r.index == 0 || r.start != 2 * kRange1 ? Fault::kNotFound : Fault::kFullBody200;
  });
  mirror_.SetScript([](const FaultServer::Request& r) {
    return r.has_range && r.start == 2 * kRange1 ? Fault::kFullBody200 : Fault::kNone;
  });
  auto job = NewJob(gone_url, {server_.Url("a/pkg.exe"), mirror_.Url("b/pkg.exe"), last.Url("c/pkg.exe")});
  testkit::WriteWatch watch(Local(), data_, Ranges());
  RunToEnd(*job);
  EXPECT_EQ(job->GetDownloadedSize(), kSize);
  EXPECT_EQ(watch.Bad(), 0);
  EXPECT_TRUE(testkit::ReadFile(Local()) == data_);
  // The size query: the gone primary, 404 from server_, answered by mirror_.
  ASSERT_FALSE(mirror_.Requests().empty());
  EXPECT_EQ(mirror_.Requests().front().start, 0u);
  ASSERT_EQ(last.Requests().size(), 1u);
  EXPECT_EQ(last.Requests()[0].start, 2 * kRange1);

  // Refused at every address: the range gives up, the job ends by itself.
  // (An address that cannot be reached is no refusal: it is asked again
  // without end, with the backoff's waits.)
  last.SetScript([](const FaultServer::Request& r) { return r.start == 2 * kRange1 ? Fault::kNotFound : Fault::kNone; });
  platform::RemoveFile(Local());
  auto refused = NewJob(server_.Url("a/pkg.exe"), {mirror_.Url("b/pkg.exe"), last.Url("c/pkg.exe")});
  RunToEnd(*refused);
  EXPECT_EQ(refused->GetDownloadedSize(), kSize - kRange1);
}

TEST_F(MirrorJobTest, MirrorOfAnotherFileNameIsIgnored) {
  testkit::TempDir logs;
  Logger::Instance().Init("T", logs.Path(), Logger::kToFile, 0, 1000000);
  auto job = NewJob(server_.Url("dir/pkg.exe"),
                    {mirror_.Url("dir/pkg.exe.old"), mirror_.Url("pkg.exe"), mirror_.Url("pkg.exe/")});
  ASSERT_TRUE(job->Init());
  std::string log = testkit::ReadFile(Logger::Instance().CurrentFileName());
  Logger::Instance().Init("T", logs.Path(), 0, 0, 1000000);
  EXPECT_EQ(job->Addresses(), (std::vector<std::string>{server_.Url("dir/pkg.exe"), mirror_.Url("pkg.exe")}));
  // One WARN line for each, naming it whole.
  auto warned = [&](const std::string& url) {
    const std::string text = "mirror ignored, its file name differs from the package's:" + url + "\n";
    size_t at = log.find(text);
    if (at == std::string::npos) return false;
    size_t line = log.rfind('\n', at);
    size_t start = line == std::string::npos ? 0 : line + 1;
    return log.substr(start, at - start).find("WARN:") != std::string::npos;
  };
  EXPECT_TRUE(warned(mirror_.Url("dir/pkg.exe.old"))) << log;
  EXPECT_TRUE(warned(mirror_.Url("pkg.exe/"))) << log;
  EXPECT_FALSE(warned(mirror_.Url("pkg.exe"))) << log;
}

}  // namespace
