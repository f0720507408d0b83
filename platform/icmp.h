// ICMP sockets for echo requests, and the IPv4 name lookup they need.
//
// A socket sends whole ICMP messages (header and payload, checksum filled in
// by the caller) and receives whole IPv4 datagrams: a 20-byte IPv4 header
// followed by the ICMP message, as a raw socket delivers them. Echo requests
// are never delivered: a raw socket would otherwise see every request that
// loops back to this host, its own among them, ahead of the replies.
//
// Raw sockets need privileges on both systems. On Windows a raw socket
// without administrative rights is refused (WSAEACCES, 10013) and there is no
// other kind, so every probe of an unprivileged player fails. On Linux, where
// a raw socket is refused, the automatic choice falls back to the system's
// unprivileged ICMP datagram socket when the system allows it
// (net.ipv4.ping_group_range includes the caller's group). That socket
// presents the same bytes as a raw one: the kernel replaces the echo
// identifier by one of its own on the way out and delivers only the replies
// that carry it, without an IP header; Receive() puts back the identifier
// last sent (adjusting the checksum so it stays exactly as valid as it was)
// and puts a 20-byte IPv4 header in front.
#ifndef PLATFORM_ICMP_H_
#define PLATFORM_ICMP_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace platform {

enum class IcmpSocketKind {
  kAuto,      // raw; on Linux the datagram socket when raw is refused
  kRaw,       // raw only
  kDatagram,  // the unprivileged datagram socket only (Linux; refused elsewhere)
};

class IcmpSocket {
 public:
  virtual ~IcmpSocket() = default;

  // The kind actually opened: kRaw or kDatagram.
  virtual IcmpSocketKind Kind() const = 0;

  // Sends one ICMP message to `address` (IPv4, network byte order).
  // REQUIRES: length >= 8.
  virtual bool Send(const uint8_t* message, size_t length, uint32_t address) = 0;

  // Waits until a datagram can be received: 1 ready, 0 timed out, -1 failed.
  virtual int WaitReadable(int timeout_ms) = 0;

  // Receives one datagram into `buffer` (IPv4 header first). Returns the
  // number of bytes stored, or -1. A datagram longer than `capacity` is cut.
  virtual int Receive(uint8_t* buffer, size_t capacity) = 0;
};

// Opens an ICMP socket of `kind`. On failure returns null and stores the
// system's error code (errno, or the Winsock error) in *error.
std::unique_ptr<IcmpSocket> OpenIcmpSocket(IcmpSocketKind kind, uint32_t* error);

// Starts the socket library for one user (WSAStartup 2.2 on Windows, nothing
// elsewhere); the result is not reported. Every start is matched by at most
// one EndNetworking for the whole process.
void StartNetworking();
void EndNetworking();

// Looks `host` (a dotted IPv4 address or a host name) up and gives its first
// IPv4 address in network byte order. False when it does not resolve; an
// empty name never resolves. Safe to call from several threads at once.
// On Windows, REQUIRES: StartNetworking() was called.
bool ResolveIPv4(const std::string& host, uint32_t* address);

// Dotted text of an address in network byte order ("127.0.0.1").
std::string IPv4Text(uint32_t address);

}  // namespace platform

#endif  // PLATFORM_ICMP_H_
