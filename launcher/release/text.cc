#include "launcher/release/text.h"

namespace release {

bool SameAsciiText(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
    if (x != y) return false;
  }
  return true;
}

std::string UpperHex(const void* data, size_t size) {
  static const char kHex[] = "0123456789ABCDEF";
  const unsigned char* p = static_cast<const unsigned char*>(data);
  std::string out;
  out.reserve(size * 2);
  for (size_t i = 0; i < size; ++i) {
    out += kHex[p[i] >> 4];
    out += kHex[p[i] & 15];
  }
  return out;
}

bool IsUpperHex64(const std::string& text) {
  return text.size() == 64 && text.find_first_not_of("0123456789ABCDEF") == std::string::npos;
}

bool ParseDecimal(const std::string& text, uint64_t* out, uint64_t max) {
  // 19 digits always fit 64 bits, so no step below can overflow.
  if (text.empty() || text.size() > 19) return false;
  uint64_t v = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + static_cast<uint64_t>(c - '0');
  }
  if (v > max) return false;
  *out = v;
  return true;
}

bool IsWindowsMisreadName(const std::string& name) {
  if (name.empty()) return false;
  if (name.back() == '.' || name.back() == ' ') return true;
  for (size_t i = 0; i + 1 < name.size(); ++i)
    if (name[i] == '~' && name[i + 1] >= '0' && name[i + 1] <= '9') return true;
  // The device names: the part before the first dot, blanks at its end
  // dropped.
  std::string base = name.substr(0, name.find('.'));
  while (!base.empty() && base.back() == ' ') base.pop_back();
  for (const char* device : {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$", "CLOCK$"})
    if (SameAsciiText(base, device)) return true;
  if (base.size() < 4 || !(SameAsciiText(base.substr(0, 3), "COM") || SameAsciiText(base.substr(0, 3), "LPT")))
    return false;
  const std::string unit = base.substr(3);
  // A digit, or a superscript 1, 2 or 3 in UTF-8 or in the Windows Latin code
  // page.
  if (unit.size() == 1 && ((unit[0] >= '0' && unit[0] <= '9') || unit == "\xB9" || unit == "\xB2" || unit == "\xB3"))
    return true;
  return unit == "\xC2\xB9" || unit == "\xC2\xB2" || unit == "\xC2\xB3";
}

}  // namespace release
