#include "launcher/release/rollout.h"

#include <array>
#include <cstdint>

#include "launcher/release/sha256.h"
#include "launcher/release/signature.h"
#include "launcher/release/text.h"

namespace release {

bool NewInstallId(std::string* id) {
  std::array<uint8_t, kInstallIdBytes> bytes{};
  if (!RandomBytes(bytes.data(), bytes.size())) return false;
  *id = UpperHex(bytes.data(), bytes.size());
  return true;
}

bool IsInstallId(const std::string& text) {
  return text.size() == 2 * kInstallIdBytes && text.find_first_not_of("0123456789ABCDEF") == std::string::npos;
}

int RolloutBucket(const std::string& install_id, const std::string& version) {
  Sha256 h;
  const std::string input = install_id + "/" + version;
  h.Update(input.data(), input.size());
  const std::array<uint8_t, 32> d = h.Final();
  const uint32_t first = (uint32_t{d[0]} << 24) | (uint32_t{d[1]} << 16) | (uint32_t{d[2]} << 8) | d[3];
  return static_cast<int>(first % 100);
}

bool ParseRollout(const std::string& text, int* percent) {
  uint64_t value = 0;
  if (!ParseDecimal(text, &value, 100)) return false;
  *percent = static_cast<int>(value);
  return true;
}

bool TargetFor(const LatestVersion& latest, const std::string& install_id, RolloutTarget* out, std::string* error) {
  *out = RolloutTarget();
  out->version = latest.lastversionnum;
  if (!latest.rollout) return true;
  if (!ParseRollout(*latest.rollout, &out->percent)) {
    *error = "rollout " + *latest.rollout + " is not a percent 0 to 100";
    return false;
  }
  if (out->percent >= 100) return true;
  if (!latest.heldversionnum || latest.heldversionnum->empty()) {
    *error = "rollout " + *latest.rollout + " without heldversionnum";
    return false;
  }
  out->staged = true;
  // Without an identifier kept, the install could not keep its answer
  // either: it stays with the held version, the safe side of a rollout.
  out->bucket = install_id.empty() ? -1 : RolloutBucket(install_id, latest.lastversionnum);
  if (out->bucket >= 0 && out->bucket < out->percent) return true;
  out->held = true;
  out->version = *latest.heldversionnum;
  return true;
}

bool IsChannelName(const std::string& name) {
  if (name.empty() || name.size() > 64) return false;
  for (char c : name) {
    const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '_';
    if (!ok) return false;
  }
  return true;
}

}  // namespace release
