// The file manager the patch tool installs as GFileManager, and the file
// archives it creates.
//
// Enciphered archive files start with the 10 ASCII bytes "TRXArchive"; the
// logical stream is what follows, and the byte at logical position p is
// stored combined by exclusive-or with FArchive::TransformKey[p % 1024]. All
// positions the archives report or accept are logical positions. A file
// without the marker is its own logical stream.
//
// Operations run over platform/ on every system; names go to the system as
// wide text when GUnicodeOS is set, else converted to the ANSI code page.
#ifndef PATCHER_ENGINE_FILE_MANAGER_WINDOWS_H_
#define PATCHER_ENGINE_FILE_MANAGER_WINDOWS_H_

#include <memory>

#include "patcher/engine/core.h"

namespace platform {
class File;
}

// The marker of enciphered archive files.
extern const ANSICHAR ENCRYPTED_ARCHIVE_MARKER[10];
enum { ENCRYPTED_HEADER_SIZE = 10 };

// Reads a file through a 1024-byte buffer that never crosses a 1024-byte
// boundary of the logical stream; reads of 1024 bytes or more that find the
// buffer used up go straight to the file.
class FArchiveFileReader : public FArchive {
 public:
  // REQUIRES: InHandle is open at offset 0 and InSize is its size; the name
  // has fewer than FILE_NAME_SIZE characters.
  FArchiveFileReader(std::unique_ptr<platform::File> InHandle, FOutputDevice* InError, INT InSize,
                     const TCHAR* InFilename);
  ~FArchiveFileReader() noexcept(false) override;

  // Engine allocations: the archive lives in a GMalloc block.
  static void* operator new(size_t Size, const TCHAR* Tag);
  static void operator delete(void* Ptr);
  static void operator delete(void* Ptr, const TCHAR* Tag) { operator delete(Ptr); }

  void Serialize(void* V, INT Length) override;
  INT GetPosition() override { return Pos; }
  INT TotalSize() override { return Size; }
  // Whether the file carries the marker.
  UBOOL IsEncrypted() override { return bEncrypted; }
  // REQUIRES: InPos >= 0 (the failed check "InPos>=0"). A position past the
  // end is a critical error on GError (NAME_FriendlyError).
  void Seek(INT InPos) override;
  // Refills the buffer from the position on.
  UBOOL Precache(INT HintCount) override;
  UBOOL Close() override;

  const TCHAR* GetFilename() const { return Filename; }
  INT GetHeaderOffset() const { return HeaderOffset; }

  enum { BUFFER_SIZE = 1024, FILE_NAME_SIZE = 520 };

 private:
  void Decipher(BYTE* Data, INT Count, INT LogicalPos);

  std::unique_ptr<platform::File> Handle;
  FOutputDevice* Error;
  INT Size;
  INT Pos = 0;
  INT BufferBase = 0;
  INT BufferCount = 0;
  BYTE Buffer[BUFFER_SIZE];
  UBOOL bEncrypted = 0;
  INT HeaderOffset = 0;
  TCHAR Filename[FILE_NAME_SIZE];
  QWORD BytesRead = 0;
  DOUBLE ReadTime = 0;
};

// Writes a file through a 4096-byte buffer.
class FArchiveFileWriter : public FArchive {
 public:
  // InPos is the position the file pointer stands at (the end when appending).
  FArchiveFileWriter(std::unique_ptr<platform::File> InHandle, FOutputDevice* InError, INT InPos);
  // Flushes and closes when still open; a failure is reported on the error
  // device, which may raise (GError while guarded).
  ~FArchiveFileWriter() noexcept(false) override;

  static void* operator new(size_t Size, const TCHAR* Tag);
  static void operator delete(void* Ptr);
  static void operator delete(void* Ptr, const TCHAR* Tag) { operator delete(Ptr); }

  void Serialize(void* V, INT Length) override;
  INT GetPosition() override { return Pos; }
  // Flushes, then moves to logical position InPos.
  void Seek(INT InPos) override;
  void Flush() override;
  UBOOL Close() override;
  UBOOL IsEncrypted() override { return bEncrypt; }
  // Writes the marker and enciphers everything after it.
  // REQUIRES: nothing has been written yet and the writer is not appending.
  void SetDoEncrypt() override;

  enum { BUFFER_SIZE = 4096 };

 private:
  std::unique_ptr<platform::File> Handle;
  FOutputDevice* Error;
  INT Pos;
  INT BufferCount = 0;
  BYTE Buffer[BUFFER_SIZE];
  UBOOL bEncrypt = 0;
};

// The general operations, written over the primitive ones.
class FFileManagerGeneric : public FFileManager {
 public:
  INT FileSize(const TCHAR* Filename) override;
  // Block copy in 32768-byte blocks, optionally to or from the ".uz2" form:
  // per block the compressed length (INT, at most 33096), the block length
  // (INT, at most 32768) and the zlib-compressed bytes. Returns an
  // ECopyResult.
  DWORD Copy(const TCHAR* Dest, const TCHAR* Src, UBOOL Replace = 1, UBOOL EvenIfReadOnly = 0,
             UBOOL Attributes = 0, DWORD Compress = FILECOPY_Normal, FCopyProgress* Progress = nullptr) override;
  // With Tree, every missing level; without, the last level only.
  UBOOL MakeDirectory(const TCHAR* Path, UBOOL Tree = 0) override;
  // With Tree, files and subdirectories first.
  UBOOL DeleteDirectory(const TCHAR* Path, UBOOL RequireExists = 0, UBOOL Tree = 0) override;
  UBOOL Move(const TCHAR* Dest, const TCHAR* Src, UBOOL Replace = 1, UBOOL EvenIfReadOnly = 0,
             UBOOL Attributes = 0) override;

  enum { COPY_BLOCK_SIZE = 32768, COPY_COMPRESSED_BOUND = 33096 };
};

class FFileManagerWindows : public FFileManagerGeneric {
 public:
  void Init(UBOOL Startup) override {}
  // Opens an existing file for reading (others may read too). Null on
  // failure, reported as "Failed to read file: %s" on GError with
  // FILEREAD_NoFail; also null for a name of FILE_NAME_SIZE characters or more
  // and for files of 2 GB or more.
  FArchive* CreateFileReader(const TCHAR* Filename, DWORD ReadFlags = 0, FOutputDevice* Error = GNull) override;
  // FILEWRITE_EvenIfReadOnly clears an existing file's attributes first;
  // FILEWRITE_Append opens or creates and writes at the end; else
  // FILEWRITE_NoReplaceExisting fails for an existing file; else the file is
  // created or truncated. FILEWRITE_AllowRead lets others read. Null on
  // failure, reported as "Failed to create file: %s" on GError with
  // FILEWRITE_NoFail.
  FArchive* CreateFileWriter(const TCHAR* Filename, DWORD WriteFlags = 0, FOutputDevice* Error = GNull) override;
  INT FileSize(const TCHAR* Filename) override;
  // A missing file counts as deleted unless RequireExists; failures log
  // "Error deleting file '%s' (0x%d)" on GLog (NAME_Warning).
  UBOOL Delete(const TCHAR* Filename, UBOOL RequireExists = 0, UBOOL EvenReadOnly = 0) override;
  UBOOL IsReadOnly(const TCHAR* Filename) override;
  // Deletes the destination first, then moves; failures log
  // "Error moving file '%s' to '%s' (%d)".
  UBOOL Move(const TCHAR* Dest, const TCHAR* Src, UBOOL Replace = 1, UBOOL EvenIfReadOnly = 0,
             UBOOL Attributes = 0) override;
  UBOOL MakeDirectory(const TCHAR* Path, UBOOL Tree = 0) override;
  UBOOL DeleteDirectory(const TCHAR* Path, UBOOL RequireExists = 0, UBOOL Tree = 0) override;
  // "*" and "?" match in the last path element, letters without case.
  TArray<FString> FindFiles(const TCHAR* Wildcard, UBOOL Files, UBOOL Directories) override;
  // Sets the process's current directory.
  UBOOL SetDefaultDirectory(const TCHAR* Filename) override;
  FString GetDefaultDirectory() override;
  INT CompareFileTimes(const TCHAR* FileA, const TCHAR* FileB) override;
  TArray<FString> GetDriveLetters() override;
  // "C:", "C:\" or a bare root.
  UBOOL IsDrive(const TCHAR* Path) override;
};

#endif  // PATCHER_ENGINE_FILE_MANAGER_WINDOWS_H_
