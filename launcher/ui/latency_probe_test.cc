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
#include "testing/testing.h"

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
  testkit::TempDir dir_;
};

// The correct reply to `request`, behind a 20-byte IP header, after `edit`
// changed the ICMP message (the checksum is made before the edit).
Bytes Reply(const Bytes& request, const std::function<void(Bytes&)>& edit = nullptr) {
  Bytes m = request;
  m[0] = kEchoReplyType;
  m[2] = m[3] = 0;
  uint16_t sum = InternetChecksum(m.data(), m.size());
  m[2] = static_cast<uint8_t>(sum >> 8);
  m[3] = static_cast<uint8_t>(sum);
  if (edit) edit(m);
  Bytes datagram(kIPheaderSize + m.size(), 0);
  std::copy(m.begin(), m.end(), datagram.begin() + kIPheaderSize);
  return datagram;
}

// One wait of the fake socket: the datagram it delivers, made from the last
// request sent; an empty one is a timeout. kWaitError and kReceiveError fail.
using Step = std::function<Bytes(const Bytes& request)>;
const Bytes kWaitError = {1};
const Bytes kReceiveError = {2};

// A network with a scripted socket and a clock that advances 10 ms at every reading.
class FakeNetwork : public ProbeNetwork, public platform::IcmpSocket {
 public:
  void Startup() override { ++startups; }
  bool Resolve(const std::string&, uint32_t* address) override { return *address = 1, resolvable; }
  std::unique_ptr<platform::IcmpSocket> Open(uint32_t* error) override {
    ++opens;
    *error = open_error;
    return open_error ? nullptr : std::make_unique<Forward>(this);
  }
  UtcStamp Now() override {
    UtcStamp t{(clock_ms / 1000) % 60, clock_ms % 1000};
    clock_ms += 10;
    return t;
  }
  platform::IcmpSocketKind Kind() const override { return platform::IcmpSocketKind::kRaw; }
  bool Send(const uint8_t* m, size_t n, uint32_t) override {
    sent.emplace_back(m, m + n);
    return !fail_send;
  }
  int WaitReadable(int) override {
    if (script.empty()) return 0;
    pending = script.front()(sent.back());
    script.pop_front();
    return pending == kWaitError ? -1 : pending.empty() ? 0 : 1;
  }
  int Receive(uint8_t* buffer, size_t capacity) override {
    if (pending == kReceiveError) return -1;
    std::copy(pending.begin(), pending.begin() + std::min(capacity, pending.size()), buffer);
    return static_cast<int>(std::min(capacity, pending.size()));
  }

  std::deque<Step> script;
  std::vector<Bytes> sent;
  Bytes pending;
  bool resolvable = true, fail_send = false;
  uint32_t open_error = 0;
  int startups = 0, opens = 0, clock_ms = 0;

 private:
  struct Forward : platform::IcmpSocket {
    explicit Forward(FakeNetwork* n) : n(n) {}
    platform::IcmpSocketKind Kind() const override { return n->Kind(); }
    bool Send(const uint8_t* m, size_t len, uint32_t a) override { return n->Send(m, len, a); }
    int WaitReadable(int t) override { return n->WaitReadable(t); }
    int Receive(uint8_t* b, size_t c) override { return n->Receive(b, c); }
    FakeNetwork* n;
  };
};

uint16_t Word(const uint8_t* p) { return static_cast<uint16_t>((p[0] << 8) | p[1]); }
Bytes Good(const Bytes& r) { return Reply(r); }
Bytes Silence(const Bytes&) { return {}; }

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
  EXPECT_EQ(ICMPheader::ReadFrom(request).nSequence, 0x5678);

  Bytes reply = Reply(Bytes(request, request + sizeof request));
  const uint8_t* message = reply.data() + kIPheaderSize;
  EXPECT_EQ(Word(message + 2), 0x0FCC);
  EXPECT_TRUE(ValidateChecksum(message, kEchoRequestSize));
  reply[kIPheaderSize + 20] ^= 0x01;
  EXPECT_FALSE(ValidateChecksum(message, kEchoRequestSize));
  const uint8_t padded[] = {0xFE, 0xFF, 0x01};  // an odd length is summed with the pad byte
  EXPECT_TRUE(ValidateChecksum(padded, sizeof padded));
}

TEST(RoundTripTest, MinuteWrap) {
  EXPECT_EQ(RoundTripMs({59, 900}, {0, 100}), 200);
  EXPECT_EQ(RoundTripMs({3, 999}, {4, 0}), 1);
  EXPECT_EQ(RoundTripMs({30, 0}, {29, 999}), 59999);
}

TEST(PingTest, UnresolvableHostSendsNothing) {
  FakeNetwork net;
  net.resolvable = false;
  EXPECT_EQ(Ping("nowhere", 10, 5000, net), -1);
  EXPECT_EQ(net.startups, 1);
  EXPECT_EQ(net.opens, 0);
  EXPECT_TRUE(net.sent.empty());
}

TEST(PingTest, SocketRefused) {
  LogCapture log;
  FakeNetwork net;
  net.open_error = 10013;
  EXPECT_EQ(Ping("h", 10, 5000, net), -1);
  EXPECT_EQ(log.Count("Create socket failed!, error: 10013"), 1);
}

TEST(PingTest, RefusedRepliesAreLoggedAndNotCounted) {
  LogCapture log;
  FakeNetwork net;
  auto& s = net.script;
  s.push_back(Good);                                                                        // 10 ms
  s.push_back(Step([](const Bytes& r) { return Reply(r, [](Bytes& m) { m[0] = 3; }); }));   // type
  s.push_back(Step([](const Bytes& r) { return Reply(r, [](Bytes& m) { m[5] ^= 1; }); }));  // id
  s.push_back(Step([](const Bytes& r) { return Reply(r, [](Bytes& m) { m[3] ^= 1; }); }));  // checksum
  s.push_back(Step([](const Bytes& r) {                                                     // payload
    Bytes changed = r;
    changed[20] = 'y';
    return Reply(changed);
  }));
  // Another thread's reply, then one too short to read: both ignored, the
  // wait goes on and the real reply counts (30 ms after the send).
  s.push_back(Step([](const Bytes& r) { return Reply(r, [](Bytes& m) { m[7] ^= 1; }); }));
  s.push_back(Step([](const Bytes&) { return Bytes(27, 0); }));
  s.push_back(Good);
  s.push_back(Silence);
  s.push_back(Step([](const Bytes& r) {  // a payload longer than sent
    Bytes longer = r;
    longer.push_back('x');
    return Reply(longer);
  }));
  s.push_back(Step([](const Bytes& r) {  // a shorter one is compared as far as it goes
    Bytes shorter(r.begin(), r.end() - 4);
    return Reply(shorter);
  }));
  EXPECT_EQ(Ping("host-a", 9, 5000, net), (10 + 30 + 10) / 3);
  ASSERT_EQ(net.sent.size(), 9u);
  for (const Bytes& r : net.sent) {  // one id and the thread's sequence throughout
    EXPECT_EQ(Bytes(r.begin() + 4, r.end()), Bytes(net.sent[0].begin() + 4, net.sent[0].end()));
    EXPECT_EQ(ICMPheader::ReadFrom(r.data()).nSequence, platform::CurrentThreadId() & 0xFFFF);
  }
  EXPECT_EQ(log.Count("INFO:"), 3 + 3 + 2 + 2 + 1 + 2 + 1);
  EXPECT_EQ(log.Count(" recvHdr.byType\n"), 1);
  uint16_t id = ICMPheader::ReadFrom(net.sent[0].data()).nId;
  EXPECT_EQ(log.Count("recvHdr.nId == sendHdr.nId" + std::to_string(id ^ 1) + "-" + std::to_string(id)), 1);
  // The type and the id edits break the checksum as well.
  EXPECT_EQ(log.Count("ValidateChecksum (pICMPbuffer, nICMPMsgLen)\t"), 3);
  EXPECT_EQ(log.Count("memcmp (pSendBuffer"), 2);
  EXPECT_EQ(log.Count("The echo reply is not correct!"), 5);
  EXPECT_EQ(log.Count("Request timed out."), 1);
  EXPECT_EQ(log.Count("--------------host-a;total:" + std::to_string(10 + 30 + 10) + ";received:3"), 1);
}

TEST(PingTest, NoAnswerAndSocketFailures) {
  {
    LogCapture log;
    FakeNetwork net;
    EXPECT_EQ(Ping("quiet", 10, 5000, net), -1);
    EXPECT_EQ(net.sent.size(), 10u);
    EXPECT_EQ(log.Count("Request timed out."), 10);
    EXPECT_EQ(log.Count("--------------quiet;total:0;received:0"), 1);
  }
  FakeNetwork no_send;
  no_send.fail_send = true;
  EXPECT_EQ(Ping("h", 10, 5000, no_send), -1);
  for (const Bytes& failure : {kWaitError, kReceiveError}) {
    FakeNetwork net;
    net.script.push_back(Good);
    net.script.push_back([&](const Bytes&) { return failure; });
    EXPECT_EQ(Ping("h", 10, 5000, net), -1);
    EXPECT_EQ(net.sent.size(), 2u);
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
  net.script.push_back(Good);
  ProbeResults[42].store(-1);
  ProbeThread("some host 42", net);
  EXPECT_EQ(net.sent.size(), 10u);
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
