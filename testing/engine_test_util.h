// Helpers shared by the engine library's tests.
#ifndef TESTING_ENGINE_TEST_UTIL_H_
#define TESTING_ENGINE_TEST_UTIL_H_

#include <string>
#include <utility>
#include <vector>

#include "patcher/engine/core.h"

namespace engine_test {

// An archive over a byte vector; reading past the end reports on GError.
class FMemoryArchive : public FArchive {
 public:
  FMemoryArchive() { ArIsSaving = 1; }
  explicit FMemoryArchive(std::vector<BYTE> InBytes) : Bytes(std::move(InBytes)) { ArIsLoading = 1; }
  using FArchive::operator<<;

  void Serialize(void* V, INT Length) override {
    if (ArIsLoading) {
      if (Length > static_cast<INT>(Bytes.size()) - Pos) {
        ArIsError = 1;
        GError->Logf(TEXT("ReadFile beyond EOF %i+%i/%i"), Pos, Length, static_cast<INT>(Bytes.size()));
        return;
      }
      appMemcpy(V, Bytes.data() + Pos, Length);
    } else {
      if (Pos + Length > static_cast<INT>(Bytes.size())) Bytes.resize(Pos + Length);
      appMemcpy(Bytes.data() + Pos, V, Length);
    }
    Pos += Length;
  }
  INT GetPosition() override { return Pos; }
  INT TotalSize() override { return static_cast<INT>(Bytes.size()); }
  void Seek(INT InPos) override { Pos = InPos; }

  std::vector<BYTE> Bytes;
  INT Pos = 0;
};

// Records every line it gets.
class FRecordingDevice : public FOutputDevice {
 public:
  void Serialize(const TCHAR* V, EName Event) override { Lines.emplace_back(V, Event); }
  std::vector<std::pair<std::wstring, EName>> Lines;
};

// Guarded run with a recording GLog; restores the globals afterwards.
class FGuardedScope {
 public:
  FGuardedScope() : SavedLog(GLog), SavedGuarded(GIsGuarded) {
    appResetErrorState();
    GLog = &Log;
    GIsGuarded = 1;
  }
  ~FGuardedScope() {
    GLog = SavedLog;
    GIsGuarded = SavedGuarded;
    appResetErrorState();
  }
  FRecordingDevice Log;

 private:
  FOutputDevice* SavedLog;
  UBOOL SavedGuarded;
};

inline std::wstring History() { return std::wstring(GErrorHist); }

}  // namespace engine_test

#endif  // TESTING_ENGINE_TEST_UTIL_H_
