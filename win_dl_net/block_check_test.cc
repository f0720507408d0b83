// The download job with the digests of the package's 4 MiB blocks: a block
// served corrupt is fetched again on its own, an address that serves bad
// blocks is dropped, a resumed job checks what lies on disk, and a block
// that never comes right ends the job with that block missing.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <thread>

#include "launcher/release/sha256.h"
#include "platform/file.h"
#include "platform/path.h"
#include "platform/process.h"
#include "testing/fault_server.h"
#include "testing/served_bytes.h"
#include "testing/testing.h"
#include "win_dl_net/segment_policy.h"

namespace {

using Fault = FaultServer::Fault;

constexpr uint32_t kBlock = 4 * 1024 * 1024;

// Six blocks and a short seventh: ranges of about 6 MiB, so that some blocks
// lie within one range and others across two.
class BlockJobTest : public testkit::ServedBytesTest<6 * kBlock + 12345> {
 protected:
  void SetUp() override {
    ServedBytesTest::SetUp();
    if (IsSkipped()) return;
    platform::MakeDirectories(tmp_.Path() + "pkgs");
    timing_.random = [](uint32_t) { return 0u; };
    timing_.first_ms = 100;
    for (uint32_t at = 0; at < kSize; at += kBlock) {
      Sha256 d;
      d.Update(data_.data() + at, std::min(kBlock, kSize - at));
      digests_.push_back(d.HexText());
    }
  }

  std::unique_ptr<SegmentPolicy> NewJob(const std::string& url, const std::vector<std::string>& mirrors = {},
                                        bool with_blocks = true) {
    auto job = std::make_unique<SegmentPolicy>(tmp_.Path() + "pkgs", url);
    job->SetJournalPath(tmp_ / "Download.xml");
    job->SetMirrors(mirrors);
    job->SetRetryTiming(timing_);
    if (with_blocks) job->SetBlockDigests(kBlock, digests_);
    return job;
  }
  std::string Local() const { return tmp_.Path() + "pkgs" + platform::kPathSep + "pkg.exe"; }
  // Runs the job until it ends by itself; one still running after 60 s is
  // stopped (and the test fails).
  void RunToEnd(SegmentPolicy& job) {
    ASSERT_TRUE(job.Init());
    ASSERT_TRUE(job.Start());
    std::atomic<bool> ended{false}, stopped{false};
    std::thread watchdog([&] {
      for (int waited = 0; waited < 60000 && !ended; waited += 10) platform::SleepMs(10);
      if (!ended) {
        stopped = true;
        job.Stop();
      }
    });
    job.Wait();
    ended = true;
    watchdog.join();
    EXPECT_FALSE(stopped) << "the job did not end within 60 s";
  }
  // The range requests of `server` (the size query left out), and the bytes
  // they asked for.
  static std::vector<FaultServer::Request> RangeRequests(const FaultServer& server) {
    std::vector<FaultServer::Request> out;
    for (const auto& r : server.Requests())
      if (r.has_range && r.has_last && !(r.start == 0 && r.last == 0)) out.push_back(r);
    return out;
  }
  static uint64_t BytesAsked(const FaultServer& server) {
    uint64_t n = 0;
    for (const auto& r : RangeRequests(server)) n += uint64_t{r.last} - r.start + 1;
    return n;
  }
  static uint32_t BlockStart(uint32_t pos) { return pos / kBlock * kBlock; }
  uint32_t BlockLast(uint32_t pos) const { return std::min(BlockStart(pos) + kBlock, kSize) - 1; }

  RetryTiming timing_;
  std::vector<std::string> digests_;
  const std::vector<SegmentInfo> layout_ = SegmentPolicy::Layout(kSize);
};

TEST_F(BlockJobTest, ABlockServedCorruptOnceIsFetchedAgainAlone) {
  // Range 1 starts inside block 1, which spans ranges 0 and 1.
  const uint32_t bad = layout_[1].isp;
  ASSERT_NE(BlockStart(bad), bad);
  int corrupted = 0;
  server_.SetScript([&](const FaultServer::Request& r) {
    return r.has_range && r.start == bad && corrupted++ == 0 ? Fault::kCorrupt : Fault::kNone;
  });
  auto job = NewJob(server_.Url("pkg.exe"));
  RunToEnd(*job);
  EXPECT_TRUE(job->ChecksBlocks());
  EXPECT_EQ(job->GetDownloadedSize(), kSize);
  EXPECT_TRUE(testkit::ReadFile(Local()) == data_);
  EXPECT_EQ(job->BlocksFetchedAgain(), 1u);
  EXPECT_EQ(job->BlocksFailed(), 0u);
  EXPECT_TRUE(job->DroppedAddresses().empty());  // the only address is kept
  // The four ranges and the bad block once more: one block, not the package.
  auto asked = RangeRequests(server_);
  ASSERT_EQ(asked.size(), 5u);
  EXPECT_EQ(asked.back().start, BlockStart(bad));
  EXPECT_EQ(asked.back().last, BlockLast(bad));
  EXPECT_EQ(BytesAsked(server_), uint64_t{kSize} + kBlock);
  // Without the blocks the package fails its digest and is fetched whole
  // again: twice its size.
  std::printf("one bad block: %llu bytes asked for a package of %u bytes (%.3fx)\n",
              static_cast<unsigned long long>(BytesAsked(server_)), kSize,
              static_cast<double>(BytesAsked(server_)) / kSize);
}

TEST_F(BlockJobTest, AMirrorThatCorruptsIsDroppedAndThePrimaryCompletes) {
  // The primary turns range 2 away until it goes on from the mirror, which
  // corrupts the first byte of everything it sends.
  FaultServer mirror;
  ASSERT_TRUE(mirror.Start(data_));
  mirror.SetScript([](const FaultServer::Request&) { return Fault::kCorrupt; });
  const uint32_t range2 = layout_[2].isp;
  int refused = 0;
  server_.SetScript([&](const FaultServer::Request& r) {
    return r.has_range && r.start == range2 && refused++ < 3 ? Fault::kServerError : Fault::kNone;
  });
  auto job = NewJob(server_.Url("a/pkg.exe"), {mirror.Url("b/pkg.exe")});
  RunToEnd(*job);
  EXPECT_EQ(job->GetDownloadedSize(), kSize);
  EXPECT_TRUE(testkit::ReadFile(Local()) == data_);
  EXPECT_EQ(job->BlocksFailed(), 0u);
  EXPECT_GE(job->BlocksFetchedAgain(), 1u);
  EXPECT_EQ(job->DroppedAddresses(), std::vector<std::string>{mirror.Url("b/pkg.exe")});
  // The mirror was asked once, for range 2, and never again.
  auto from_mirror = RangeRequests(mirror);
  ASSERT_EQ(from_mirror.size(), 1u);
  EXPECT_EQ(from_mirror[0].start, range2);
  // The bad block came again from the primary.
  bool again = false;
  for (const auto& r : RangeRequests(server_)) again |= r.start == BlockStart(range2) && r.last == BlockLast(range2);
  EXPECT_TRUE(again);
}

TEST_F(BlockJobTest, AResumedJobChecksTheBlocksOnDisk) {
  auto first = NewJob(server_.Url("pkg.exe"));
  RunToEnd(*first);
  ASSERT_TRUE(testkit::ReadFile(Local()) == data_);
  first.reset();
  const size_t served = server_.Requests().size();
  // A byte of block 3 goes bad on disk; the journal still says every range
  // is complete.
  std::string on_disk = testkit::ReadFile(Local());
  const uint32_t bad = 3 * kBlock + 777;
  on_disk[bad] = static_cast<char>(~on_disk[bad]);
  ASSERT_TRUE(platform::WriteStringToFile(Local(), on_disk));

  auto resumed = NewJob(server_.Url("pkg.exe"));
  RunToEnd(*resumed);
  EXPECT_EQ(resumed->GetDownloadedSize(), kSize);
  EXPECT_TRUE(testkit::ReadFile(Local()) == data_);
  EXPECT_EQ(resumed->BlocksFetchedAgain(), 1u);
  // The size query and block 3, nothing else.
  auto all = server_.Requests();
  ASSERT_EQ(all.size(), served + 2);
  EXPECT_EQ(all.back().start, BlockStart(bad));
  EXPECT_EQ(all.back().last, BlockLast(bad));

  // A journal that lags behind the disk (a run that ended before its save):
  // the good blocks at each range's position are taken, nothing is fetched.
  std::string journal = testkit::ReadFile(tmp_ / "Download.xml");
  for (const SegmentInfo& s : layout_) {
    const std::string done = " sp=\"" + std::to_string(s.ep + 1) + "\"";
    const size_t at = journal.find(done);
    ASSERT_NE(at, std::string::npos) << journal;
    journal.replace(at, done.size(), " sp=\"" + std::to_string(s.isp) + "\"");
  }
  ASSERT_TRUE(platform::WriteStringToFile(tmp_ / "Download.xml", journal));
  const size_t before = server_.Requests().size();
  auto lagging = NewJob(server_.Url("pkg.exe"));
  RunToEnd(*lagging);
  EXPECT_EQ(lagging->GetDownloadedSize(), kSize);
  EXPECT_EQ(server_.Requests().size(), before + 1);  // the size query alone
}

TEST_F(BlockJobTest, ABlockThatNeverComesRightEndsTheJobWithoutIt) {
  // Block 1 is corrupt however it is asked for: within range 1's reply
  // (whose first byte lies in it) and in each fetch of its own.
  const uint32_t range1 = layout_[1].isp;
  const uint32_t bad = BlockStart(range1);
  server_.SetScript([&](const FaultServer::Request& r) {
    return r.has_range && (r.start == range1 || r.start == bad) ? Fault::kCorrupt : Fault::kNone;
  });
  auto job = NewJob(server_.Url("pkg.exe"));
  RunToEnd(*job);
  EXPECT_EQ(job->BlocksFailed(), 1u);
  EXPECT_EQ(job->BlocksFetchedAgain(), static_cast<uint32_t>(SegmentPolicy::kBlockRefetches));
  // Everything but that block counts as downloaded.
  EXPECT_EQ(job->GetDownloadedSize(), kSize - kBlock);
  int block_requests = 0;
  for (const auto& r : RangeRequests(server_)) block_requests += r.start == bad && r.last == BlockLast(bad);
  EXPECT_EQ(block_requests, SegmentPolicy::kBlockRefetches);
}

TEST_F(BlockJobTest, DigestsThatDoNotFitTheSizeAreNotUsed) {
  auto job = NewJob(server_.Url("pkg.exe"));
  std::vector<std::string> short_list(digests_.begin(), digests_.end() - 1);
  job->SetBlockDigests(kBlock, short_list);
  ASSERT_TRUE(job->Init());
  EXPECT_FALSE(job->ChecksBlocks());
  auto fitting = NewJob(server_.Url("pkg.exe"));
  ASSERT_TRUE(fitting->Init());
  EXPECT_TRUE(fitting->ChecksBlocks());
}

}  // namespace
