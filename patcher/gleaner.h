// The patch tool's run: from the command line to the new package file, its
// log lines and its exit code.
//
//   Gleaner "DIFF" "OLD" "OUT"
//
// composes, from the old package OLD and the difference file DIFF, the new
// package and writes it to OUT (which may be OLD itself: the old file is
// read completely and closed before OUT is created). The new package is
// enciphered exactly when OLD is. Relative paths count from the program's
// directory, which the run makes the current directory; "log.log" and
// "loga.log" are appended to there.
#ifndef PATCHER_GLEANER_H_
#define PATCHER_GLEANER_H_

#include <string>

#include "patcher/engine/core.h"

// Exit codes of the run.
enum EGleanerExit {
  GLEANER_OK = 0,
  GLEANER_BAD_COMMAND_LINE = -1,  // fewer than three paths; nothing else happened
  GLEANER_LOAD_TEXT = -4,         // loading the old package raised an engine text
  GLEANER_LOAD_FAILED = -5,       // loading the old package failed otherwise
  GLEANER_ENGINE_TEXT = -7,       // an engine text was raised later
  GLEANER_NARROW_TEXT = -8,       // a narrow text was raised
  GLEANER_FAILED = -9,            // any other failure (critical errors)
};

// Each path is held in this many units, terminator included.
enum { GLEANER_PATH_SIZE = 1024 };

// Cuts the whole command line at its double quotes (empty pieces between two
// adjacent quotes do not count); pieces beginning with a blank are skipped;
// the first remaining piece is the program and is ignored; the next three are
// the difference file, the old package and the output. False with fewer than
// three, or when one of them does not fit its buffer.
bool ParseGleanerCommandLine(const std::wstring& CommandLine, std::wstring* DiffPath, std::wstring* OldPath,
                             std::wstring* OutPath);

// Whether the command line asks for the usage: after the program's path
// (quoted or not), nothing but "--help", "-h" or "/?" (quoted or not).
bool IsGleanerHelpRequest(const std::wstring& CommandLine);

// The usage GleanerMain prints on standard output for such a request.
extern const char kGleanerUsage[];

// The CRC-32/MPEG-2 table: polynomial 0x04C11DB7, most significant bit first.
void InitGleanerCRCTable(DWORD Table[256]);

// Converts to code page 936 (the tool's printed and logged text); characters
// the code page lacks become its default character.
std::string ToGleanerCodePage(const std::wstring& Text);

// The whole run. Returns the exit code (EGleanerExit).
INT GleanerMain(const std::wstring& CommandLine);

// Tests only: called at the start of the composition step, inside the
// guarded run, so that a test can raise what the run must handle.
extern void (*GGleanerComposeHook)();

#endif  // PATCHER_GLEANER_H_
