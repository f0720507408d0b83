// SHA-256 from the Windows crypto provider (bcrypt.dll, Windows Vista and
// later). The hash object's memory is ours: Windows 7 does not allocate it.
#include "platform/sha256.h"

#include <windows.h>
#include <bcrypt.h>

#include <new>
#include <vector>

namespace platform {
namespace {

bool Succeeded(NTSTATUS s) { return s >= 0; }

// The provider's algorithm handle, opened once per process and kept: it may
// be shared by any number of hash objects on any threads.
struct Provider {
  BCRYPT_ALG_HANDLE alg = nullptr;
  DWORD object_size = 0;
  Provider() {
    if (!Succeeded(BCryptOpenAlgorithmProvider(&alg, BCRYPT_SHA256_ALGORITHM, nullptr, 0))) {
      alg = nullptr;
      return;
    }
    DWORD size = 0, got = 0;
    if (!Succeeded(BCryptGetProperty(alg, BCRYPT_OBJECT_LENGTH, reinterpret_cast<PUCHAR>(&size), sizeof size, &got,
                                     0)) ||
        got != sizeof size || size == 0) {
      BCryptCloseAlgorithmProvider(alg, 0);
      alg = nullptr;
      return;
    }
    object_size = size;
  }
};

const Provider& TheProvider() {
  static const Provider provider;
  return provider;
}

}  // namespace

struct Sha256::State {
  BCRYPT_HASH_HANDLE hash = nullptr;
  std::vector<UCHAR> object;
  ~State() {
    if (hash) BCryptDestroyHash(hash);
  }
};

namespace {

std::unique_ptr<Sha256::State> NewState() {
  const Provider& p = TheProvider();
  if (!p.alg) return nullptr;
  std::unique_ptr<Sha256::State> s(new (std::nothrow) Sha256::State);
  if (!s) return nullptr;
  s->object.resize(p.object_size);
  if (!Succeeded(BCryptCreateHash(p.alg, &s->hash, s->object.data(), p.object_size, nullptr, 0, 0))) {
    s->hash = nullptr;
    return nullptr;
  }
  return s;
}

}  // namespace

Sha256::Sha256() { Reset(); }

Sha256::~Sha256() = default;

void Sha256::Reset() {
  state_.reset();  // a finished hash object cannot be used again before Windows 8
  state_ = NewState();
  failed_ = false;
  final_ = false;
}

void Sha256::Update(const void* data, size_t size) {
  if (!ok() || final_) return;
  const UCHAR* p = static_cast<const UCHAR*>(data);
  // The provider takes a 32-bit length.
  while (size > 0) {
    const ULONG piece = size > 0x40000000u ? 0x40000000u : static_cast<ULONG>(size);
    if (!Succeeded(BCryptHashData(state_->hash, const_cast<UCHAR*>(p), piece, 0))) {
      failed_ = true;
      return;
    }
    p += piece;
    size -= piece;
  }
}

bool Sha256::Final(Sha256Digest* out) {
  if (!ok() || final_) return false;
  final_ = true;
  Sha256Digest d;
  if (!Succeeded(BCryptFinishHash(state_->hash, d.data(), static_cast<ULONG>(d.size()), 0))) {
    failed_ = true;
    return false;
  }
  *out = d;
  return true;
}

}  // namespace platform
