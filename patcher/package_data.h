// The patch tool's in-memory model of one engine package file: its summary,
// its name, import and export tables and the serialised bytes of every
// export with a readable object path.
//
// Package file layout as this tool reads it (all numbers little-endian):
//
//   summary   FPackageFileSummary (below); the offsets it holds point at
//   names     NameCount name entries (the library's FNameEntry encoding)
//   imports   ImportCount import records
//   exports   ExportCount export records; export i's bytes lie at its
//             serial offset, serial size bytes long
//
// Name fields inside import and export records are compact indices into the
// package's own name table; FPackageData translates them to engine names.
#ifndef PATCHER_PACKAGE_DATA_H_
#define PATCHER_PACKAGE_DATA_H_

#include "patcher/engine/core.h"

// A failed consistency check of the tool: reports the expression text with
// the source name "Gleaner" (a critical error on GError).
#define patch_check(expr)                                     \
  do {                                                        \
    if (!(expr)) appFailAssert(#expr, "Gleaner", __LINE__);   \
  } while (0)

enum { PACKAGE_FILE_TAG = static_cast<INT>(0x9E2A83C1) };
// File versions from this one on carry the GUID and the generations in the
// summary; older ones (down to PACKAGE_MIN_VERSION) a heritage table.
enum { PACKAGE_GENERATIONS_VERSION = 68, PACKAGE_MIN_VERSION = 60 };

struct FPackageFileSummary {
  INT Tag = 0;
  INT FileVersion = 0;  // low 16 bits: version; high 16 bits: licensee version
  DWORD PackageFlags = 0;
  INT NameCount = 0, NameOffset = 0;
  INT ExportCount = 0, ExportOffset = 0;
  INT ImportCount = 0, ImportOffset = 0;
  FGuid Guid;
  TArray<FGenerationInfo> Generations;

  INT Version() const { return FileVersion & 0xFFFF; }
  INT LicenseeVersion() const { return (FileVersion >> 16) & 0xFFFF; }
};

// Both directions. Reads stop after a wrong Tag. Files below version 68 are
// read with the heritage layout (the last heritage GUID becomes Guid, and one
// generation is made of the counts); writing always uses the newer layout, so
// REQUIRES for saving: Version() >= 68.
FArchive& operator<<(FArchive& Ar, FPackageFileSummary& Sum);

// The serialised bytes of one export.
struct FObjectData {
  INT Index = 0;            // zero-based export index
  FString ObjPath;          // dotted object path of that export
  TArray<BYTE> DataArray;   // the export's bytes
};

// An archive over an inner archive (not owned) that reads engine names as
// compact indices into NameMap; every byte operation goes to the inner one.
class FPackageData : public FArchive {
 public:
  explicit FPackageData(FArchive* InInnerArchive);
  ~FPackageData() noexcept(false) override {}
  FPackageData(const FPackageData&) = delete;
  FPackageData& operator=(const FPackageData&) = delete;

  using FArchive::operator<<;
  void Serialize(void* V, INT Length) override { InnerArchive->Serialize(V, Length); }
  // A compact index i into NameMap; outside the table a critical error
  // "Bad name index %i/%i. ..." (NAME_FriendlyError).
  FArchive& operator<<(FName& Name) override;
  INT GetPosition() override { return InnerArchive->GetPosition(); }
  INT TotalSize() override { return InnerArchive->TotalSize(); }
  void Seek(INT InPos) override { InnerArchive->Seek(InPos); }
  UBOOL GetError() override { return ArIsError || InnerArchive->GetError(); }

  // Loads the whole package from the inner archive. Not a package, or a
  // version below 60: the engine text "Aborted" of FPackageData is raised.
  // Everything else that goes wrong is a critical error.
  void LoadSummary();

  // The dotted path of an object reference (0 none, k > 0 export k-1, k < 0
  // import -k-1) over this package's tables. A reference outside the tables,
  // or a package chain that loops, is a critical error. With a Budget, the
  // characters of the path are taken from it, and a path that does not fit
  // what is left is a critical error (the paths of all objects together are
  // held to a multiple of the file's size).
  FString ObjectPath(INT Ref, int64_t* Budget = nullptr);

  // Characters that the object paths of a file of Size bytes may take in all:
  // a package that nests objects deeper and deeper would otherwise make paths
  // whose total length grows with the square of its size.
  static int64_t PathBudget(INT Size) { return 4 * static_cast<int64_t>(Max(Size, 0)) + 65536; }

  FArchive* InnerArchive;
  FPackageFileSummary Summary;
  TArray<FName> NameMap;
  TArray<FObjectImport> ImportMap;
  TArray<FObjectExport> ExportMap;
  TArray<FObjectData> ObjectMap;

 protected:
  void CheckTag();
  void CheckVersion();
  void LoadNames();
  void LoadImportMap();
  void LoadExportMap();
  void LoadObjectMap();
  void BuildObjectPath();
};

#endif  // PATCHER_PACKAGE_DATA_H_
