// The engine core library: what the patch tool needs of the game engine's
// core, in the engine's conventions.
//
// Archives (archive.h), names (name.h), arrays and strings (containers.h),
// the service interfaces (services.h) and the global slots (globals.h).
//
// Error handling
// --------------
// A program reports a critical error on the error device GError, usually
// through appErrorf(fmt, ...), a failed check(expr) (appFailAssert) or
// GError->Logf(NAME_FriendlyError, ...). The device (FOutputDeviceAnsiError in
// output_device_ansi.h) logs the message on GLog with NAME_Critical, starts
// the error history GErrorHist with the message and "\r\n\r\n", and then:
//  - while GIsGuarded is set, appends "History: " and throws the integer 1;
//  - otherwise runs its final error handling at once (HandleError: prints the
//    history and "\n\nExiting due to error\n" on standard output) and calls
//    appRequestExit(1), which ends the program.
// A second critical error while one is being handled (GIsCriticalError) only
// logs "Error reentered: <message>" and throws again when guarded.
//
// Guarded steps: a function body wrapped as
//
//   void FPackageData::LoadNames() {
//     guard(LoadNames);
//     ...
//     unguard;
//   }
//
// lets an engine error text (a thrown const TCHAR*, e.g.
// `throw LocalizeError(TEXT("Aborted"), TEXT("FPackageData"));`) pass
// unchanged, while anything else (the critical-error integer, a narrow
// const char* text, any other exception) appends the label to GErrorHist
// (appUnwindf: the first label directly, later ones after " <- ") and is
// thrown on. A history therefore reads, innermost step first:
//
//   Bad name index 7/3.  ...\r\n\r\nHistory: LoadNames <- LoadSummary
//
// The program's entry catches `const TCHAR*` (engine text), `const char*`
// (narrow text) and `...` (critical errors); after the last it clears
// GIsGuarded and calls GError->HandleError() to print the history.
//
// Archives that the file manager creates report their read, seek and write
// failures on the device given at creation: GError makes them critical
// errors; GNull only sets the archive's error flag (GetError()).
#ifndef PATCHER_ENGINE_CORE_H_
#define PATCHER_ENGINE_CORE_H_

#include "patcher/engine/archive.h"
#include "patcher/engine/containers.h"
#include "patcher/engine/core_types.h"
#include "patcher/engine/globals.h"
#include "patcher/engine/name.h"
#include "patcher/engine/services.h"

#endif  // PATCHER_ENGINE_CORE_H_
