// Helpers of the patch tool's tests: packages from models, difference files
// written field by field, and a package loaded from bytes.
#ifndef TESTING_PACKAGE_TEST_UTIL_H_
#define TESTING_PACKAGE_TEST_UTIL_H_

#include <memory>
#include <string>
#include <vector>

#include "patcher/package_composite.h"
#include "publisher/pkgtool/buffer_archive.h"
#include "publisher/pkgtool/package_tool.h"
#include "testing/engine_test_util.h"

namespace patcher_test {

// A difference file, field by field. Records take name slots of the new
// table as their FName "indices".
class DiffWriter {
 public:
  DiffWriter& Int(INT V) {
    Ar << V;
    return *this;
  }
  DiffWriter& Dword(DWORD V) {
    Ar << V;
    return *this;
  }
  DiffWriter& Header(INT Version = 128, DWORD Flags = 0, FGuid Guid = FGuid(1, 2, 3, 4)) {
    Ar << Version << Flags << Guid;
    return *this;
  }
  DiffWriter& Entry(const TCHAR* Text, DWORD Flags = 0) {
    FNameEntry E;
    appMemzero(&E, sizeof(E));
    appStrncpy(E.Name, Text, NAME_SIZE);
    E.Flags = Flags;
    Ar << E;
    return *this;
  }
  DiffWriter& Import(INT ClassPackage, INT ClassName, INT Package, INT Object) {
    FObjectImport I;
    I.ClassPackage = FName::FromIndex(ClassPackage);
    I.ClassName = FName::FromIndex(ClassName);
    I.PackageIndex = Package;
    I.ObjectName = FName::FromIndex(Object);
    Ar << I;
    return *this;
  }
  DiffWriter& Export(INT Class, INT Super, INT Package, INT Object, DWORD Flags) {
    FObjectExport X;
    X.ClassIndex = Class;
    X.SuperIndex = Super;
    X.PackageIndex = Package;
    X.ObjectName = FName::FromIndex(Object);
    X.ObjectFlags = Flags;
    Ar << X;
    return *this;
  }
  DiffWriter& Bytes(const std::string& B) {
    INT N = static_cast<INT>(B.size());
    Ar << N;
    if (N) Ar.Serialize(const_cast<char*>(B.data()), N);
    return *this;
  }
  std::vector<BYTE> Done() { return Ar.Bytes; }

 private:
  pkgtool::FBufferWriter Ar;
};

// A package loaded from bytes, with the archive it was read through.
struct Loaded {
  explicit Loaded(std::vector<BYTE> Bytes) : Ar(std::move(Bytes)), Pkg(&Ar) {}
  engine_test::FMemoryArchive Ar;
  FPackageData Pkg;
};

inline std::unique_ptr<Loaded> LoadModel(const pkgtool::PackageModel& M) {
  auto L = std::make_unique<Loaded>(pkgtool::BuildPackage(M));
  L->Pkg.LoadSummary();
  return L;
}

inline std::string Text(const TArray<BYTE>& A) {
  return std::string(static_cast<const char*>(A.GetData()), A.Num());
}

inline std::vector<BYTE> ToBytes(const std::string& S) { return std::vector<BYTE>(S.begin(), S.end()); }

// The model of a small package: names None Core Class Package Pkg A B,
// import 0 Core.Package "Pkg"... see the .cc of each test for the use.
inline pkgtool::PackageModel SmallModel() {
  pkgtool::PackageModel M;
  M.Guid = FGuid(9, 8, 7, 6);
  for (const wchar_t* N : {L"None", L"Core", L"Class", L"Package", L"Pkg", L"A", L"B", L"C"}) M.NameSlot(N, 0x10);
  M.Imports.push_back({1, 3, 0, 4});   // import 0: Pkg
  M.Imports.push_back({1, 2, -1, 5});  // import 1: Pkg.A
  M.Exports.push_back({-2, 0, 0, 6, 0x4, {'b', 'b', 'b'}});  // export 0: B
  M.Exports.push_back({-2, 0, 1, 7, 0x4, {'c', 'c'}});       // export 1: B.C
  return M;
}

}  // namespace patcher_test

#endif  // TESTING_PACKAGE_TEST_UTIL_H_
