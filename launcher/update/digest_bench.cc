// Package digest throughput on a file given on the command line:
//   digest_bench FILE            HashFile (SHA-1)
//   digest_bench FILE --sha256   Sha256File (the signed channel's second digest)
//   digest_bench FILE --seal     SealedFile::Seal, the copy the engine holds
//                                from the checks to the setup start
// prints the digest text (or the held size) and MiB/s, for scripts/bench to
// compare with peers.
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>

#include "launcher/release/signature.h"
#include "launcher/update/digest.h"
#include "platform/file.h"
#include "platform/sealed_file.h"

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  const std::string mode = argc > 2 ? argv[2] : "";
  auto start = std::chrono::steady_clock::now();
  std::string text;
  if (mode == "--sha256") {
    if (!Sha256File(argv[1], &text)) return 1;
  } else if (mode == "--seal") {
    std::string error;
    auto held = platform::SealedFile::Seal(argv[1], &error);
    if (!held) {
      std::fprintf(stderr, "%s\n", error.c_str());
      return 1;
    }
    text = std::to_string(platform::FileSize(held->ReadPath()));
  } else {
    DigestContext ctx;
    if (!ctx.HashFile(argv[1])) return 1;
    ctx.Final();
    text = ctx.DigestText();
  }
  double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  double mib = static_cast<double>(platform::FileSize(argv[1])) / (1024.0 * 1024.0);
  std::printf("%s %.3f s %.0f MiB/s hardware=%d\n", text.c_str(), secs, mib / secs, Sha1HasHardware() ? 1 : 0);
  return 0;
}
