#include "win_dl_net/segment_policy.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <map>
#include <mutex>
#include <regex>
#include <thread>

#include "launcher/log/logger.h"
#include "platform/file.h"
#include "platform/path.h"
#include "platform/process.h"
#include "testing/fault_server.h"
#include "testing/nginx_server.h"
#include "testing/served_bytes.h"
#include "testing/testing.h"
#include "testing/write_watch.h"
#include "win_dl_net/check_return.h"
#include "win_dl_net/data_sink.h"
#include "win_dl_net/journal_checks.h"

namespace {

using Fault = FaultServer::Fault;

// A job whose journal lies in the test's directory.
struct Job {
  Job(const testkit::TempDir& tmp, const std::string& url) : policy(tmp.Path() + "pkgs", url) {
    platform::MakeDirectories(tmp.Path() + "pkgs");
    policy.SetJournalPath(tmp / "Download.xml");
  }
  SegmentPolicy policy;
};

TEST(SegmentLayout, FourRangesAsTheSizeAllows) {
  auto eps = [](uint32_t size) {
    std::vector<uint32_t> out;
    for (const SegmentInfo& s : SegmentPolicy::Layout(size)) {
      EXPECT_EQ(s.isp, s.sp);
      out.push_back(s.isp);
      out.push_back(s.ep);
    }
    return out;
  };
  const uint32_t none = 0xFFFFFFFFu;
  EXPECT_EQ(eps(1000), (std::vector<uint32_t>{0, 249, 250, 499, 500, 749, 750, 999}));
  EXPECT_EQ(eps(1003), (std::vector<uint32_t>{0, 249, 250, 499, 500, 749, 750, 1002}));
  EXPECT_EQ(eps(4), (std::vector<uint32_t>{0, 0, 1, 1, 2, 2, 3, 3}));
  EXPECT_EQ(eps(3), (std::vector<uint32_t>{0, none, 0, none, 0, none, 0, 2}));
  EXPECT_EQ(eps(1), (std::vector<uint32_t>{0, none, 0, none, 0, none, 0, 0}));
  EXPECT_EQ(eps(0), (std::vector<uint32_t>{0, none, 0, none, 0, none, 0, none}));
}

TEST(SegmentLayout, LocalNames) {
  std::string name;
  ASSERT_TRUE(SegmentPolicy::LocalNameOf("http://h/dir/pkg.exe", &name));
  EXPECT_EQ(name, "pkg.exe");
  ASSERT_TRUE(SegmentPolicy::LocalNameOf("http:\\\\h\\a\\b.bin", &name));
  EXPECT_EQ(name, "b.bin");
  ASSERT_TRUE(SegmentPolicy::LocalNameOf("pkg.exe", &name));
  EXPECT_EQ(name, "pkg.exe");
  EXPECT_FALSE(SegmentPolicy::LocalNameOf("/pkg.exe", &name));
  EXPECT_FALSE(SegmentPolicy::LocalNameOf("http://h/dir/", &name));
  EXPECT_FALSE(SegmentPolicy::LocalNameOf("http://h/dir/.", &name));
  EXPECT_FALSE(SegmentPolicy::LocalNameOf("http://h/dir/..", &name));
  // Only the first 259 bytes of an URL count.
  ASSERT_TRUE(SegmentPolicy::LocalNameOf("http://h/" + std::string(300, 'a') + "/pkg.exe", &name));
  EXPECT_EQ(name, std::string(250, 'a'));
}

TEST(CheckReturn, WarnLineNamesExpressionFileAndLine) {
  testkit::TempDir tmp;
  Logger::Instance().Init("T", tmp.Path(), Logger::kToFile, 0, 1000000);
  auto check = [](bool ok) {
    CHECK_RETURN(ok && true, -7);
    return 0;
  };
  EXPECT_EQ(check(false), -7);
  std::string log = testkit::ReadFile(Logger::Instance().CurrentFileName());
  Logger::Instance().Init("T", tmp.Path(), 0, 0, 1000000);
  EXPECT_NE(log.find("WARN:"), std::string::npos);
  EXPECT_TRUE(std::regex_search(log, std::regex("CHECK_RETURN,exp:ok && true ,File:.*segment_policy_test\\.cc, Line:[0-9]+")))
      << log;
}

// The journal alone, on a job whose size and local file are set by hand.
class JournalOnly : public SegmentPolicy {
 public:
  JournalOnly(const testkit::TempDir& tmp, uint32_t size)
      : SegmentPolicy(tmp.Path(), "http://127.0.0.1/dir/pkg.exe") {
    SetJournalPath(tmp / "Download.xml");
    _localfilename = tmp / "pkg.exe";
    _filesize = size;
  }
  using SegmentPolicy::LoadJournal;
  using SegmentPolicy::SaveJournal;
  MarkupDocument& Journal() { return _downloadxml; }
  void LayOut() { _segments = Layout(_filesize); }
  void Progress(size_t i, uint32_t sp) { _segments[i].sp = sp; }
  const std::string& LocalFile() const { return _localfilename; }
};

// Runs `body` with the log going to a file of its own; returns the log text.
std::string LogOf(const std::function<void()>& body) {
  testkit::TempDir logs;
  Logger::Instance().Init("T", logs.Path(), Logger::kToFile, 0, 1000000);
  body();
  std::string log = testkit::ReadFile(Logger::Instance().CurrentFileName());
  Logger::Instance().Init("T", logs.Path(), 0, 0, 1000000);
  return log;
}

// The one CHECK_RETURN line of `log` carries exactly `text`, from the
// journal's source, with a line number.
void ExpectCheckLine(const std::string& log, const std::string& text) {
  const std::string mark = "CHECK_RETURN,exp:";
  size_t at = log.find(mark);
  ASSERT_NE(at, std::string::npos) << log;
  EXPECT_EQ(log.find(mark, at + 1), std::string::npos) << "more than one check failed:\n" << log;
  size_t eol = log.find_first_of("\r\n", at);
  std::string line = log.substr(at, eol == std::string::npos ? std::string::npos : eol - at);
  const std::string file = " ,File:";
  size_t f = line.find(file);
  ASSERT_NE(f, std::string::npos) << line;
  EXPECT_EQ(line.substr(mark.size(), f - mark.size()), text);
  EXPECT_TRUE(std::regex_match(line.substr(f), std::regex(" ,File:.*segment_journal\\.cc, Line:[1-9][0-9]*"))) << line;
  EXPECT_NE(log.rfind("WARN:", at), std::string::npos) << log;
}

TEST(JournalChecks, TextsAreTheEstablishedOnes) {
  // Operators search the logs for these; they may not drift.
  EXPECT_STREQ(journal_check::kAddRoot, "_downloadxml.AddElem(_T(\"VellmarkDownload\"))");
  EXPECT_STREQ(journal_check::kFindRoot, "_downloadxml.FindElem(_T(\"VellmarkDownload\"))");
  EXPECT_STREQ(journal_check::kIntoElem, "_downloadxml.IntoElem()");
  EXPECT_STREQ(journal_check::kFindSegments, "_downloadxml.FindElem(_T(\"Segments\"))");
  EXPECT_STREQ(journal_check::kInsertItem, "_downloadxml.InsertElem(_T(\"DownloadItem\"))");
  EXPECT_STREQ(journal_check::kSetLocalFile, "_downloadxml.SetAttrib(_T(\"lf\"),_localfilename.GetBuffer())");
  EXPECT_STREQ(journal_check::kSetSegmentCount, "_downloadxml.SetAttrib(_T(\"segCnt\"),TC)");
  EXPECT_STREQ(journal_check::kSetTime, "_downloadxml.SetAttrib(_T(\"dt\"),time(NULL))");
  EXPECT_STREQ(journal_check::kAddUrl, "_downloadxml.AddElem(_T(\"URL\"),_strurl.GetBuffer())");
  EXPECT_STREQ(journal_check::kAddFileSize, "_downloadxml.AddElem(_T(\"FileSize\"),_filesize)");
  EXPECT_STREQ(journal_check::kAddSegments, "_downloadxml.AddElem(_T(\"Segments\"))");
}

TEST(JournalChecks, FailedSaveStepsLogTheirTexts) {
  testkit::TempDir tmp;
  const std::string journal = tmp / "Download.xml";
  {
    // The document lost its root.
    JournalOnly job(tmp, 1000);
    ASSERT_TRUE(job.LoadJournal());
    job.LayOut();
    job.Journal().SetDoc("<Other/>\r\n");
    std::string log = LogOf([&] { EXPECT_FALSE(job.SaveJournal()); });
    ExpectCheckLine(log, "_downloadxml.FindElem(_T(\"VellmarkDownload\"))");
    EXPECT_FALSE(platform::Exists(journal));
  }
  {
    // The document refuses the new item.
    JournalOnly job(tmp, 1000);
    ASSERT_TRUE(job.LoadJournal());
    job.LayOut();
    job.Journal().SetDocFlags(MarkupDocument::kDocWritePiecewise);
    std::string log = LogOf([&] { EXPECT_FALSE(job.SaveJournal()); });
    ExpectCheckLine(log, "_downloadxml.InsertElem(_T(\"DownloadItem\"))");
    EXPECT_FALSE(platform::Exists(journal));
  }
  {
    // This file's item has no Segments.
    JournalOnly job(tmp, 1000);
    ASSERT_TRUE(job.LoadJournal());
    job.LayOut();
    MarkupDocument& doc = job.Journal();
    doc.SetDoc("<VellmarkDownload>\r\n<DownloadItem/>\r\n</VellmarkDownload>\r\n");
    ASSERT_TRUE(doc.FindElem("VellmarkDownload"));
    ASSERT_TRUE(doc.IntoElem());
    ASSERT_TRUE(doc.FindElem("DownloadItem"));
    ASSERT_TRUE(doc.SetAttrib("lf", job.LocalFile()));
    std::string log = LogOf([&] { EXPECT_FALSE(job.SaveJournal()); });
    ExpectCheckLine(log, "_downloadxml.FindElem(_T(\"Segments\"))");
    EXPECT_FALSE(platform::Exists(journal));
  }
  {
    // And a sound save logs no check at all.
    JournalOnly job(tmp, 1000);
    ASSERT_TRUE(job.LoadJournal());
    job.LayOut();
    std::string log = LogOf([&] { EXPECT_TRUE(job.SaveJournal()); });
    EXPECT_EQ(log.find("CHECK_RETURN"), std::string::npos) << log;
    EXPECT_TRUE(platform::Exists(journal));
  }
}

// The disk fills up in the middle of a journal save: the journal of the last
// good save stays whole and is what the next job reads. A temporary left
// beside it (a crash midway) is never read and the next save replaces it.
TEST(JournalDisk, AFullDiskKeepsThePreviousJournal) {
  testkit::TempDir tmp;
  const std::string journal = tmp / "Download.xml";
  ASSERT_TRUE(platform::WriteStringToFile(tmp / "pkg.exe", std::string(1000, 'x')));
  std::string saved;
  {
    JournalOnly job(tmp, 1000);
    ASSERT_TRUE(job.LoadJournal());
    job.LayOut();
    job.Progress(0, 100);
    ASSERT_TRUE(job.SaveJournal());
    saved = testkit::ReadFile(journal);
    ASSERT_NE(saved.find(" sp=\"100\""), std::string::npos) << saved;

    job.Progress(0, 200);
    static int writes;
    writes = 0;
    platform::ScopedFileCallsOverride full;
    // The first write gets 10 bytes onto the disk, then it is full.
    platform::FileCalls().write = [](platform::NativeFile f, int64_t at, const void* src, size_t n, size_t* done) -> platform::Status {
      if (writes++ == 0) return platform::RealFileCalls().write(f, at, src, std::min<size_t>(n, 10), done);
      *done = 0;
      return platform::Status::kRetryable;
    };
    LogOf([&] { EXPECT_FALSE(job.SaveJournal()); });
    EXPECT_GE(writes, 2);
  }
  EXPECT_TRUE(testkit::ReadFile(journal) == saved);
  EXPECT_FALSE(platform::Exists(journal + ".tmp"));
  {
    JournalOnly job(tmp, 1000);
    ASSERT_TRUE(job.LoadJournal());
    ASSERT_EQ(job.Segments().size(), 4u);
    EXPECT_EQ(job.Segments()[0].sp, 100u);
  }
  ASSERT_TRUE(platform::WriteStringToFile(journal + ".tmp", "<VellmarkDownload><DownloadItem"));
  {
    JournalOnly job(tmp, 1000);
    ASSERT_TRUE(job.LoadJournal());
    ASSERT_EQ(job.Segments().size(), 4u);
    EXPECT_EQ(job.Segments()[0].sp, 100u);
    job.Progress(0, 300);
    ASSERT_TRUE(job.SaveJournal());
  }
  EXPECT_NE(testkit::ReadFile(journal).find(" sp=\"300\""), std::string::npos);
  EXPECT_FALSE(platform::Exists(journal + ".tmp"));
}

// --- Jobs against nginx, on both targets -----------------------------------

class NginxJobTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!NginxServer::Available()) GTEST_SKIP() << "nginx not installed";
    platform::MakeDirectories(tmp_.Path() + "www");
    platform::MakeDirectories(tmp_.Path() + "pkgs");
  }
  void Serve(size_t size, const std::string& extra = std::string()) {
    data_ = testkit::Pattern(size);
    ASSERT_TRUE(platform::WriteStringToFile(tmp_.Path() + "www" + platform::kPathSep + "pkg.exe", data_));
    ASSERT_TRUE(server_.Start(tmp_.Path() + "www", extra));
  }
  std::string Local() const { return tmp_.Path() + "pkgs" + platform::kPathSep + "pkg.exe"; }

  testkit::TempDir tmp_;
  NginxServer server_;
  std::string data_;
};

// The journal with dt and every sp blanked out.
std::string WithoutProgress(const std::string& journal) {
  return std::regex_replace(std::regex_replace(journal, std::regex("dt=\"[0-9]+\""), "dt=\"\""),
                            std::regex(" sp=\"[-0-9]+\""), " sp=\"\"");
}

TEST_F(NginxJobTest, FullDownloadAndItsJournal) {
  Serve(1003);
  Job job(tmp_, server_.Url("pkg.exe"));
  ASSERT_TRUE(job.policy.Init());
  EXPECT_EQ(job.policy.GetFileSize(), 1003u);
  EXPECT_TRUE(job.policy.Segments().empty());
  ASSERT_TRUE(job.policy.Start());
  job.policy.Wait();
  EXPECT_EQ(job.policy.GetDownloadedSize(), 1003u);
  EXPECT_EQ(testkit::ReadFile(Local()), data_);

  std::string journal = testkit::ReadFile(tmp_ / "Download.xml");
  std::string expected =
      "<VellmarkDownload>\r\n"
      "<DownloadItem lf=\"" + MarkupDocument::EscapeText(Local(), true) + "\" segCnt=\"4\" dt=\"\">\r\n"
      "<URL>" + MarkupDocument::EscapeText(server_.Url("pkg.exe"), false) + "</URL>\r\n"
      "<FileSize>1003</FileSize>\r\n"
      "<Segments>\r\n"
      "<SegmentItem i=\"0\" isp=\"0\" sp=\"\" ep=\"249\"/>\r\n"
      "<SegmentItem i=\"1\" isp=\"250\" sp=\"\" ep=\"499\"/>\r\n"
      "<SegmentItem i=\"2\" isp=\"500\" sp=\"\" ep=\"749\"/>\r\n"
      "<SegmentItem i=\"3\" isp=\"750\" sp=\"\" ep=\"1002\"/>\r\n"
      "</Segments>\r\n"
      "</DownloadItem>\r\n"
      "</VellmarkDownload>\r\n";
  EXPECT_EQ(WithoutProgress(journal), expected);
  EXPECT_NE(journal.find("sp=\"250\" ep=\"249\""), std::string::npos);
  EXPECT_NE(journal.find("sp=\"1003\" ep=\"1002\""), std::string::npos);

  // A second job finds every range complete: one request each, no bytes.
  server_.ClearAccessLog();
  Job again(tmp_, server_.Url("pkg.exe"));
  ASSERT_TRUE(again.policy.Init());
  ASSERT_EQ(again.policy.Segments().size(), 4u);
  ASSERT_TRUE(again.policy.Start());
  again.policy.Wait();
  EXPECT_EQ(again.policy.GetDownloadedSize(), 1003u);
  EXPECT_EQ(testkit::ReadFile(Local()), data_);
  std::vector<NginxServer::LogLine> log = server_.AccessLog();
  ASSERT_EQ(log.size(), 1u);  // the size query; a complete range asks nothing
  EXPECT_EQ(log[0].range, "bytes=0-0");
  EXPECT_EQ(WithoutProgress(testkit::ReadFile(tmp_ / "Download.xml")), expected);
}

// The size query asks for one byte and each range for exactly its bytes, so
// the server sends no more than the job keeps (and that byte).
TEST_F(NginxJobTest, TheServerSendsOnlyTheBytesThatAreKept) {
  const size_t size = 8 * 1048576 + 5;
  Serve(size);
  Job job(tmp_, server_.Url("pkg.exe"));
  ASSERT_TRUE(job.policy.Init());
  ASSERT_TRUE(job.policy.Start());
  job.policy.Wait();
  ASSERT_EQ(job.policy.GetDownloadedSize(), size);
  EXPECT_TRUE(testkit::ReadFile(Local()) == data_);
  std::vector<NginxServer::LogLine> log = server_.AccessLog();
  ASSERT_EQ(log.size(), 1u + 4u);
  EXPECT_EQ(log[0].range, "bytes=0-0");
  EXPECT_EQ(log[0].body_bytes, 1u);
  std::vector<std::string> ranges;
  uint64_t sent = 0;
  for (size_t i = 1; i < log.size(); ++i) {
    EXPECT_EQ(log[i].method, "GET");
    ranges.push_back(log[i].range);
    sent += log[i].body_bytes;
  }
  std::sort(ranges.begin(), ranges.end());
  const std::vector<std::string> expected = {"bytes=0-2097152", "bytes=2097153-4194305",
                                             "bytes=4194306-6291458", "bytes=6291459-8388612"};
  EXPECT_EQ(ranges, expected);
  EXPECT_EQ(sent, size);
}

// The package grows on the server after the size was learnt: every range
// reply then runs on past the range, the last one past the end. Nothing
// beyond the size the job laid out reaches the disk.
TEST_F(NginxJobTest, NoBytePastTheLearntSizeIsWritten) {
  Serve(100003);
  Job job(tmp_, server_.Url("pkg.exe"));
  ASSERT_TRUE(job.policy.Init());
  ASSERT_EQ(job.policy.GetFileSize(), 100003u);
  std::string grown = testkit::Pattern(3 * 100003);
  for (size_t i = 0; i < grown.size(); ++i) grown[i] = static_cast<char>(grown[i] ^ 0x5A);
  ASSERT_TRUE(platform::WriteStringToFile(tmp_.Path() + "www" + platform::kPathSep + "pkg.exe", grown));
  uint64_t furthest = 0;
  std::mutex mutex;
  {
    testkit::FileFaults watch([this](const std::string& name, const platform::FileOpenOptions&,
                                     platform::NativeFile) { return name == Local(); },
                              nullptr, nullptr, [&](int64_t at, const void*, size_t n) {
                                std::lock_guard<std::mutex> lock(mutex);
                                furthest = std::max<uint64_t>(furthest, static_cast<uint64_t>(at) + n);
                              });
    ASSERT_TRUE(job.policy.Start());
    job.policy.Wait();
  }
  EXPECT_EQ(furthest, 100003u);
  EXPECT_EQ(job.policy.GetDownloadedSize(), 100003u);
  EXPECT_TRUE(testkit::ReadFile(Local()) == grown.substr(0, 100003));
}

// The disk fills up while four ranges of 2 MiB are written: the third write
// of the package is cut short, every later one fails. The job ends, and the
// journal and the downloaded size count only bytes that are on the disk.
TEST_F(NginxJobTest, AFullDiskEndsTheJobAndCountsOnlyWhatIsOnDisk) {
  Serve(8 * 1048576);
  Job job(tmp_, server_.Url("pkg.exe"));
  ASSERT_TRUE(job.policy.Init());
  {
    testkit::FullDisk full(Local(), 3, 4);
    ASSERT_TRUE(job.policy.Start());
    EXPECT_TRUE(testkit::EndsWithin(30000, [&] { job.policy.Wait(); }));
    EXPECT_GE(full.Writes(), 4);
  }
  Job resumed(tmp_, server_.Url("pkg.exe"));
  ASSERT_TRUE(resumed.policy.Init());
  ASSERT_EQ(resumed.policy.Segments().size(), 4u);
  const std::string file = testkit::ReadFile(Local());
  uint32_t recorded = 0;
  for (const SegmentInfo& s : resumed.policy.Segments()) {
    recorded += s.sp - s.isp;
    EXPECT_TRUE(file.substr(s.isp, s.sp - s.isp) == data_.substr(s.isp, s.sp - s.isp)) << "range at " << s.isp;
  }
  EXPECT_EQ(job.policy.GetDownloadedSize(), recorded);
  EXPECT_LE(recorded, 2u * 1048576u);  // two whole writes reached the disk
}

TEST_F(NginxJobTest, StoppedThenResumedThenKilledThenResumed) {
  // 4 MiB at 256 KiB/s per connection: about four seconds per range.
  Serve(4 * 1048576, "limit_rate 256k;");
  std::vector<SegmentInfo> stored;
  {
    Job job(tmp_, server_.Url("pkg.exe"));
    ASSERT_TRUE(job.policy.Init());
    ASSERT_TRUE(job.policy.Start());
    for (int i = 0; i < 2000 && job.policy.GetDownloadedSize() < 1048576; ++i) platform::SleepMs(10);
    job.policy.Stop();
    job.policy.Wait();
  }
  {
    // What the journal says is on disk, is.
    Job probe(tmp_, server_.Url("pkg.exe"));
    ASSERT_TRUE(probe.policy.Init());
    stored = probe.policy.Segments();
    ASSERT_EQ(stored.size(), 4u);
    std::string file = testkit::ReadFile(Local());
    ASSERT_EQ(file.size(), data_.size());
    for (const SegmentInfo& s : stored) {
      EXPECT_GT(s.sp, s.isp);
      EXPECT_LT(s.sp, s.ep + 1);
      EXPECT_TRUE(file.substr(s.isp, s.sp - s.isp) == data_.substr(s.isp, s.sp - s.isp));
    }
  }
  // A download process killed half-way leaves the journal of the last save.
  std::string journal_before = testkit::ReadFile(tmp_ / "Download.xml");
  // nginx logs a request of a dropped connection only when it notices the
  // drop: wait for the stopped job's four ranges and the two size queries.
  auto wait_for_log = [&](size_t n) {
    for (int i = 0; i < 100 && server_.AccessLog().size() < n; ++i) platform::SleepMs(50);
    return server_.AccessLog().size();
  };
  EXPECT_EQ(wait_for_log(6), 6u);
  server_.ClearAccessLog();
  std::unique_ptr<platform::Process> child = platform::StartProcess(
      platform::QuoteArgument(testkit::BuiltProgram("segment_download")) + " " +
      platform::QuoteArgument(tmp_.Path() + "pkgs") + " " + platform::QuoteArgument(server_.Url("pkg.exe")) + " " +
      platform::QuoteArgument(tmp_ / "Download.xml"));
  ASSERT_TRUE(child);
  platform::SleepMs(1500);
  child->Kill();
  child->Wait();
  EXPECT_EQ(testkit::ReadFile(tmp_ / "Download.xml"), journal_before);
  // The child's requests (however far it came) show once nginx notices the
  // connections gone; wait until the log is quiet.
  size_t seen = server_.AccessLog().size();
  for (int i = 0; i < 8; ++i) {
    platform::SleepMs(1500);
    size_t now = server_.AccessLog().size();
    if (now == seen && now > 0) break;
    seen = now;
  }
  EXPECT_GE(seen, 1u);

  server_.ClearAccessLog();
  Job last(tmp_, server_.Url("pkg.exe"));
  ASSERT_TRUE(last.policy.Init());
  ASSERT_EQ(last.policy.Segments().size(), 4u);
  ASSERT_TRUE(last.policy.Start());
  last.policy.Wait();
  EXPECT_EQ(last.policy.GetDownloadedSize(), data_.size());
  EXPECT_TRUE(testkit::ReadFile(Local()) == data_);
  // The ranges resumed where the journal left them: nothing before is asked for.
  int ranged = 0;
  for (const NginxServer::LogLine& l : server_.AccessLog()) {
    if (l.range == "bytes=0-0" || l.range == "-") continue;
    ++ranged;
    uint32_t start = static_cast<uint32_t>(std::stoul(l.range.substr(6)));
    bool from_stored = false;
    for (const SegmentInfo& s : stored) from_stored |= start == s.sp;
    EXPECT_TRUE(from_stored) << l.range;
  }
  EXPECT_EQ(ranged, 4);
}

TEST_F(NginxJobTest, UnusableJournalItemsAreLaidOutAnew) {
  Serve(1000);
  platform::WriteStringToFile(Local(), std::string(1000, 'x'));
  auto journal = [&](const std::string& items) {
    platform::WriteStringToFile(tmp_ / "Download.xml", "<VellmarkDownload>\r\n" + items + "</VellmarkDownload>\r\n");
  };
  auto item = [&](const std::string& lf, const std::string& size, const std::string& segments) {
    return "<DownloadItem lf=\"" + MarkupDocument::EscapeText(lf, true) + "\" segCnt=\"4\" dt=\"1\">\r\n<URL>" +
           MarkupDocument::EscapeText(server_.Url("pkg.exe"), false) + "</URL>\r\n<FileSize>" + size +
           "</FileSize>\r\n<Segments>\r\n" + segments + "</Segments>\r\n</DownloadItem>\r\n";
  };
  auto seg = [](int i, int isp, int sp, int ep) {
    return "<SegmentItem i=\"" + std::to_string(i) + "\" isp=\"" + std::to_string(isp) + "\" sp=\"" +
           std::to_string(sp) + "\" ep=\"" + std::to_string(ep) + "\"/>\r\n";
  };
  std::string good = seg(0, 0, 100, 249) + seg(1, 250, 250, 499) + seg(2, 500, 750, 749) + seg(3, 750, 800, 999);
  std::string other = item("elsewhere.exe", "5", seg(0, 0, 0, 0));
  struct Case {
    std::string name, items;
    bool resumes;
  } cases[] = {
      {"good", other + item(Local(), "1000", good), true},
      {"three ranges", other + item(Local(), "1000", seg(0, 0, 0, 249) + seg(1, 250, 250, 499) + seg(2, 500, 500, 999)), false},
      {"sp past the range", other + item(Local(), "1000", seg(0, 0, 251, 249) + seg(1, 250, 250, 499) + seg(2, 500, 500, 749) + seg(3, 750, 750, 999)), false},
      {"sp before the range", other + item(Local(), "1000", seg(0, 0, 0, 249) + seg(1, 250, 10, 499) + seg(2, 500, 500, 749) + seg(3, 750, 750, 999)), false},
      {"range outside the file", other + item(Local(), "1000", seg(0, 0, 0, 249) + seg(1, 250, 250, 499) + seg(2, 500, 500, 749) + seg(3, 750, 750, 1999)), false},
      {"other size", other + item(Local(), "2000", good), false},
      {"not markup", "\x01<<<", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    journal(c.items);
    Job job(tmp_, server_.Url("pkg.exe"));
    ASSERT_TRUE(job.policy.Init());
    EXPECT_EQ(job.policy.Segments().size(), c.resumes ? 4u : 0u);
    ASSERT_TRUE(job.policy.Start());
    job.policy.Wait();
    std::string file = testkit::ReadFile(Local());
    if (c.resumes) {
      // The journal is trusted for what lies before each sp.
      EXPECT_TRUE(file.substr(0, 100) == std::string(100, 'x'));
      EXPECT_TRUE(file.substr(100, 400) == data_.substr(100, 400));
      EXPECT_TRUE(file.substr(500, 300) == std::string(300, 'x'));
      EXPECT_TRUE(file.substr(800) == data_.substr(800));
    } else {
      EXPECT_TRUE(file == data_);
    }
    std::string saved = testkit::ReadFile(tmp_ / "Download.xml");
    // The item of this file is written anew; another file's item stays.
    EXPECT_EQ(saved.find("elsewhere.exe") != std::string::npos, c.name != "not markup");
    EXPECT_NE(saved.find("sp=\"1000\" ep=\"999\""), std::string::npos);
    size_t first = saved.find("pkg.exe\"");
    EXPECT_NE(first, std::string::npos);
    EXPECT_EQ(saved.find("pkg.exe\"", first + 1), std::string::npos);
    platform::WriteStringToFile(Local(), std::string(1000, 'x'));
  }
}

TEST_F(NginxJobTest, JournalHousekeeping) {
  Serve(1000);
  {
    Job job(tmp_, server_.Url("pkg.exe"));
    ASSERT_TRUE(job.policy.Init());
    ASSERT_TRUE(job.policy.Start());
    job.policy.Wait();
  }
  // A read-only journal is made writable for the save.
  ASSERT_TRUE(platform::SetReadOnly(tmp_ / "Download.xml", true));
  {
    Job job(tmp_, server_.Url("pkg.exe"));
    ASSERT_TRUE(job.policy.Init());
    ASSERT_TRUE(job.policy.Start());
    job.policy.Wait();
    EXPECT_FALSE(platform::IsReadOnly(tmp_ / "Download.xml"));
  }
  // Without its package file the journal is stale and goes.
  ASSERT_TRUE(platform::RemoveFile(Local()));
  {
    Job job(tmp_, server_.Url("pkg.exe"));
    ASSERT_TRUE(job.policy.Init());
    EXPECT_FALSE(platform::Exists(tmp_ / "Download.xml"));
    EXPECT_TRUE(job.policy.Segments().empty());
  }
  // A size-0 package has nothing to lay out: the run ends at once.
  Serve(0);
  platform::WriteStringToFile(tmp_.Path() + "www" + platform::kPathSep + "empty.bin", "");
  Job empty(tmp_, server_.Url("empty.bin"));
  ASSERT_TRUE(empty.policy.Init());
  ASSERT_TRUE(empty.policy.Start());
  empty.policy.Wait();
  EXPECT_EQ(empty.policy.GetFileSize(), 0u);
  // Not found: Init fails.
  Job missing(tmp_, server_.Url("missing.bin"));
  EXPECT_FALSE(missing.policy.Init());
}

// Every range stalls after its headers: a stop ends every blocked read and the
// job within 2 s, and what arrived is kept.
TEST_F(NginxJobTest, StopWhileEveryRangeStallsEndsWithinTwoSeconds) {
  Serve(400000, "limit_rate_after 40000; limit_rate 1;");
  Job job(tmp_, server_.Url("pkg.exe"));
  ASSERT_TRUE(job.policy.Init());
  ASSERT_TRUE(job.policy.Start());
  for (int i = 0; i < 1000 && job.policy.GetDownloadedSize() == 0; ++i) platform::SleepMs(10);
  ASSERT_GT(job.policy.GetDownloadedSize(), 0u);  // the ranges have begun
  platform::SleepMs(1500);  // the fetchers sit in their reads
  EXPECT_TRUE(testkit::EndsWithin(2000, [&] {
    job.policy.Stop();
    job.policy.Wait();
  }));
  std::string journal = testkit::ReadFile(tmp_ / "Download.xml");
  EXPECT_NE(journal.find("pkg.exe"), std::string::npos) << journal;
}

// A stop from another thread while Init waits for the size: Init fails at
// once and the job never starts a fetcher.
TEST_F(NginxJobTest, StopDuringTheSizeQueryEndsInit) {
  data_ = testkit::Pattern(100000);
  ASSERT_TRUE(platform::WriteStringToFile(tmp_.Path() + "www" + platform::kPathSep + "pkg.exe", data_));
  ASSERT_TRUE(server_.Start(tmp_.Path() + "www", "location /pkg.exe { limit_req zone=slow burst=5; }",
                            "limit_req_zone $server_port zone=slow:1m rate=6r/m;"));
  {
    FileFetch first(server_.Url("pkg.exe"));  // the zone's one immediate answer
    ASSERT_TRUE(first.GetRemoteFileAttribute());
  }
  Job job(tmp_, server_.Url("pkg.exe"));
  std::thread stopper([&] {
    platform::SleepMs(500);
    job.policy.Stop();
  });
  bool initialised = true;
  EXPECT_TRUE(testkit::EndsWithin(2500, [&] { initialised = job.policy.Init(); }));
  stopper.join();
  EXPECT_FALSE(initialised);
  EXPECT_TRUE(job.policy.Segments().empty());
  job.policy.Start();
  job.policy.Wait();
  EXPECT_FALSE(platform::Exists(Local()));
}

// --- Jobs against the fault server (where it exists) -----------------------

class FaultJobTest : public testkit::ServedBytesTest<1000003> {
 protected:
  std::vector<testkit::WriteWatch::Range> Ranges() const { return testkit::JobRanges(kSize); }
  std::string Local() const { return tmp_.Path() + "pkgs" + platform::kPathSep + "pkg.exe"; }
};

TEST_F(FaultJobTest, EveryRangeSurvivesItsFault) {
  // Each range's first request meets another fault; the size query is spared.
  std::map<uint32_t, int> seen;
  server_.SetScript([&](const FaultServer::Request& r) {
    if (r.index == 0) return Fault::kNone;
    int n = seen[r.start / 250000]++;
    if (n > 0) return Fault::kNone;
    switch (r.start / 250000) {
      case 0: return Fault::kTruncate;
      case 1: return Fault::kStall;
      case 2: return Fault::kShortBody;
      default: return Fault::kServerError;
    }
  });
  testkit::WriteWatch watch(Local(), data_, Ranges());
  Job job(tmp_, server_.Url("dir/pkg.exe"));
  ASSERT_TRUE(job.policy.Init());
  ASSERT_TRUE(job.policy.Start());
  job.policy.Wait();
  EXPECT_EQ(job.policy.GetDownloadedSize(), kSize);
  EXPECT_EQ(watch.Bad(), 0);
  EXPECT_TRUE(testkit::ReadFile(tmp_.Path() + "pkgs" + platform::kPathSep + "pkg.exe") == data_);
}

TEST_F(FaultJobTest, AFetcherThatGivesUpEndsTheJob) {
  // Range 2 is answered with the whole file, as by a server ignoring Range.
  server_.SetScript([](const FaultServer::Request& r) {
    return r.start == 500000 ? Fault::kFullBody200 : Fault::kNone;
  });
  testkit::WriteWatch watch(Local(), data_, Ranges());
  Job job(tmp_, server_.Url("pkg.exe"));
  ASSERT_TRUE(job.policy.Init());
  ASSERT_TRUE(job.policy.Start());
  job.policy.Wait();
  EXPECT_EQ(job.policy.GetDownloadedSize(), kSize - 250000);
  EXPECT_EQ(watch.Bad(), 0);
  std::string journal = testkit::ReadFile(tmp_ / "Download.xml");
  EXPECT_NE(journal.find("isp=\"500000\" sp=\"500000\" ep=\"749999\""), std::string::npos) << journal;
  EXPECT_NE(journal.find("isp=\"750000\" sp=\"1000003\" ep=\"1000002\""), std::string::npos);
}

TEST_F(FaultJobTest, StopDuringAStallEndsPromptly) {
  server_.SetScript([](const FaultServer::Request& r) { return r.index == 0 ? Fault::kNone : Fault::kStall; });
  Job job(tmp_, server_.Url("pkg.exe"));
  ASSERT_TRUE(job.policy.Init());
  ASSERT_TRUE(job.policy.Start());
  for (int i = 0; i < 1000 && job.policy.GetDownloadedSize() < 80000; ++i) platform::SleepMs(5);
  EXPECT_TRUE(testkit::EndsWithin(2000, [&] {
    job.policy.Stop();
    job.policy.Wait();
  }));
  // Whatever came is on disk and in the journal.
  Job resumed(tmp_, server_.Url("pkg.exe"));
  ASSERT_TRUE(resumed.policy.Init());
  ASSERT_EQ(resumed.policy.Segments().size(), 4u);
  std::string file = testkit::ReadFile(tmp_.Path() + "pkgs" + platform::kPathSep + "pkg.exe");
  for (const SegmentInfo& s : resumed.policy.Segments()) {
    EXPECT_GE(s.sp - s.isp, 20000u);
    EXPECT_TRUE(file.substr(s.isp, s.sp - s.isp) == data_.substr(s.isp, s.sp - s.isp));
  }
}

}  // namespace
