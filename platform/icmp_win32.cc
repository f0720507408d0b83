// ICMP sockets on Windows: Winsock raw sockets (administrative rights needed).
#include <string.h>
#include <winsock2.h>
#include <ws2tcpip.h>

#include "platform/icmp.h"

namespace platform {
namespace {

class WinIcmpSocket : public IcmpSocket {
 public:
  explicit WinIcmpSocket(SOCKET s) : socket_(s) {}
  ~WinIcmpSocket() override { closesocket(socket_); }

  IcmpSocketKind Kind() const override { return IcmpSocketKind::kRaw; }

  bool Send(const uint8_t* message, size_t length, uint32_t address) override {
    if (length < 8) return false;
    sockaddr_in to;
    ZeroMemory(&to, sizeof to);
    to.sin_family = AF_INET;
    to.sin_port = 0;
    to.sin_addr.s_addr = address;
    int n = sendto(socket_, reinterpret_cast<const char*>(message), static_cast<int>(length), 0,
                   reinterpret_cast<sockaddr*>(&to), sizeof to);
    return n == static_cast<int>(length);
  }

  int WaitReadable(int timeout_ms) override {
    const ULONGLONG deadline = GetTickCount64() + static_cast<ULONGLONG>(timeout_ms < 0 ? 0 : timeout_ms);
    for (;;) {
      ULONGLONG now = GetTickCount64();
      int left = now >= deadline ? 0 : static_cast<int>(deadline - now);
      fd_set readable;
      FD_ZERO(&readable);
      FD_SET(socket_, &readable);
      timeval tv;
      tv.tv_sec = left / 1000;
      tv.tv_usec = (left % 1000) * 1000;
      int r = select(0, &readable, nullptr, nullptr, &tv);
      if (r == SOCKET_ERROR) return -1;
      if (r == 0) return 0;
      if (!DropEchoRequest()) return 1;
    }
  }

  int Receive(uint8_t* buffer, size_t capacity) override {
    sockaddr_in from;
    int from_len = sizeof from;
    int n = recvfrom(socket_, reinterpret_cast<char*>(buffer), static_cast<int>(capacity), 0,
                     reinterpret_cast<sockaddr*>(&from), &from_len);
    if (n == SOCKET_ERROR) {
      // A datagram longer than the buffer arrives cut, as documented.
      if (WSAGetLastError() == WSAEMSGSIZE) return static_cast<int>(capacity);
      return -1;
    }
    return n;
  }

 private:
  // A raw socket also sees the echo requests that loop back to this host,
  // ours among them; they are never replies. Takes the waiting datagram off
  // the socket when it is one; false when something else waits.
  bool DropEchoRequest() {
    char peek[1500];
    int n = recvfrom(socket_, peek, sizeof peek, MSG_PEEK, nullptr, nullptr);
    if (n == SOCKET_ERROR) {
      if (WSAGetLastError() != WSAEMSGSIZE) return false;  // Receive reports the failure
      n = sizeof peek;
    }
    if (n <= 0) return false;
    int header = (peek[0] & 0x0F) * 4;
    if (header < 20 || n <= header || static_cast<uint8_t>(peek[header]) != 8) return false;
    recvfrom(socket_, peek, sizeof peek, 0, nullptr, nullptr);
    return true;
  }

  SOCKET socket_;
};

}  // namespace

std::unique_ptr<IcmpSocket> OpenIcmpSocket(IcmpSocketKind kind, uint32_t* error) {
  uint32_t ignored = 0;
  if (!error) error = &ignored;
  if (kind == IcmpSocketKind::kDatagram) {
    // Windows has no unprivileged ICMP socket.
    *error = WSAESOCKTNOSUPPORT;
    return nullptr;
  }
  SOCKET s = socket(AF_INET, SOCK_RAW, IPPROTO_ICMP);
  if (s == INVALID_SOCKET) {
    *error = static_cast<uint32_t>(WSAGetLastError());
    return nullptr;
  }
  return std::make_unique<WinIcmpSocket>(s);
}

void StartNetworking() {
  WSADATA data;
  WSAStartup(MAKEWORD(2, 2), &data);
}

void EndNetworking() { WSACleanup(); }

bool ResolveIPv4(const std::string& host, uint32_t* address) {
  if (host.empty()) return false;
  // Winsock keeps the result per thread, so concurrent lookups do not clash.
  hostent* h = gethostbyname(host.c_str());
  if (!h || h->h_addrtype != AF_INET || h->h_length != 4 || !h->h_addr_list || !h->h_addr_list[0]) return false;
  in_addr first;
  memcpy(&first, h->h_addr_list[0], 4);
  *address = inet_addr(inet_ntoa(first));
  return true;
}

std::string IPv4Text(uint32_t address) {
  in_addr a;
  a.s_addr = address;
  return inet_ntoa(a);
}

}  // namespace platform
