#include "platform/http.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "testing/fault_server.h"
#include "testing/testing.h"

namespace platform {
namespace {

HttpSessionOptions Agent(const std::string& name) {
  HttpSessionOptions options;
  options.agent = name;
  return options;
}

TEST(HttpUrlTest, Splits) {
  HttpUrl u;
  ASSERT_TRUE(ParseHttpUrl("http://example.org/a/b.exe?x=1", &u));
  EXPECT_EQ(u.scheme, "http");
  EXPECT_EQ(u.server, "example.org");
  EXPECT_EQ(u.object, "/a/b.exe?x=1");
  EXPECT_EQ(u.port, 80);
  ASSERT_TRUE(ParseHttpUrl("HTTPS://user:pw@10.0.0.1:8443", &u));
  EXPECT_EQ(u.scheme, "https");
  EXPECT_EQ(u.server, "10.0.0.1");
  EXPECT_EQ(u.object, "/");
  EXPECT_EQ(u.port, 8443);
  ASSERT_TRUE(ParseHttpUrl("http://h?q", &u));
  EXPECT_EQ(u.object, "/?q");
  EXPECT_FALSE(ParseHttpUrl("ftp://h/x", &u));
  EXPECT_FALSE(ParseHttpUrl("pkg.exe", &u));
  EXPECT_FALSE(ParseHttpUrl("http:///x", &u));
  EXPECT_FALSE(ParseHttpUrl("http://h:0/x", &u));
  EXPECT_FALSE(ParseHttpUrl("http://h:65536/x", &u));
  EXPECT_FALSE(ParseHttpUrl("http://h:8a/x", &u));
}

TEST(HttpSessionTest, RefusedConnectionIsANetworkError) {
  auto session = HttpSession::Open(Agent("test"));
  ASSERT_TRUE(session);
  Status error = Status::kOk;
  // Nothing listens on the discard port of the loopback here.
  EXPECT_EQ(session->OpenUrl("http://127.0.0.1:9/x", 0, "", &error), nullptr);
  EXPECT_EQ(error, Status::kRetryable);
  EXPECT_EQ(session->OpenUrl("gopher://127.0.0.1/x", 0, "", &error), nullptr);
  EXPECT_NE(error, Status::kOk);
}

// Against the fault server: /moved redirects to /hello, which repeats the
// request's User-Agent and Range as X-Agent and X-Range; /stall sends the
// headers and then nothing for FaultServer::kStallMs.
class HttpServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!FaultServer::Available()) GTEST_SKIP() << "no fault server on this target";
    server_.SetRedirect("/hello");
    server_.SetScript([](const FaultServer::Request& r) {
      if (r.path == "/moved") return FaultServer::Fault::kRedirect;
      if (r.path == "/stall") return FaultServer::Fault::kStallHeaders;
      return FaultServer::Fault::kEcho;
    });
    ASSERT_TRUE(server_.Start("hello world"));
  }
  std::string Url(const std::string& path) { return server_.Url(path.substr(1)); }

  FaultServer server_;
};

TEST_F(HttpServerTest, StatusHeadersAndBody) {
  auto session = HttpSession::Open(Agent("agent-name"));
  Status error;
  auto request = session->OpenUrl(Url("/moved"), kHttpFlagReload, "Range: bytes=0-\r\n", &error);
  ASSERT_TRUE(request);
  uint32_t code = 0, length = 0;
  ASSERT_TRUE(request->QueryStatusCode(&code));
  EXPECT_EQ(code, 206u);  // the server cut the range out itself
  ASSERT_TRUE(request->QueryContentLength(&length));
  EXPECT_EQ(length, 11u);
  std::string value;
  ASSERT_TRUE(request->QueryHeader("x-agent", &value));
  EXPECT_EQ(value, "agent-name");
  ASSERT_TRUE(request->QueryHeader("X-Range", &value));
  EXPECT_EQ(value, "bytes=0-");
  EXPECT_FALSE(request->QueryHeader("X-Missing", &value));
  char buf[64];
  uint32_t got = 0;
  EXPECT_EQ(request->Read(buf, sizeof buf, &got), Status::kOk);
  EXPECT_EQ(std::string(buf, got), "hello world");
  EXPECT_EQ(request->Read(buf, sizeof buf, &got), Status::kOk);
  EXPECT_EQ(got, 0u);

  // A header line of the caller replaces the agent name.
  request = session->OpenUrl(Url("/hello"), 0, "User-Agent: other\r\n", &error);
  ASSERT_TRUE(request);
  ASSERT_TRUE(request->QueryHeader("X-Agent", &value));
  EXPECT_EQ(value, "other");
}

TEST_F(HttpServerTest, ReadsFillTheBufferUntilTheEnd) {
  // 100000 bytes in pieces of 7, no Content-Length.
  FaultServer drip;
  drip.SetScript([](const FaultServer::Request&) { return FaultServer::Fault::kTinyChunks; });
  ASSERT_TRUE(drip.Start(std::string(100000, 'd')));
  auto session = HttpSession::Open(Agent("t"));
  Status error;
  auto request = session->OpenUrl(drip.Url("drip"), 0, "", &error);
  ASSERT_TRUE(request);
  uint32_t length = 0;
  EXPECT_FALSE(request->QueryContentLength(&length));
  std::vector<char> buf(8192);
  uint32_t total = 0, got = 0;
  int reads = 0;
  do {
    ASSERT_EQ(request->Read(buf.data(), 8192, &got), Status::kOk);
    if (got > 0 && total + got < 100000) {
      EXPECT_EQ(got, 8192u);
    }
    total += got;
    ++reads;
  } while (got == 8192);
  EXPECT_EQ(total, 100000u);
  EXPECT_EQ(reads, 13);
}

TEST_F(HttpServerTest, CancelEndsABlockedRead) {
  std::atomic<bool> cancel{false};
  HttpSessionOptions options = Agent("t");
  options.cancelled = [&] { return cancel.load(); };
  auto session = HttpSession::Open(options);
  Status error;
  auto request = session->OpenUrl(Url("/stall"), 0, "", &error);
  ASSERT_TRUE(request);
  std::thread canceller([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    cancel = true;
  });
  char buf[100];
  uint32_t got = 0;
  const auto before = std::chrono::steady_clock::now();
  EXPECT_EQ(request->Read(buf, sizeof buf, &got), Status::kRetryable);
  canceller.join();
  // Well before the server gives up.
  EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::milliseconds(1000));
}

// Abort from another thread ends a call blocked on a silent server, whether
// it waits for the reply's headers or for its body, and every later call of
// the session fails the same way.
TEST_F(HttpServerTest, AbortEndsBlockedCallsFromAnotherThread) {
  server_.SetScript([](const FaultServer::Request& r) {
    if (r.path == "/slow") std::this_thread::sleep_for(std::chrono::milliseconds(FaultServer::kStallMs));
    if (r.path == "/stall") return FaultServer::Fault::kStallHeaders;
    return FaultServer::Fault::kNone;
  });
  const auto bound = std::chrono::milliseconds(1000);
  {
    auto session = HttpSession::Open(Agent("t"));
    std::thread aborter([&] {
      std::this_thread::sleep_for(std::chrono::milliseconds(200));
      session->Abort();
    });
    Status error = Status::kOk;
    const auto before = std::chrono::steady_clock::now();
    EXPECT_EQ(session->OpenUrl(Url("/slow"), 0, "", &error), nullptr);
    EXPECT_LT(std::chrono::steady_clock::now() - before, bound);
    aborter.join();
    EXPECT_EQ(error, Status::kRetryable);
  }
  auto session = HttpSession::Open(Agent("t"));
  Status error;
  auto request = session->OpenUrl(Url("/stall"), 0, "", &error);
  ASSERT_TRUE(request);
  std::thread aborter([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    session->Abort();
  });
  char buf[100];
  uint32_t got = 0;
  const auto before = std::chrono::steady_clock::now();
  EXPECT_EQ(request->Read(buf, sizeof buf, &got), Status::kRetryable);
  EXPECT_LT(std::chrono::steady_clock::now() - before, bound);
  aborter.join();
  EXPECT_TRUE(session->IsAborted());
  EXPECT_EQ(request->Read(buf, sizeof buf, &got), Status::kRetryable);
  EXPECT_EQ(session->OpenUrl(Url("/hello"), 0, "", &error), nullptr);
  EXPECT_EQ(error, Status::kRetryable);
}

// A connection that closes before the Content-Length it announced is a
// broken transfer, not the end of the body; the bytes that came are counted.
TEST_F(HttpServerTest, ABodyCutShortOfItsLengthIsANetworkError) {
  FaultServer cut;
  cut.SetScript([](const FaultServer::Request&) { return FaultServer::Fault::kTruncate; });
  ASSERT_TRUE(cut.Start(std::string(200000, 'c')));
  auto session = HttpSession::Open(Agent("t"));
  Status error;
  auto request = session->OpenUrl(cut.Url("cut"), 0, "", &error);
  ASSERT_TRUE(request);
  uint32_t length = 0;
  ASSERT_TRUE(request->QueryContentLength(&length));
  EXPECT_EQ(length, 200000u);
  std::vector<char> buf(8192);
  uint32_t total = 0, got = 0;
  Status result = Status::kOk;
  for (int i = 0; i < 100; ++i) {
    result = request->Read(buf.data(), 8192, &got);
    total += got;
    if (result != Status::kOk || got < 8192) break;
  }
  EXPECT_EQ(result, Status::kRetryable);
  EXPECT_EQ(total, 100000u);
}

// A body that trickles in a byte at a time: the count of what came grows
// while one Read waits for more, and the cancel hook, which runs inside that
// wait, sees it grow and can end the Read.
TEST_F(HttpServerTest, TheCancelHookSeesATrickleGrowInsideARead) {
  FaultServer trickle;
  trickle.SetScript([](const FaultServer::Request&) { return FaultServer::Fault::kSlowDrip; });
  ASSERT_TRUE(trickle.Start(std::string(100, 't')));
  HttpRequest* current = nullptr;
  uint64_t seen = 0;
  HttpSessionOptions options = Agent("t");
  options.cancelled = [&] {
    if (current) seen = current->BodyBytesReceived();
    return seen >= 5;
  };
  auto session = HttpSession::Open(options);
  Status error;
  auto request = session->OpenUrl(trickle.Url("trickle"), 0, "", &error);
  ASSERT_TRUE(request);
  current = request.get();
  char buf[100];
  uint32_t got = 0;
  Status result = Status::kOk;
  // 100 bytes a tenth of a second apart would take 10 s.
  EXPECT_TRUE(testkit::EndsWithin(5000, [&] { result = request->Read(buf, sizeof buf, &got); }));
  EXPECT_EQ(result, Status::kRetryable);
  EXPECT_GE(seen, 5u);
  EXPECT_LT(seen, 100u);
  EXPECT_EQ(request->BodyBytesReceived(), seen);
}

TEST_F(HttpServerTest, StalledTransferTimesOut) {
  HttpSessionOptions options = Agent("t");
  options.set_timeouts = true;
  options.connect_timeout_ms = 5000;
  options.data_timeout_ms = 300;
  auto session = HttpSession::Open(options);
  Status error;
  auto request = session->OpenUrl(Url("/stall"), 0, "", &error);
  ASSERT_TRUE(request);
  char buf[100];
  uint32_t got = 0;
  const auto before = std::chrono::steady_clock::now();
  EXPECT_EQ(request->Read(buf, sizeof buf, &got), Status::kRetryable);
  // Well before the server gives up.
  EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::milliseconds(1000));
}

}  // namespace
}  // namespace platform
