#include "patcher/engine/output_device_ansi.h"

#include <cstdio>
#include <string>

#include "patcher/engine/core.h"
#include "platform/wide_text.h"

namespace {

void PrintAnsi(const std::wstring& Text) { platform::WriteStandardOutput(platform::WideToAnsi(Text)); }

}  // namespace

void FOutputDeviceAnsiError::Serialize(const TCHAR* Msg, EName Event) {
  if (GIsCriticalError) {
    GLog->Logf(NAME_Critical, TEXT("Error reentered: %s"), Msg);
  } else {
    GIsCriticalError = 1;
    ErrorType = Event;
    GLog->Log(NAME_Critical, Msg);
    UObject::StaticShutdownAfterError();
    appBeginErrorHistory(Msg);
    ErrorPos = appStrlen(GErrorHist);
    if (GIsGuarded) {
      appStrncat(GErrorHist, LocalizeError(TEXT("History"), TEXT("Core")), ERROR_HISTORY_SIZE);
      appStrncat(GErrorHist, TEXT(": "), ERROR_HISTORY_SIZE);
    } else {
      HandleError();
    }
  }
  if (GIsGuarded)
    appThrowCritical();
  else
    appRequestExit(1);
}

void FOutputDeviceAnsiError::HandleError() {
  try {
    GIsGuarded = 0;
    GIsRunning = 0;
    GIsCriticalError = 1;
    GLogHook = nullptr;
    UObject::StaticShutdownAfterError();
    const INT Cut = ErrorType == NAME_FriendlyError ? ErrorPos : ERROR_HISTORY_SIZE - 1;
    if (Cut >= 0 && Cut < ERROR_HISTORY_SIZE) GErrorHist[Cut] = 0;
    PrintAnsi(std::wstring(GErrorHist) + L"\n\nExiting due to error\n");
  } catch (...) {
  }
}

void FFeedbackContextAnsi::Serialize(const TCHAR* V, EName Event) {
  std::wstring Text = V;
  if (Event == NAME_Warning || Event == NAME_ExecWarning || Event == NAME_ScriptWarning || Event == NAME_Error) {
    if (Context) Text = appFormat(TEXT("%s : %s, %s"), *Context->GetContext(), EventName(Event), V);
    if (Event == NAME_Error)
      ++ErrorCount;
    else
      ++WarningCount;
  } else if (Event == NAME_Silent) {
    return;
  } else if (Event == NAME_Title) {
    const INT Len = static_cast<INT>(Text.size());
    if (Len < 70) {
      const INT Before = (70 - Len) / 2;
      const INT After = 70 - Len - Before;
      Text = std::wstring(Before, L'-') + Text + std::wstring(After, L'-');
    }
  } else if (Event == NAME_Heading) {
    Text += L"...";
  } else if (Event == NAME_Progress) {
    PrintAnsi(Text + L"\r");
    return;
  }
  PrintAnsi(Text + L"\n");
  if (GLog != this) GLog->Serialize(Text.c_str(), Event);
  if (AuxOut) AuxOut->Serialize(Text.c_str(), Event);
  std::fflush(stdout);
}

UBOOL FFeedbackContextAnsi::YesNof(const TCHAR* Fmt, ...) {
  va_list Args;
  va_start(Args, Fmt);
  std::wstring Question = appVFormat(Fmt, Args);
  va_end(Args);
  if (Question.size() > 4095) Question.resize(4095);
  if ((!GIsClient && !GIsEditor) || ParseParam(appCmdLine(), TEXT("auto"))) return 1;
  PrintAnsi(Question + L" (Y/N): ");
  char Line[256];
  if (!std::fgets(Line, sizeof Line, stdin)) return 0;
  return Line[0] == 'Y' || Line[0] == 'y';
}

void FFeedbackContextAnsi::BeginSlowTask(const TCHAR* Task, UBOOL StatusWindow) {
  GIsSlowTask = ++SlowTaskCount > 0;
}

void FFeedbackContextAnsi::EndSlowTask() {
  check(SlowTaskCount>0);
  GIsSlowTask = --SlowTaskCount > 0;
}

UBOOL FFeedbackContextAnsi::StatusUpdatef(INT Numerator, INT Denominator, const TCHAR* Fmt, ...) {
  va_list Args;
  va_start(Args, Fmt);
  std::wstring Status = appVFormat(Fmt, Args);
  va_end(Args);
  if (Status.size() > 4095) Status.resize(4095);
  return 1;
}
