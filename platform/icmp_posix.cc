// ICMP sockets on Linux: SOCK_RAW, or the unprivileged SOCK_DGRAM ICMP socket.
#include <arpa/inet.h>
#include <errno.h>
#include <linux/icmp.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include "platform/icmp.h"

namespace platform {
namespace {

constexpr size_t kIpHeaderSize = 20;
constexpr uint8_t kEchoRequest = 8;

uint16_t Word(const uint8_t* p) { return static_cast<uint16_t>((p[0] << 8) | p[1]); }
void PutWord(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v >> 8);
  p[1] = static_cast<uint8_t>(v);
}

// One's complement sum of 16-bit words with the carries folded back in.
uint16_t FoldedAdd(uint32_t a, uint32_t b) {
  uint32_t s = a + b;
  while (s >> 16) s = (s & 0xFFFF) + (s >> 16);
  return static_cast<uint16_t>(s);
}

// Replaces the echo identifier of `message` by `id` and updates the checksum
// incrementally (RFC 1624, HC' = ~(~HC + ~m + m')), so a valid checksum stays
// valid and a damaged one stays damaged.
void RestoreIdentifier(uint8_t* message, uint16_t id) {
  uint16_t old_id = Word(message + 4);
  if (old_id == id) return;
  uint16_t hc = Word(message + 2);
  uint16_t sum = FoldedAdd(FoldedAdd(static_cast<uint16_t>(~hc), static_cast<uint16_t>(~old_id)), id);
  PutWord(message + 2, static_cast<uint16_t>(~sum));
  PutWord(message + 4, id);
}

// A 20-byte IPv4 header for an ICMP message of `length` bytes from `source`.
void WriteIpHeader(uint8_t* p, size_t length, uint32_t source) {
  memset(p, 0, kIpHeaderSize);
  p[0] = 0x45;  // version 4, five 32-bit words
  PutWord(p + 2, static_cast<uint16_t>(kIpHeaderSize + length));
  p[8] = 64;  // time to live
  p[9] = IPPROTO_ICMP;
  memcpy(p + 12, &source, 4);
  uint32_t sum = 0;
  for (size_t i = 0; i < kIpHeaderSize; i += 2) sum = FoldedAdd(sum, Word(p + i));
  PutWord(p + 10, static_cast<uint16_t>(~sum));
}

class PosixIcmpSocket : public IcmpSocket {
 public:
  PosixIcmpSocket(int fd, IcmpSocketKind kind) : fd_(fd), kind_(kind) {}
  ~PosixIcmpSocket() override { close(fd_); }

  IcmpSocketKind Kind() const override { return kind_; }

  bool Send(const uint8_t* message, size_t length, uint32_t address) override {
    if (length < 8) return false;
    sent_id_ = Word(message + 4);
    sockaddr_in to;
    memset(&to, 0, sizeof to);
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = address;
    ssize_t n = sendto(fd_, message, length, 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
    return n == static_cast<ssize_t>(length);
  }

  int WaitReadable(int timeout_ms) override {
    pollfd p;
    p.fd = fd_;
    p.events = POLLIN;
    p.revents = 0;
    int r;
    do {
      r = poll(&p, 1, timeout_ms);
    } while (r < 0 && errno == EINTR);
    if (r < 0) return -1;
    return r == 0 ? 0 : 1;
  }

  int Receive(uint8_t* buffer, size_t capacity) override {
    if (kind_ == IcmpSocketKind::kRaw) {
      ssize_t n = recvfrom(fd_, buffer, capacity, 0, nullptr, nullptr);
      return n < 0 ? -1 : static_cast<int>(n);
    }
    if (capacity < kIpHeaderSize) return -1;
    sockaddr_in from;
    socklen_t from_len = sizeof from;
    memset(&from, 0, sizeof from);
    ssize_t n = recvfrom(fd_, buffer + kIpHeaderSize, capacity - kIpHeaderSize, 0, reinterpret_cast<sockaddr*>(&from),
                         &from_len);
    if (n < 0) return -1;
    if (n >= 8) RestoreIdentifier(buffer + kIpHeaderSize, sent_id_);
    WriteIpHeader(buffer, static_cast<size_t>(n), from.sin_addr.s_addr);
    return static_cast<int>(kIpHeaderSize + n);
  }

 private:
  int fd_;
  IcmpSocketKind kind_;
  uint16_t sent_id_ = 0;
};

std::unique_ptr<IcmpSocket> OpenRaw(uint32_t* error) {
  int fd = socket(AF_INET, SOCK_RAW, IPPROTO_ICMP);
  if (fd < 0) {
    *error = static_cast<uint32_t>(errno);
    return nullptr;
  }
  // A raw socket also sees the echo requests that loop back to this host,
  // ours among them; they are never replies, so the kernel drops them here.
  icmp_filter filter;
  filter.data = 1u << kEchoRequest;
  setsockopt(fd, SOL_RAW, ICMP_FILTER, &filter, sizeof filter);
  return std::make_unique<PosixIcmpSocket>(fd, IcmpSocketKind::kRaw);
}

std::unique_ptr<IcmpSocket> OpenDatagram(uint32_t* error) {
  int fd = socket(AF_INET, SOCK_DGRAM, IPPROTO_ICMP);
  if (fd < 0) {
    *error = static_cast<uint32_t>(errno);
    return nullptr;
  }
  return std::make_unique<PosixIcmpSocket>(fd, IcmpSocketKind::kDatagram);
}

}  // namespace

std::unique_ptr<IcmpSocket> OpenIcmpSocket(IcmpSocketKind kind, uint32_t* error) {
  uint32_t ignored = 0;
  if (!error) error = &ignored;
  switch (kind) {
    case IcmpSocketKind::kRaw:
      return OpenRaw(error);
    case IcmpSocketKind::kDatagram:
      return OpenDatagram(error);
    case IcmpSocketKind::kAuto:
      break;
  }
  std::unique_ptr<IcmpSocket> s = OpenRaw(error);
  if (s || (*error != EPERM && *error != EACCES)) return s;
  // Report the refusal of the raw socket when the fallback fails as well.
  uint32_t raw_error = *error;
  s = OpenDatagram(error);
  if (!s) *error = raw_error;
  return s;
}

void StartNetworking() {}
void EndNetworking() {}

bool ResolveIPv4(const std::string& host, uint32_t* address) {
  if (host.empty()) return false;
  addrinfo hints;
  memset(&hints, 0, sizeof hints);
  hints.ai_family = AF_INET;
  addrinfo* found = nullptr;
  if (getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0 || !found) return false;
  bool ok = false;
  for (addrinfo* a = found; a; a = a->ai_next) {
    if (a->ai_family == AF_INET && a->ai_addrlen >= sizeof(sockaddr_in)) {
      *address = reinterpret_cast<sockaddr_in*>(a->ai_addr)->sin_addr.s_addr;
      ok = true;
      break;
    }
  }
  freeaddrinfo(found);
  return ok;
}

std::string IPv4Text(uint32_t address) {
  char text[INET_ADDRSTRLEN] = {0};
  in_addr a;
  a.s_addr = address;
  inet_ntop(AF_INET, &a, text, sizeof text);
  return text;
}

}  // namespace platform
