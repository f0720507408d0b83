// Publisher signatures and SHA-256 digests for the signed update channel.
//
// The publisher's key is an Ed25519 key pair. Its public key travels as the
// standard base64 text of its 32 raw bytes (44 characters); the private key
// file holds the 32-byte seed the same way. Each signed document D has a
// detached signature file, D's address followed by ".sig": one line per
// signing key, each the standard base64 text of a 64-byte Ed25519 signature
// over D's exact bytes.
//
// Keys rotate without a break: the publisher signs with the old key and the
// new one, ships launchers that list both (or only the new one), and later
// drops the old key. A launcher lists its keys separated by commas and
// accepts a document when any line verifies with any listed key.
//
// All signature cryptography here comes from the system's crypto library,
// which is initialised on first use (thread-safe). Every function may be
// called from any thread. Nothing here logs; failures are reported by value.
#ifndef LAUNCHER_RELEASE_SIGNATURE_H_
#define LAUNCHER_RELEASE_SIGNATURE_H_

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// SHA-256 (Sha256, Sha256File) lives beside: many that verify also digest.
#include "launcher/release/sha256.h"

using PublisherKey = std::array<uint8_t, 32>;  // Ed25519 public key, raw
using SigningSeed = std::array<uint8_t, 32>;   // Ed25519 private key (seed)
using Signature = std::array<uint8_t, 64>;     // R followed by S, raw
using PublisherKeys = std::vector<PublisherKey>;
using SigningSeeds = std::vector<SigningSeed>;

// At most this many keys in a list, and signature lines in a file.
constexpr size_t kMaxPublisherKeys = 8;

// Standard base64 (RFC 4648 alphabet with "+/", "=" padding). Encoding always
// pads. Decoding is strict: the length must be a multiple of 4, only the
// alphabet and final padding may appear (no blanks, no line ends), and unused
// low bits of the last character must be zero. False leaves *out unspecified.
std::string EncodeBase64(const void* data, size_t size);
bool DecodeBase64(const std::string& text, std::string* out);

// The public key from its 44-character text. False unless the text is
// strict base64 of exactly 32 bytes (nothing before or after it).
bool DecodePublicKey(const std::string& base64, PublisherKey* key);
std::string EncodePublicKey(const PublisherKey& key);
// A list of public keys: 1 to kMaxPublisherKeys key texts separated by
// commas, blanks allowed around each. False (and *keys untouched) when any
// item is not a key or the list is empty or too long.
bool DecodePublicKeys(const std::string& text, PublisherKeys* keys);

// Checks the text of a detached signature file against `data`. The text is
// 1 to kMaxPublisherKeys lines, each the base64 of 64 bytes; blanks and a
// CR at the end of a line, and empty lines after the last signature, are
// ignored; anything else (leading blanks, an empty line between signatures,
// a line that is not a whole signature, bad characters, a wrong length)
// refuses the whole file. A signature whose S is not below the group order L
// is refused, so every message has exactly one accepted encoding of S.
// True only when some line is a signature by some key of `keys` over
// exactly `data`.
bool VerifyDetached(const PublisherKeys& keys, const std::string& data, const std::string& sig_file_text);
inline bool VerifyDetached(const PublisherKey& key, const std::string& data, const std::string& sig_file_text) {
  return VerifyDetached(PublisherKeys{key}, data, sig_file_text);
}
// The same check on the raw signature.
bool VerifySignature(const PublisherKey& key, const std::string& data, const Signature& sig);

// Publisher side.

// A fresh random seed from the crypto library's strong generator.
bool GenerateSeed(SigningSeed* seed);
// `size` random bytes from the same generator at its strong (not its very
// strong) level: an install's identifier, no key.
bool RandomBytes(void* out, size_t size);
// The public key belonging to `seed`.
bool PublicKeyOfSeed(const SigningSeed& seed, PublisherKey* key);
// The Ed25519 signature over `data` (deterministic: same seed and data, same
// signature).
bool Sign(const SigningSeed& seed, const std::string& data, Signature* sig);
// The text of a detached signature file for `sig`: its base64 and "\n".
std::string SignatureFileText(const Signature& sig);
// The text for several signatures (one per signing key): a line each.
std::string SignatureFileText(const std::vector<Signature>& sigs);
// The seed from the text of a private key file: base64 of 32 bytes, trailing
// blanks and line ends ignored.
bool DecodeSeedFile(const std::string& text, SigningSeed* seed);

#endif  // LAUNCHER_RELEASE_SIGNATURE_H_
