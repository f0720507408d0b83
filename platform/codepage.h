// Code pages of narrow text.
#ifndef PLATFORM_CODEPAGE_H_
#define PLATFORM_CODEPAGE_H_

namespace platform {

// The code page of the system's narrow text: GetACP() on Windows, UTF-8
// (65001) on Linux.
unsigned AnsiCodePage();

}  // namespace platform

#endif  // PLATFORM_CODEPAGE_H_
