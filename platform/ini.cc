#include "platform/ini.h"

#include <cstdint>

namespace platform {

int ParseProfileInt(const std::string& v) {
  size_t i = 0;
  while (i < v.size() && (v[i] == ' ' || v[i] == '\t' || v[i] == '\n' || v[i] == '\r' || v[i] == '\f' || v[i] == '\v')) ++i;
  bool neg = false;
  if (i < v.size() && (v[i] == '+' || v[i] == '-')) {
    neg = v[i] == '-';
    ++i;
  }
  unsigned base = 10;
  if (i + 1 < v.size() && v[i] == '0') {
    char p = v[i + 1];
    if (p == 'x' || p == 'X') base = 16;
    if (p == 'o' || p == 'O') base = 8;
    if (p == 'b' || p == 'B') base = 2;
    if (base != 10) i += 2;
  }
  uint32_t value = 0;
  for (; i < v.size(); ++i) {
    char c = v[i];
    unsigned d;
    if (c >= '0' && c <= '9') d = static_cast<unsigned>(c - '0');
    else if (c >= 'a' && c <= 'f') d = static_cast<unsigned>(c - 'a' + 10);
    else if (c >= 'A' && c <= 'F') d = static_cast<unsigned>(c - 'A' + 10);
    else break;
    if (d >= base) break;
    value = value * base + d;  // wraps like the system's 32-bit arithmetic
  }
  if (neg) value = 0u - value;
  return static_cast<int>(value);
}

}  // namespace platform
