// The program's commands and the engine plumbing they share.
#include <memory>
#include <sstream>

#include "patcher/engine/file_manager_windows.h"
#include "patcher/engine/malloc_ansi.h"
#include "patcher/engine/output_device_ansi.h"
#include "platform/file.h"
#include "platform/wide_text.h"
#include "publisher/pkgtool/package_tool.h"

namespace pkgtool {
namespace {

std::string Narrow(const std::wstring& W) { return platform::WideToAnsi(W); }

std::string RefText(FPackageData& Pkg, INT Ref) {
  if (Ref == 0) return "0";
  return std::to_string(Ref) + " (" + Narrow(*Pkg.ObjectPath(Ref)) + ")";
}

// A loaded package with its reader; the reader is closed once loaded.
struct LoadedPackage {
  std::unique_ptr<FPackageData> Pkg;
  FArchive* Reader = nullptr;
  bool Encrypted = false;
  ~LoadedPackage() { delete Reader; }
};

void Load(const std::string& Path, LoadedPackage* Out) {
  Out->Reader = GFileManager->CreateFileReader(platform::AnsiToWide(Path).c_str(), 0, GError);
  if (!Out->Reader) appErrorf(TEXT("Cannot open %s"), platform::AnsiToWide(Path).c_str());
  Out->Encrypted = Out->Reader->IsEncrypted();
  Out->Pkg = std::make_unique<FPackageData>(Out->Reader);
  Out->Pkg->LoadSummary();
}

int Make(const std::string& DescPath, const std::string& OutPath, std::string* Out) {
  std::string Text, Error;
  if (!platform::ReadFileToString(DescPath, &Text)) {
    *Out += "cannot read " + DescPath + "\n";
    return 2;
  }
  PackageModel Model;
  if (!ParseDescription(Text, &Model, &Error)) {
    *Out += DescPath + ": " + Error + "\n";
    return 2;
  }
  if (!WriteEngineFile(platform::AnsiToWide(OutPath), BuildPackage(Model), Model.Encrypt)) {
    *Out += "cannot write " + OutPath + "\n";
    return 2;
  }
  return 0;
}

int Info(const std::string& Path, std::string* Out) {
  LoadedPackage P;
  Load(Path, &P);
  *Out += Path + (P.Encrypted ? " (enciphered)\n" : "\n") + DescribePackage(*P.Pkg);
  return 0;
}

int Diff(const std::string& OldPath, const std::string& NewPath, const std::string& DiffPath, bool Encrypt,
         std::string* Out) {
  LoadedPackage Old;
  Load(OldPath, &Old);
  const NameSnapshot OldNames = SnapshotNames(*Old.Pkg);
  LoadedPackage New;
  Load(NewPath, &New);
  std::vector<BYTE> Bytes;
  DiffStats S;
  std::string Error;
  if (!MakeDiff(*Old.Pkg, OldNames, *New.Pkg, &Bytes, &S, &Error)) {
    *Out += Error + "\n";
    return 2;
  }
  if (!WriteEngineFile(platform::AnsiToWide(DiffPath), Bytes, Encrypt)) {
    *Out += "cannot write " + DiffPath + "\n";
    return 2;
  }
  std::ostringstream R;
  R << DiffPath << ": " << Bytes.size() << " bytes; names kept " << S.KeptNames << " added " << S.AddedNames
    << "; imports kept " << S.KeptImports << " changed " << S.ChangedImports << "; exports kept " << S.KeptExports
    << " changed " << S.ChangedExports << "; objects added " << S.AddedObjects << " deleted " << S.DeletedObjects
    << " patched " << S.PatchedObjects << "\n";
  // The format carries no generations: Gleaner keeps OLD's, the last with
  // NEW's counts.
  const TArray<FGenerationInfo>& OG = Old.Pkg->Summary.Generations;
  const TArray<FGenerationInfo>& NG = New.Pkg->Summary.Generations;
  bool SameGenerations = OG.Num() == NG.Num() && NG.Num() > 0;
  for (INT i = 0; SameGenerations && i + 1 < NG.Num(); ++i)
    SameGenerations = OG(i).ExportCount == NG(i).ExportCount && OG(i).NameCount == NG(i).NameCount;
  if (!SameGenerations) R << "note: the composed package will have OLD's generations, not NEW's\n";
  *Out += R.str();
  return 0;
}

}  // namespace

std::string DescribePackage(FPackageData& Pkg) {
  std::ostringstream R;
  const FPackageFileSummary& S = Pkg.Summary;
  char Guid[64];
  std::snprintf(Guid, sizeof(Guid), "%08X-%08X-%08X-%08X", S.Guid.A, S.Guid.B, S.Guid.C, S.Guid.D);
  R << "version " << S.Version() << " licensee " << S.LicenseeVersion() << " flags 0x" << std::hex << S.PackageFlags
    << std::dec << " guid " << Guid << "\n";
  R << "names " << S.NameCount << " at " << S.NameOffset << ", imports " << S.ImportCount << " at "
    << S.ImportOffset << ", exports " << S.ExportCount << " at " << S.ExportOffset << "\n";
  for (INT i = 0; i < S.Generations.Num(); ++i)
    R << "generation " << i << ": exports " << S.Generations(i).ExportCount << " names "
      << S.Generations(i).NameCount << "\n";
  for (INT i = 0; i < Pkg.NameMap.Num(); ++i)
    R << "name " << i << ": " << Narrow(*Pkg.NameMap(i)) << " flags 0x" << std::hex << Pkg.NameMap(i).GetFlags()
      << std::dec << "\n";
  for (INT i = 0; i < Pkg.ImportMap.Num(); ++i) {
    const FObjectImport& I = Pkg.ImportMap(i);
    R << "import " << i << ": " << Narrow(*Pkg.ObjectPath(-i - 1)) << " class " << Narrow(*I.ClassPackage) << "."
      << Narrow(*I.ClassName) << " package " << RefText(Pkg, I.PackageIndex) << "\n";
  }
  for (INT i = 0; i < Pkg.ExportMap.Num(); ++i) {
    const FObjectExport& E = Pkg.ExportMap(i);
    R << "export " << i << ": " << Narrow(*Pkg.ObjectPath(i + 1)) << " class " << RefText(Pkg, E.ClassIndex)
      << " super " << RefText(Pkg, E.SuperIndex) << " flags 0x" << std::hex << E.ObjectFlags << std::dec << " size "
      << E.SerialSize << " at " << E.SerialOffset << "\n";
  }
  return R.str();
}

bool WriteEngineFile(const std::wstring& Path, const std::vector<BYTE>& Bytes, bool Encrypt) {
  FArchive* Writer = GFileManager->CreateFileWriter(Path.c_str(), 0, GNull);
  if (!Writer) return false;
  if (Encrypt) Writer->SetDoEncrypt();
  if (!Bytes.empty()) Writer->Serialize(const_cast<BYTE*>(Bytes.data()), static_cast<INT>(Bytes.size()));
  const bool Ok = Writer->Close();
  delete Writer;
  return Ok;
}

void InstallServices() {
  static FFileManagerWindows FileManager;
  static FOutputDeviceAnsiError Error;
  static FMallocAnsi Malloc;
  static bool Done = false;
  if (Done) return;
  Done = true;
  GFileManager = &FileManager;
  GError = &Error;
  GMalloc = &Malloc;
  FName::StaticInit();
}

int RunPkgtool(const std::vector<std::string>& Args, std::string* Out) {
  const bool IsMake = Args.size() == 3 && Args[0] == "make";
  const bool IsInfo = Args.size() == 2 && Args[0] == "info";
  const bool IsDiff = (Args.size() == 4 || (Args.size() == 5 && Args[4] == "-encrypt")) && Args[0] == "diff";
  if (!IsMake && !IsInfo && !IsDiff) {
    *Out += "usage: pkgtool make DESCRIPTION OUT | info PKG | diff OLD NEW DIFF [-encrypt]\n";
    return 1;
  }
  InstallServices();
  appResetErrorState();
  const UBOOL SavedGuarded = GIsGuarded;
  GIsGuarded = 1;
  int Code = 2;
  try {
    if (IsMake) Code = Make(Args[1], Args[2], Out);
    if (IsInfo) Code = Info(Args[1], Out);
    if (IsDiff) Code = Diff(Args[1], Args[2], Args[3], Args.size() == 5, Out);
  } catch (const TCHAR* Text) {
    *Out += Narrow(Text) + "\n";
    Code = 2;
  } catch (...) {
    *Out += Narrow(GErrorHist) + "\n";
    Code = 2;
  }
  GIsGuarded = SavedGuarded;
  return Code;
}

}  // namespace pkgtool
