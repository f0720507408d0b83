#include "patcher/package_data.h"

#include <string>
#include <vector>

namespace {

// A table reservation never exceeds what the file could hold (every entry
// takes more than four bytes), so a hostile count cannot allocate much.
INT ReserveFor(INT Count, INT FileSize) { return Clamp(Count, 0, Max(FileSize, 0) / 4); }

}  // namespace

FArchive& operator<<(FArchive& Ar, FPackageFileSummary& Sum) {
  guard(FPackageFileSummary<<);
  Ar << Sum.Tag;
  if (Sum.Tag != PACKAGE_FILE_TAG) return Ar;
  Ar << Sum.FileVersion << Sum.PackageFlags;
  Ar << Sum.NameCount << Sum.NameOffset;
  Ar << Sum.ExportCount << Sum.ExportOffset;
  Ar << Sum.ImportCount << Sum.ImportOffset;
  if (Sum.Version() >= PACKAGE_GENERATIONS_VERSION) {
    Ar << Sum.Guid;
    INT GenerationCount = Sum.Generations.Num();
    Ar << GenerationCount;
    if (Ar.IsLoading()) {
      if (GenerationCount < 0) appErrorf(TEXT("Bad generation count %i"), GenerationCount);
      // Entries are added as they are read: a hostile count runs into the
      // end of the file instead of allocating.
      Sum.Generations.Empty();
      for (INT i = 0; i < GenerationCount && !Ar.GetError(); ++i) {
        FGenerationInfo Info;
        Ar << Info;
        Sum.Generations.AddItem(Info);
      }
    } else {
      for (INT i = 0; i < Sum.Generations.Num(); ++i) Ar << Sum.Generations(i);
    }
  } else {
    // The older layout, read only: a heritage table of GUIDs elsewhere in the
    // file, the last of which is the package's GUID.
    check(Ar.IsLoading());
    INT HeritageCount = 0, HeritageOffset = 0;
    Ar << HeritageCount << HeritageOffset;
    const INT Saved = Ar.GetPosition();
    if (HeritageCount != 0) {
      Ar.Seek(HeritageOffset);
      for (INT i = 0; i < HeritageCount && !Ar.GetError(); ++i) Ar << Sum.Guid;
    }
    Ar.Seek(Saved);
    Sum.Generations.Empty();
    Sum.Generations.AddItem(FGenerationInfo(Sum.ExportCount, Sum.NameCount));
  }
  unguard;
  return Ar;
}

FPackageData::FPackageData(FArchive* InInnerArchive) : InnerArchive(InInnerArchive) {
  ArIsLoading = 1;
  ArIsPersistent = ArForClient = ArForServer = 1;
  ArForEdit = GIsEditor;
}

FArchive& FPackageData::operator<<(FName& Name) {
  INT Index = 0;
  *this << AR_INDEX(Index);
  if (Index < 0 || Index >= NameMap.Num()) {
    GError->Logf(NAME_FriendlyError,
                 TEXT("Bad name index %i/%i.  This error is probably due to either your computer overheating, or a "
                      "corrupted installation of your game.  If this error persists, please try re-installing the "
                      "game."),
                 Index, NameMap.Num());
    // Reached only when the error device returns (not guarded).
    Name = FName();
    return *this;
  }
  Name = NameMap(Index);
  return *this;
}

void FPackageData::LoadSummary() {
  guard(LoadSummary);
  *this << Summary;
  CheckTag();
  ArVer = Summary.Version();
  ArLicenseeVer = Summary.LicenseeVersion();
  CheckVersion();
  const INT FileSize = TotalSize();
  ImportMap.Empty(ReserveFor(Summary.ImportCount, FileSize));
  ExportMap.Empty(ReserveFor(Summary.ExportCount, FileSize));
  NameMap.Empty(ReserveFor(Summary.NameCount, FileSize));
  LoadNames();
  LoadImportMap();
  LoadExportMap();
  LoadObjectMap();
  BuildObjectPath();
  unguard;
}

void FPackageData::CheckTag() {
  guard(CheckTag);
  if (Summary.Tag != PACKAGE_FILE_TAG) throw LocalizeError(TEXT("Aborted"), TEXT("FPackageData"));
  unguard;
}

void FPackageData::CheckVersion() {
  guard(CheckVersion);
  if (Summary.Version() < PACKAGE_MIN_VERSION) throw LocalizeError(TEXT("Aborted"), TEXT("FPackageData"));
  unguard;
}

void FPackageData::LoadNames() {
  guard(LoadNames);
  if (Summary.NameCount > 0) Seek(Summary.NameOffset);
  for (INT i = 0; i < Summary.NameCount; ++i) {
    FNameEntry Entry;
    Entry.Name[0] = 0;
    Entry.Flags = 0;
    *this << Entry;
    FName Name(Entry.Name, FNAME_Add);
    Name.SetFlags(Entry.Flags);
    NameMap.AddItem(Name);
  }
  unguard;
}

void FPackageData::LoadImportMap() {
  guard(LoadImportMap);
  if (Summary.ImportCount > 0) Seek(Summary.ImportOffset);
  for (INT i = 0; i < Summary.ImportCount; ++i) {
    INT Index = ImportMap.AddZeroed();
    *this << ImportMap(Index);
  }
  unguard;
}

void FPackageData::LoadExportMap() {
  guard(LoadExportMap);
  if (Summary.ExportCount > 0) Seek(Summary.ExportOffset);
  for (INT i = 0; i < Summary.ExportCount; ++i) {
    INT Index = ExportMap.AddZeroed();
    *this << ExportMap(Index);
  }
  unguard;
}

void FPackageData::LoadObjectMap() {
  guard(LoadObjectMap);
  const INT FileSize = TotalSize();
  // The exports' data are separate stretches of the file, so together they
  // cannot exceed it: records that name the same bytes again and again would
  // otherwise demand many times the file's size.
  int64_t DataTotal = 0;
  for (INT i = 0; i < ExportMap.Num(); ++i) {
    const FObjectExport& Export = ExportMap(i);
    if (Export.SerialSize <= 0) continue;
    Seek(Export.SerialOffset);
    // The data must lie inside the file; checked before allocating for it.
    if (FileSize >= 0 && static_cast<int64_t>(Export.SerialOffset) + Export.SerialSize > FileSize)
      appErrorf(TEXT("ReadFile beyond EOF %i+%i/%i"), Export.SerialOffset, Export.SerialSize, FileSize);
    DataTotal += Export.SerialSize;
    if (FileSize >= 0 && DataTotal > FileSize)
      appErrorf(TEXT("The export data exceed the file's %i bytes at export %i"), FileSize, i);
    FObjectData* Data = new (ObjectMap) FObjectData;
    Data->Index = i;
    // Every byte is read (a short read zeroes the rest and is an error).
    Data->DataArray.Add(Export.SerialSize);
    Serialize(Data->DataArray.GetData(), Export.SerialSize);
  }
  unguard;
}

void FPackageData::BuildObjectPath() {
  guard(BuildObjectPath);
  const INT Size = TotalSize();
  int64_t Budget = Size < 0 ? static_cast<int64_t>(MAXINT) : PathBudget(Size);
  for (INT i = 0; i < ObjectMap.Num(); ++i) {
    const INT Ref = ObjectMap(i).Index + 1;
    FString Path = ObjectPath(Ref, &Budget);
    ObjectMap(i).ObjPath = Path;
  }
  unguard;
}

FString FPackageData::ObjectPath(INT Ref, int64_t* Budget) {
  // The names from the object outwards, joined once at the end.
  std::vector<const TCHAR*> Names;
  size_t Length = 0;
  // A chain without a loop visits every object at most once.
  const int64_t MaxSteps = static_cast<int64_t>(ImportMap.Num()) + ExportMap.Num();
  const INT First = Ref;
  while (Ref != 0) {
    if (static_cast<int64_t>(Names.size()) >= MaxSteps) {
      appErrorf(TEXT("The package chain of object %i loops back on itself"), First);
      return FString();
    }
    const FName* Name;
    INT Package;
    if (Ref > 0) {
      const INT i = Ref - 1;
      if (i >= ExportMap.Num()) {
        GError->Logf(LocalizeError(TEXT("ExportIndex"), TEXT("Core")), i, ExportMap.Num());
        return FString();
      }
      Name = &ExportMap(i).ObjectName;
      Package = ExportMap(i).PackageIndex;
    } else {
      const int64_t i = -static_cast<int64_t>(Ref) - 1;
      if (i >= ImportMap.Num()) {
        GError->Logf(LocalizeError(TEXT("ImportIndex"), TEXT("Core")), static_cast<INT>(i), ImportMap.Num());
        return FString();
      }
      Name = &ImportMap(static_cast<INT>(i)).ObjectName;
      Package = ImportMap(static_cast<INT>(i)).PackageIndex;
    }
    Names.push_back(**Name);
    Length += appStrlen(**Name) + 1;
    if (Budget && static_cast<int64_t>(Length) > *Budget) {
      appErrorf(TEXT("The object paths exceed the %i characters a file of this size may hold, at object %i"),
                static_cast<INT>(Min<int64_t>(*Budget, MAXINT)), First);
      return FString();
    }
    Ref = Package;
  }
  if (Budget) *Budget -= Length;
  std::wstring Path;
  Path.reserve(Length);
  for (size_t k = Names.size(); k-- > 0;) {
    Path += Names[k];
    if (k) Path += L'.';
  }
  return FString(Path);
}
