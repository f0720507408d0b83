// The fault server itself, whichever backend serves (CTest runs these once
// more as fault_server_remote_test with the helper program).
#include "testing/fault_server.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <thread>

#include "platform/http.h"
#include "testing/fault_wire.h"

namespace {

using Fault = FaultServer::Fault;
using platform::Status;

struct Reply {
  bool ok = false;
  uint32_t status = 0;
  std::string body;
  std::string retry_after, location;
};

Reply Get(const std::string& url, const std::string& headers) {
  platform::HttpSessionOptions options;
  options.agent = "fault-test";
  options.set_timeouts = true;
  options.connect_timeout_ms = 5000;
  options.data_timeout_ms = 10000;
  auto session = platform::HttpSession::Open(options);
  Reply reply;
  Status error;
  auto request = session->OpenUrl(url, platform::kHttpFlagReload, headers, &error);
  if (!request || !request->QueryStatusCode(&reply.status)) return reply;
  request->QueryHeader("Retry-After", &reply.retry_after);
  request->QueryHeader("Location", &reply.location);
  char buf[4096];
  uint32_t got = 0;
  while (request->Read(buf, sizeof buf, &got) == Status::kOk && got > 0) reply.body.append(buf, got);
  reply.ok = true;
  return reply;
}

class FaultServerSelfTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!FaultServer::Available()) GTEST_SKIP() << "no fault server on this target";
    ASSERT_TRUE(server_.Start("0123456789"));
  }
  FaultServer server_;
};

TEST_F(FaultServerSelfTest, RecordsEveryRequestInArrivalOrder) {
  // Text that needs escaping on its way from the helper. (The server library
  // decodes %XX in header values: "%25" arrives as "%".)
  const std::string agent = "a  b\tc=d %25";
  const auto before = std::chrono::system_clock::now();
  const auto steady_before = std::chrono::steady_clock::now();
  Reply whole = Get(server_.Url("dir/pkg.exe"), "User-Agent: " + agent + "\r\nAccept: */*\r\n");
  Reply part = Get(server_.Url("pkg.exe"), "Range: bytes=7-\r\n");
  const auto steady_span = std::chrono::steady_clock::now() - steady_before;
  const auto after = std::chrono::system_clock::now();
  ASSERT_TRUE(whole.ok && part.ok);
  EXPECT_EQ(whole.status, 200u);
  EXPECT_EQ(whole.body, "0123456789");
  EXPECT_EQ(part.status, 206u);
  EXPECT_EQ(part.body, "789");
  auto seen = server_.Requests();
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[0].index, 0);
  EXPECT_EQ(seen[0].path, "/dir/pkg.exe");
  EXPECT_FALSE(seen[0].has_range);
  EXPECT_EQ(seen[0].range, "");
  EXPECT_EQ(seen[0].start, 0u);
  EXPECT_EQ(seen[0].accept, "*/*");
  EXPECT_EQ(seen[0].user_agent, "a  b\tc=d %");
  EXPECT_EQ(seen[1].index, 1);
  EXPECT_EQ(seen[1].path, "/pkg.exe");
  EXPECT_TRUE(seen[1].has_range);
  EXPECT_EQ(seen[1].range, "bytes=7-");
  EXPECT_EQ(seen[1].start, 7u);
  EXPECT_EQ(seen[1].user_agent, "fault-test");
  // Arrival times on this process's clock, to the millisecond.
  EXPECT_GE(seen[0].at, before - std::chrono::milliseconds(1));
  EXPECT_LE(seen[0].at, seen[1].at);
  EXPECT_LE(seen[1].at, after + std::chrono::milliseconds(1));
  // The steady stamps come from the server's own clock: only their
  // difference means something here, and it stays within the test's span.
  EXPECT_LE(seen[0].arrived, seen[1].arrived);
  EXPECT_LE(seen[1].arrived - seen[0].arrived, steady_span + std::chrono::milliseconds(1));
}

// A request crosses from the helper to the test as one line: every field
// comes back as it went, both clocks' stamps to the microsecond.
TEST(FaultWire, ARequestComesBackAsItWent) {
  FaultServer::Request r;
  r.range = "bytes=7- x%";
  r.has_range = true;
  r.start = 4000000000u;
  r.accept = "*/*";
  r.user_agent = "a  b\tc=d";
  r.path = "/dir/pkg.exe";
  r.at = std::chrono::system_clock::time_point(std::chrono::microseconds(1765000000123456));
  r.arrived = std::chrono::steady_clock::time_point(std::chrono::microseconds(987654321));
  uint64_t id = 0;
  FaultServer::Request back;
  ASSERT_TRUE(testkit::fault_wire::Decode(testkit::fault_wire::Encode(42, r), &id, &back));
  EXPECT_EQ(id, 42u);
  EXPECT_EQ(back.range, r.range);
  EXPECT_TRUE(back.has_range);
  EXPECT_EQ(back.start, r.start);
  EXPECT_EQ(back.accept, r.accept);
  EXPECT_EQ(back.user_agent, r.user_agent);
  EXPECT_EQ(back.path, r.path);
  EXPECT_EQ(back.at, r.at);
  EXPECT_EQ(back.arrived, r.arrived);
  EXPECT_FALSE(testkit::fault_wire::Decode("42 1 2 1 7 =a =b =c", &id, &back));  // a field short
}

TEST_F(FaultServerSelfTest, EachReplyIsTheOneTheScriptChose) {
  const std::string date = "Wed, 21 Oct 2037 07:28:00 GMT";
  server_.SetRetryAfter(date);
  server_.SetRedirect("/elsewhere");
  server_.SetScript([](const FaultServer::Request& r) {
    switch (r.index) {
      case 0: return Fault::kNotFound;
      case 1: return Fault::kTooMany;
      case 2: return Fault::kWrongContentRange;
      case 3: return Fault::kShortBody;
      default: return Fault::kEcho;
    }
  });
  Reply missing = Get(server_.Url("a"), "");
  Reply busy = Get(server_.Url("b"), "");
  Reply wrong = Get(server_.Url("c"), "Range: bytes=4-\r\n");
  Reply short_body = Get(server_.Url("e"), "Range: bytes=4-\r\n");
  Reply echo = Get(server_.Url("d"), "");
  EXPECT_EQ(missing.status, 404u);
  EXPECT_EQ(missing.body, "<html>not found</html>");
  EXPECT_EQ(busy.status, 429u);
  EXPECT_EQ(busy.retry_after, date);
  EXPECT_EQ(busy.body, "<html>busy</html>");
  EXPECT_EQ(wrong.status, 206u);
  EXPECT_EQ(wrong.body, "56789");
  EXPECT_EQ(short_body.status, 206u);
  EXPECT_EQ(short_body.body, "456");  // half of what the range asked for
  EXPECT_EQ(echo.status, 200u);
  EXPECT_EQ(echo.body, "0123456789");
  // A redirect is not followed by this client when it leads nowhere: the
  // Location is the one set.
  server_.SetScript([](const FaultServer::Request& r) { return r.path == "/moved" ? Fault::kRedirect : Fault::kNotFound; });
  Reply moved = Get(server_.Url("moved"), "");
  EXPECT_EQ(moved.status, 404u);  // followed to /elsewhere, which is not found
  auto seen = server_.Requests();
  ASSERT_EQ(seen.size(), 7u);
  EXPECT_EQ(seen[6].path, "/elsewhere");
}

TEST_F(FaultServerSelfTest, ACorruptReplyFlipsItsFirstByteAlone) {
  server_.SetScript([](const FaultServer::Request&) { return Fault::kCorrupt; });
  Reply range = Get(server_.Url("a"), "Range: bytes=4-7\r\n");
  Reply whole = Get(server_.Url("a"), "");
  EXPECT_EQ(range.status, 206u);
  EXPECT_EQ(range.body, std::string(1, static_cast<char>(~'4')) + "567");
  EXPECT_EQ(whole.body, std::string(1, static_cast<char>(~'0')) + "123456789");
}

TEST_F(FaultServerSelfTest, NothingAnswersAfterStop) {
  const std::string url = server_.Url("pkg");
  EXPECT_EQ(Get(url, "").status, 200u);
  const auto before = std::chrono::steady_clock::now();
  server_.Stop();
  EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::seconds(3));
  EXPECT_FALSE(Get(url, "").ok);
  server_.Stop();  // twice is fine
}

TEST_F(FaultServerSelfTest, HelperAnswersARequestTheScriptSitsOn) {
  if (!FaultServer::RunsInHelper()) GTEST_SKIP() << "the server runs in this process";
  // The script outlasts the helper's patience: the request gets a 500 from
  // the helper rather than hanging, and the script's late answer is dropped.
  server_.SetScript([](const FaultServer::Request& r) {
    if (r.index == 0) std::this_thread::sleep_for(std::chrono::milliseconds(6000));
    return Fault::kNone;
  });
  const auto before = std::chrono::steady_clock::now();
  Reply late = Get(server_.Url("pkg"), "");
  const auto waited = std::chrono::steady_clock::now() - before;
  EXPECT_TRUE(late.ok);
  EXPECT_EQ(late.status, 500u);
  EXPECT_GE(waited, std::chrono::milliseconds(4500));
  EXPECT_LT(waited, std::chrono::milliseconds(6000));
  // The next request, queued behind the sitting script, is served as before.
  EXPECT_EQ(Get(server_.Url("pkg"), "").status, 200u);
}

}  // namespace
