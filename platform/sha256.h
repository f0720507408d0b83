// SHA-256 from the system's own provider: the crypto provider of Windows
// (bcrypt.dll), the crypto library elsewhere. The programs that ship inside
// every package (the delta setup program) take their digests from here, so
// that no crypto library is linked into them.
//
//   platform::Sha256 h;
//   h.Update(bytes, n);  ...
//   std::array<uint8_t, 32> digest;
//   if (!h.Final(&digest)) ... no provider: no digest ...
//
// An object is used by one thread at a time; any number may exist at once,
// on any threads. Nothing here logs.
#ifndef PLATFORM_SHA256_H_
#define PLATFORM_SHA256_H_

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>

namespace platform {

using Sha256Digest = std::array<uint8_t, 32>;

class Sha256 {
 public:
  Sha256();  // starts a digest
  ~Sha256();
  Sha256(const Sha256&) = delete;
  Sha256& operator=(const Sha256&) = delete;

  // False when the system would not give a digest (its provider missing or
  // failing, now or during an Update): Final then gives none. A false stays
  // false until the next Reset.
  bool ok() const { return state_ != nullptr && !failed_; }
  // Feeds bytes; any size, zero included (size 0 allows a null `data`).
  void Update(const void* data, size_t size);
  // Completes the digest of everything fed since the start or the last
  // Reset into *out. False (and *out untouched) when !ok(). Afterwards the
  // object takes no more bytes until Reset: Update is ignored and a second
  // Final is false.
  bool Final(Sha256Digest* out);
  // Starts a new digest.
  void Reset();

  struct State;  // the backend's

 private:
  std::unique_ptr<State> state_;
  bool failed_ = false;
  bool final_ = false;
};

}  // namespace platform

#endif  // PLATFORM_SHA256_H_
