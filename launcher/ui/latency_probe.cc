#include "launcher/ui/latency_probe.h"

#include <chrono>
#include <cstring>
#include <ctime>
#include <random>
#include <system_error>
#include <thread>

#include "launcher/log/logger.h"
#include "platform/process.h"

std::atomic<int32_t> ProbeResults[kProbeResultCount] = {};

namespace {

uint16_t Word(const uint8_t* p) { return static_cast<uint16_t>((p[0] << 8) | p[1]); }

void PutWord(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v >> 8);
  p[1] = static_cast<uint8_t>(v);
}

uint16_t FoldedSum(const uint8_t* data, size_t length) {
  uint32_t sum = 0;
  size_t i = 0;
  for (; i + 1 < length; i += 2) {
    sum += Word(data + i);
    if (sum > 0xFFFF) sum = (sum & 0xFFFF) + (sum >> 16);
  }
  if (i < length) sum += static_cast<uint32_t>(data[i]) << 8;
  while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
  return static_cast<uint16_t>(sum);
}

}  // namespace

void ICMPheader::WriteTo(uint8_t* out) const {
  out[0] = byType;
  out[1] = byCode;
  PutWord(out + 2, nChecksum);
  PutWord(out + 4, nId);
  PutWord(out + 6, nSequence);
}

ICMPheader ICMPheader::ReadFrom(const uint8_t* in) {
  ICMPheader h;
  h.byType = in[0];
  h.byCode = in[1];
  h.nChecksum = Word(in + 2);
  h.nId = Word(in + 4);
  h.nSequence = Word(in + 6);
  return h;
}

uint16_t InternetChecksum(const uint8_t* data, size_t length) {
  return static_cast<uint16_t>(~FoldedSum(data, length));
}

bool ValidateChecksum(const uint8_t* data, size_t length) { return FoldedSum(data, length) == 0xFFFF; }

void BuildEchoRequest(uint16_t id, uint16_t sequence, uint8_t out[kEchoRequestSize]) {
  ICMPheader h;
  h.byType = kEchoRequestType;
  h.byCode = 0;
  h.nChecksum = 0;
  h.nId = id;
  h.nSequence = sequence;
  h.WriteTo(out);
  std::memset(out + ICMPheader::kSize, kEchoPayloadByte, kEchoPayloadSize);
  PutWord(out + 2, InternetChecksum(out, kEchoRequestSize));
}

int RoundTripMs(const UtcStamp& sent, const UtcStamp& received) {
  int seconds = received.second - sent.second;
  if (seconds < 0) seconds += 60;
  return seconds * 1000 + (received.millisecond - sent.millisecond);
}

void SystemProbeNetwork::Startup() { platform::StartNetworking(); }

bool SystemProbeNetwork::Resolve(const std::string& host, uint32_t* address) {
  return platform::ResolveIPv4(host, address);
}

std::unique_ptr<platform::IcmpSocket> SystemProbeNetwork::Open(uint32_t* error) {
  return platform::OpenIcmpSocket(kind_, error);
}

UtcStamp SystemProbeNetwork::Now() {
  using namespace std::chrono;
  auto ms = duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
  UtcStamp t;
  t.second = static_cast<int>((ms / 1000) % 60);
  t.millisecond = static_cast<int>(ms % 1000);
  return t;
}

ProbeNetwork& DefaultProbeNetwork() {
  // Never destroyed: detached probe threads may still use it while the
  // process runs its exit-time clean-up.
  static SystemProbeNetwork* const network = new SystemProbeNetwork;
  return *network;
}

namespace {

// What came of waiting for the echo of one request.
enum class EchoWait { kFailed, kNoEcho, kEchoed };

// Whether `message`, a reply carrying our sequence number, is the echo of
// `request`; logs every check it fails.
bool IsEchoOf(const uint8_t* request, uint16_t id, const uint8_t* message, size_t message_length) {
  ICMPheader got = ICMPheader::ReadFrom(message);
  bool accepted = true;
  if (got.byType != kEchoReplyType) {
    LogInfo() << "recvHdr.byType";
    accepted = false;
  }
  if (got.nId != id) {
    LogInfo() << "recvHdr.nId == sendHdr.nId" << got.nId << "-" << id;
    accepted = false;
  }
  if (!ValidateChecksum(message, message_length)) {
    LogInfo() << "ValidateChecksum (pICMPbuffer, nICMPMsgLen)"
              << "\t";
    accepted = false;
  }
  // The payload is compared over the received length; a longer payload
  // than was sent cannot be the echo of this request.
  const size_t payload_length = message_length - ICMPheader::kSize;
  if (payload_length > kEchoPayloadSize ||
      std::memcmp(request + ICMPheader::kSize, message + ICMPheader::kSize, payload_length) != 0) {
    LogInfo() << "memcmp (pSendBuffer + sizeof(ICMPheader), pRecvBuffer + sizeof (ICMPheader) + "
                 "sizeof(IPheader), nResult - sizeof (ICMPheader) - sizeof(IPheader)) == 0))";
    accepted = false;
  }
  return accepted;
}

// Waits for the reply to `request`, sent at `sent`, passing over datagrams
// that are not for this probe. With kEchoed, *round_trip_ms is filled.
EchoWait AwaitEcho(platform::IcmpSocket& socket, ProbeNetwork& network, const uint8_t* request, uint16_t id,
                   uint16_t sequence, int timeout_ms, const UtcStamp& sent, int* round_trip_ms) {
  uint8_t reply[kProbeReceiveSize];
  constexpr size_t kMinimumReply = kIPheaderSize + ICMPheader::kSize;
  for (;;) {
    int ready = socket.WaitReadable(timeout_ms);
    if (ready < 0) return EchoWait::kFailed;
    if (ready == 0) {
      LogInfo() << "Request timed out.";
      return EchoWait::kNoEcho;
    }
    int n = socket.Receive(reply, sizeof reply);
    if (n < 0) return EchoWait::kFailed;
    const UtcStamp arrived = network.Now();
    const size_t length = static_cast<size_t>(n);
    // Too short to carry an ICMP header: nobody's reply, wait on.
    if (length < kMinimumReply) continue;

    const uint8_t* message = reply + kIPheaderSize;
    const size_t message_length = length - kIPheaderSize;
    if (ICMPheader::ReadFrom(message).nSequence != sequence) continue;  // another probe thread's datagram
    if (!IsEchoOf(request, id, message, message_length)) {
      LogInfo() << "The echo reply is not correct!";
      return EchoWait::kNoEcho;
    }
    *round_trip_ms = RoundTripMs(sent, arrived);
    return EchoWait::kEchoed;
  }
}

}  // namespace

int Ping(const std::string& host, int count, int timeout_ms, ProbeNetwork& network) {
  network.Startup();
  // Seeded per run from the clock's milliseconds; only the identifier is drawn.
  std::minstd_rand random(static_cast<uint32_t>(network.Now().millisecond));

  uint32_t address = 0;
  if (!network.Resolve(host, &address)) return -1;

  uint32_t error = 0;
  std::unique_ptr<platform::IcmpSocket> socket = network.Open(&error);
  if (!socket) {
    LogInfo() << "Create socket failed!"
              << ", error: " << error;
    return -1;
  }

  const uint16_t id = static_cast<uint16_t>(random() & 0xFFFF);
  const uint16_t sequence = static_cast<uint16_t>(platform::CurrentThreadId() & 0xFFFF);

  uint8_t request[kEchoRequestSize];
  int total = 0;
  int received = 0;
  for (int i = 0; i < count; ++i) {
    BuildEchoRequest(id, sequence, request);
    if (!socket->Send(request, sizeof request, address)) return -1;
    const UtcStamp sent = network.Now();
    int round_trip_ms = 0;
    const EchoWait wait = AwaitEcho(*socket, network, request, id, sequence, timeout_ms, sent, &round_trip_ms);
    if (wait == EchoWait::kFailed) return -1;
    if (wait == EchoWait::kEchoed) {
      total += round_trip_ms;
      ++received;
    }
  }
  LogInfo() << "--------------" << host << ";total:" << total << ";received:" << received;
  return received > 0 ? total / received : -1;
}

void ProbeThread(const std::string& request, ProbeNetwork& network) {
  size_t space = request.rfind(' ');
  if (space == std::string::npos || space + 1 == request.size()) return;
  const std::string host = request.substr(0, space);
  const std::string index_text = request.substr(space + 1);
  // The index chooses the table entry: only a plain decimal number in range.
  int index = 0;
  for (char c : index_text) {
    if (c < '0' || c > '9') return;
    index = index * 10 + (c - '0');
    if (index >= kProbeResultCount) return;
  }
  int result = Ping(host, 10, 5000, network);
  ProbeResults[index].store(result, std::memory_order_relaxed);
}

int StartProbe(const std::string& request, ProbeNetwork& network) {
  LogInfo() << "psIPMsg: " << request;
  try {
    std::thread(ProbeThread, std::string(request), std::ref(network)).detach();
  } catch (const std::system_error&) {
    return -1;
  }
  return 0;
}

void EndProbeNetworking() {
  static std::atomic<bool> ended{false};
  if (!ended.exchange(true)) platform::EndNetworking();
}
