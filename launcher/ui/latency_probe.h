// The latency probe: the round-trip time to each listed server, measured with
// ICMP echo requests from one short-lived thread per server.
//
// The window starts one probe per server list entry with a request text
// "<address> <index>" (StartProbe); the probe thread pings the address ten
// times and stores the mean round-trip time in ProbeResults[index]. The
// window reads the table whenever it reloads the list.
//
// Each run identifies its requests by a random identifier drawn once per run
// and by a sequence number made of the low 16 bits of its thread's id; a raw
// socket sees every thread's replies, and a thread discards those that carry
// another sequence number.
#ifndef LAUNCHER_UI_LATENCY_PROBE_H_
#define LAUNCHER_UI_LATENCY_PROBE_H_

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/icmp.h"

// Number of entries in ProbeResults, one per possible list index.
constexpr int kProbeResultCount = 100;

// Per list index: -1 while not measured or after a failed probe, else the mean
// round-trip time in milliseconds. An entry is set to -1 by the window just
// before its probe starts and stored once more by the probe thread when it
// ends; the window reads it without a lock.
extern std::atomic<int32_t> ProbeResults[kProbeResultCount];

// The ICMP header, with host-order values; WriteTo/ReadFrom hold its wire
// form (8 bytes, multi-byte fields in network byte order).
struct ICMPheader {
  static constexpr size_t kSize = 8;
  uint8_t byType = 0;
  uint8_t byCode = 0;
  uint16_t nChecksum = 0;
  uint16_t nId = 0;
  uint16_t nSequence = 0;

  void WriteTo(uint8_t* out) const;
  // REQUIRES: `in` holds at least kSize bytes.
  static ICMPheader ReadFrom(const uint8_t* in);
};

// A received datagram starts with an IPv4 header taken to be exactly this long.
constexpr size_t kIPheaderSize = 20;
constexpr uint8_t kEchoRequestType = 8;
constexpr uint8_t kEchoReplyType = 0;
constexpr size_t kEchoPayloadSize = 32;
constexpr uint8_t kEchoPayloadByte = 'x';
constexpr size_t kEchoRequestSize = ICMPheader::kSize + kEchoPayloadSize;
constexpr size_t kProbeReceiveSize = 1500;

// The Internet checksum (RFC 1071) of `length` bytes: the one's complement of
// the folded one's complement sum of big-endian 16-bit words, an odd last
// byte padded with a zero low byte. Stored in network byte order.
uint16_t InternetChecksum(const uint8_t* data, size_t length);

// True when the folded sum over a message, checksum field included, is 0xFFFF.
bool ValidateChecksum(const uint8_t* data, size_t length);

// Builds the 40-byte echo request: type 8, code 0, `id`, `sequence`, 32 bytes
// of 'x', and its checksum.
void BuildEchoRequest(uint16_t id, uint16_t sequence, uint8_t out[kEchoRequestSize]);

// The seconds-within-the-minute and milliseconds fields of a UTC time.
struct UtcStamp {
  int second = 0;       // 0..59
  int millisecond = 0;  // 0..999
};

// Milliseconds from `sent` to `received`, taking a negative seconds difference
// as a minute boundary crossed: exact for intervals below one minute.
int RoundTripMs(const UtcStamp& sent, const UtcStamp& received);

// What a ping needs of the system; tests substitute their own.
class ProbeNetwork {
 public:
  virtual ~ProbeNetwork() = default;
  // Starts the socket library for this run.
  virtual void Startup() = 0;
  virtual bool Resolve(const std::string& host, uint32_t* address) = 0;
  // Null on failure, with the system's error code in *error.
  virtual std::unique_ptr<platform::IcmpSocket> Open(uint32_t* error) = 0;
  virtual UtcStamp Now() = 0;
};

// The real network, opening sockets of `kind`.
class SystemProbeNetwork : public ProbeNetwork {
 public:
  explicit SystemProbeNetwork(platform::IcmpSocketKind kind = platform::IcmpSocketKind::kAuto) : kind_(kind) {}
  void Startup() override;
  bool Resolve(const std::string& host, uint32_t* address) override;
  std::unique_ptr<platform::IcmpSocket> Open(uint32_t* error) override;
  UtcStamp Now() override;

 private:
  platform::IcmpSocketKind kind_;
};

// The network the launcher's probes use.
ProbeNetwork& DefaultProbeNetwork();

// Sends `count` echo requests to `host`, each awaited for at most
// `timeout_ms` (anew after every datagram of another thread), and returns the
// mean round-trip time of the accepted replies with the fraction cut off, or
// -1 when none was accepted or resolution, the socket, sending, waiting or
// receiving failed. Writes "Request timed out." per unanswered request, one
// line per reason a reply is refused, and a summary line. Called by the
// launcher with count 10 and timeout 5000.
int Ping(const std::string& host, int count, int timeout_ms, ProbeNetwork& network = DefaultProbeNetwork());

// The body of a probe thread: splits `request` at its last space into host
// and list index, pings the host (10 requests, 5000 ms) and stores the result
// in ProbeResults[index]. Ends without a ping and without a store when there
// is no space, nothing after it, or the text after it is not a decimal index
// below kProbeResultCount.
void ProbeThread(const std::string& request, ProbeNetwork& network = DefaultProbeNetwork());

// Logs "psIPMsg: " and the request, starts a detached thread running
// ProbeThread on its own copy of `request`, and returns 0; -1 when no thread
// could be started. REQUIRES: `network` outlives the thread.
int StartProbe(const std::string& request, ProbeNetwork& network = DefaultProbeNetwork());

// Ends the socket library's use once for the process (the window calls this
// when it closes); later calls do nothing.
void EndProbeNetworking();

#endif  // LAUNCHER_UI_LATENCY_PROBE_H_
