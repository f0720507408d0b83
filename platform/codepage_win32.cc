#include <windows.h>

#include "platform/codepage.h"

namespace platform {

unsigned AnsiCodePage() { return GetACP(); }

bool ToUtf16(unsigned cp, std::string_view text, std::u16string* out) {
  out->clear();
  if (!IsValidCodePage(cp)) return false;
  if (text.empty()) return true;
  DWORD flags = TakesNoConversionFlags(cp) ? 0 : MB_PRECOMPOSED;
  int n = MultiByteToWideChar(cp, flags, text.data(), static_cast<int>(text.size()), nullptr, 0);
  if (n <= 0) return false;
  out->resize(n);
  n = MultiByteToWideChar(cp, flags, text.data(), static_cast<int>(text.size()),
                          reinterpret_cast<wchar_t*>(&(*out)[0]), n);
  if (n <= 0) {
    out->clear();
    return false;
  }
  out->resize(n);
  return true;
}

bool FromUtf16(unsigned cp, std::u16string_view text, std::string* out, bool* lossy) {
  out->clear();
  if (!IsValidCodePage(cp)) return false;
  if (text.empty()) return true;
  // Best-fit mappings would turn a character silently into a look-alike; the
  // default character, reported through used_default, is what callers test.
  bool no_flags = TakesNoConversionFlags(cp);
  DWORD flags = no_flags ? 0 : WC_NO_BEST_FIT_CHARS;
  BOOL used_default = FALSE;
  // The UTF code pages refuse the used-default argument.
  BOOL* used = (cp == 65000 || cp == 65001) ? nullptr : &used_default;
  const wchar_t* w = reinterpret_cast<const wchar_t*>(text.data());
  int wn = static_cast<int>(text.size());
  int n = WideCharToMultiByte(cp, flags, w, wn, nullptr, 0, nullptr, nullptr);
  if (n <= 0) return false;
  out->resize(n);
  n = WideCharToMultiByte(cp, flags, w, wn, &(*out)[0], n, nullptr, used);
  if (n <= 0) {
    out->clear();
    return false;
  }
  out->resize(n);
  if (used_default) *lossy = true;
  return true;
}

void DoubleByteLeads(unsigned cp, bool lead[256]) {
  for (int i = 0; i < 256; ++i) lead[i] = false;
  CPINFO info;
  if (cp == 65001 || cp == 65000 || !GetCPInfo(cp, &info) || info.MaxCharSize != 2) return;
  for (int r = 0; r + 1 < MAX_LEADBYTES && (info.LeadByte[r] || info.LeadByte[r + 1]); r += 2) {
    for (int b = info.LeadByte[r]; b <= info.LeadByte[r + 1]; ++b) lead[b] = true;
  }
}

}  // namespace platform
