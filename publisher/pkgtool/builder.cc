// Package files from a model, in both summary layouts.
#include "publisher/pkgtool/buffer_archive.h"
#include "publisher/pkgtool/package_tool.h"

namespace pkgtool {

INT PackageModel::NameSlot(const std::wstring& Text, DWORD Flags) {
  for (size_t i = 0; i < Names.size(); ++i)
    if (Names[i].Text == Text) return static_cast<INT>(i);
  Names.push_back({Text, Flags});
  return static_cast<INT>(Names.size() - 1);
}

std::vector<BYTE> BuildPackage(const PackageModel& Model) {
  // Records carry name slots as the "index" of their FName fields; the
  // writer puts them out unchanged.
  const INT Version = Model.Version & 0xFFFF;
  FBufferWriter Ar(Version);
  const bool Newer = Version >= PACKAGE_GENERATIONS_VERSION;

  FPackageFileSummary Sum;
  Sum.Tag = PACKAGE_FILE_TAG;
  Sum.FileVersion = Version | (Model.Licensee << 16);
  Sum.PackageFlags = Model.PackageFlags;
  Sum.NameCount = static_cast<INT>(Model.Names.size());
  Sum.ImportCount = static_cast<INT>(Model.Imports.size());
  Sum.ExportCount = static_cast<INT>(Model.Exports.size());
  Sum.Guid = Model.Guid;
  for (const FGenerationInfo& G : Model.EarlierGenerations) Sum.Generations.AddItem(G);
  Sum.Generations.AddItem(FGenerationInfo(Sum.ExportCount, Sum.NameCount));

  INT HeritageOffset = 0;
  auto WriteSummary = [&] {
    Ar.Seek(0);
    if (Newer) {
      Ar << Sum;
      return;
    }
    Ar << Sum.Tag << Sum.FileVersion << Sum.PackageFlags << Sum.NameCount << Sum.NameOffset << Sum.ExportCount
       << Sum.ExportOffset << Sum.ImportCount << Sum.ImportOffset;
    INT HeritageCount = static_cast<INT>(Model.EarlierGuids.size()) + 1;
    Ar << HeritageCount << HeritageOffset;
  };
  WriteSummary();
  if (!Newer) {
    HeritageOffset = Ar.GetPosition();
    for (FGuid G : Model.EarlierGuids) Ar << G;
    Ar << Sum.Guid;
  }

  Sum.NameOffset = Ar.GetPosition();
  for (const PackageModel::Name& N : Model.Names) {
    FNameEntry E;
    appMemzero(&E, sizeof(E));
    appStrncpy(E.Name, N.Text.c_str(), NAME_SIZE);
    E.Flags = N.Flags;
    Ar << E;
  }
  std::vector<INT> Offsets(Model.Exports.size()), Sizes(Model.Exports.size());
  for (size_t i = 0; i < Model.Exports.size(); ++i) {
    Offsets[i] = Ar.GetPosition();
    const std::vector<BYTE>& Data = Model.Exports[i].Data;
    if (!Data.empty()) Ar.Serialize(const_cast<BYTE*>(Data.data()), static_cast<INT>(Data.size()));
    Sizes[i] = static_cast<INT>(Data.size());
  }
  Sum.ImportOffset = Ar.GetPosition();
  for (const PackageModel::Import& I : Model.Imports) {
    FObjectImport R;
    R.ClassPackage = FName::FromIndex(I.ClassPackage);
    R.ClassName = FName::FromIndex(I.ClassName);
    R.PackageIndex = I.PackageIndex;
    R.ObjectName = FName::FromIndex(I.ObjectName);
    Ar << R;
  }
  Sum.ExportOffset = Ar.GetPosition();
  for (size_t i = 0; i < Model.Exports.size(); ++i) {
    const PackageModel::Export& X = Model.Exports[i];
    FObjectExport R;
    R.ClassIndex = X.ClassIndex;
    R.SuperIndex = X.SuperIndex;
    R.PackageIndex = X.PackageIndex;
    R.ObjectName = FName::FromIndex(X.ObjectName);
    R.ObjectFlags = X.ObjectFlags;
    R.SerialSize = Sizes[i];
    R.SerialOffset = Offsets[i];
    Ar << R;
  }
  WriteSummary();
  return std::move(Ar.Bytes);
}

}  // namespace pkgtool
