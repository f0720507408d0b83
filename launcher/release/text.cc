#include "launcher/release/text.h"

#include <string>

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

namespace {

bool Digits(const std::string& s, size_t at, size_t n, int64_t* out) {
  int64_t v = 0;
  for (size_t i = at; i < at + n; ++i) {
    if (s[i] < '0' || s[i] > '9') return false;
    v = v * 10 + (s[i] - '0');
  }
  *out = v;
  return true;
}

}  // namespace

int64_t DaysFromCivil(int64_t y, int64_t m, int64_t d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const int64_t yoe = y - era * 400;
  const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

bool ParseUtcTime(const std::string& text, int64_t* seconds) {
  if (text.size() != 20 || text[4] != '-' || text[7] != '-' || text[10] != 'T' || text[13] != ':' ||
      text[16] != ':' || text[19] != 'Z')
    return false;
  int64_t y, mo, d, h, mi, s;
  if (!Digits(text, 0, 4, &y) || !Digits(text, 5, 2, &mo) || !Digits(text, 8, 2, &d) || !Digits(text, 11, 2, &h) ||
      !Digits(text, 14, 2, &mi) || !Digits(text, 17, 2, &s))
    return false;
  static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  const bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
  if (y < 1970 || mo < 1 || mo > 12 || d < 1 || d > kDays[mo - 1] + (mo == 2 && leap) || h > 23 || mi > 59 || s > 59)
    return false;
  *seconds = DaysFromCivil(y, mo, d) * 86400 + h * 3600 + mi * 60 + s;
  return true;
}

std::string FormatUtcTime(int64_t seconds) {
  if (seconds < 0) seconds = 0;
  const int64_t days = seconds / 86400, rest = seconds % 86400;
  // Civil date from days since 1970-01-01.
  const int64_t z = days + 719468;
  const int64_t era = z / 146097;
  const int64_t doe = z - era * 146097;
  const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const int64_t mp = (5 * doy + 2) / 153;
  const int64_t d = doy - (153 * mp + 2) / 5 + 1;
  const int64_t m = mp < 10 ? mp + 3 : mp - 9;
  const int64_t y = yoe + era * 400 + (m <= 2);
  // Built as text: printf's formatting code would come into the setup
  // program with this file.
  const auto padded = [](int64_t v, size_t width) {
    const std::string t = std::to_string(v);
    return t.size() < width ? std::string(width - t.size(), '0') + t : t;
  };
  return padded(y, 4) + "-" + padded(m, 2) + "-" + padded(d, 2) + "T" + padded(rest / 3600, 2) + ":" +
         padded(rest % 3600 / 60, 2) + ":" + padded(rest % 60, 2) + "Z";
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
