// Wide-character text: conversion to and from the system's narrow (ANSI) code
// page, and the process's command line as wide text.
//
// Wide text is UTF-16 on Windows and UTF-32 on Linux; the ANSI code page is
// the active code page on Windows and UTF-8 on Linux.
#ifndef PLATFORM_WIDE_TEXT_H_
#define PLATFORM_WIDE_TEXT_H_

#include <string>

namespace platform {

// Characters the code page cannot represent become '?'.
std::string WideToAnsi(const std::wstring& text);
// Bytes that do not decode become U+FFFD (Linux) or the system's best guess.
std::wstring AnsiToWide(const std::string& text);

// The whole command line of the process as the system hands it over
// (GetCommandLineW on Windows). On Linux the line is rebuilt from the argument
// vector: the program path as it was given (in double quotes when it holds
// blanks), then each argument enclosed in
// double quotes and separated by one blank, since the quoting of the original
// line is gone by then.
std::wstring WideCommandLine();

// Writes bytes to standard output after flushing the C stream, whatever
// orientation (narrow or wide) the stream has taken, and flushes again.
void WriteStandardOutput(const std::string& bytes);

}  // namespace platform

#endif  // PLATFORM_WIDE_TEXT_H_
