// The new package, composed in memory from the old package and a difference
// file.
//
// Difference file, read strictly in this order (numbers 32-bit little-endian;
// a byte string is an INT length n and n bytes; name entries, import and
// export records in the library's package encoding, their name fields compact
// indices into the new name table):
//
//   DiffFileVersion INT (the new FileVersion, 68 or above), package flags
//   DWORD, GUID 4 x DWORD
//   new name count INT;   KeptNameCount INT x (old INT, new INT);
//                         AddedNameCount INT x (new INT, name entry)
//   new import count INT; KeptImportCount INT x (old INT, new INT);
//                         ChangedImportCount INT x (new INT, import record)
//   new export count INT; KeptExportCount INT x (old DWORD, word DWORD,
//                           [flags DWORD if bit 31 of word], [super INT if
//                           bit 30]; new position = word without bits 31, 30);
//                         ChangedExportCount INT x (new INT, export record)
//   AddedObjectCount INT x (export index INT, byte string)
//   DeletedObjectCount INT x old ObjectMap position INT
//   PatchedObjectCount INT x (export index INT, new length INT, chunk count
//                           INT x (position INT, byte string))
//
// Kept imports and exports are copied from the old package and their object
// references renumbered through the kept lists (the first matching item
// only). The new ObjectMap holds the added objects first, then the kept ones
// in old order. Every inconsistency is a failed check (a critical error).
#ifndef PATCHER_PACKAGE_COMPOSITE_H_
#define PATCHER_PACKAGE_COMPOSITE_H_

#include "patcher/package_data.h"

// Bits of a kept export's position word.
enum : DWORD {
  KEPT_EXPORT_NEW_FLAGS = 0x80000000u,  // new object flags follow
  KEPT_EXPORT_NEW_SUPER = 0x40000000u,  // a new super index follows
  KEPT_EXPORT_NO_FLAGS = 0xFFFFFFFFu,   // in the kept list: flags unchanged
};

class FPackageComposite : public FPackageData {
 public:
  // InDiffArchive: the difference file's reader (not owned).
  explicit FPackageComposite(FArchive* InDiffArchive) : FPackageData(InDiffArchive) {}
  ~FPackageComposite() noexcept(false) override {}

  // Reads the whole difference file and builds the new package's summary,
  // tables and object data. The kept objects' bytes and paths are taken over from
  // OldPkgData, whose ObjectMap entries are left with empty arrays.
  // REQUIRES: called once, on a fresh composite.
  void Compose(FPackageData& OldPkgData);

  // One per slot of the new name table: the text and flags the writer puts
  // into the new file.
  TArray<FNameEntry> NameEntries;

 private:
  struct FKeptImport {
    INT OldPos, NewPos;
  };
  struct FKeptExport {
    DWORD OldPos, NewPos;
    DWORD NewFlags;  // KEPT_EXPORT_NO_FLAGS: unchanged
    INT NewSuper;
    UBOOL bNewSuper;
  };

  void ComposeNames(FPackageData& OldPkgData);
  void ComposeImports(FPackageData& OldPkgData);
  void ComposeExports(FPackageData& OldPkgData);
  void ComposeObjects(FPackageData& OldPkgData);
  // GrowthBudget: how many bytes the patches may add to objects in all.
  void PatchObjects(int64_t GrowthBudget);
  // Reads a byte string into Bytes (replacing its contents).
  void ReadByteString(TArray<BYTE>& Bytes);

  TArray<FKeptImport> KeptImports;
  TArray<FKeptExport> KeptExports;
};

#endif  // PATCHER_PACKAGE_COMPOSITE_H_
