// Writes a composed package to the output file.
//
// Layout: the summary (newer layout), the name table (NameEntries in slot
// order), every export's data in export order back to back, the import
// table, the export table; then the summary is written again at position 0
// with the final offsets, serial sizes and last generation (same length).
#ifndef PATCHER_COMPOSITE_PKG_SAVER_H_
#define PATCHER_COMPOSITE_PKG_SAVER_H_

#include "patcher/package_composite.h"

class FCompositePkgSaver : public FArchive {
 public:
  // InWriter: the output file's writer; InComposite: the package to write
  // (neither owned). NameIndexMap maps each engine name of the new name
  // table to its slot (the later slot when a name fills two).
  FCompositePkgSaver(FArchive* InWriter, FPackageComposite* InComposite);
  ~FCompositePkgSaver() noexcept(false) override {}
  FCompositePkgSaver(const FCompositePkgSaver&) = delete;
  FCompositePkgSaver& operator=(const FCompositePkgSaver&) = delete;

  using FArchive::operator<<;
  void Serialize(void* V, INT Length) override { InnerArchive->Serialize(V, Length); }
  // The name's slot in the new table, as a compact index. A name that is not
  // in the new table is a failed check.
  FArchive& operator<<(FName& Name) override;
  // Object references cannot be written: the failed check "0".
  FArchive& operator<<(UObject*& Res) override;
  INT GetPosition() override { return InnerArchive->GetPosition(); }
  void Seek(INT InPos) override { InnerArchive->Seek(InPos); }
  UBOOL GetError() override { return ArIsError || InnerArchive->GetError(); }

  // Writes the whole package. REQUIRES: called once; the composite's
  // FileVersion is 68 or above (Compose checks it).
  void Save();

  FArchive* InnerArchive;
  FPackageComposite* CompositeData;
  TArray<INT> NameIndexMap;
};

#endif  // PATCHER_COMPOSITE_PKG_SAVER_H_
