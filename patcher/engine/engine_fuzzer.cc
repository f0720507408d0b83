// Fuzzes what the file layer reads from hostile files: the enciphered-archive
// reader, the serialisers of package values and records, and the ".uz2"
// block decoder. Every critical error must surface as the guarded run's
// exception, never as a crash or an outsized allocation.
#include <cstdint>
#include <cstdio>
#include <string>

#include "patcher/engine/file_manager_windows.h"
#include "platform/file.h"
#include "platform/process.h"
#include "platform/wide_text.h"

namespace {

// Names inside records as compact indices into the global table.
class FIndexNames : public FArchive {
 public:
  explicit FIndexNames(FArchive* InInner) : Inner(InInner) {
    ArIsLoading = 1;
    ArVer = InInner->Ver();
  }
  using FArchive::operator<<;
  void Serialize(void* V, INT Length) override { Inner->Serialize(V, Length); }
  INT GetPosition() override { return Inner->GetPosition(); }
  INT TotalSize() override { return Inner->TotalSize(); }
  void Seek(INT InPos) override { Inner->Seek(InPos); }
  UBOOL GetError() override { return Inner->GetError(); }
  FArchive& operator<<(FName& N) override {
    INT Index = 0;
    *this << AR_INDEX(Index);
    if (Index < 0 || Index >= FName::GetMaxNames()) appErrorf(TEXT("Bad name index %i"), Index);
    N = FName::FromIndex(Index);
    return *this;
  }
  FArchive* Inner;
};

std::wstring Scratch(const char* Stem) {
  static const std::string Dir = "/tmp/engine_fuzz_" + std::to_string(platform::CurrentProcessId()) + "_";
  return platform::AnsiToWide(Dir + Stem);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  static FFileManagerWindows FileManager;
  static bool Started = [] {
    GFileManager = &FileManager;
    FName::StaticInit();
    return true;
  }();
  (void)Started;
  if (Size < 1) return 0;
  const std::wstring File = Scratch("in.u");
  platform::WriteStringToFile(platform::WideToAnsi(File), std::string(reinterpret_cast<const char*>(Data) + 1,
                                                                      Size - 1));
  GIsGuarded = 1;
  appResetErrorState();
  FArchive* Reader = FileManager.CreateFileReader(File.c_str(), 0, GError);
  if (Reader) {
    try {
      FIndexNames Ar(Reader);
      Ar.SetVer(Data[0] & 1 ? 128 : 61);
      for (int Round = 0; Round < 8 && !Ar.AtEnd(); ++Round) {
        BYTE What = 0;
        Ar << What;
        switch (What % 7) {
          case 0: { FString S; Ar << S; break; }
          case 1: { FNameEntry E; Ar << E; break; }
          case 2: { FObjectImport I; Ar << I; break; }
          case 3: { FObjectExport E; Ar << E; break; }
          case 4: { TArray<BYTE> A; Ar << A; break; }
          case 5: { INT P = 0; Ar << AR_INDEX(P); if (P >= 0) Ar.Seek(P); break; }
          case 6: { FGuid G; FGenerationInfo Gen; Ar << G << Gen; break; }
        }
      }
    } catch (int) {
    }
    GIsGuarded = 0;
    delete Reader;
  }
  GIsGuarded = 0;
  appResetErrorState();
  // The same bytes as a ".uz2" file.
  const std::wstring Packed = Scratch("in2");
  platform::WriteStringToFile(platform::WideToAnsi(Packed) + ".uz2",
                              std::string(reinterpret_cast<const char*>(Data), Size));
  FileManager.Copy(Scratch("out.u").c_str(), Packed.c_str(), 1, 0, 0, FILECOPY_Decompress);
  return 0;
}
