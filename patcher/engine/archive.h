// Archives: the engine's byte streams, and the serialisers of the values and
// records that package files hold.
//
// An FArchive either loads (IsLoading) or saves (IsSaving); each serialiser
// works in both directions through the same operator<<. Numbers are
// little-endian in every file, whatever the host.
//
// A derived archive sets its direction and mode flags in its constructor:
//
//   ArIsLoading = 1;
//   ArIsPersistent = ArForClient = ArForServer = 1;
//   ArForEdit = GIsEditor;
//
// and, when it overrides operator<< for FName (package archives translate
// names to and from name-table positions), adds `using FArchive::operator<<;`
// so that the other member operator stays visible.
#ifndef PATCHER_ENGINE_ARCHIVE_H_
#define PATCHER_ENGINE_ARCHIVE_H_

#include "patcher/engine/containers.h"
#include "patcher/engine/core_types.h"
#include "patcher/engine/name.h"

class FName;
class UObject;
class FLazyLoader;

// The package file version this library writes by default.
enum { PACKAGE_FILE_VERSION = 128, PACKAGE_FILE_VERSION_LICENSEE = 0 };

class FArchive {
 public:
  FArchive() = default;
  // May raise: a file writer flushes on destruction (see FArchiveFileWriter).
  virtual ~FArchive() noexcept(false) {}

  // The virtual operations, in this order.
  virtual void Serialize(void* V, INT Length) {}
  virtual void SerializeBits(void* V, INT LengthBits);
  virtual void SerializeInt(DWORD& Value, DWORD Max);
  virtual void Preload(UObject* Object) {}
  virtual void CountBytes(size_t InNum, size_t InMax) {}
  virtual FArchive& operator<<(UObject*& Res) { return *this; }
  virtual FArchive& operator<<(FName& Name) { return *this; }
  virtual INT MapName(FName* Name) { return 0; }
  virtual INT MapObject(UObject* Object) { return 0; }
  virtual INT GetPosition() { return INDEX_NONE; }
  virtual INT TotalSize() { return INDEX_NONE; }
  virtual UBOOL IsEncrypted() { return 0; }
  virtual void SetDoEncrypt() {}
  virtual UBOOL AtEnd();
  virtual UBOOL AtStopper() { return 0; }
  virtual void SetStopper(INT InStopper) {}
  virtual void Seek(INT InPos) {}
  virtual void AttachLazyLoader(FLazyLoader* LazyLoader) {}
  virtual void DetachLazyLoader(FLazyLoader* LazyLoader) {}
  virtual UBOOL Precache(INT HintCount) { return 1; }
  virtual void Flush() {}
  virtual UBOOL Close() { return !ArIsError; }
  virtual UBOOL GetError() { return ArIsError; }

  // Serialises a value of Size bytes held in host order, as little-endian.
  void ByteOrderSerialize(void* V, INT Size);

  INT Ver() const { return ArVer; }
  INT LicenseeVer() const { return ArLicenseeVer; }
  void SetVer(INT InVer) { ArVer = InVer; }
  void SetLicenseeVer(INT InVer) { ArLicenseeVer = InVer; }
  UBOOL IsLoading() const { return ArIsLoading; }
  UBOOL IsSaving() const { return ArIsSaving; }
  UBOOL IsError() const { return ArIsError; }
  UBOOL IsPersistent() const { return ArIsPersistent; }
  UBOOL ForEdit() const { return ArForEdit; }
  UBOOL ForClient() const { return ArForClient; }
  UBOOL ForServer() const { return ArForServer; }

  // The cipher of enciphered archive files: the byte at logical position p
  // is combined by exclusive-or with TransformKey[p % 1024].
  static BYTE TransformKey[1024];

 protected:
  INT ArVer = PACKAGE_FILE_VERSION;
  INT ArLicenseeVer = PACKAGE_FILE_VERSION_LICENSEE;
  UBOOL ArIsLoading = 0;
  UBOOL ArIsSaving = 0;
  UBOOL ArIsError = 0;
  // The four mode flags.
  UBOOL ArIsPersistent = 0;
  UBOOL ArForEdit = 0;
  UBOOL ArForClient = 0;
  UBOOL ArForServer = 0;
};

// A signed 32-bit value stored in 1 to 5 bytes. The first byte holds the sign
// (bit 7), "more follows" (bit 6) and the lowest 6 bits of the magnitude; the
// second to fourth bytes "more follows" (bit 7) and the next 7 bits each; a
// fifth byte the remaining high bits whole. Always written in the shortest
// form.
struct FCompactIndex {
  INT Value;
};
// Serialises an INT lvalue as a compact index.
#define AR_INDEX(intref) (*reinterpret_cast<FCompactIndex*>(&(intref)))

FArchive& operator<<(FArchive& Ar, BYTE& V);
FArchive& operator<<(FArchive& Ar, SBYTE& V);
FArchive& operator<<(FArchive& Ar, _WORD& V);
FArchive& operator<<(FArchive& Ar, SWORD& V);
FArchive& operator<<(FArchive& Ar, DWORD& V);
FArchive& operator<<(FArchive& Ar, INT& V);
FArchive& operator<<(FArchive& Ar, QWORD& V);
FArchive& operator<<(FArchive& Ar, SQWORD& V);
FArchive& operator<<(FArchive& Ar, FLOAT& V);
FArchive& operator<<(FArchive& Ar, FCompactIndex& I);

// A compact index n, then for n > 0 n 8-bit characters ending in a zero byte,
// for n < 0 -n UTF-16LE units ending in a zero unit, for n = 0 nothing. Saved
// in 8-bit form when every character fits in 8 bits. Loading reads in small
// pieces, so a hostile length runs into the end of the file (the reader's
// error) instead of allocating what the file cannot hold.
FArchive& operator<<(FArchive& Ar, FString& S);

// For archive versions of 64 and above the name as a string, below that as
// 8-bit characters ending in a zero byte; then the flags (DWORD). A name of
// more than 63 characters is a critical error.
FArchive& operator<<(FArchive& Ar, FNameEntry& E);

struct FGuid {
  DWORD A = 0, B = 0, C = 0, D = 0;
  FGuid() = default;
  FGuid(DWORD InA, DWORD InB, DWORD InC, DWORD InD) : A(InA), B(InB), C(InC), D(InD) {}
  bool operator==(const FGuid& X) const { return A == X.A && B == X.B && C == X.C && D == X.D; }
  bool operator!=(const FGuid& X) const { return !(*this == X); }
};
FArchive& operator<<(FArchive& Ar, FGuid& G);  // four DWORDs

struct FGenerationInfo {
  INT ExportCount = 0, NameCount = 0;
  FGenerationInfo() = default;
  FGenerationInfo(INT InExportCount, INT InNameCount) : ExportCount(InExportCount), NameCount(InNameCount) {}
};
FArchive& operator<<(FArchive& Ar, FGenerationInfo& I);  // two INTs

class ULinkerLoad;

// A package's reference to an object of another package.
struct FObjectImport {
  FName ClassPackage;
  FName ClassName;
  INT PackageIndex = 0;
  FName ObjectName;
  // In memory only.
  ULinkerLoad* SourceLinker = nullptr;
  INT SourceIndex = INDEX_NONE;
  UObject* XObject = nullptr;
};
// Class package (name), class name (name), package index (INT), object name
// (name). Names go through the archive's operator<< for FName.
FArchive& operator<<(FArchive& Ar, FObjectImport& I);

// An object a package holds.
struct FObjectExport {
  INT ClassIndex = 0;    // object reference: 0 none, k>0 export k-1, k<0 import -k-1
  INT SuperIndex = 0;
  INT PackageIndex = 0;
  FName ObjectName;
  DWORD ObjectFlags = 0;
  INT SerialSize = 0;
  INT SerialOffset = 0;
  // In memory only.
  UObject* _Object = nullptr;
  INT _iHashNext = INDEX_NONE;
};
// Class index, super index (compact indices), package index (INT), object
// name (name), object flags (DWORD), serial size (compact index), then the
// serial offset (compact index) only when the serial size is not 0.
FArchive& operator<<(FArchive& Ar, FObjectExport& E);

// An array as a compact-index count followed by the elements. Loading adds
// the elements one by one as they are read, so a hostile count cannot
// allocate more than the data behind it; a negative count is a critical error.
template <class T>
FArchive& operator<<(FArchive& Ar, TArray<T>& A) {
  if (Ar.IsLoading()) {
    INT Count = 0;
    Ar << AR_INDEX(Count);
    if (Count < 0) appErrorf(TEXT("Bad array count %i"), Count);
    A.Empty();
    for (INT i = 0; i < Count && !Ar.GetError(); ++i) {
      INT Index = A.AddZeroed();
      Ar << A(Index);
    }
  } else {
    INT Count = A.Num();
    Ar << AR_INDEX(Count);
    for (INT i = 0; i < A.Num(); ++i) Ar << A(i);
  }
  return Ar;
}

#endif  // PATCHER_ENGINE_ARCHIVE_H_
