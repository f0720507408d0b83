// The services a program installs into the engine core library's global slots
// (globals.h): output devices, the error device, the feedback context, the
// allocator and the file manager. The interfaces live here; the tool's
// implementations are in file_manager_windows.h, malloc_ansi.h and
// output_device_ansi.h.
#ifndef PATCHER_ENGINE_SERVICES_H_
#define PATCHER_ENGINE_SERVICES_H_

#include "patcher/engine/archive.h"
#include "patcher/engine/containers.h"
#include "patcher/engine/core_types.h"
#include "patcher/engine/globals.h"

// Receives log lines, each with an event code.
class FOutputDevice {
 public:
  virtual ~FOutputDevice() noexcept(false) {}
  virtual void Serialize(const TCHAR* V, EName Event) = 0;
  virtual void Flush() {}

  void Log(EName Event, const TCHAR* Str) { Serialize(Str, Event); }
  void Log(const TCHAR* Str) { Serialize(Str, NAME_Log); }
  void Log(const FString& S) { Serialize(*S, NAME_Log); }
  void Logf(EName Event, const TCHAR* Fmt, ...);
  void Logf(const TCHAR* Fmt, ...);  // event NAME_Log
};

// Drops everything (GNull).
class FOutputDeviceNull : public FOutputDevice {
 public:
  void Serialize(const TCHAR* V, EName Event) override {}
};

// The device of critical errors (GError). Serialize records the error and
// does not return normally while the run is guarded (see core.h).
class FOutputDeviceError : public FOutputDevice {
 public:
  // The final error handling: prints what was recorded.
  virtual void HandleError() = 0;
};

// Supplies a text that the feedback context puts before warnings and errors.
class FContextSupplier {
 public:
  virtual ~FContextSupplier() {}
  virtual FString GetContext() = 0;
};

// Warnings, questions and progress for the user (GWarn).
class FFeedbackContext : public FOutputDevice {
 public:
  virtual UBOOL YesNof(const TCHAR* Fmt, ...) = 0;
  virtual void BeginSlowTask(const TCHAR* Task, UBOOL StatusWindow) = 0;
  virtual void EndSlowTask() = 0;
  virtual UBOOL StatusUpdatef(INT Numerator, INT Denominator, const TCHAR* Fmt, ...) = 0;
  virtual void SetContext(FContextSupplier* InSupplier) = 0;

  INT WarningCount = 0;
  INT ErrorCount = 0;
};

// The allocator (GMalloc).
class FMalloc {
 public:
  virtual ~FMalloc() {}
  virtual void* Malloc(DWORD Count, const TCHAR* Tag) = 0;
  virtual void* Realloc(void* Original, DWORD Count, const TCHAR* Tag) = 0;
  virtual void Free(void* Original) = 0;
  virtual void DumpAllocs() = 0;
  virtual void HeapCheck() = 0;
  virtual void Init() = 0;
  virtual void Exit() = 0;
};

// Flags of FFileManager::CreateFileReader.
enum EFileRead {
  FILEREAD_NoFail = 0x01,  // report a failure to open on GError
};

// Flags of FFileManager::CreateFileWriter.
enum EFileWrite {
  FILEWRITE_NoFail = 0x01,               // report a failure to create on GError
  FILEWRITE_NoReplaceExisting = 0x02,    // fail when the file exists
  FILEWRITE_EvenIfReadOnly = 0x04,       // clear the attributes of an existing file first
  FILEWRITE_Unbuffered = 0x08,
  FILEWRITE_Append = 0x10,               // keep the contents, write at the end
  FILEWRITE_AllowRead = 0x20,            // others may read meanwhile
};

// Modes of FFileManager::Copy.
enum EFileCopy {
  FILECOPY_Normal = 0,
  FILECOPY_Compress = 1,    // the destination gets ".uz2" appended and is compressed
  FILECOPY_Decompress = 2,  // the source gets ".uz2" appended and is decompressed
};

// Results of FFileManager::Copy.
enum ECopyResult {
  COPY_OK = 0,
  COPY_MiscFail = 1,
  COPY_ReadFail = 2,      // read error, or the source was not found
  COPY_WriteFail = 3,     // write error, or the destination could not be created
  COPY_CompFail = 4,      // compression failed
  COPY_DecompFail = 5,    // bad block format or decompression failed
  COPY_Canceled = 6,      // the progress callback answered false
};

// Progress of a copy: Poll gets the fraction done (0.0 to 1.0) and answers
// false to cancel.
class FCopyProgress {
 public:
  virtual ~FCopyProgress() {}
  virtual UBOOL Poll(FLOAT Fraction) = 0;
};

// File operations (GFileManager). Names are engine text.
class FFileManager {
 public:
  virtual ~FFileManager() {}
  virtual void Init(UBOOL Startup) {}
  // Null when the file cannot be opened (reported on GError with
  // FILEREAD_NoFail). The archive reports its own errors on Error.
  virtual FArchive* CreateFileReader(const TCHAR* Filename, DWORD ReadFlags = 0, FOutputDevice* Error = GNull) = 0;
  virtual FArchive* CreateFileWriter(const TCHAR* Filename, DWORD WriteFlags = 0, FOutputDevice* Error = GNull) = 0;
  // Size of an existing file, or -1.
  virtual INT FileSize(const TCHAR* Filename) = 0;
  virtual UBOOL Delete(const TCHAR* Filename, UBOOL RequireExists = 0, UBOOL EvenReadOnly = 0) = 0;
  virtual UBOOL IsReadOnly(const TCHAR* Filename) = 0;
  // Returns an ECopyResult.
  virtual DWORD Copy(const TCHAR* Dest, const TCHAR* Src, UBOOL Replace = 1, UBOOL EvenIfReadOnly = 0,
                     UBOOL Attributes = 0, DWORD Compress = FILECOPY_Normal, FCopyProgress* Progress = nullptr) = 0;
  virtual UBOOL Move(const TCHAR* Dest, const TCHAR* Src, UBOOL Replace = 1, UBOOL EvenIfReadOnly = 0,
                     UBOOL Attributes = 0) = 0;
  virtual UBOOL MakeDirectory(const TCHAR* Path, UBOOL Tree = 0) = 0;
  virtual UBOOL DeleteDirectory(const TCHAR* Path, UBOOL RequireExists = 0, UBOOL Tree = 0) = 0;
  // Names (without directory) matching a wildcard path such as "dir/*.u".
  virtual TArray<FString> FindFiles(const TCHAR* Wildcard, UBOOL Files, UBOOL Directories) = 0;
  virtual UBOOL SetDefaultDirectory(const TCHAR* Filename) = 0;
  virtual FString GetDefaultDirectory() = 0;
  // Modification time of A minus that of B, in seconds; 0 when either is missing.
  virtual INT CompareFileTimes(const TCHAR* FileA, const TCHAR* FileB) = 0;
  virtual TArray<FString> GetDriveLetters() = 0;
  virtual UBOOL IsDrive(const TCHAR* Path) = 0;
};

// The engine's object system; the patch tool has no objects to shut down.
class UObject {
 public:
  static void StaticShutdownAfterError() {}
};

#endif  // PATCHER_ENGINE_SERVICES_H_
