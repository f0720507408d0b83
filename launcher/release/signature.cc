#include "launcher/release/signature.h"

#include <gcrypt.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

#include "launcher/release/text.h"

namespace {

const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// The order L of the Ed25519 base point, little-endian as S is encoded.
const uint8_t kOrderL[32] = {0xed, 0xd3, 0xf5, 0x5c, 0x1a, 0x63, 0x12, 0x58, 0xd6, 0x9c, 0xf7,
                             0xa2, 0xde, 0xf9, 0xde, 0x14, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
                             0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x10};

// Initialises the crypto library once per process. Secure memory is not used:
// the launcher holds no secrets, and the publisher tool wipes its seed copies.
bool CryptoReady() {
  static std::once_flag once;
  static bool ready = false;
  std::call_once(once, [] {
    if (gcry_control(GCRYCTL_INITIALIZATION_FINISHED_P)) {
      ready = gcry_check_version(GCRYPT_VERSION) != nullptr;
      return;
    }
    if (!gcry_check_version(GCRYPT_VERSION)) return;
    gcry_control(GCRYCTL_DISABLE_SECMEM, 0);
    gcry_control(GCRYCTL_INITIALIZATION_FINISHED, 0);
    ready = true;
  });
  return ready;
}

struct SexpFree {
  void operator()(gcry_sexp_t s) const { gcry_sexp_release(s); }
};
using Sexp = std::unique_ptr<std::remove_pointer_t<gcry_sexp_t>, SexpFree>;

Sexp Build(const char* format, const void* a, size_t an, const void* b = nullptr, size_t bn = 0) {
  gcry_sexp_t s = nullptr;
  gcry_error_t e = b ? gcry_sexp_build(&s, nullptr, format, static_cast<int>(an), a, static_cast<int>(bn), b)
                     : gcry_sexp_build(&s, nullptr, format, static_cast<int>(an), a);
  if (e) return nullptr;
  return Sexp(s);
}

Sexp PublicKeySexp(const PublisherKey& key) {
  return Build("(public-key(ecc(curve Ed25519)(flags eddsa)(q %b)))", key.data(), key.size());
}

Sexp PrivateKeySexp(const SigningSeed& seed) {
  return Build("(private-key(ecc(curve Ed25519)(flags eddsa)(d %b)))", seed.data(), seed.size());
}

Sexp DataSexp(const std::string& data) {
  // An empty value is fine for Ed25519 but the builder needs a pointer.
  static const char kNothing = 0;
  return Build("(data(flags eddsa)(hash-algo sha512)(value %b))", data.empty() ? &kNothing : data.data(),
               data.size());
}

// Copies the single datum of the named element below `s` into exactly
// `out_size` bytes; false for any other length.
bool TokenBytes(gcry_sexp_t s, const char* name, uint8_t* out, size_t out_size) {
  Sexp token(gcry_sexp_find_token(s, name, 0));
  if (!token) return false;
  size_t n = 0;
  const char* p = gcry_sexp_nth_data(token.get(), 1, &n);
  if (!p || n != out_size) return false;
  std::memcpy(out, p, n);
  return true;
}

// S (little-endian) below L.
bool CanonicalS(const uint8_t* s) {
  for (int i = 31; i >= 0; --i) {
    if (s[i] != kOrderL[i]) return s[i] < kOrderL[i];
  }
  return false;  // equal to L
}

std::string TrimTrailing(const std::string& text) {
  size_t end = text.size();
  while (end > 0 && (text[end - 1] == ' ' || text[end - 1] == '\t' || text[end - 1] == '\r' || text[end - 1] == '\n'))
    --end;
  return text.substr(0, end);
}

}  // namespace

std::string EncodeBase64(const void* data, size_t size) {
  const uint8_t* p = static_cast<const uint8_t*>(data);
  std::string out;
  out.reserve((size + 2) / 3 * 4);
  for (size_t i = 0; i < size; i += 3) {
    uint32_t v = uint32_t{p[i]} << 16;
    if (i + 1 < size) v |= uint32_t{p[i + 1]} << 8;
    if (i + 2 < size) v |= p[i + 2];
    out += kAlphabet[(v >> 18) & 63];
    out += kAlphabet[(v >> 12) & 63];
    out += i + 1 < size ? kAlphabet[(v >> 6) & 63] : '=';
    out += i + 2 < size ? kAlphabet[v & 63] : '=';
  }
  return out;
}

bool DecodeBase64(const std::string& text, std::string* out) {
  out->clear();
  if (text.size() % 4 != 0) return false;
  size_t pad = 0;
  if (!text.empty() && text.back() == '=') pad = text[text.size() - 2] == '=' ? 2 : 1;
  out->reserve(text.size() / 4 * 3);
  uint32_t v = 0;
  for (size_t i = 0; i < text.size() - pad; ++i) {
    const char* hit = static_cast<unsigned char>(text[i]) ? std::strchr(kAlphabet, text[i]) : nullptr;
    if (!hit) return false;  // outside the alphabet, or a '=' before the end
    v = (v << 6) | static_cast<uint32_t>(hit - kAlphabet);
    if (i % 4 == 3) {
      out->push_back(static_cast<char>(v >> 16));
      out->push_back(static_cast<char>(v >> 8));
      out->push_back(static_cast<char>(v));
      v = 0;
    }
  }
  if (pad == 1) {  // three characters: 18 bits, 16 used
    if (v & 3) return false;
    out->push_back(static_cast<char>(v >> 10));
    out->push_back(static_cast<char>(v >> 2));
  } else if (pad == 2) {  // two characters: 12 bits, 8 used
    if (v & 15) return false;
    out->push_back(static_cast<char>(v >> 4));
  }
  return true;
}

bool DecodePublicKey(const std::string& base64, PublisherKey* key) {
  std::string bytes;
  if (base64.size() != 44 || !DecodeBase64(base64, &bytes) || bytes.size() != key->size()) return false;
  std::memcpy(key->data(), bytes.data(), key->size());
  return true;
}

std::string EncodePublicKey(const PublisherKey& key) { return EncodeBase64(key.data(), key.size()); }

bool VerifySignature(const PublisherKey& key, const std::string& data, const Signature& sig) {
  if (!CryptoReady()) return false;
  // libgcrypt checks the group equation only; S at or above L would let a
  // second encoding of one signature pass.
  if (!CanonicalS(sig.data() + 32)) return false;
  Sexp pub = PublicKeySexp(key);
  Sexp msg = DataSexp(data);
  Sexp sv = Build("(sig-val(eddsa(r %b)(s %b)))", sig.data(), 32, sig.data() + 32, 32);
  if (!pub || !msg || !sv) return false;
  return gcry_pk_verify(sv.get(), msg.get(), pub.get()) == 0;
}

bool DecodePublicKeys(const std::string& text, PublisherKeys* keys) {
  PublisherKeys found;
  size_t at = 0;
  for (;;) {
    const size_t comma = text.find(',', at);
    std::string item = text.substr(at, comma == std::string::npos ? std::string::npos : comma - at);
    const size_t first = item.find_first_not_of(" \t");
    const size_t last = item.find_last_not_of(" \t");
    item = first == std::string::npos ? std::string() : item.substr(first, last - first + 1);
    PublisherKey key{};
    if (found.size() == kMaxPublisherKeys || !DecodePublicKey(item, &key)) return false;
    found.push_back(key);
    if (comma == std::string::npos) break;
    at = comma + 1;
  }
  *keys = std::move(found);
  return true;
}

bool VerifyDetached(const PublisherKeys& keys, const std::string& data, const std::string& sig_file_text) {
  // Every line is read before any is trusted: a file with one bad line is
  // refused whole, whatever the other lines say.
  std::vector<Signature> sigs;
  const std::string text = TrimTrailing(sig_file_text);
  if (text.empty()) return false;
  size_t at = 0;
  while (at <= text.size()) {
    const size_t end = std::min(text.find('\n', at), text.size());
    std::string raw;
    Signature sig;
    if (sigs.size() == kMaxPublisherKeys || !DecodeBase64(TrimTrailing(text.substr(at, end - at)), &raw) ||
        raw.size() != sig.size())
      return false;
    std::memcpy(sig.data(), raw.data(), sig.size());
    sigs.push_back(sig);
    at = end + 1;
  }
  for (const Signature& sig : sigs)
    for (const PublisherKey& key : keys)
      if (VerifySignature(key, data, sig)) return true;
  return false;
}

bool GenerateSeed(SigningSeed* seed) {
  if (!CryptoReady()) return false;
  gcry_randomize(seed->data(), seed->size(), GCRY_VERY_STRONG_RANDOM);
  return true;
}

bool RandomBytes(void* out, size_t size) {
  if (!CryptoReady()) return false;
  gcry_randomize(out, size, GCRY_STRONG_RANDOM);
  return true;
}

bool PublicKeyOfSeed(const SigningSeed& seed, PublisherKey* key) {
  if (!CryptoReady()) return false;
  Sexp priv = PrivateKeySexp(seed);
  if (!priv) return false;
  gcry_ctx_t ctx = nullptr;
  if (gcry_mpi_ec_new(&ctx, priv.get(), nullptr) != 0) return false;
  bool ok = false;
  // "q@eddsa" is the point in its Ed25519 encoding, computed from d.
  gcry_mpi_t q = gcry_mpi_ec_get_mpi("q@eddsa", ctx, 1);
  if (q) {
    unsigned int bits = 0;
    const void* p = gcry_mpi_get_opaque(q, &bits);
    if (p && bits == key->size() * 8) {
      std::memcpy(key->data(), p, key->size());
      ok = true;
    }
    gcry_mpi_release(q);
  }
  gcry_ctx_release(ctx);
  return ok;
}

bool Sign(const SigningSeed& seed, const std::string& data, Signature* sig) {
  if (!CryptoReady()) return false;
  Sexp priv = PrivateKeySexp(seed);
  Sexp msg = DataSexp(data);
  if (!priv || !msg) return false;
  gcry_sexp_t out = nullptr;
  if (gcry_pk_sign(&out, msg.get(), priv.get()) != 0) return false;
  Sexp result(out);
  return TokenBytes(result.get(), "r", sig->data(), 32) && TokenBytes(result.get(), "s", sig->data() + 32, 32);
}

std::string SignatureFileText(const Signature& sig) { return EncodeBase64(sig.data(), sig.size()) + "\n"; }

std::string SignatureFileText(const std::vector<Signature>& sigs) {
  std::string out;
  for (const Signature& sig : sigs) out += SignatureFileText(sig);
  return out;
}

bool DecodeSeedFile(const std::string& text, SigningSeed* seed) {
  std::string raw;
  bool ok = DecodeBase64(TrimTrailing(text), &raw) && raw.size() == seed->size();
  if (ok) std::memcpy(seed->data(), raw.data(), seed->size());
  std::fill(raw.begin(), raw.end(), '\0');
  return ok;
}
