// HashFile throughput on a file given on the command line:
//   digest_bench FILE [--portable]
// prints the digest text and MiB/s, for scripts/bench to compare with peers.
#include <chrono>
#include <cstdio>
#include <cstring>

#include "launcher/update/digest.h"
#include "platform/file.h"

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  auto start = std::chrono::steady_clock::now();
  DigestContext ctx;
  if (!ctx.HashFile(argv[1])) return 1;
  ctx.Final();
  double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  double mib = static_cast<double>(platform::FileSize(argv[1])) / (1024.0 * 1024.0);
  std::printf("%s %.3f s %.0f MiB/s hardware=%d\n", ctx.DigestText().c_str(), secs, mib / secs,
              Sha1HasHardware() ? 1 : 0);
  return 0;
}
