// The global slots, the error primitives and the library's texts.
#include <cstdio>
#include <cstdlib>
#include <set>
#include <string>

#include "patcher/engine/core.h"
#include "patcher/engine/malloc_ansi.h"
#include "patcher/engine/output_device_ansi.h"

namespace {

// The library's own log: lines go on to GLogHook when one is set.
class FOutputDeviceLibraryLog : public FOutputDevice {
 public:
  void Serialize(const TCHAR* V, EName Event) override {
    if (GLogHook && GLogHook != this) GLogHook->Serialize(V, Event);
  }
};

FMallocAnsi DefaultMalloc;
FOutputDeviceLibraryLog LibraryLog;
FOutputDeviceNull NullDevice;
FOutputDeviceAnsiError DefaultError;
FFeedbackContextAnsi DefaultWarn;

INT UnwindCount = 0;

struct FLocalizedText {
  const TCHAR* Package;
  const TCHAR* Key;
  const TCHAR* Text;
};

const FLocalizedText LocalizedTexts[] = {
    {TEXT("FPackageData"), TEXT("Aborted"), TEXT("The file is not a package, or its version is too old")},
    {TEXT("Core"), TEXT("History"), TEXT("History")},
    {TEXT("Core"), TEXT("SeekFailed"), TEXT("Error seeking file")},
    {TEXT("Core"), TEXT("WriteFailed"), TEXT("Error writing to file")},
    {TEXT("Core"), TEXT("ExportIndex"), TEXT("Bad export index %i/%i")},
    {TEXT("Core"), TEXT("ImportIndex"), TEXT("Bad import index %i/%i")},
};

}  // namespace

FFileManager* GFileManager = nullptr;
FOutputDeviceError* GError = &DefaultError;
FFeedbackContext* GWarn = &DefaultWarn;
FMalloc* GMalloc = &DefaultMalloc;
FOutputDevice* GLog = &LibraryLog;
FOutputDevice* GNull = &NullDevice;
FOutputDevice* GLogHook = nullptr;
DWORD GCRCTable[256];
UBOOL GIsGuarded = 0;
UBOOL GIsStarted = 0;
UBOOL GIsCriticalError = 0;
UBOOL GIsRunning = 0;
UBOOL GIsRequestingExit = 0;
UBOOL GIsClient = 0;
UBOOL GIsEditor = 0;
UBOOL GIsSlowTask = 0;
UBOOL GUnicodeOS = 1;
TCHAR GErrorHist[ERROR_HISTORY_SIZE];
DOUBLE GFileManagerLoadingTime = 0;
DOUBLE GFileManagerSeekTime = 0;
DOUBLE GFileManagerMiscTime = 0;
QWORD GFileManagerBytesRead = 0;
void (*GForcedExitHook)(INT ExitCode) = nullptr;

void appResetErrorState() {
  GErrorHist[0] = 0;
  GIsCriticalError = 0;
  UnwindCount = 0;
}

void appBeginErrorHistory(const TCHAR* Message) {
  appStrncpy(GErrorHist, Message, ERROR_HISTORY_SIZE);
  appStrncat(GErrorHist, TEXT("\r\n\r\n"), ERROR_HISTORY_SIZE);
  UnwindCount = 0;
}

void appThrowCritical() { throw 1; }

void appFailAssert(const ANSICHAR* Expr, const ANSICHAR* File, INT Line) {
  std::string Source = File ? File : "";
  size_t Slash = Source.find_last_of("/\\");
  if (Slash != std::string::npos) Source = Source.substr(Slash + 1);
  GError->Logf(TEXT("Assertion failed: %s [File:%s] [Line: %i]"), appFromAnsi(Expr).c_str(),
               appFromAnsi(Source.c_str()).c_str(), Line);
}

void appErrorf(const TCHAR* Fmt, ...) {
  va_list Args;
  va_start(Args, Fmt);
  std::wstring Text = appVFormat(Fmt, Args);
  va_end(Args);
  GError->Serialize(Text.c_str(), NAME_Critical);
}

void appUnwindf(const TCHAR* Fmt, ...) {
  va_list Args;
  va_start(Args, Fmt);
  std::wstring Text = appVFormat(Fmt, Args);
  va_end(Args);
  if (UnwindCount++) appStrncat(GErrorHist, TEXT(" <- "), ERROR_HISTORY_SIZE);
  appStrncat(GErrorHist, Text.c_str(), ERROR_HISTORY_SIZE);
}

const TCHAR* LocalizeError(const TCHAR* Key, const TCHAR* Package) {
  if (!Key) Key = TEXT("");
  if (!Package) Package = TEXT("Core");
  for (const FLocalizedText& T : LocalizedTexts)
    if (appStricmp(T.Key, Key) == 0 && appStricmp(T.Package, Package) == 0) return T.Text;
  // Unknown keys: a stable text naming the key.
  static std::set<std::wstring> Unknown;
  return Unknown.insert(std::wstring(L"<") + Package + L"." + Key + L">").first->c_str();
}

void appRequestExit(UBOOL Force) {
  GIsRequestingExit = 1;
  if (!Force) return;
  if (GForcedExitHook) {
    GForcedExitHook(1);
    return;
  }
  std::fflush(stdout);
  std::exit(1);
}

void* appMalloc(INT Size, const TCHAR* Tag) { return GMalloc->Malloc(static_cast<DWORD>(Size), Tag); }
void* appRealloc(void* Ptr, INT Size, const TCHAR* Tag) {
  return GMalloc->Realloc(Ptr, static_cast<DWORD>(Size), Tag);
}
void appFree(void* Ptr) { GMalloc->Free(Ptr); }
