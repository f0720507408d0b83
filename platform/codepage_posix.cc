#include <errno.h>
#include <iconv.h>

#include <cstdint>

#include "platform/codepage.h"

namespace platform {
namespace {

// Code page numbers and the names glibc's iconv knows them by. Code pages
// missing here cannot be converted on this system.
struct IconvName {
  unsigned code_page;
  const char* name;
};
constexpr IconvName kIconvNames[] = {
    {154, "PT154"},       {437, "CP437"},       {708, "ASMO-708"},   {737, "CP737"},
    {775, "CP775"},       {850, "CP850"},       {852, "CP852"},      {855, "CP855"},
    {857, "CP857"},       {858, "CP858"},       {860, "CP860"},      {861, "CP861"},
    {862, "CP862"},       {863, "CP863"},       {864, "CP864"},      {865, "CP865"},
    {866, "CP866"},       {869, "CP869"},       {874, "CP874"},      {932, "CP932"},
    {936, "CP936"},       {949, "CP949"},       {950, "CP950"},      {1125, "CP1125"},
    {1133, "CP1133"},     {1200, "UTF-16LE"},   {1201, "UTF-16BE"},  {1250, "CP1250"},
    {1251, "CP1251"},     {1252, "CP1252"},     {1253, "CP1253"},    {1254, "CP1254"},
    {1255, "CP1255"},     {1256, "CP1256"},     {1257, "CP1257"},    {1258, "CP1258"},
    {1361, "JOHAB"},      {10000, "MACINTOSH"}, {10007, "MAC-CYRILLIC"},
    {10017, "MACUKRAINIAN"}, {10029, "MAC-CENTRALEUROPE"}, {10079, "MAC-IS"},
    {12000, "UTF-32LE"},  {12001, "UTF-32BE"},  {20127, "ANSI_X3.4-1968"},
    {20866, "KOI8-R"},    {20932, "EUC-JP"},    {21866, "KOI8-U"},   {28591, "ISO-8859-1"},
    {28592, "ISO-8859-2"}, {28593, "ISO-8859-3"}, {28594, "ISO-8859-4"},
    {28595, "ISO-8859-5"}, {28596, "ISO-8859-6"}, {28597, "ISO-8859-7"},
    {28598, "ISO-8859-8"}, {28599, "ISO-8859-9"}, {28603, "ISO-8859-13"},
    {28605, "ISO-8859-15"}, {38598, "ISO-8859-8"}, {50220, "ISO-2022-JP"},
    {50221, "ISO-2022-JP"}, {50222, "ISO-2022-JP"}, {50225, "ISO-2022-KR"},
    {51932, "EUC-JP"},    {51936, "EUC-CN"},    {51949, "EUC-KR"},   {54936, "GB18030"},
    {65000, "UTF-7"},     {65001, "UTF-8"},
};

const char* IconvNameOf(unsigned cp) {
  for (const IconvName& n : kIconvNames) {
    if (n.code_page == cp) return n.name;
  }
  return nullptr;
}

// Owns one conversion descriptor.
class Converter {
 public:
  Converter(const char* to, const char* from) : cd_(iconv_open(to, from)) {}
  ~Converter() {
    if (ok()) iconv_close(cd_);
  }
  Converter(const Converter&) = delete;
  Converter& operator=(const Converter&) = delete;
  bool ok() const { return cd_ != reinterpret_cast<iconv_t>(-1); }
  iconv_t get() const { return cd_; }

 private:
  iconv_t cd_;
};

// Runs the whole input through `cd`. On a sequence that cannot be converted
// (or is cut off at the end) one input character is dropped, `replacement`
// goes to the output and *failed is set. A character is one byte of narrow
// input, or one UTF-16LE unit (two for a surrogate pair) when `utf16_input`.
void Run(iconv_t cd, const char* in, size_t in_len, bool utf16_input, std::string_view replacement,
         std::string* out, bool* failed) {
  char buf[4096];
  char* src = const_cast<char*>(in);
  size_t left = in_len;
  while (left > 0) {
    char* dst = buf;
    size_t room = sizeof buf;
    size_t r = iconv(cd, &src, &left, &dst, &room);
    out->append(buf, dst - buf);
    if (r != static_cast<size_t>(-1) || errno == E2BIG) continue;
    *failed = true;
    size_t n = 1;
    if (utf16_input) {
      n = 2;
      uint8_t hi = static_cast<uint8_t>(src[1 < left ? 1 : 0]);
      if (left >= 4 && hi >= 0xD8 && hi <= 0xDB) {
        uint8_t hi2 = static_cast<uint8_t>(src[3]);
        if (hi2 >= 0xDC && hi2 <= 0xDF) n = 4;
      }
    }
    if (n > left) n = left;
    src += n;
    left -= n;
    out->append(replacement);
  }
  char* dst = buf;
  size_t room = sizeof buf;
  iconv(cd, nullptr, nullptr, &dst, &room);
  out->append(buf, dst - buf);
}

}  // namespace

unsigned AnsiCodePage() { return 65001; }

bool ToUtf16(unsigned cp, std::string_view text, std::u16string* out) {
  out->clear();
  const char* name = IconvNameOf(cp);
  if (!name) return false;
  Converter conv("UTF-16LE", name);
  if (!conv.ok()) return false;
  std::string bytes;
  bool failed = false;
  Run(conv.get(), text.data(), text.size(), false, std::string_view("\xFD\xFF", 2), &bytes, &failed);
  out->reserve(bytes.size() / 2);
  for (size_t i = 0; i + 1 < bytes.size(); i += 2) {
    out->push_back(static_cast<char16_t>(static_cast<uint8_t>(bytes[i]) |
                                         (static_cast<uint8_t>(bytes[i + 1]) << 8)));
  }
  return true;
}

bool FromUtf16(unsigned cp, std::u16string_view text, std::string* out, bool* lossy) {
  out->clear();
  const char* name = IconvNameOf(cp);
  if (!name) return false;
  Converter conv(name, "UTF-16LE");
  if (!conv.ok()) return false;
  std::string bytes;
  bytes.reserve(text.size() * 2);
  for (char16_t u : text) {
    bytes.push_back(static_cast<char>(u & 0xFF));
    bytes.push_back(static_cast<char>(u >> 8));
  }
  bool failed = false;
  Run(conv.get(), bytes.data(), bytes.size(), true, "?", out, &failed);
  if (failed) *lossy = true;
  return true;
}

void DoubleByteLeads(unsigned cp, bool lead[256]) {
  for (int i = 0; i < 256; ++i) lead[i] = false;
  int lo = 0, hi = -1, lo2 = 0, hi2 = -1;
  switch (cp) {
    case 932: lo = 0x81, hi = 0x9F, lo2 = 0xE0, hi2 = 0xFC; break;
    case 936: case 949: case 950: lo = 0x81, hi = 0xFE; break;
    case 1361: lo = 0x84, hi = 0xD3, lo2 = 0xD8, hi2 = 0xF9; break;
    default: return;
  }
  for (int b = lo; b <= hi; ++b) lead[b] = true;
  for (int b = lo2; b <= hi2; ++b) lead[b] = true;
}

}  // namespace platform
