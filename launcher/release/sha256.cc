#include "launcher/release/sha256.h"

#include <memory>

#include "launcher/release/text.h"
#include "platform/file.h"

void Sha256::Reset() {
  digest_.Reset();
  final_ = false;
  have_ = false;
  result_.fill(0);
}

void Sha256::Update(const void* data, size_t size) {
  if (!final_) digest_.Update(data, size);
}

std::array<uint8_t, 32> Sha256::Final() {
  if (!final_) have_ = digest_.Final(&result_);
  final_ = true;
  return result_;
}

std::string Sha256::HexText() {
  Final();
  return have_ ? release::UpperHex(result_.data(), result_.size()) : std::string();
}

bool Sha256File(const std::string& path, std::string* upper_hex) {
  platform::FileOpenOptions options;
  options.disposition = platform::FileDisposition::kReadExisting;
  options.share_read = true;
  std::unique_ptr<platform::File> file = platform::OpenFile(path, options);
  if (!file) return false;
  int64_t size = -1;
  if (file->Size(&size) != platform::Status::kOk || size < 0) return false;
  Sha256 digest;
  std::unique_ptr<char[]> chunk(new char[kSha256FileChunk]);
  int64_t done = 0;
  for (;;) {
    size_t got = 0;
    if (file->Read(chunk.get(), kSha256FileChunk, &got) != platform::Status::kOk) return false;
    if (got == 0) break;
    digest.Update(chunk.get(), got);
    done += static_cast<int64_t>(got);
    if (done > size) return false;
  }
  if (done != size) return false;
  std::string text = digest.HexText();
  if (text.empty()) return false;
  *upper_hex = text;
  return true;
}
