// SHA-256 from the system's crypto library.
#include "platform/sha256.h"

#include <gcrypt.h>

#include <cstring>
#include <mutex>
#include <new>

namespace platform {
namespace {

// Initialises the crypto library once per process, or finds it initialised
// by another part of the program. Secure memory is not used: a digest holds
// no secret.
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

}  // namespace

struct Sha256::State {
  gcry_md_hd_t md = nullptr;
  ~State() {
    if (md) gcry_md_close(md);
  }
};

Sha256::Sha256() { Reset(); }

Sha256::~Sha256() = default;

void Sha256::Reset() {
  failed_ = false;
  final_ = false;
  if (state_) {
    gcry_md_reset(state_->md);
    return;
  }
  gcry_md_hd_t md = nullptr;
  if (!CryptoReady() || gcry_md_open(&md, GCRY_MD_SHA256, 0) != 0) return;
  state_.reset(new (std::nothrow) State);
  if (state_) {
    state_->md = md;
  } else {
    gcry_md_close(md);
  }
}

void Sha256::Update(const void* data, size_t size) {
  if (!ok() || final_ || size == 0) return;
  gcry_md_write(state_->md, data, size);
}

bool Sha256::Final(Sha256Digest* out) {
  if (!ok() || final_) return false;
  final_ = true;
  const unsigned char* d = gcry_md_read(state_->md, GCRY_MD_SHA256);
  if (!d) {
    failed_ = true;
    return false;
  }
  std::memcpy(out->data(), d, out->size());
  return true;
}

}  // namespace platform
