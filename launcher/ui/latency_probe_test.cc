#include "launcher/ui/latency_probe.h"

#include <gtest/gtest.h>

#include <deque>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "launcher/log/logger.h"
#include "platform/file.h"
#include "platform/process.h"
#include "platform/testing.h"

namespace {

using Bytes = std::vector<uint8_t>;

class LogCapture {
 public:
  LogCapture() { Logger::Instance().Init("T", dir_.Path(), Logger::kToFile, 200, 1000000); }
  ~LogCapture() { Logger::Instance().Init("T", dir_.Path(), 0, 200, 1000000); }
  std::string Text() const {
    std::string text;
    platform::ReadFileToString(Logger::Instance().CurrentFileName(), &text);
    return text;
  }
  int Count(const std::string& needle) const {
    std::string text = Text();
    int n = 0;
    for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) ++n;
    return n;
  }

 private:
  platform::testing::TempDir dir_;
};

// What the fake socket does on one wait: time out, fail, or deliver a datagram
// made from the request last sent.
struct Step {
  enum Kind { kTimeout, kWaitError, kReceiveError, kDatagram } kind = kTimeout;
  std::function<Bytes(const Bytes& request)> make;
};

Step Timeout() { return Step{Step::kTimeout, nullptr}; }
Step Deliver(std::function<Bytes(const Bytes&)> make) { return Step{Step::kDatagram, std::move(make)}; }

// The correct reply to `request`, behind a 20-byte IP header, after `edit`
// changed the ICMP message (the checksum is made before the edit).
Bytes Reply(const Bytes& request, const std::function<void(Bytes&)>& edit = nullptr) {
  Bytes message = request;
  message[0] = kEchoReplyType;
  message[2] = message[3] = 0;
  uint16_t sum = InternetChecksum(message.data(), message.size());
  message[2] = static_cast<uint8_t>(sum >> 8);
  message[3] = static_cast<uint8_t>(sum);
  if (edit) edit(message);
  Bytes datagram(kIPheaderSize + message.size(), 0);
  datagram[0] = 0x45;
  std::copy(message.begin(), message.end(), datagram.begin() + kIPheaderSize);
  return datagram;
}

struct FakeState {
  std::deque<Step> script;
  std::vector<Bytes> sent;
  bool fail_send = false;
  Bytes pending;
};

class FakeSocket : public platform::IcmpSocket {
 public:
  explicit FakeSocket(FakeState* s) : s_(s) {}
  platform::IcmpSocketKind Kind() const override { return platform::IcmpSocketKind::kRaw; }
  bool Send(const uint8_t* m, size_t n, uint32_t) override {
    if (s_->fail_send) return false;
    s_->sent.emplace_back(m, m + n);
    return true;
  }
  int WaitReadable(int) override {
    if (s_->script.empty()) return 0;
    Step step = s_->script.front();
    s_->script.pop_front();
    switch (step.kind) {
      case Step::kTimeout:
        return 0;
      case Step::kWaitError:
        return -1;
      case Step::kReceiveError:
        s_->pending.clear();
        return 1;
      case Step::kDatagram:
        s_->pending = step.make(s_->sent.back());
        return 1;
    }
    return -1;
  }
  int Receive(uint8_t* buffer, size_t capacity) override {
    if (s_->pending.empty()) return -1;
    size_t n = std::min(capacity, s_->pending.size());
    std::copy(s_->pending.begin(), s_->pending.begin() + n, buffer);
    return static_cast<int>(n);
  }

 private:
  FakeState* s_;
};

// A network whose clock advances 10 ms at every reading.
class FakeNetwork : public ProbeNetwork {
 public:
  void Startup() override { ++startups; }
  bool Resolve(const std::string& host, uint32_t* address) override {
    ++resolves;
    *address = 0x0100007F;
    return resolvable;
  }
  std::unique_ptr<platform::IcmpSocket> Open(uint32_t* error) override {
    ++opens;
    if (open_error) {
      *error = open_error;
      return nullptr;
    }
    return std::make_unique<FakeSocket>(&state);
  }
  UtcStamp Now() override {
    UtcStamp t;
    t.second = (clock_ms / 1000) % 60;
    t.millisecond = clock_ms % 1000;
    clock_ms += 10;
    return t;
  }

  FakeState state;
  bool resolvable = true;
  uint32_t open_error = 0;
  int startups = 0, resolves = 0, opens = 0;
  int clock_ms = 0;
};

TEST(ChecksumTest, KnownVectors) {
  const uint8_t rfc[] = {0x00, 0x01, 0xF2, 0x03, 0xF4, 0xF5, 0xF6, 0xF7};
  EXPECT_EQ(InternetChecksum(rfc, sizeof rfc), 0x220D);
  const uint8_t odd[] = {0x01};
  EXPECT_EQ(InternetChecksum(odd, 1), 0xFEFF);  // a lone byte is the high byte
  const uint8_t carries[] = {0xFF, 0xFF, 0xFF, 0xFF, 0x00, 0x02};
  EXPECT_EQ(InternetChecksum(carries, sizeof carries), 0xFFFD);

  uint8_t request[kEchoRequestSize];
  BuildEchoRequest(0x1234, 0x5678, request);
  const uint8_t header[] = {8, 0, 0x07, 0xCC, 0x12, 0x34, 0x56, 0x78};
  EXPECT_EQ(Bytes(request, request + 8), Bytes(header, header + 8));
  EXPECT_EQ(Bytes(request + 8, request + 40), Bytes(32, 'x'));

  ICMPheader h = ICMPheader::ReadFrom(request);
  EXPECT_EQ(h.byType, 8);
  EXPECT_EQ(h.nChecksum, 0x07CC);
  EXPECT_EQ(h.nId, 0x1234);
  EXPECT_EQ(h.nSequence, 0x5678);
}

TEST(ChecksumTest, ValidateReply) {
  uint8_t request[kEchoRequestSize];
  BuildEchoRequest(0x1234, 0x5678, request);
  EXPECT_TRUE(ValidateChecksum(request, sizeof request));
  Bytes reply = Reply(Bytes(request, request + sizeof request));
  const uint8_t* message = reply.data() + kIPheaderSize;
  EXPECT_EQ(message[2], 0x0F);
  EXPECT_EQ(message[3], 0xCC);
  EXPECT_TRUE(ValidateChecksum(message, kEchoRequestSize));
  reply[kIPheaderSize + 20] ^= 0x01;
  EXPECT_FALSE(ValidateChecksum(message, kEchoRequestSize));
  // An odd length is summed with the pad byte.
  const uint8_t odd[] = {0xFE, 0xFF, 0x01};
  EXPECT_TRUE(ValidateChecksum(odd, sizeof odd));
}

TEST(RoundTripTest, MinuteWrap) {
  EXPECT_EQ(RoundTripMs({59, 900}, {0, 100}), 200);
  EXPECT_EQ(RoundTripMs({10, 5}, {10, 900}), 895);
  EXPECT_EQ(RoundTripMs({3, 999}, {4, 0}), 1);
  EXPECT_EQ(RoundTripMs({30, 0}, {29, 999}), 59999);
}

TEST(PingTest, UnresolvableHostSendsNothing) {
  FakeNetwork net;
  net.resolvable = false;
  EXPECT_EQ(Ping("nowhere", 10, 5000, net), -1);
  EXPECT_EQ(net.startups, 1);
  EXPECT_EQ(net.opens, 0);
  EXPECT_TRUE(net.state.sent.empty());

  platform::StartNetworking();
  uint32_t address;
  EXPECT_FALSE(platform::ResolveIPv4("", &address));
  ASSERT_TRUE(platform::ResolveIPv4("127.0.0.2", &address));
  EXPECT_EQ(platform::IPv4Text(address), "127.0.0.2");
}

TEST(PingTest, SocketRefused) {
  LogCapture log;
  FakeNetwork net;
  net.open_error = 10013;
  EXPECT_EQ(Ping("h", 10, 5000, net), -1);
  EXPECT_EQ(log.Count("Create socket failed!, error: 10013"), 1);
}

TEST(PingTest, RequestsShareIdAndThreadSequence) {
  FakeNetwork net;
  for (int i = 0; i < 3; ++i) net.state.script.push_back(Deliver([](const Bytes& r) { return Reply(r); }));
  EXPECT_EQ(Ping("h", 3, 5000, net), 10);
  ASSERT_EQ(net.state.sent.size(), 3u);
  for (const Bytes& r : net.state.sent) {
    ASSERT_EQ(r.size(), kEchoRequestSize);
    ICMPheader h = ICMPheader::ReadFrom(r.data());
    EXPECT_EQ(h.byType, 8);
    EXPECT_EQ(h.nId, ICMPheader::ReadFrom(net.state.sent[0].data()).nId);
    EXPECT_EQ(h.nSequence, platform::CurrentThreadId() & 0xFFFF);
    EXPECT_TRUE(ValidateChecksum(r.data(), r.size()));
  }
}

TEST(PingTest, RefusedRepliesAreLoggedAndNotCounted) {
  LogCapture log;
  FakeNetwork net;
  auto& s = net.state.script;
  s.push_back(Deliver([](const Bytes& r) { return Reply(r); }));                                    // 10 ms
  s.push_back(Deliver([](const Bytes& r) { return Reply(r, [](Bytes& m) { m[0] = 3; }); }));        // type
  s.push_back(Deliver([](const Bytes& r) { return Reply(r, [](Bytes& m) { m[5] ^= 1; }); }));       // id
  s.push_back(Deliver([](const Bytes& r) { return Reply(r, [](Bytes& m) { m[3] ^= 1; }); }));       // checksum
  s.push_back(Deliver([](const Bytes& r) {                                                          // payload
    Bytes changed = r;
    changed[20] = 'y';
    return Reply(changed);
  }));
  // Another thread's reply, then one too short to read: both ignored, the
  // wait goes on and the real reply counts (30 ms after the send).
  s.push_back(Deliver([](const Bytes& r) { return Reply(r, [](Bytes& m) { m[7] ^= 1; }); }));
  s.push_back(Deliver([](const Bytes&) { return Bytes(27, 0); }));
  s.push_back(Deliver([](const Bytes& r) { return Reply(r); }));
  s.push_back(Timeout());
  s.push_back(Deliver([](const Bytes& r) {  // a payload longer than sent
    Bytes longer = r;
    longer.push_back('x');
    return Reply(longer);
  }));
  s.push_back(Deliver([](const Bytes& r) {  // a shorter one is compared as far as it goes
    Bytes shorter(r.begin(), r.end() - 4);
    return Reply(shorter);
  }));
  EXPECT_EQ(Ping("host-a", 9, 5000, net), (10 + 30 + 10) / 3);
  EXPECT_EQ(net.state.sent.size(), 9u);
  EXPECT_EQ(log.Count("INFO:"), 3 + 3 + 2 + 2 + 1 + 2 + 1);
  EXPECT_EQ(log.Count(" recvHdr.byType\n"), 1);
  uint16_t id = ICMPheader::ReadFrom(net.state.sent[0].data()).nId;
  EXPECT_EQ(log.Count("recvHdr.nId == sendHdr.nId" + std::to_string(id ^ 1) + "-" + std::to_string(id)), 1);
  // The type and the id edits break the checksum as well.
  EXPECT_EQ(log.Count("ValidateChecksum (pICMPbuffer, nICMPMsgLen)\t"), 3);
  EXPECT_EQ(log.Count("memcmp (pSendBuffer"), 2);
  EXPECT_EQ(log.Count("The echo reply is not correct!"), 5);
  EXPECT_EQ(log.Count("Request timed out."), 1);
  EXPECT_EQ(log.Count("--------------host-a;total:" + std::to_string(10 + 30 + 10) + ";received:3"), 1);
}

TEST(PingTest, NoAnswerAtAll) {
  LogCapture log;
  FakeNetwork net;
  EXPECT_EQ(Ping("quiet", 10, 5000, net), -1);
  EXPECT_EQ(net.state.sent.size(), 10u);
  EXPECT_EQ(log.Count("Request timed out."), 10);
  EXPECT_EQ(log.Count("--------------quiet;total:0;received:0"), 1);
}

TEST(PingTest, SocketFailuresEndTheRun) {
  {
    FakeNetwork net;
    net.state.fail_send = true;
    EXPECT_EQ(Ping("h", 10, 5000, net), -1);
  }
  for (Step::Kind kind : {Step::kWaitError, Step::kReceiveError}) {
    FakeNetwork net;
    net.state.script.push_back(Deliver([](const Bytes& r) { return Reply(r); }));
    net.state.script.push_back(Step{kind, nullptr});
    EXPECT_EQ(Ping("h", 10, 5000, net), -1);
    EXPECT_EQ(net.state.sent.size(), 2u);
  }
}

TEST(ProbeThreadTest, RequestText) {
  for (std::string text : {"127.0.0.1", "127.0.0.1 ", "127.0.0.1 x3", "127.0.0.1 100", "127.0.0.1 -1"}) {
    FakeNetwork net;
    ProbeResults[0].store(-7);
    ProbeResults[3].store(-7);
    ProbeThread(text, net);
    EXPECT_EQ(net.startups, 0) << text;
    EXPECT_EQ(ProbeResults[0].load(), -7) << text;
    EXPECT_EQ(ProbeResults[3].load(), -7) << text;
  }
  FakeNetwork net;
  net.state.script.push_back(Deliver([](const Bytes& r) { return Reply(r); }));
  ProbeResults[42].store(-1);
  ProbeThread("some host 42", net);
  EXPECT_EQ(net.state.sent.size(), 10u);
  EXPECT_EQ(ProbeResults[42].load(), 10);

  FakeNetwork unresolved;
  unresolved.resolvable = false;
  ProbeResults[5].store(-7);
  ProbeThread("nowhere 5", unresolved);
  EXPECT_EQ(ProbeResults[5].load(), -1);
}

TEST(ProbeThreadTest, StartProbeRunsDetached) {
  LogCapture log;
  static FakeNetwork net;  // outlives the thread
  net.resolvable = false;
  ProbeResults[17].store(-7);
  EXPECT_EQ(StartProbe("nowhere 17", net), 0);
  for (int i = 0; i < 3000 && ProbeResults[17].load() == -7; ++i) platform::SleepMs(10);
  EXPECT_EQ(ProbeResults[17].load(), -1);
  EXPECT_EQ(log.Count("psIPMsg: nowhere 17"), 1);
}

// Real echo requests on the loopback network.
bool CanOpen(platform::IcmpSocketKind kind, uint32_t* error) {
  platform::StartNetworking();
  return platform::OpenIcmpSocket(kind, error) != nullptr;
}

TEST(LoopbackPingTest, TwoThreadsAtOnceIgnoreEachOther) {
  uint32_t error = 0;
  if (!CanOpen(platform::IcmpSocketKind::kRaw, &error)) {
    GTEST_SKIP() << "raw ICMP sockets are refused here (error " << error
                 << "); they need root on Linux and administrative rights on Windows";
  }
  LogCapture log;
  SystemProbeNetwork net(platform::IcmpSocketKind::kRaw);
  ProbeResults[0].store(-7);
  ProbeResults[1].store(-7);
  std::thread a(ProbeThread, std::string("127.0.0.1 0"), std::ref(net));
  std::thread b(ProbeThread, std::string("127.0.0.2 1"), std::ref(net));
  a.join();
  b.join();
  EXPECT_GE(ProbeResults[0].load(), 0);
  EXPECT_GE(ProbeResults[1].load(), 0);
  EXPECT_EQ(log.Count(";received:10"), 2) << log.Text();
  EXPECT_EQ(log.Count("The echo reply is not correct!"), 0) << log.Text();
}

TEST(LoopbackPingTest, DatagramSocket) {
  uint32_t error = 0;
  if (!CanOpen(platform::IcmpSocketKind::kDatagram, &error)) {
    GTEST_SKIP() << "unprivileged ICMP datagram sockets are not available here (error " << error
                 << "): Windows has none, and Linux allows them only to the groups in "
                    "net.ipv4.ping_group_range (the platform test covers them in a private network)";
  }
  LogCapture log;
  SystemProbeNetwork net(platform::IcmpSocketKind::kDatagram);
  EXPECT_GE(Ping("127.0.0.1", 4, 5000, net), 0);
  EXPECT_EQ(log.Count(";received:4"), 1) << log.Text();
}

}  // namespace
