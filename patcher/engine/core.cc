// Text helpers, formatting and the program-level functions of the library.
#include <chrono>
#include <cwctype>
#include <vector>

#include "patcher/engine/core.h"
#include "platform/path.h"
#include "platform/process.h"
#include "platform/wide_text.h"

const TCHAR* EventName(EName Event) {
  switch (Event) {
    case NAME_None: return TEXT("None");
    case NAME_Log: return TEXT("Log");
    case NAME_Critical: return TEXT("Critical");
    case NAME_Exit: return TEXT("Exit");
    case NAME_Warning: return TEXT("Warning");
    case NAME_ExecWarning: return TEXT("ExecWarning");
    case NAME_ScriptWarning: return TEXT("ScriptWarning");
    case NAME_Silent: return TEXT("Silent");
    case NAME_Error: return TEXT("Error");
    case NAME_Title: return TEXT("Title");
    case NAME_Heading: return TEXT("Heading");
    case NAME_FriendlyError: return TEXT("FriendlyError");
    case NAME_Progress: return TEXT("Progress");
  }
  return TEXT("Event");
}

TCHAR appToUpper(TCHAR C) { return (C >= 'a' && C <= 'z') ? static_cast<TCHAR>(C - ('a' - 'A')) : C; }

INT appStrnicmp(const TCHAR* A, const TCHAR* B, INT Count) {
  for (INT i = 0; i < Count; ++i) {
    TCHAR a = appToUpper(A[i]), b = appToUpper(B[i]);
    if (a != b) return a < b ? -1 : 1;
    if (a == 0) return 0;
  }
  return 0;
}

INT appStricmp(const TCHAR* A, const TCHAR* B) { return appStrnicmp(A, B, MAXINT); }

TCHAR* appStrncpy(TCHAR* Dest, const TCHAR* Src, INT Max) {
  INT i = 0;
  for (; i < Max - 1 && Src[i]; ++i) Dest[i] = Src[i];
  Dest[i] = 0;
  return Dest;
}

TCHAR* appStrncat(TCHAR* Dest, const TCHAR* Src, INT Max) {
  INT Len = appStrlen(Dest);
  if (Len < Max) appStrncpy(Dest + Len, Src, Max - Len);
  return Dest;
}

namespace {

// Rewrites engine conversions for the C library's wide printf: "%s" and "%c"
// become "%ls" and "%lc".
std::wstring WidenFormat(const TCHAR* Fmt) {
  std::wstring Out;
  for (const TCHAR* p = Fmt; *p; ++p) {
    Out += *p;
    if (*p != '%') continue;
    ++p;
    if (*p == '%') {
      Out += *p;
      continue;
    }
    while (*p && std::wcschr(L"-+ #0123456789.*", *p)) Out += *p++;
    bool HasLength = false;
    while (*p && std::wcschr(L"hlLqjzt", *p)) {
      Out += *p++;
      HasLength = true;
    }
    if (!*p) break;
    if (!HasLength && (*p == 's' || *p == 'c')) Out += 'l';
    Out += *p;
  }
  return Out;
}

}  // namespace

std::wstring appVFormat(const TCHAR* Fmt, va_list Args) {
  std::wstring Format = WidenFormat(Fmt);
  std::vector<wchar_t> Buffer(256);
  for (;;) {
    va_list Copy;
    va_copy(Copy, Args);
    int n = std::vswprintf(Buffer.data(), Buffer.size(), Format.c_str(), Copy);
    va_end(Copy);
    if (n >= 0 && static_cast<size_t>(n) < Buffer.size()) return std::wstring(Buffer.data(), n);
    if (Buffer.size() >= (1u << 24)) return std::wstring(Buffer.data());
    Buffer.resize(Buffer.size() * 4);
  }
}

std::wstring appFormat(const TCHAR* Fmt, ...) {
  va_list Args;
  va_start(Args, Fmt);
  std::wstring Out = appVFormat(Fmt, Args);
  va_end(Args);
  return Out;
}

std::string appToAnsi(const TCHAR* Str) { return platform::WideToAnsi(Str ? Str : L""); }
std::wstring appFromAnsi(const ANSICHAR* Str) { return platform::AnsiToWide(Str ? Str : ""); }

DOUBLE appSeconds() {
  using namespace std::chrono;
  return duration<double>(steady_clock::now().time_since_epoch()).count();
}

const TCHAR* appBaseDir() {
  static const std::wstring Dir = platform::AnsiToWide(platform::ExecutableDir());
  return Dir.c_str();
}

const TCHAR* appCmdLine() {
  static const std::wstring Line = [] {
    std::wstring All = platform::WideCommandLine();
    size_t i = 0;
    if (i < All.size() && All[i] == L'"') {
      size_t End = All.find(L'"', 1);
      i = End == std::wstring::npos ? All.size() : End + 1;
    } else {
      while (i < All.size() && All[i] != L' ' && All[i] != L'\t') ++i;
    }
    while (i < All.size() && (All[i] == L' ' || All[i] == L'\t')) ++i;
    return All.substr(i);
  }();
  return Line.c_str();
}

UBOOL ParseParam(const TCHAR* Stream, const TCHAR* Param) {
  if (!Stream || !Param) return 0;
  const INT ParamLen = appStrlen(Param);
  const TCHAR* p = Stream;
  while (*p) {
    while (*p == ' ' || *p == '\t') ++p;
    const TCHAR* Start = p;
    while (*p && *p != ' ' && *p != '\t') ++p;
    INT Len = static_cast<INT>(p - Start);
    // A parameter in double quotes counts as well.
    if (Len >= 2 && Start[0] == '"' && Start[Len - 1] == '"') {
      ++Start;
      Len -= 2;
    }
    if (Len == ParamLen + 1 && (Start[0] == '-' || Start[0] == '/') &&
        appStrnicmp(Start + 1, Param, ParamLen) == 0)
      return 1;
  }
  return 0;
}

const TCHAR* appGetSystemErrorMessage(INT Error) {
  static std::wstring Text;
  uint32_t Code = Error ? static_cast<uint32_t>(Error) : platform::LastError();
  Text = platform::AnsiToWide(platform::SystemErrorText(Code));
  while (!Text.empty() && (Text.back() == L'\n' || Text.back() == L'\r' || Text.back() == L' ')) Text.pop_back();
  return Text.c_str();
}

void FOutputDevice::Logf(EName Event, const TCHAR* Fmt, ...) {
  va_list Args;
  va_start(Args, Fmt);
  std::wstring Text = appVFormat(Fmt, Args);
  va_end(Args);
  Serialize(Text.c_str(), Event);
}

void FOutputDevice::Logf(const TCHAR* Fmt, ...) {
  va_list Args;
  va_start(Args, Fmt);
  std::wstring Text = appVFormat(Fmt, Args);
  va_end(Args);
  Serialize(Text.c_str(), NAME_Log);
}
