// Code pages of narrow text and conversions between them and UTF-16.
#ifndef PLATFORM_CODEPAGE_H_
#define PLATFORM_CODEPAGE_H_

#include <string>
#include <string_view>

namespace platform {

// The code page of the system's narrow text: GetACP() on Windows, UTF-8
// (65001) on Linux.
unsigned AnsiCodePage();

// Converts `text`, encoded in `code_page`, to UTF-16. Byte sequences that form
// no character of the code page become U+FFFD. Returns false, leaving *out
// empty, when the code page cannot be converted on this system.
bool ToUtf16(unsigned code_page, std::string_view text, std::u16string* out);

// Converts UTF-16 `text` to `code_page`. A character that has no
// representation there is replaced by the code page's default character and
// *lossy is set (it is never cleared). Returns false, leaving *out empty, when
// the code page cannot be converted on this system.
// REQUIRES: lossy != nullptr.
bool FromUtf16(unsigned code_page, std::u16string_view text, std::string* out, bool* lossy);

// True for the code pages whose conversions must be made with flags 0
// (65000, 65001, 50220, 50221, 50222, 50225, 50227, 50229, 52936, 54936 and
// 57002 to 57011).
bool TakesNoConversionFlags(unsigned code_page);

// Fills lead[b] with whether byte b starts a two-byte character in
// `code_page` (all false for single-byte code pages and for UTF-8, whose
// continuation bytes never look like ASCII).
void DoubleByteLeads(unsigned code_page, bool lead[256]);

}  // namespace platform

#endif  // PLATFORM_CODEPAGE_H_
