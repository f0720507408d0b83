#include "win_dl_net/file_fetch.h"

#include <gtest/gtest.h>

#include <atomic>
#include <ostream>
#include <thread>

#include "platform/file.h"
#include "platform/path.h"
#include "platform/process.h"
#include "testing/fault_server.h"
#include "testing/nginx_server.h"
#include "testing/served_bytes.h"
#include "testing/testing.h"
#include "testing/write_watch.h"

// Results print as their numbers.
void PrintTo(FetchResult result, std::ostream* os) { *os << static_cast<int>(result); }

namespace {

using Fault = FaultServer::Fault;

class FaultServerTest : public testkit::ServedBytesTest<300000> {
 protected:

  // A local file of kSize sentinel bytes.
  std::string SentinelFile() {
    std::string path = tmp_ / "pkg.bin";
    EXPECT_TRUE(platform::WriteStringToFile(path, std::string(kSize, '\xEE')));
    return path;
  }

  // Under kStall the 20000 bytes leave the server in one write, but they may
  // reach the fetcher in two parts: its count shows the two full blocks
  // (16384) before the HTTP layer has taken in the rest (3616), which would
  // then be missed by a stop at once. The server stays quiet for kStallMs
  // after them, so a short settle inside that silence lets them in.
  static bool AwaitPartBlock(SegmentFetcher& fetcher) {
    for (int i = 0; i < 1000 && fetcher.GetDownloaded() < 16384; ++i) platform::SleepMs(5);
    if (fetcher.GetDownloaded() != 16384u) return false;
    platform::SleepMs(300);
    return fetcher.GetDownloaded() == 16384u;
  }
};

TEST(FetchResultTest, NumbersStayFixed) {
  // Logs, the journal's callers and the update engine know these numbers.
  EXPECT_EQ(static_cast<int>(FetchResult::kComplete), 0);
  EXPECT_EQ(static_cast<int>(FetchResult::kFailed), -1);
  EXPECT_EQ(static_cast<int>(FetchResult::kRetryable), -2);
}

TEST(FetchRequest, HeadersAndFlags) {
  EXPECT_EQ(FileFetch::RequestHeaders(750),
            "Accept: */*\r\nUser-Agent:  Mozilla/4.0 (compatible; MSIE 5.00; Windows 98)\r\nRange: bytes=750-\r\n");
  // Beyond 2 GiB the number stays unsigned.
  EXPECT_NE(FileFetch::RequestHeaders(3000000000u).find("Range: bytes=3000000000-\r\n"), std::string::npos);
  EXPECT_NE(FileFetch::RequestHeaders(3000000000u, 4000000000u).find("Range: bytes=3000000000-4000000000\r\n"),
            std::string::npos);
  platform::HttpUrl url;
  ASSERT_TRUE(platform::ParseHttpUrl("http://h/p", &url));
  EXPECT_EQ(FileFetch::RequestFlags(url), 0x84400002u);
  ASSERT_TRUE(platform::ParseHttpUrl("https://h/p", &url));
  EXPECT_EQ(FileFetch::RequestFlags(url), 0x84C00002u);
}

TEST(MemorySinkTest, LimitRefusesTheBytesPastIt) {
  MemorySink sink;
  sink.SetLimit(10);
  ASSERT_TRUE(sink.Append("0123456", 7));
  ASSERT_TRUE(sink.Append("789", 3));  // exactly the limit
  EXPECT_FALSE(sink.LimitExceeded());
  EXPECT_FALSE(sink.Append("a", 1));
  EXPECT_TRUE(sink.LimitExceeded());
  EXPECT_EQ(sink.GetSize(), 10u);
  EXPECT_STREQ(sink.GetText(), "0123456789");
}

TEST(MemorySinkTest, GrowsByDoublingAndStaysTerminated) {
  MemorySink sink;
  EXPECT_EQ(sink.Capacity(), 1048576u);
  std::string chunk(1048576, 'a');
  ASSERT_TRUE(sink.Append(chunk.data(), 1048576));
  // Exactly full: the content is still followed by a zero byte.
  EXPECT_EQ(sink.GetBuffer()[1048576], 0);
  ASSERT_TRUE(sink.Append("bc", 2));
  EXPECT_EQ(sink.Capacity(), 2097152u);
  EXPECT_EQ(sink.GetSize(), 1048578u);
  EXPECT_EQ(sink.GetText()[1048577], 'c');
  EXPECT_EQ(sink.GetText()[1048578], 0);
  std::string big(5 * 1048576, 'x');
  ASSERT_TRUE(sink.Append(big.data(), static_cast<uint32_t>(big.size())));
  EXPECT_EQ(sink.Capacity(), 8388608u);
  EXPECT_EQ(sink.SeekToEnd(), 0u);
  sink.Close();
  EXPECT_EQ(sink.GetBuffer(), nullptr);
  EXPECT_EQ(sink.GetSize(), 0u);
  ASSERT_TRUE(sink.Append("z", 1));
  EXPECT_EQ(sink.Capacity(), 1048576u);
  EXPECT_STREQ(sink.GetText(), "z");
}

TEST(FileSinkTest, NeverTruncatesAndSharesTheFile) {
  testkit::TempDir tmp;
  std::string path = tmp / "f.bin";
  ASSERT_TRUE(platform::WriteStringToFile(path, "0123456789"));
  FileSink a(path), b(path);
  ASSERT_TRUE(a.IsOpen());
  ASSERT_TRUE(b.IsOpen());
  EXPECT_EQ(a.GetLength(), 10u);
  a.Seek(2);
  ASSERT_TRUE(a.Write("ab", 2));
  b.Seek(7);
  ASSERT_TRUE(b.Write("xy", 2));
  EXPECT_EQ(b.SeekToEnd(), 10u);
  a.Close();
  b.Close();
  std::string got;
  ASSERT_TRUE(platform::ReadFileToString(path, &got));
  EXPECT_EQ(got, "01ab456xy9");

  FileSink missing(tmp / "no-such-dir/f.bin");
  EXPECT_FALSE(missing.IsOpen());
  EXPECT_FALSE(missing.Write("a", 1));
}

TEST(SegmentFetcherTest, SinkWithoutFileFailsWithoutRequest) {
  testkit::TempDir tmp;
  SegmentFetcher f("http://127.0.0.1:9/pkg", tmp / "none/pkg", 0, 0, 99);
  FileSink sink(tmp / "none/pkg");
  EXPECT_EQ(f.FetchFileSegment(sink), FetchResult::kFailed);
}

TEST(SegmentFetcherTest, RefusedConnectionIsRetryable) {
  testkit::TempDir tmp;
  ASSERT_TRUE(platform::WriteStringToFile(tmp / "pkg", std::string(100, 'x')));
  // Port 9 (discard) is not served on loopback here.
  SegmentFetcher f("http://127.0.0.1:9/pkg", tmp / "pkg", 0, 0, 99);
  FileSink sink(tmp / "pkg");
  EXPECT_EQ(f.FetchFileSegment(sink), FetchResult::kRetryable);
  EXPECT_EQ(f.GetCurPos(), 0u);
}

TEST(ThreadObjectTest, AutoDeleteAndWait) {
  static std::atomic<int> destroyed{0};
  struct Job : ThreadObject {
    ~Job() override { ++destroyed; }
    int Run() override { return 0; }
  };
  destroyed = 0;
  Job waited;
  waited.Wait();  // never started: nothing to wait for
  ASSERT_TRUE(waited.Start());
  waited.Wait();
  EXPECT_FALSE(waited.IsRunning());
  EXPECT_NE(waited.ThreadId(), 0u);

  Job* self_deleting = new Job;
  self_deleting->SetAutoDelete(true);
  ASSERT_TRUE(self_deleting->Start());
  for (int i = 0; i < 500 && destroyed.load() == 0; ++i) platform::SleepMs(10);
  EXPECT_EQ(destroyed.load(), 1);
}

TEST_F(FaultServerTest, RemoteSizeAndWholeFetch) {
  FileFetch fetch(server_.Url("v/version.xml"));
  ASSERT_TRUE(fetch.GetRemoteFileAttribute());
  EXPECT_EQ(fetch.GetFileSize(), kSize);

  MemorySink sink;
  EXPECT_EQ(fetch.SigleFetch(sink), FetchResult::kComplete);
  ASSERT_EQ(sink.GetSize(), kSize);
  EXPECT_EQ(std::string(sink.GetText(), kSize), data_);
  EXPECT_EQ(fetch.GetDownloaded(), kSize);

  std::vector<FaultServer::Request> seen = server_.Requests();
  ASSERT_EQ(seen.size(), 2u);
  // The size query asks for the first byte only.
  EXPECT_EQ(seen[0].method, "GET");
  EXPECT_EQ(seen[0].range, "bytes=0-0");
  EXPECT_EQ(seen.back().range, "bytes=0-");
  EXPECT_EQ(seen.back().accept, "*/*");
  EXPECT_EQ(seen.back().user_agent, "Mozilla/4.0 (compatible; MSIE 5.00; Windows 98)");
}

// The size comes from the first byte's Content-Range, with or without a
// Content-Length; a server that ignores the Range gives its reply's length.
TEST_F(FaultServerTest, SizeQueryReadsTheContentRange) {
  for (Fault fault : {Fault::kNone, Fault::kNoContentLength, Fault::kTinyChunks}) {
    server_.SetScript([fault](const FaultServer::Request&) { return fault; });
    FileFetch fetch(server_.Url("pkg.exe"));
    ASSERT_TRUE(fetch.GetRemoteFileAttribute());
    EXPECT_EQ(fetch.GetFileSize(), kSize) << static_cast<int>(fault);
  }
  // A Content-Range of another size than the body's is still what is named.
  server_.SetScript([](const FaultServer::Request&) { return Fault::kFullBody200; });
  FileFetch ignoring(server_.Url("pkg.exe"));
  ASSERT_TRUE(ignoring.GetRemoteFileAttribute());
  EXPECT_EQ(ignoring.GetFileSize(), 0u);  // chunked, no Content-Range: no size named
}

TEST_F(FaultServerTest, WholeFetchFailures) {
  FileFetch fetch(server_.Url("v.xml"));
  // No Content-Length: the size query learns the size from the first byte's
  // Content-Range; the whole fetch is an empty success without reading.
  server_.SetScript([](const FaultServer::Request&) { return Fault::kNoContentLength; });
  ASSERT_TRUE(fetch.GetRemoteFileAttribute());
  EXPECT_EQ(fetch.GetFileSize(), kSize);
  MemorySink empty;
  EXPECT_EQ(fetch.SigleFetch(empty), FetchResult::kComplete);
  EXPECT_EQ(empty.GetSize(), 0u);

  // 404 is given up at once: the same reply is not asked for its status ten
  // times over (which took a second).
  server_.SetScript([](const FaultServer::Request&) { return Fault::kNotFound; });
  bool found = true;
  EXPECT_TRUE(testkit::EndsWithin(600, [&] { found = fetch.GetRemoteFileAttribute(); }));
  EXPECT_FALSE(found);
  MemorySink missing;
  FetchResult result = FetchResult::kComplete;
  EXPECT_TRUE(testkit::EndsWithin(600, [&] { result = fetch.SigleFetch(missing); }));
  EXPECT_EQ(result, FetchResult::kFailed);

  // A body cut short is no success.
  server_.SetScript([](const FaultServer::Request&) { return Fault::kTruncate; });
  MemorySink cut;
  EXPECT_EQ(fetch.SigleFetch(cut), FetchResult::kFailed);
}

// A document that trickles in a byte at a time never lets the data time-out
// pass; the deadline of the whole fetch ends it all the same.
TEST_F(FaultServerTest, AWholeFetchThatTricklesFailsAtItsDeadline) {
  server_.SetScript([](const FaultServer::Request&) { return Fault::kSlowDrip; });
  FileFetch fetch(server_.Url("latest-version.xml"));
  fetch.SetDeadline(1000);
  MemorySink sink;
  FetchResult result = FetchResult::kComplete;
  EXPECT_TRUE(testkit::EndsWithin(4000, [&] { result = fetch.SigleFetch(sink); }));
  EXPECT_EQ(result, FetchResult::kFailed);
  EXPECT_TRUE(fetch.DeadlinePassed());
  EXPECT_GT(fetch.GetDownloaded(), 0u);  // it did trickle

  // A fetch that ends in time is not touched by its deadline.
  server_.SetScript([](const FaultServer::Request&) { return Fault::kNone; });
  MemorySink whole;
  EXPECT_EQ(fetch.SigleFetch(whole), FetchResult::kComplete);
  EXPECT_FALSE(fetch.DeadlinePassed());
  EXPECT_EQ(whole.GetSize(), kSize);
}

// A range whose body moves fewer bytes than the floor within a window is
// broken off like a dropped connection and asked again from what is on
// disk; the next request is served right and the range completes.
TEST_F(FaultServerTest, ARangeBelowTheLeastPaceIsAskedAgain) {
  std::string path = SentinelFile();
  server_.SetScript([](const FaultServer::Request& r) { return r.index == 0 ? Fault::kSlowDrip : Fault::kNone; });
  Deadlines deadlines;
  deadlines.range_floor_bytes = 1024;
  deadlines.range_window_ms = 1000;
  RetryTiming timing;
  timing.first_ms = 100;
  SegmentFetcher fetcher(server_.Url("pkg.bin"), path, 100000, 100000, 199999);
  fetcher.SetDeadlines(&deadlines);
  fetcher.SetRetryTiming(&timing);
  ASSERT_TRUE(fetcher.Start());
  // The trickle alone would last FaultServer::kSlowDripForMs.
  EXPECT_TRUE(testkit::EndsWithin(8000, [&] { fetcher.Wait(); }));
  fetcher.Stop();
  fetcher.Wait();
  EXPECT_EQ(fetcher.LastResult(), FetchResult::kComplete);
  const auto seen = server_.Requests();
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[0].start, 100000u);
  // The second asks from the first's last byte on disk.
  EXPECT_GT(seen[1].start, 100000u);
  EXPECT_LT(seen[1].start, 100000u + 1024);
  std::string file;
  ASSERT_TRUE(platform::ReadFileToString(path, &file));
  EXPECT_TRUE(file.substr(100000, 100000) == data_.substr(100000, 100000));
  EXPECT_EQ(file[99999], '\xEE');
  EXPECT_EQ(file[200000], '\xEE');
}

struct FaultCase {
  Fault fault;
  bool completes;  // retried to completion, or given up with nothing written
};

class SegmentFaultTest : public FaultServerTest, public ::testing::WithParamInterface<FaultCase> {};

// The range [100000, 199999] starts at 120000; the first request meets the
// fault, later ones are served right.
TEST_P(SegmentFaultTest, NeverWritesAWrongByte) {
  const FaultCase c = GetParam();
  std::string path = SentinelFile();
  server_.SetScript([c](const FaultServer::Request& r) { return r.index == 0 ? c.fault : Fault::kNone; });
  testkit::WriteWatch watch(path, data_, {{120000, 199999}});
  SegmentFetcher fetcher(server_.Url("pkg.bin"), path, 100000, 120000, 199999);
  const FetchResult result = static_cast<FetchResult>(fetcher.Run());

  std::string file;
  ASSERT_TRUE(platform::ReadFileToString(path, &file));
  ASSERT_EQ(file.size(), kSize);
  EXPECT_EQ(watch.Bad(), 0);
  EXPECT_TRUE(file.substr(0, 120000) == std::string(120000, '\xEE'));
  EXPECT_TRUE(file.substr(200000) == std::string(100000, '\xEE'));
  std::vector<FaultServer::Request> seen = server_.Requests();
  if (c.completes) {
    EXPECT_EQ(result, FetchResult::kComplete);
    EXPECT_EQ(fetcher.GetCurPos(), 200000u);
    EXPECT_EQ(fetcher.GetDownloaded(), 100000u);
    EXPECT_TRUE(file.substr(120000, 80000) == data_.substr(120000, 80000));
    // Each retry asks from what is on disk, never from before it.
    for (size_t i = 1; i < seen.size(); ++i) EXPECT_GE(seen[i].start, seen[i - 1].start);
  } else {
    EXPECT_EQ(result, FetchResult::kFailed);
    EXPECT_EQ(fetcher.GetCurPos(), 120000u);
    EXPECT_TRUE(file.substr(120000, 80000) == std::string(80000, '\xEE'));
    EXPECT_EQ(seen.size(), 1u);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Faults, SegmentFaultTest,
    ::testing::Values(FaultCase{Fault::kNone, true}, FaultCase{Fault::kTruncate, true},
                      FaultCase{Fault::kShortBody, true}, FaultCase{Fault::kStall, true},
                      FaultCase{Fault::kDrip, true}, FaultCase{Fault::kNoContentLength, true},
                      FaultCase{Fault::kServerError, true}, FaultCase{Fault::kFullBody200, false},
                      FaultCase{Fault::kWrongContentRange, false}, FaultCase{Fault::kNotFound, false}));

TEST_F(FaultServerTest, BrokenTransferKeepsWhatArrived) {
  std::string path = SentinelFile();
  server_.SetScript([](const FaultServer::Request& r) { return r.index == 0 ? Fault::kTruncate : Fault::kNone; });
  SegmentFetcher fetcher(server_.Url("pkg.bin"), path, 0, 0, kSize - 1);
  FileSink sink(path);
  EXPECT_EQ(fetcher.FetchFileSegment(sink), FetchResult::kRetryable);
  // Half of the file came before the connection dropped; it is on disk.
  EXPECT_EQ(fetcher.GetCurPos(), kSize / 2);
  EXPECT_EQ(fetcher.GetDownloaded(), kSize / 2);
  FileSink again(path);
  EXPECT_EQ(fetcher.FetchFileSegment(again), FetchResult::kComplete);
  EXPECT_EQ(server_.Requests().back().range, "bytes=150000-299999");
}

TEST_F(FaultServerTest, CompleteRangeAsksNothingAndWritesNothing) {
  std::string path = SentinelFile();
  testkit::WriteWatch watch(path, data_, {});
  SegmentFetcher fetcher(server_.Url("pkg.bin"), path, 1000, 2000, 1999);
  FileSink sink(path);
  EXPECT_EQ(fetcher.FetchFileSegment(sink), FetchResult::kComplete);
  EXPECT_TRUE(server_.Requests().empty());
  EXPECT_TRUE(watch.Writes().empty());
  // An empty range of a tiny file (ep + 1 wraps to 0) counts as complete too.
  SegmentFetcher empty(server_.Url("pkg.bin"), path, 0, 0, 0xFFFFFFFFu);
  FileSink sink2(path);
  EXPECT_EQ(empty.FetchFileSegment(sink2), FetchResult::kComplete);
}

TEST(SegmentBatchTest, ThreeMebibytesInThreeWrites) {
  if (!FaultServer::Available()) GTEST_SKIP();
  std::string data = testkit::Pattern(3 * 1048576);
  FaultServer server;
  ASSERT_TRUE(server.Start(data));
  testkit::TempDir tmp;
  std::string path = tmp / "pkg";
  ASSERT_TRUE(platform::WriteStringToFile(path, std::string(data.size(), '\0')));
  testkit::WriteWatch watch(path, data, {{0, data.size() - 1}});
  SegmentFetcher fetcher(server.Url("pkg"), path, 0, 0, static_cast<uint32_t>(data.size() - 1));
  FileSink sink(path);
  EXPECT_EQ(fetcher.FetchFileSegment(sink), FetchResult::kComplete);
  EXPECT_EQ(watch.Writes(), (std::vector<uint32_t>{1048576, 1048576, 1048576}));
  EXPECT_EQ(watch.Bad(), 0);
}

TEST_F(FaultServerTest, StopWritesWhatIsHeldInMemory) {
  std::string path = SentinelFile();
  // 20000 bytes, then the server goes quiet: they sit in the write-behind
  // buffer when the stop comes.
  server_.SetScript([](const FaultServer::Request&) { return Fault::kStall; });
  SegmentFetcher fetcher(server_.Url("pkg.bin"), path, 0, 0, kSize - 1);
  ASSERT_TRUE(fetcher.Start());
  // Two full blocks are in memory while the third waits for more.
  ASSERT_TRUE(AwaitPartBlock(fetcher));
  fetcher.Stop();
  fetcher.Wait();
  EXPECT_EQ(fetcher.LastResult(), FetchResult::kFailed);
  // The part block that had come is kept as well.
  EXPECT_EQ(fetcher.GetCurPos(), 20000u);
  std::string file;
  ASSERT_TRUE(platform::ReadFileToString(path, &file));
  EXPECT_TRUE(file.substr(0, 20000) == data_.substr(0, 20000));
  EXPECT_EQ(file[20000], '\xEE');
}

TEST_F(FaultServerTest, AbortedAttemptFailsForGoodAndKeepsItsBytes) {
  std::string path = SentinelFile();
  server_.SetScript([](const FaultServer::Request&) { return Fault::kStall; });
  SegmentFetcher fetcher(server_.Url("pkg.bin"), path, 0, 0, kSize - 1);
  FileSink sink(path);
  std::atomic<int> result{1};
  std::thread attempt([&] { result = static_cast<int>(fetcher.FetchFileSegment(sink)); });
  ASSERT_TRUE(AwaitPartBlock(fetcher));
  // The read blocked on the quiet server ends: not a network error to retry.
  fetcher.Abort();
  attempt.join();
  EXPECT_EQ(static_cast<FetchResult>(result.load()), FetchResult::kFailed);
  EXPECT_EQ(fetcher.GetCurPos(), 20000u);
  EXPECT_EQ(fetcher.GetDownloaded(), 20000u);
}

// The disk fills up in the middle of a range: the second megabyte gets half
// its bytes onto the disk, then writes fail. Nothing retries a full disk: the
// range ends, and neither its position nor its count of downloaded bytes takes
// in a byte that did not reach the disk.
TEST(SegmentDiskTest, AWriteErrorEndsTheRangeAndCountsOnlyWhatIsOnDisk) {
  if (!NginxServer::Available()) GTEST_SKIP() << "nginx not installed";
  testkit::TempDir tmp;
  const std::string data = testkit::Pattern(3 * 1048576);
  const std::string www = tmp / "www";
  ASSERT_TRUE(platform::MakeDirectories(www));
  ASSERT_TRUE(platform::WriteStringToFile(platform::JoinPath(www, "pkg.bin"), data));
  NginxServer server;
  ASSERT_TRUE(server.Start(www));
  const std::string local = tmp / "pkg.bin";
  ASSERT_TRUE(platform::WriteStringToFile(local, std::string(data.size(), '\xEE')));

  testkit::FullDisk full(local, 2, 3);
  SegmentFetcher fetcher(server.Url("pkg.bin"), local, 0, 0, static_cast<uint32_t>(data.size() - 1));
  int result = 0;
  EXPECT_TRUE(testkit::EndsWithin(30000, [&] { result = fetcher.Run(); }));
  EXPECT_EQ(result, -1);
  EXPECT_EQ(full.Writes(), 3);  // no write after the failed one
  EXPECT_EQ(fetcher.GetCurPos(), 1048576u);
  EXPECT_EQ(fetcher.GetDownloaded(), 1048576u);
  std::string file;
  ASSERT_TRUE(platform::ReadFileToString(local, &file));
  EXPECT_TRUE(file.substr(0, 1048576) == data.substr(0, 1048576));
}

// --- The same fetchers against nginx, on both targets ----------------------

class NginxFetchTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!NginxServer::Available()) GTEST_SKIP() << "nginx not installed";
    data_ = testkit::Pattern(kSize);
    for (const char* dir : {"", "whole", "drip"}) {
      std::string d = tmp_.Path() + "www" + platform::kPathSep + dir;
      platform::MakeDirectories(d);
      ASSERT_TRUE(platform::WriteStringToFile(platform::JoinPath(d, "pkg.bin"), data_));
    }
    ASSERT_TRUE(server_.Start(tmp_.Path() + "www",
                              "location /whole/ { max_ranges 0; } location /drip/ { limit_rate 25k; }"));
    local_ = tmp_ / "pkg.bin";
    ASSERT_TRUE(platform::WriteStringToFile(local_, std::string(kSize, '\xEE')));
  }
  std::string File() {
    std::string s;
    platform::ReadFileToString(local_, &s);
    return s;
  }

  static constexpr uint32_t kSize = 300000;
  testkit::TempDir tmp_;
  NginxServer server_;
  std::string data_;
  std::string local_;
};

TEST_F(NginxFetchTest, SizeWholeFetchAndMissingFile) {
  FileFetch fetch(server_.Url("pkg.bin"));
  ASSERT_TRUE(fetch.GetRemoteFileAttribute());
  EXPECT_EQ(fetch.GetFileSize(), kSize);
  MemorySink sink;
  ASSERT_EQ(fetch.SigleFetch(sink), FetchResult::kComplete);
  EXPECT_TRUE(std::string(sink.GetText(), sink.GetSize()) == data_);

  FileFetch missing(server_.Url("missing.xml"));
  EXPECT_FALSE(missing.GetRemoteFileAttribute());
  MemorySink none;
  EXPECT_EQ(missing.SigleFetch(none), FetchResult::kFailed);
  EXPECT_EQ(none.GetSize(), 0u);
}

TEST_F(NginxFetchTest, RangeRepliesThatCannotBeUsed) {
  testkit::WriteWatch watch(local_, data_, {{100000, 199999}});
  // A server that ignores Range answers 200 with the whole file.
  SegmentFetcher whole(server_.Url("whole/pkg.bin"), local_, 100000, 100000, 199999);
  EXPECT_EQ(static_cast<FetchResult>(whole.Run()), FetchResult::kFailed);
  // A range past the end of the file: 416.
  SegmentFetcher past(server_.Url("pkg.bin"), local_, kSize + 10, kSize + 10, kSize + 99);
  FileSink sink(local_);
  EXPECT_EQ(past.FetchFileSegment(sink), FetchResult::kFailed);
  EXPECT_TRUE(File() == std::string(kSize, '\xEE'));
  EXPECT_TRUE(watch.Writes().empty());
}

TEST_F(NginxFetchTest, BodyEndingInsideTheRangeIsRetried) {
  // The range reaches 1000 bytes past the file's end: the body stops short.
  testkit::WriteWatch watch(local_, data_, {{250000, kSize + 999}});
  SegmentFetcher fetcher(server_.Url("pkg.bin"), local_, 250000, 250000, kSize + 999);
  FileSink sink(local_);
  EXPECT_EQ(fetcher.FetchFileSegment(sink), FetchResult::kRetryable);
  EXPECT_EQ(fetcher.GetCurPos(), kSize);
  EXPECT_EQ(watch.Bad(), 0);
  EXPECT_TRUE(File().substr(250000) == data_.substr(250000));
}

TEST_F(NginxFetchTest, SlowRangeCompletesAndStopKeepsItsBytes) {
  // nginx lets the first second's worth (25 KB) out at once, then drips.
  testkit::WriteWatch watch(local_, data_, {{0, 79999}, {150000, kSize - 1}});
  SegmentFetcher slow(server_.Url("drip/pkg.bin"), local_, 0, 0, 79999);
  EXPECT_EQ(static_cast<FetchResult>(slow.Run()), FetchResult::kComplete);
  EXPECT_TRUE(File().substr(0, 80000) == data_.substr(0, 80000));

  SegmentFetcher stopped(server_.Url("drip/pkg.bin"), local_, 150000, 150000, kSize - 1);
  ASSERT_TRUE(stopped.Start());
  for (int i = 0; i < 1000 && stopped.GetDownloaded() < 60000; ++i) platform::SleepMs(5);
  stopped.Stop();
  stopped.Wait();
  EXPECT_EQ(stopped.LastResult(), FetchResult::kFailed);
  uint32_t cur = stopped.GetCurPos();
  EXPECT_GE(cur, 150000u + 60000u);
  EXPECT_LT(cur, kSize);
  EXPECT_EQ(cur - 150000u, stopped.GetDownloaded());
  std::string file = File();
  EXPECT_TRUE(file.substr(150000, cur - 150000) == data_.substr(150000, cur - 150000));
  EXPECT_TRUE(file.substr(cur) == std::string(kSize - cur, '\xEE'));
  EXPECT_EQ(watch.Bad(), 0);
}

}  // namespace
