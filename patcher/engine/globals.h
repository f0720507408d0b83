// The engine core library's global service slots and state flags.
#ifndef PATCHER_ENGINE_GLOBALS_H_
#define PATCHER_ENGINE_GLOBALS_H_

#include "patcher/engine/core_types.h"

class FFileManager;
class FFeedbackContext;
class FMalloc;
class FOutputDevice;
class FOutputDeviceError;

// Slots a program fills with its services. Until it does, GMalloc is the
// runtime heap, GLog the library's log, GNull a device that drops
// everything, and GError and GWarn the console devices of this library;
// GFileManager is null.
extern FFileManager* GFileManager;
extern FOutputDeviceError* GError;
extern FFeedbackContext* GWarn;
extern FMalloc* GMalloc;
// The library's own log. It passes every line on to GLogHook when set.
extern FOutputDevice* GLog;
extern FOutputDevice* GNull;
extern FOutputDevice* GLogHook;

// CRC-32 table, filled by the program.
extern DWORD GCRCTable[256];

extern UBOOL GIsGuarded;        // critical errors unwind (throw) instead of ending the program
extern UBOOL GIsStarted;
extern UBOOL GIsCriticalError;  // a critical error is being handled
extern UBOOL GIsRunning;
extern UBOOL GIsRequestingExit;
extern UBOOL GIsClient;
extern UBOOL GIsEditor;
extern UBOOL GIsSlowTask;
extern UBOOL GUnicodeOS;        // file names go to the system as wide text (else ANSI)

enum { ERROR_HISTORY_SIZE = 4096 };
// The critical error's message followed by the labels of the guarded steps it
// unwound through.
extern TCHAR GErrorHist[ERROR_HISTORY_SIZE];

// File-manager counters: seconds spent and bytes read.
extern DOUBLE GFileManagerLoadingTime;
extern DOUBLE GFileManagerSeekTime;
extern DOUBLE GFileManagerMiscTime;
extern QWORD GFileManagerBytesRead;

// Called by appRequestExit(1) instead of ending the process when set (tests).
extern void (*GForcedExitHook)(INT ExitCode);

// Clears GErrorHist, GIsCriticalError and the unwind label count, so that a
// later critical error starts a fresh history (tests, and programs that
// recover).
void appResetErrorState();

// Starts GErrorHist with a critical error's message and "\r\n\r\n" (used by
// the error device).
void appBeginErrorHistory(const TCHAR* Message);

#endif  // PATCHER_ENGINE_GLOBALS_H_
