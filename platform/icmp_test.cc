#include "platform/icmp.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#ifdef __linux__
#include <errno.h>
#include <fcntl.h>
#include <linux/capability.h>
#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>
#endif

namespace platform {
namespace {

uint16_t Word(const uint8_t* p) { return static_cast<uint16_t>((p[0] << 8) | p[1]); }

uint16_t FoldedSum(const uint8_t* p, size_t n) {
  uint32_t s = 0;
  for (size_t i = 0; i + 1 < n; i += 2) s += Word(p + i);
  if (n % 2) s += static_cast<uint32_t>(p[n - 1]) << 8;
  while (s >> 16) s = (s & 0xFFFF) + (s >> 16);
  return static_cast<uint16_t>(s);
}

// An echo request with identifier `id` and sequence number `seq`.
std::vector<uint8_t> EchoRequest(uint16_t id, uint16_t seq) {
  std::vector<uint8_t> m(40, 'x');
  m[0] = 8;
  m[1] = 0;
  m[2] = m[3] = 0;
  m[4] = static_cast<uint8_t>(id >> 8);
  m[5] = static_cast<uint8_t>(id);
  m[6] = static_cast<uint8_t>(seq >> 8);
  m[7] = static_cast<uint8_t>(seq);
  uint16_t sum = static_cast<uint16_t>(~FoldedSum(m.data(), m.size()));
  m[2] = static_cast<uint8_t>(sum >> 8);
  m[3] = static_cast<uint8_t>(sum);
  return m;
}

// Sends one echo request to 127.0.0.1 and checks the datagram that comes
// back: an IPv4 header of 20 bytes, then our reply with our identifier, our
// sequence number, our payload and a valid checksum. On loopback our own
// request passes the socket's way before the reply is made; it must not be
// delivered.
void ExpectLoopbackEcho(IcmpSocket* s, uint16_t id) {
  uint32_t loopback = 0;
  ASSERT_TRUE(ResolveIPv4("127.0.0.1", &loopback));
  std::vector<uint8_t> request = EchoRequest(id, 0x4321);
  ASSERT_TRUE(s->Send(request.data(), request.size(), loopback));
  uint8_t buf[1500];
  int n = -1;
  bool replied = false;
  // Other ICMP traffic of the host may come first; a bounded number is read.
  for (int tries = 0; tries < 50 && !replied; ++tries) {
    ASSERT_EQ(s->WaitReadable(5000), 1);
    n = s->Receive(buf, sizeof buf);
    ASSERT_GE(n, 28);
    EXPECT_FALSE(buf[20] == 8 && Word(buf + 24) == id && Word(buf + 26) == 0x4321)
        << "our own echo request was delivered";
    replied = Word(buf + 20 + 6) == 0x4321 && buf[20] == 0;
  }
  ASSERT_TRUE(replied);
  ASSERT_EQ(n, 60);
  EXPECT_EQ(buf[0] >> 4, 4);
  EXPECT_EQ(buf[9], 1);   // ICMP
  EXPECT_EQ(buf[20], 0);  // echo reply
  EXPECT_EQ(Word(buf + 24), id);
  EXPECT_EQ(FoldedSum(buf + 20, 40), 0xFFFF);
  EXPECT_EQ(std::memcmp(buf + 28, request.data() + 8, 32), 0);
}

TEST(IcmpTest, ResolveAndText) {
  StartNetworking();
  uint32_t a = 0;
  ASSERT_TRUE(ResolveIPv4("127.0.0.1", &a));
  const uint8_t* b = reinterpret_cast<const uint8_t*>(&a);
  EXPECT_EQ(b[0], 127);  // network byte order
  EXPECT_EQ(b[3], 1);
  EXPECT_EQ(IPv4Text(a), "127.0.0.1");
  EXPECT_TRUE(ResolveIPv4("localhost", &a));
  EXPECT_FALSE(ResolveIPv4("", &a));
  EXPECT_FALSE(ResolveIPv4("no such host.invalid", &a));
}

TEST(IcmpTest, RawEcho) {
  StartNetworking();
  uint32_t error = 0;
  std::unique_ptr<IcmpSocket> s = OpenIcmpSocket(IcmpSocketKind::kRaw, &error);
  if (!s) GTEST_SKIP() << "raw ICMP sockets are refused here (error " << error << "): they need privileges";
  EXPECT_EQ(s->Kind(), IcmpSocketKind::kRaw);
  ExpectLoopbackEcho(s.get(), 0xBEEF);
  ExpectLoopbackEcho(s.get(), 0xBEF0);
  // Nor does the request show up after the reply.
  uint8_t buf[1500];
  for (int i = 0; i < 50 && s->WaitReadable(100) == 1; ++i) {
    int n = s->Receive(buf, sizeof buf);
    ASSERT_GE(n, 28);
    EXPECT_FALSE(buf[20] == 8 && (Word(buf + 24) == 0xBEEF || Word(buf + 24) == 0xBEF0));
  }
}

#ifdef __linux__

// Runs `body` on a thread of its own in a fresh network namespace whose
// loopback is up and whose ping_group_range admits every group, optionally
// without CAP_NET_RAW. The host's network settings are untouched: the
// namespace ends with the thread. False (with a reason) where the system does
// not allow it.
bool InPrivateNetwork(bool drop_raw_capability, const std::function<void()>& body, std::string* why) {
  bool ok = false;
  std::thread t([&] {
    if (unshare(CLONE_NEWNET) != 0) {
      *why = "unshare(CLONE_NEWNET): " + std::string(strerror(errno));
      return;
    }
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    ifreq ifr;
    std::memset(&ifr, 0, sizeof ifr);
    std::strcpy(ifr.ifr_name, "lo");
    bool up = fd >= 0 && ioctl(fd, SIOCGIFFLAGS, &ifr) == 0 && (ifr.ifr_flags |= IFF_UP, true) &&
              ioctl(fd, SIOCSIFFLAGS, &ifr) == 0;
    if (fd >= 0) close(fd);
    int range = open("/proc/sys/net/ipv4/ping_group_range", O_WRONLY);
    bool widened = range >= 0 && write(range, "0 2147483647", 12) == 12;
    if (range >= 0) close(range);
    if (!up || !widened) {
      *why = "cannot set up the private network's loopback and ping_group_range";
      return;
    }
    if (drop_raw_capability) {
      __user_cap_header_struct header = {_LINUX_CAPABILITY_VERSION_3, 0};
      __user_cap_data_struct data[2];
      std::memset(data, 0, sizeof data);
      if (syscall(SYS_capget, &header, data) != 0) {
        *why = "capget failed";
        return;
      }
      data[CAP_NET_RAW / 32].effective &= ~(1u << (CAP_NET_RAW % 32));
      if (syscall(SYS_capset, &header, data) != 0) {
        *why = "capset failed";
        return;
      }
    }
    ok = true;
    body();
  });
  t.join();
  return ok;
}

TEST(IcmpTest, DatagramEchoLooksLikeRaw) {
  std::string why;
  bool ran = InPrivateNetwork(
      false,
      [] {
        uint32_t error = 0;
        std::unique_ptr<IcmpSocket> s = OpenIcmpSocket(IcmpSocketKind::kDatagram, &error);
        ASSERT_TRUE(s) << error;
        EXPECT_EQ(s->Kind(), IcmpSocketKind::kDatagram);
        // The kernel sends its own identifier; the reply shows ours again.
        ExpectLoopbackEcho(s.get(), 0x1234);
        ExpectLoopbackEcho(s.get(), 0xFFFF);
      },
      &why);
  if (!ran) GTEST_SKIP() << "no private network for the datagram socket: " << why;
}

TEST(IcmpTest, AutomaticChoiceFallsBackWithoutRawPrivilege) {
  std::string why;
  bool ran = InPrivateNetwork(
      true,
      [] {
        uint32_t error = 0;
        EXPECT_FALSE(OpenIcmpSocket(IcmpSocketKind::kRaw, &error));
        EXPECT_EQ(error, static_cast<uint32_t>(EPERM));
        std::unique_ptr<IcmpSocket> s = OpenIcmpSocket(IcmpSocketKind::kAuto, &error);
        ASSERT_TRUE(s) << error;
        EXPECT_EQ(s->Kind(), IcmpSocketKind::kDatagram);
        ExpectLoopbackEcho(s.get(), 0x0001);
      },
      &why);
  if (!ran) GTEST_SKIP() << "no private network without raw privilege: " << why;
}

#else

TEST(IcmpTest, NoDatagramSocketOnWindows) {
  uint32_t error = 0;
  EXPECT_FALSE(OpenIcmpSocket(IcmpSocketKind::kDatagram, &error));
  EXPECT_NE(error, 0u);
}

#endif

}  // namespace
}  // namespace platform
