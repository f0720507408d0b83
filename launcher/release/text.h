// Small text checks and conversions shared by everything that reads or
// writes the release format: the launcher's engine, the publisher tool and
// the delta setup program. Pure functions; any thread.
#ifndef LAUNCHER_RELEASE_TEXT_H_
#define LAUNCHER_RELEASE_TEXT_H_

#include <cstddef>
#include <cstdint>
#include <string>

namespace release {

// Equal when the two differ at most in the case of ASCII letters (other
// bytes, UTF-8 included, must match exactly).
bool SameAsciiText(const std::string& a, const std::string& b);

// Bytes as upper-case hexadecimal digits, two per byte.
std::string UpperHex(const void* data, size_t size);

// The 64 upper-case hexadecimal digits of a SHA-256 as the release format
// writes it (lower case is refused: a digest has one spelling).
bool IsUpperHex64(const std::string& text);

// Strict decimal text of a count: 1 to 19 digits, nothing else (no sign,
// blanks or leading "+"), at most `max`. False leaves *out untouched.
bool ParseDecimal(const std::string& text, uint64_t* out, uint64_t max = UINT64_MAX);

// A UTC time as the release format writes it, "YYYY-MM-DDTHH:MM:SSZ"
// (exactly that: 20 characters, years 1970-9999, a real calendar day,
// 00:00:00-23:59:59), and seconds since 1970.
bool ParseUtcTime(const std::string& text, int64_t* seconds);
// Days from 1970-01-01 to a date of the proleptic Gregorian calendar (month
// 1-12); the date is not checked. Also the HTTP dates' arithmetic.
int64_t DaysFromCivil(int64_t year, int64_t month, int64_t day);
std::string FormatUtcTime(int64_t seconds);
// True when Windows would not take `name` (one component of a path, no
// separators) as the file it spells, so a package must not use it on any
// system:
// - a device name, alone or before an extension, in any letter case and with
//   blanks before the dot: CON, PRN, AUX, NUL, COM0-COM9, LPT0-LPT9 (also with
//   the superscript digits 1-3), CONIN$, CONOUT$, CLOCK$ ("nul.txt",
//   "Com1 .log");
// - a name ending in a dot or a blank, which Windows drops ("a.ini." opens
//   "a.ini");
// - a name holding '~' followed by a digit, which may be the short 8.3 alias
//   of another file ("DOVRA_~1.INI").
bool IsWindowsMisreadName(const std::string& name);

}  // namespace release

#endif  // LAUNCHER_RELEASE_TEXT_H_
