// SHA-256 digests as the release format writes them (64 upper-case
// hexadecimal digits), of data fed piecewise and of whole files. The digest
// itself comes from the system (platform/sha256.h): this part links no
// crypto library, so that the delta setup program can use it and stay small.
// Any thread; nothing here logs.
#ifndef LAUNCHER_RELEASE_SHA256_H_
#define LAUNCHER_RELEASE_SHA256_H_

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/sha256.h"

// SHA-256 over data fed piecewise. Final() may be called once; the object
// then holds the digest until Reset(). Should the system give no digest,
// Final() gives 32 zero bytes and HexText() an empty text (which matches no
// digest).
class Sha256 {
 public:
  Sha256() = default;
  Sha256(const Sha256&) = delete;
  Sha256& operator=(const Sha256&) = delete;

  void Reset();
  void Update(const void* data, size_t size);
  // Completes the digest and returns its 32 bytes.
  std::array<uint8_t, 32> Final();
  // The digest as 64 upper-case hexadecimal digits (calls Final if needed).
  std::string HexText();

 private:
  platform::Sha256 digest_;
  bool final_ = false;
  bool have_ = false;  // the system gave the digest
  std::array<uint8_t, 32> result_{};
};

// Size of the pieces Sha256File reads.
constexpr int32_t kSha256FileChunk = 64 * 1024;

// SHA-256 of a whole file, read in chunks through the platform's file handles
// (any size a 64-bit offset can express), as 64 upper-case hexadecimal
// digits. False when the file cannot be opened, a read fails, it does not
// end at the size it had when opened, or the system gives no digest.
bool Sha256File(const std::string& path, std::string* upper_hex);

#endif  // LAUNCHER_RELEASE_SHA256_H_
