#include "patcher/composite_pkg_saver.h"

#include <unordered_map>

FCompositePkgSaver::FCompositePkgSaver(FArchive* InWriter, FPackageComposite* InComposite)
    : InnerArchive(InWriter), CompositeData(InComposite) {
  ArIsSaving = 1;
  ArIsPersistent = ArForClient = ArForServer = 1;
  ArForEdit = GIsEditor;
  // Engine names outside the new table keep INDEX_NONE.
  NameIndexMap.Add(FName::GetMaxNames());
  for (INT i = 0; i < NameIndexMap.Num(); ++i) NameIndexMap(i) = INDEX_NONE;
  for (INT i = 0; i < CompositeData->NameMap.Num(); ++i) {
    const INT Engine = CompositeData->NameMap(i).GetIndex();
    if (Engine >= 0 && Engine < NameIndexMap.Num()) NameIndexMap(Engine) = i;
  }
}

FArchive& FCompositePkgSaver::operator<<(FName& Name) {
  const INT Engine = Name.GetIndex();
  INT NameIndex = Engine >= 0 && Engine < NameIndexMap.Num() ? NameIndexMap(Engine) : INDEX_NONE;
  patch_check(NameIndex != INDEX_NONE);
  *this << AR_INDEX(NameIndex);
  return *this;
}

FArchive& FCompositePkgSaver::operator<<(UObject*& Res) {
  patch_check(0);
  return *this;
}

void FCompositePkgSaver::Save() {
  FPackageComposite& Pkg = *CompositeData;
  FPackageFileSummary& Sum = Pkg.Summary;
  patch_check(Sum.Version() >= 68);

  // 1. The summary with provisional offsets; rewritten at the end.
  *this << Sum;

  // 2. Names.
  Sum.NameOffset = GetPosition();
  for (INT i = 0; i < Pkg.NameMap.Num(); ++i) *this << Pkg.NameEntries(i);

  // 3. Export data, in export order; the first object of each export counts.
  std::unordered_map<INT, INT> FirstObject;
  for (INT j = 0; j < CompositeData->ObjectMap.Num(); ++j) FirstObject.emplace(CompositeData->ObjectMap(j).Index, j);
  for (INT i = 0; i < Pkg.ExportMap.Num(); ++i) {
    FObjectExport& Export = Pkg.ExportMap(i);
    Export.SerialOffset = GetPosition();
    auto Found = FirstObject.find(i);
    const INT j = Found == FirstObject.end() ? CompositeData->ObjectMap.Num() : Found->second;
    patch_check(j < CompositeData->ObjectMap.Num());
    TArray<BYTE>& Data = CompositeData->ObjectMap(j).DataArray;
    if (Data.Num()) Serialize(Data.GetData(), Data.Num());
    Export.SerialSize = GetPosition() - Export.SerialOffset;
  }

  // 4-5. Imports, then exports with their serial sizes and offsets.
  Sum.ImportOffset = GetPosition();
  for (INT i = 0; i < Pkg.ImportMap.Num(); ++i) *this << Pkg.ImportMap(i);
  Sum.ExportOffset = GetPosition();
  for (INT i = 0; i < Pkg.ExportMap.Num(); ++i) *this << Pkg.ExportMap(i);

  // 6. The last generation carries the new counts (none is a failed check
  // of the container).
  Sum.Generations.Last() = FGenerationInfo(Sum.ExportCount, Sum.NameCount);

  // 7-8. The summary again, same length.
  Seek(0);
  *this << Sum;
}
