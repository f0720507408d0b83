// The console devices a program installs as GError and GWarn.
#ifndef PATCHER_ENGINE_OUTPUT_DEVICE_ANSI_H_
#define PATCHER_ENGINE_OUTPUT_DEVICE_ANSI_H_

#include "patcher/engine/services.h"

// The error device (GError). On a message:
//  1. while a critical error is already being handled, logs
//     "Error reentered: <message>" on GLog (NAME_Critical);
//  2. otherwise sets GIsCriticalError, remembers the event code, logs the
//     message on GLog (NAME_Critical), calls
//     UObject::StaticShutdownAfterError, starts GErrorHist with the message
//     and "\r\n\r\n" and remembers that length; then, when guarded, appends
//     "History: ", else runs HandleError at once;
//  3. then, when guarded, throws the integer 1; otherwise calls
//     appRequestExit(1).
class FOutputDeviceAnsiError : public FOutputDeviceError {
 public:
  void Serialize(const TCHAR* Msg, EName Event) override;
  // The final error handling: clears GIsGuarded, GIsRunning and GLogHook,
  // sets GIsCriticalError, cuts the history after the message when the event
  // was NAME_FriendlyError (else at 4095 characters), and prints it and
  // "\n\nExiting due to error\n" on standard output in the ANSI code page.
  // Never raises.
  void HandleError() override;

 private:
  INT ErrorPos = 0;
  EName ErrorType = NAME_None;
};

// The feedback context (GWarn): prints to standard output in the ANSI code
// page and passes lines on to GLog and an auxiliary device.
class FFeedbackContextAnsi : public FFeedbackContext {
 public:
  FFeedbackContextAnsi() = default;
  explicit FFeedbackContextAnsi(FOutputDevice* InAuxOut) : AuxOut(InAuxOut) {}

  // NAME_Warning, NAME_ExecWarning, NAME_ScriptWarning and NAME_Error are
  // counted (ErrorCount for NAME_Error, WarningCount for the rest) and, with a
  // context set, printed as "<context> : <event name>, <text>". NAME_Silent
  // prints nothing; NAME_Title centres the text in a line of 70 "-";
  // NAME_Heading appends "..."; NAME_Progress prints the text and "\r" only.
  void Serialize(const TCHAR* V, EName Event) override;
  // Yes at once unless GIsClient or GIsEditor is set and the command line
  // lacks "-auto"; otherwise asks "<question> (Y/N): " on standard input.
  UBOOL YesNof(const TCHAR* Fmt, ...) override;
  void BeginSlowTask(const TCHAR* Task, UBOOL StatusWindow) override;
  // REQUIRES: a slow task is open (else the failed check "SlowTaskCount>0").
  void EndSlowTask() override;
  UBOOL StatusUpdatef(INT Numerator, INT Denominator, const TCHAR* Fmt, ...) override;
  void SetContext(FContextSupplier* InSupplier) override { Context = InSupplier; }

  INT SlowTaskCount = 0;
  FContextSupplier* Context = nullptr;
  FOutputDevice* AuxOut = nullptr;
};

#endif  // PATCHER_ENGINE_OUTPUT_DEVICE_ANSI_H_
