// Fuzzes what the patch tool reads from hostile files: LoadSummary on
// arbitrary bytes (FUZZ_TARGET_SUMMARY), or Compose with an arbitrary
// difference file against a fixed package, followed by Save. Every failure
// must surface as the guarded run's exception, never as a crash, a hang or an
// outsized allocation.
#include <cstdint>
#include <vector>

#include "patcher/composite_pkg_saver.h"
#include "publisher/pkgtool/buffer_archive.h"
#include "publisher/pkgtool/package_tool.h"

namespace {

// Reads from memory with the file reader's checks on positions.
class FFuzzReader : public FArchive {
 public:
  FFuzzReader(const uint8_t* InData, size_t InSize) : Data(InData), Size(static_cast<INT>(InSize)) { ArIsLoading = 1; }
  using FArchive::operator<<;
  void Serialize(void* V, INT Length) override {
    if (Length < 0 || Length > Size - Pos) {
      ArIsError = 1;
      GError->Logf(TEXT("ReadFile beyond EOF %i+%i/%i"), Pos, Length, Size);
      return;
    }
    appMemcpy(V, Data + Pos, Length);
    Pos += Length;
  }
  INT GetPosition() override { return Pos; }
  INT TotalSize() override { return Size; }
  void Seek(INT InPos) override {
    check(InPos>=0);
    if (InPos > Size) GError->Logf(NAME_FriendlyError, TEXT("InPos>Size"));
    Pos = InPos;
  }

 private:
  const uint8_t* Data;
  INT Size;
  INT Pos = 0;
};

// Swallows what the saver writes, keeping only the position.
class FNullWriter : public FArchive {
 public:
  FNullWriter() { ArIsSaving = 1; }
  void Serialize(void* V, INT Length) override { Pos += Length; }
  INT GetPosition() override { return Pos; }
  void Seek(INT InPos) override { Pos = InPos; }
  INT Pos = 0;
};

pkgtool::PackageModel FixedModel() {
  pkgtool::PackageModel M;
  for (const wchar_t* N : {L"None", L"Core", L"Class", L"Package", L"Pkg", L"A", L"B", L"C"}) M.NameSlot(N, 0x10);
  M.Imports.push_back({1, 3, 0, 4});
  M.Imports.push_back({1, 2, -1, 5});
  M.Exports.push_back({-2, 0, 0, 6, 0x4, std::vector<BYTE>(40, 'b')});
  M.Exports.push_back({-2, 0, 1, 7, 0x4, {'c', 'c'}});
  M.Exports.push_back({-1, 0, 1, 5, 0x4, {}});
  return M;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  static bool Started = [] {
    pkgtool::InstallServices();
    GLog = GNull;
    return true;
  }();
  static const std::vector<BYTE> Fixed = pkgtool::BuildPackage(FixedModel());
  (void)Started;
  // A fresh name table for every input keeps memory bounded.
  FName::StaticExit();
  FName::StaticInit();
  appResetErrorState();
  GIsGuarded = 1;
  try {
#ifdef FUZZ_TARGET_SUMMARY
    FFuzzReader Ar(Data, Size);
    FPackageData Pkg(&Ar);
    Pkg.LoadSummary();
#else
    FFuzzReader OldAr(Fixed.data(), Fixed.size());
    FPackageData Old(&OldAr);
    Old.LoadSummary();
    FFuzzReader DiffAr(Data, Size);
    FPackageComposite Composite(&DiffAr);
    Composite.Compose(Old);
    FNullWriter Out;
    FCompositePkgSaver Saver(&Out, &Composite);
    Saver.Save();
#endif
  } catch (...) {
  }
  GIsGuarded = 0;
  return 0;
}
