// The file manager and its file archives (the reader, the writer and the
// enciphered-archive format they share).
#include "patcher/engine/file_manager_windows.h"

#include <string>
#include <utility>
#include <vector>

#include "platform/file.h"
#include "platform/process.h"
#include "platform/wide_text.h"

const ANSICHAR ENCRYPTED_ARCHIVE_MARKER[10] = {'T', 'R', 'X', 'A', 'r', 'c', 'h', 'i', 'v', 'e'};

namespace {

// Durations of 100 seconds or more are not counted (a suspended machine).
void AddTime(DOUBLE& Counter, DOUBLE Seconds) {
  if (Seconds >= 0 && Seconds < 100) Counter += Seconds;
}

// Adds the lifetime of the object to GFileManagerMiscTime.
class FMiscTimer {
 public:
  FMiscTimer() : Start(appSeconds()) {}
  ~FMiscTimer() { AddTime(GFileManagerMiscTime, appSeconds() - Start); }

 private:
  DOUBLE Start;
};

// The name as the system gets it: wide under GUnicodeOS, else ANSI.
platform::FileName ByName(const TCHAR* Name) {
  if (GUnicodeOS) return platform::FileName(std::wstring(Name));
  return platform::FileName(appToAnsi(Name));
}

bool ListByName(const TCHAR* Dir, std::vector<platform::WideDirEntry>* Out) {
  if (GUnicodeOS) return platform::ListDirectory(ByName(Dir), Out);
  std::vector<platform::DirEntry> Entries;
  if (!platform::ListDirectory(ByName(Dir), &Entries)) return false;
  Out->clear();
  for (const platform::DirEntry& E : Entries)
    if (E.name != "." && E.name != "..") Out->push_back({appFromAnsi(E.name.c_str()), E.is_directory});
  return true;
}

// Wildcard match of "*" and "?", letters without case.
bool WildcardMatch(const TCHAR* Pattern, const TCHAR* Text) {
  if (!*Pattern) return !*Text;
  if (*Pattern == '*') {
    for (const TCHAR* t = Text;; ++t) {
      if (WildcardMatch(Pattern + 1, t)) return true;
      if (!*t) return false;
    }
  }
  if (!*Text) return false;
  if (*Pattern == '?' || appToUpper(*Pattern) == appToUpper(*Text)) return WildcardMatch(Pattern + 1, Text + 1);
  return false;
}

bool IsSeparator(TCHAR C) { return C == '/' || C == '\\'; }

}  // namespace

// ---------------------------------------------------------------------------
// FArchiveFileReader

void* FArchiveFileReader::operator new(size_t Size, const TCHAR* Tag) {
  return GMalloc->Malloc(static_cast<DWORD>(Size), Tag);
}
void FArchiveFileReader::operator delete(void* Ptr) { GMalloc->Free(Ptr); }

FArchiveFileReader::FArchiveFileReader(std::unique_ptr<platform::File> InHandle, FOutputDevice* InError,
                                       INT InSize, const TCHAR* InFilename)
    : Handle(std::move(InHandle)), Error(InError ? InError : GNull), Size(InSize) {
  guard(FArchiveFileReader::FArchiveFileReader);
  ArIsLoading = 1;
  appStrncpy(Filename, InFilename ? InFilename : TEXT(""), FILE_NAME_SIZE);
  BYTE Header[ENCRYPTED_HEADER_SIZE];
  size_t Got = 0;
  const bool Marked = Size >= ENCRYPTED_HEADER_SIZE &&
                      Handle->Read(Header, ENCRYPTED_HEADER_SIZE, &Got) == platform::Status::kOk &&
                      Got == ENCRYPTED_HEADER_SIZE &&
                      appMemcmp(Header, ENCRYPTED_ARCHIVE_MARKER, ENCRYPTED_HEADER_SIZE) == 0;
  if (Marked) {
    Size -= ENCRYPTED_HEADER_SIZE;
    HeaderOffset = ENCRYPTED_HEADER_SIZE;
    bEncrypted = 1;
  } else {
    HeaderOffset = 0;
    bEncrypted = 0;
    Handle->SeekTo(0);
    // A game client reads marked files only.
    if (GIsClient && !GIsEditor) ArIsError = 1;
  }
  unguard;
}

FArchiveFileReader::~FArchiveFileReader() noexcept(false) {
  guard(FArchiveFileReader::~FArchiveFileReader);
  if (Handle) Close();
  unguard;
}

void FArchiveFileReader::Decipher(BYTE* Data, INT Count, INT LogicalPos) {
  if (!bEncrypted) return;
  for (INT i = 0; i < Count; ++i) Data[i] ^= FArchive::TransformKey[(LogicalPos + i) & 1023];
}

UBOOL FArchiveFileReader::Precache(INT HintCount) {
  guard(FArchiveFileReader::Precache);
  BufferBase = Pos;
  BufferCount = Max(Min(BUFFER_SIZE - (Pos & (BUFFER_SIZE - 1)), Size - Pos), 0);
  size_t Got = 0;
  const DOUBLE Start = appSeconds();
  if (BufferCount > 0) Handle->Read(Buffer, static_cast<size_t>(BufferCount), &Got);
  INT Count = static_cast<INT>(Got);
  AddTime(GFileManagerLoadingTime, appSeconds() - Start);
  AddTime(ReadTime, appSeconds() - Start);
  GFileManagerBytesRead += Count;
  BytesRead += Count;
  if (Count != BufferCount) {
    ArIsError = 1;
    const INT Wanted = BufferCount;
    BufferCount = Max(Count, 0);
    Error->Logf(TEXT("ReadFile failed: Count=%i BufferCount=%i Error=%s"), Count, Wanted,
                appGetSystemErrorMessage());
  }
  Decipher(Buffer, BufferCount, BufferBase);
  unguard;
  return !ArIsError;
}

void FArchiveFileReader::Seek(INT InPos) {
  guard(FArchiveFileReader::Seek);
  check(InPos>=0);
  if (InPos > Size) {
    GError->Logf(NAME_FriendlyError,
                 TEXT("InPos>Size in FFileManagerWindows.  This error is probably due to either your computer "
                      "overheating, or a corrupted installation of your game.  If this error persists, please "
                      "try re-installing the game."));
  }
  const DOUBLE Start = appSeconds();
  if (Handle->SeekTo(static_cast<int64_t>(InPos) + HeaderOffset) != platform::Status::kOk) {
    ArIsError = 1;
    Error->Logf(TEXT("SetFilePointer Failed %i/%i: %i %s"), InPos, Size, Pos, appGetSystemErrorMessage());
  }
  AddTime(GFileManagerSeekTime, appSeconds() - Start);
  Pos = InPos;
  BufferBase = Pos;
  BufferCount = 0;
  unguard;
}

void FArchiveFileReader::Serialize(void* V, INT Length) {
  guard(FArchiveFileReader::Serialize);
  BYTE* Dest = static_cast<BYTE*>(V);
  while (Length > 0) {
    INT Copy = Min(Length, BufferBase + BufferCount - Pos);
    if (Copy <= 0) {
      if (Length >= BUFFER_SIZE) {
        // Large reads go straight to the destination.
        size_t Got = 0;
        const DOUBLE Start = appSeconds();
        Handle->Read(Dest, static_cast<size_t>(Length), &Got);
        INT Count = static_cast<INT>(Got);
        AddTime(GFileManagerLoadingTime, appSeconds() - Start);
        AddTime(ReadTime, appSeconds() - Start);
        Count = Max(Count, 0);
        GFileManagerBytesRead += Count;
        BytesRead += Count;
        Decipher(Dest, Count, Pos);
        Pos += Count;
        BufferBase = Pos;
        BufferCount = 0;
        if (Count != Length) {
          appMemzero(Dest + Count, Length - Count);
          ArIsError = 1;
          Error->Logf(TEXT("ReadFile failed: Count=%i Length=%i Error=%s"), Count, Length,
                      appGetSystemErrorMessage());
        }
        return;
      }
      Precache(MAXINT);
      Copy = Min(Length, BufferBase + BufferCount - Pos);
      if (Copy <= 0) {
        ArIsError = 1;
        Error->Logf(TEXT("ReadFile beyond EOF %i+%i/%i"), Pos, Length, Size);
      }
      if (ArIsError) {
        appMemzero(Dest, Length);
        return;
      }
    }
    // Pos is a file offset: the index into the buffer is its distance from
    // BufferBase (Buffer + Pos would point far past the buffer).
    appMemcpy(Dest, Buffer + (Pos - BufferBase), Copy);
    Pos += Copy;
    Length -= Copy;
    Dest += Copy;
  }
  unguard;
}

UBOOL FArchiveFileReader::Close() {
  guard(FArchiveFileReader::Close);
  if (Handle) Handle->Close();
  Handle.reset();
  unguard;
  return !ArIsError;
}

// ---------------------------------------------------------------------------
// FArchiveFileWriter

void* FArchiveFileWriter::operator new(size_t Size, const TCHAR* Tag) {
  return GMalloc->Malloc(static_cast<DWORD>(Size), Tag);
}
void FArchiveFileWriter::operator delete(void* Ptr) { GMalloc->Free(Ptr); }

FArchiveFileWriter::FArchiveFileWriter(std::unique_ptr<platform::File> InHandle, FOutputDevice* InError,
                                       INT InPos)
    : Handle(std::move(InHandle)), Error(InError ? InError : GNull), Pos(InPos) {
  ArIsSaving = 1;
}

FArchiveFileWriter::~FArchiveFileWriter() noexcept(false) {
  guard(FArchiveFileWriter::~FArchiveFileWriter);
  if (Handle) Close();
  unguard;
}

void FArchiveFileWriter::Serialize(void* V, INT Length) {
  guard(FArchiveFileWriter::Serialize);
  if (Length <= 0) return;
  // Positions are 32-bit: a file that would grow past them is refused before
  // a byte of it is written, rather than continued at a wrapped offset.
  check(static_cast<int64_t>(Pos) + Length <= MAXINT);
  const BYTE* Src = static_cast<const BYTE*>(V);
  INT Logical = Pos;
  Pos += Length;
  auto Put = [&](INT Count) {
    appMemcpy(Buffer + BufferCount, Src, Count);
    if (bEncrypt)
      for (INT i = 0; i < Count; ++i) Buffer[BufferCount + i] ^= FArchive::TransformKey[(Logical + i) & 1023];
    BufferCount += Count;
    Logical += Count;
    Src += Count;
    Length -= Count;
  };
  INT Free;
  while (Length > (Free = BUFFER_SIZE - BufferCount)) {
    if (BufferCount == 0 && !bEncrypt) {
      // Whole buffers of plain data go to the file directly: the bytes are
      // the same, without a copy and a system call per 4096 bytes.
      const INT Direct = Length - Length % BUFFER_SIZE;
      if (!Handle || Handle->Write(Src, static_cast<size_t>(Direct)) != platform::Status::kOk) {
        ArIsError = 1;
        Error->Log(LocalizeError(TEXT("WriteFailed"), TEXT("Core")));
      }
      Src += Direct;
      Logical += Direct;
      Length -= Direct;
      continue;
    }
    Put(Free);
    Flush();
  }
  if (Length) Put(Length);
  unguard;
}

void FArchiveFileWriter::Flush() {
  guard(FArchiveFileWriter::Flush);
  if (BufferCount) {
    const bool Ok = Handle && Handle->Write(Buffer, static_cast<size_t>(BufferCount)) == platform::Status::kOk;
    BufferCount = 0;
    if (!Ok) {
      ArIsError = 1;
      Error->Log(LocalizeError(TEXT("WriteFailed"), TEXT("Core")));
    }
  }
  unguard;
}

void FArchiveFileWriter::Seek(INT InPos) {
  guard(FArchiveFileWriter::Seek);
  Flush();
  const int64_t Offset = static_cast<int64_t>(InPos) + (bEncrypt ? ENCRYPTED_HEADER_SIZE : 0);
  if (!Handle || InPos < 0 || Handle->SeekTo(Offset) != platform::Status::kOk) {
    ArIsError = 1;
    Error->Log(LocalizeError(TEXT("SeekFailed"), TEXT("Core")));
  }
  Pos = InPos;
  unguard;
}

UBOOL FArchiveFileWriter::Close() {
  guard(FArchiveFileWriter::Close);
  Flush();
  if (Handle && Handle->Close() != platform::Status::kOk) {
    ArIsError = 1;
    Error->Log(LocalizeError(TEXT("WriteFailed"), TEXT("Core")));
  }
  Handle.reset();
  unguard;
  return !ArIsError;
}

void FArchiveFileWriter::SetDoEncrypt() {
  guard(FArchiveFileWriter::SetDoEncrypt);
  // Enciphering bytes already written, or an appended tail, would leave a
  // file that deciphers to garbage.
  check(Pos==0 && BufferCount==0);
  bEncrypt = 1;
  if (!Handle || Handle->Write(ENCRYPTED_ARCHIVE_MARKER, ENCRYPTED_HEADER_SIZE) != platform::Status::kOk) {
    ArIsError = 1;
    Error->Log(LocalizeError(TEXT("WriteFailed"), TEXT("Core")));
  }
  unguard;
}

// ---------------------------------------------------------------------------
// FFileManagerWindows

FArchive* FFileManagerWindows::CreateFileReader(const TCHAR* Filename, DWORD ReadFlags, FOutputDevice* Error) {
  guard(FFileManagerWindows::CreateFileReader);
  FMiscTimer Timer;
  std::unique_ptr<platform::File> Handle;
  int64_t FileBytes = -1;
  // A name that does not fit the reader's field is refused rather than cut.
  if (appStrlen(Filename) < FArchiveFileReader::FILE_NAME_SIZE) {
    platform::FileOpenOptions Options;
    Options.disposition = platform::FileDisposition::kReadExisting;
    Options.share_read = true;
    Handle = platform::OpenFile(ByName(Filename), Options);
    if (Handle && Handle->Size(&FileBytes) != platform::Status::kOk) FileBytes = -1;
  }
  if (!Handle || FileBytes < 0 || FileBytes > MAXINT) {
    if (ReadFlags & FILEREAD_NoFail) appErrorf(TEXT("Failed to read file: %s"), Filename);
    return nullptr;
  }
  return new (TEXT("WindowsFileReader"))
      FArchiveFileReader(std::move(Handle), Error, static_cast<INT>(FileBytes), Filename);
  unguard;
}

FArchive* FFileManagerWindows::CreateFileWriter(const TCHAR* Filename, DWORD WriteFlags, FOutputDevice* Error) {
  guard(FFileManagerWindows::CreateFileWriter);
  FMiscTimer Timer;
  if ((WriteFlags & FILEWRITE_EvenIfReadOnly) && platform::Exists(ByName(Filename)))
    platform::SetReadOnly(ByName(Filename), false);
  platform::FileOpenOptions Options;
  if (WriteFlags & FILEWRITE_Append)
    Options.disposition = platform::FileDisposition::kOpenAlways;
  else if (WriteFlags & FILEWRITE_NoReplaceExisting)
    Options.disposition = platform::FileDisposition::kCreateNew;
  else
    Options.disposition = platform::FileDisposition::kCreateAlways;
  Options.share_read = (WriteFlags & FILEWRITE_AllowRead) != 0;
  std::unique_ptr<platform::File> Handle = platform::OpenFile(ByName(Filename), Options);
  INT Pos = 0;
  if (Handle && (WriteFlags & FILEWRITE_Append)) {
    int64_t End = -1;
    if (Handle->SeekToEnd(&End) != platform::Status::kOk || End < 0 || End > MAXINT) Handle.reset();
    else Pos = static_cast<INT>(End);
  }
  if (!Handle) {
    if (WriteFlags & FILEWRITE_NoFail) appErrorf(TEXT("Failed to create file: %s"), Filename);
    return nullptr;
  }
  return new (TEXT("WindowsFileWriter")) FArchiveFileWriter(std::move(Handle), Error, Pos);
  unguard;
}

INT FFileManagerWindows::FileSize(const TCHAR* Filename) {
  guard(FFileManagerWindows::FileSize);
  FMiscTimer Timer;
  int64_t Bytes = platform::FileSize(ByName(Filename));
  return (Bytes < 0 || Bytes > MAXINT) ? -1 : static_cast<INT>(Bytes);
  unguard;
}

UBOOL FFileManagerWindows::Delete(const TCHAR* Filename, UBOOL RequireExists, UBOOL EvenReadOnly) {
  guard(FFileManagerWindows::Delete);
  FMiscTimer Timer;
  const bool Exists = platform::Exists(ByName(Filename));
  if (!Exists && !RequireExists) return 1;
  if (EvenReadOnly && Exists) platform::SetReadOnly(ByName(Filename), false);
  platform::ClearLastError();
  if (Exists && platform::RemoveFile(ByName(Filename))) return 1;
  GLog->Logf(NAME_Warning, TEXT("Error deleting file '%s' (0x%d)"), Filename, static_cast<INT>(platform::LastError()));
  return 0;
  unguard;
}

UBOOL FFileManagerWindows::IsReadOnly(const TCHAR* Filename) {
  guard(FFileManagerWindows::IsReadOnly);
  FMiscTimer Timer;
  if (!platform::Exists(ByName(Filename))) return 0;
  const int State = platform::ReadOnlyState(ByName(Filename));
  if (State < 0) {
    GLog->Logf(NAME_Warning, TEXT("Error reading attributes for '%s'"), Filename);
    return 0;
  }
  return State == 1;
  unguard;
}

UBOOL FFileManagerWindows::Move(const TCHAR* Dest, const TCHAR* Src, UBOOL Replace, UBOOL EvenIfReadOnly,
                                UBOOL Attributes) {
  guard(FFileManagerWindows::Move);
  FMiscTimer Timer;
  Delete(Dest, 0, EvenIfReadOnly);
  platform::ClearLastError();
  if (platform::RenameFile(ByName(Src), ByName(Dest))) return 1;
  GLog->Logf(NAME_Warning, TEXT("Error moving file '%s' to '%s' (%d)"), Src, Dest,
             static_cast<INT>(platform::LastError()));
  return 0;
  unguard;
}

UBOOL FFileManagerWindows::MakeDirectory(const TCHAR* Path, UBOOL Tree) {
  guard(FFileManagerWindows::MakeDirectory);
  FMiscTimer Timer;
  if (Tree) return FFileManagerGeneric::MakeDirectory(Path, Tree);
  return platform::MakeDirectory(ByName(Path)) || platform::IsDirectory(ByName(Path));
  unguard;
}

UBOOL FFileManagerWindows::DeleteDirectory(const TCHAR* Path, UBOOL RequireExists, UBOOL Tree) {
  guard(FFileManagerWindows::DeleteDirectory);
  FMiscTimer Timer;
  if (Tree) return FFileManagerGeneric::DeleteDirectory(Path, RequireExists, Tree);
  if (!platform::Exists(ByName(Path))) return !RequireExists;
  return platform::RemoveEmptyDirectory(ByName(Path));
  unguard;
}

TArray<FString> FFileManagerWindows::FindFiles(const TCHAR* Wildcard, UBOOL Files, UBOOL Directories) {
  guard(FFileManagerWindows::FindFiles);
  FMiscTimer Timer;
  TArray<FString> Result;
  std::wstring All = Wildcard;
  size_t Cut = All.find_last_of(L"/\\");
  std::wstring Dir = Cut == std::wstring::npos ? std::wstring(L".") : All.substr(0, Cut + 1);
  std::wstring Pattern = Cut == std::wstring::npos ? All : All.substr(Cut + 1);
  std::vector<platform::WideDirEntry> Entries;
  if (!ListByName(Dir.c_str(), &Entries)) return Result;
  for (const platform::WideDirEntry& E : Entries) {
    if (E.is_directory ? !Directories : !Files) continue;
    if (WildcardMatch(Pattern.c_str(), E.name.c_str())) Result.AddItem(FString(E.name));
  }
  return Result;
  unguard;
}

UBOOL FFileManagerWindows::SetDefaultDirectory(const TCHAR* Filename) {
  guard(FFileManagerWindows::SetDefaultDirectory);
  FMiscTimer Timer;
  return platform::ChangeWorkingDirectory(ByName(Filename));
  unguard;
}

FString FFileManagerWindows::GetDefaultDirectory() {
  guard(FFileManagerWindows::GetDefaultDirectory);
  FMiscTimer Timer;
  return GUnicodeOS ? FString(platform::WideWorkingDirectory())
                    : FString(appFromAnsi(platform::WorkingDirectory().c_str()));
  unguard;
}

INT FFileManagerWindows::CompareFileTimes(const TCHAR* FileA, const TCHAR* FileB) {
  guard(FFileManagerWindows::CompareFileTimes);
  FMiscTimer Timer;
  int64_t A = platform::ModifiedTime(ByName(FileA)), B = platform::ModifiedTime(ByName(FileB));
  if (A < 0 || B < 0) return 0;
  return static_cast<INT>(Clamp<int64_t>(A - B, -MAXINT, MAXINT));
  unguard;
}

TArray<FString> FFileManagerWindows::GetDriveLetters() {
  guard(FFileManagerWindows::GetDriveLetters);
  TArray<FString> Result;
  for (const std::wstring& Root : platform::DriveRoots()) Result.AddItem(FString(Root));
  return Result;
  unguard;
}

UBOOL FFileManagerWindows::IsDrive(const TCHAR* Path) {
  guard(FFileManagerWindows::IsDrive);
  const INT Len = appStrlen(Path);
  if (Len == 1 && IsSeparator(Path[0])) return 1;
  const bool Letter = Len >= 2 && ((Path[0] >= 'A' && Path[0] <= 'Z') || (Path[0] >= 'a' && Path[0] <= 'z')) &&
                      Path[1] == ':';
  return Letter && (Len == 2 || (Len == 3 && IsSeparator(Path[2])));
  unguard;
}
