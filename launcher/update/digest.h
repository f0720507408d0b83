// SHA-1 digests of downloaded packages.
#ifndef LAUNCHER_UPDATE_DIGEST_H_
#define LAUNCHER_UPDATE_DIGEST_H_

#include <cstddef>
#include <cstdint>
#include <string>

// A SHA-1 context: five chaining words, the message length in bits and a
// 64-byte block buffer. Starts (and restarts after Reset) at the standard
// initial values.
class DigestContext {
 public:
  DigestContext() { Reset(); }
  void Reset();

  void Update(const void* data, size_t size);

  // Feeds the whole file, read in chunks of 8000 bytes through the file
  // seam of platform/file.h. False when it cannot be opened, a read fails or
  // it cannot be read to its end. Sizes are 64-bit.
  bool HashFile(const std::string& path);

  // Completes the digest with the standard padding and length.
  void Final();

  const uint8_t* Result() const { return result_; }
  // The 20 result bytes as 40 upper-case hexadecimal digits.
  std::string DigestText() const;

 private:
  uint32_t state_[5];
  uint64_t length_bits_;
  uint8_t block_[64];
  size_t block_used_;
  uint8_t result_[20];
};

// True when the file's digest text equals `expected` exactly (case-sensitive).
bool VerifyPackage(const std::string& path, const std::string& expected);

// Compress `blocks` consecutive 64-byte blocks into `state`. Uses the
// processor's SHA instructions where present.
void Sha1Compress(uint32_t state[5], const uint8_t* data, size_t blocks);
// The portable implementation alone (tests compare the two).
void Sha1CompressPortable(uint32_t state[5], const uint8_t* data, size_t blocks);
bool Sha1HasHardware();

#endif  // LAUNCHER_UPDATE_DIGEST_H_
