// Basic types, text helpers and the error primitives of the engine core
// library. Include "patcher/engine/core.h" rather than this header.
#ifndef PATCHER_ENGINE_CORE_TYPES_H_
#define PATCHER_ENGINE_CORE_TYPES_H_

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <cwchar>
#include <string>

// Fixed-width integers of the engine. Values in files are little-endian.
typedef uint8_t BYTE;
typedef int8_t SBYTE;
typedef uint16_t _WORD;
typedef int16_t SWORD;
typedef uint32_t DWORD;
typedef int32_t INT;
typedef uint64_t QWORD;
typedef int64_t SQWORD;
typedef float FLOAT;
typedef double DOUBLE;
typedef DWORD UBOOL;
typedef char ANSICHAR;
// Engine text is wide: UTF-16 code units on Windows, wchar_t units on Linux.
typedef wchar_t TCHAR;

#define TEXT(s) L##s
#define ARRAY_COUNT(a) (sizeof(a) / sizeof((a)[0]))

enum { INDEX_NONE = -1 };
enum { MAXINT = 0x7fffffff };

// Event codes that accompany log lines. The numeric values are fixed: the
// error device and the feedback context act on them.
enum EName : INT {
  NAME_None = 0,
  NAME_Log = 760,
  NAME_Critical = 761,
  NAME_Exit = 763,
  NAME_Warning = 767,
  NAME_ExecWarning = 768,
  NAME_ScriptWarning = 769,
  NAME_Silent = 788,
  NAME_Error = 789,
  NAME_Title = 790,
  NAME_Heading = 791,
  NAME_FriendlyError = 792,
  NAME_Progress = 793,
};

// The name of an event code ("Warning" for NAME_Warning); "Event" for codes
// without a name.
const TCHAR* EventName(EName Event);

template <class T>
inline T Min(T a, T b) { return a < b ? a : b; }
template <class T>
inline T Max(T a, T b) { return a > b ? a : b; }
template <class T>
inline T Clamp(T x, T lo, T hi) { return x < lo ? lo : x > hi ? hi : x; }

// Memory and string functions.
inline void appMemcpy(void* Dest, const void* Src, INT Count) { std::memcpy(Dest, Src, Count); }
inline void appMemmove(void* Dest, const void* Src, INT Count) { std::memmove(Dest, Src, Count); }
inline void appMemzero(void* Dest, INT Count) { std::memset(Dest, 0, Count); }
inline INT appMemcmp(const void* A, const void* B, INT Count) { return std::memcmp(A, B, Count); }
inline INT appStrlen(const TCHAR* S) { return static_cast<INT>(std::wcslen(S)); }
inline INT appStrcmp(const TCHAR* A, const TCHAR* B) { return std::wcscmp(A, B); }
// Letters A-Z and a-z compare equal; other characters compare by value.
TCHAR appToUpper(TCHAR C);
INT appStricmp(const TCHAR* A, const TCHAR* B);
INT appStrnicmp(const TCHAR* A, const TCHAR* B, INT Count);
// Copies at most Max-1 characters and always terminates (Max > 0).
TCHAR* appStrncpy(TCHAR* Dest, const TCHAR* Src, INT Max);
// Appends while the result, terminator included, fits in Max characters.
TCHAR* appStrncat(TCHAR* Dest, const TCHAR* Src, INT Max);

// printf-style formatting of engine text: "%s" takes engine text (TCHAR*),
// "%c" a TCHAR; the other conversions are those of the C library.
std::wstring appVFormat(const TCHAR* Fmt, va_list Args);
std::wstring appFormat(const TCHAR* Fmt, ...);

// Conversion between engine text and narrow text in the ANSI code page.
std::string appToAnsi(const TCHAR* Str);
std::wstring appFromAnsi(const ANSICHAR* Str);

// Seconds from an arbitrary fixed point, for measuring durations.
DOUBLE appSeconds();
// Directory of the running program, with a trailing separator.
const TCHAR* appBaseDir();
// The command line after the program's own path, leading blanks removed.
const TCHAR* appCmdLine();
// Whether the blank-separated text Stream holds "-Param" or "/Param"
// (letters compared without case; the token may stand in double quotes).
UBOOL ParseParam(const TCHAR* Stream, const TCHAR* Param);
// The system's text for an error code; 0 means the calling thread's last
// error. The text lives until the next call.
const TCHAR* appGetSystemErrorMessage(INT Error = 0);

// Error primitives (see core.h for how they work together).
[[noreturn]] void appThrowCritical();
void appFailAssert(const ANSICHAR* Expr, const ANSICHAR* File, INT Line);
void appErrorf(const TCHAR* Fmt, ...);
void appUnwindf(const TCHAR* Fmt, ...);
// Message text for a key of a package's error section; the pointer stays
// valid for the life of the program. Unknown keys give "<Package.Key>".
const TCHAR* LocalizeError(const TCHAR* Key, const TCHAR* Package = TEXT("Core"));
// Asks the program to end; with Force it ends at once with exit code 1.
void appRequestExit(UBOOL Force);

// A failed check reports its expression text, the source file's name and the
// line as a critical error on GError.
#define check(expr)                                   \
  do {                                                \
    if (!(expr)) appFailAssert(#expr, __FILE__, __LINE__); \
  } while (0)

// guard(Label) ... unguard brackets a step. An engine error text (a thrown
// const TCHAR*) passes through unchanged; anything else that unwinds through
// the step appends Label to the error history GErrorHist and goes on
// unwinding.
#define guard(func)                                      \
  {                                                      \
    static const TCHAR GuardLabel_[] = TEXT(#func);      \
    try {
#define unguard                                          \
    }                                                    \
    catch (const TCHAR*) {                               \
      throw;                                             \
    }                                                    \
    catch (...) {                                        \
      appUnwindf(TEXT("%s"), GuardLabel_);               \
      throw;                                             \
    }                                                    \
  }

#endif  // PATCHER_ENGINE_CORE_TYPES_H_
