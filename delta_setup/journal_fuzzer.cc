// The install journal as a setup program finds it after a run was stopped:
// arbitrary text goes through ParseJournal. An accepted journal names only
// paths the package may write, reads the same once written back, and is
// matched to a package's manifest only when it does what that manifest says.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "delta_setup/delta_format.h"

namespace {

void Check(bool ok, const char* what) {
  if (!ok) {
    std::fprintf(stderr, "journal_fuzzer: %s\n", what);
    std::abort();
  }
}

bool SameJournal(const delta_package::Journal& a, const delta_package::Journal& b) {
  if (a.manifest_sha256 != b.manifest_sha256 || a.version != b.version || a.from != b.from ||
      a.deletes != b.deletes || a.renames.size() != b.renames.size())
    return false;
  for (size_t i = 0; i < a.renames.size(); ++i) {
    const delta_package::JournalRename &x = a.renames[i], &y = b.renames[i];
    if (x.staged != y.staged || x.sha256 != y.sha256 || x.path != y.path || x.executable != y.executable)
      return false;
  }
  return true;
}

// The package the journals of the kept corpus were written for.
struct Package {
  delta_package::Manifest manifest;
  std::string sha256;
};

const Package& FixedPackage() {
  static const Package* p = [] {
    delta_package::PayloadWriter w("1.0.1", "1.0.0");
    w.AddInput("System/Core.u", delta_package::Sha256Of("old core"));
    w.AddOutput("System/Core.u", delta_package::Sha256Of("new core"), false);
    w.AddOutput("System/Game Launcher", delta_package::Sha256Of("program"), true);
    w.AddDelete("System/Old.int");
    w.SetGleaner("gleaner program");
    w.AddPatch("System/Core.u", "difference");
    w.AddWhole("System/Game Launcher", "program");
    auto* out = new Package;
    uint64_t size = 0;
    std::string error;
    const std::string payload = w.Payload();
    if (!delta_package::ParseManifest(payload, &out->manifest, &size, &error)) std::abort();
    out->sha256 = delta_package::ManifestSha256(payload.substr(0, size));
    return out;
  }();
  return *p;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  delta_package::Journal j;
  std::string error;
  if (!delta_package::ParseJournal(text, &j, &error)) {
    Check(!error.empty(), "refused without a reason");
    return 0;
  }
  Check(delta_package::IsSha256Text(j.manifest_sha256) && !j.version.empty(), "package line");
  for (const std::string& d : j.deletes) Check(delta_package::SafeRelativePath(d), "delete");
  for (const delta_package::JournalRename& r : j.renames) {
    Check(delta_package::SafeRelativePath(r.path) && delta_package::IsSha256Text(r.sha256), "rename");
    // The staged file stays in the staging directory.
    Check(r.staged.compare(0, std::string(delta_package::kStagingDir).size() + 1,
                           std::string(delta_package::kStagingDir) + "/") == 0 &&
              r.staged.find("..") == std::string::npos && r.staged.find('\\') == std::string::npos,
          "staged name");
  }

  const std::string again = delta_package::JournalText(j);
  delta_package::Journal j2;
  Check(delta_package::ParseJournal(again, &j2, &error), "written journal refused");
  Check(SameJournal(j, j2), "written journal reads otherwise");

  const Package& p = FixedPackage();
  std::string why;
  if (delta_package::JournalIsFor(j, p.manifest, p.sha256, &why)) {
    Check(j.manifest_sha256 == p.sha256 && j.deletes == p.manifest.deletes &&
              j.renames.size() == p.manifest.outputs.size(),
          "taken for the package");
    for (size_t i = 0; i < j.renames.size(); ++i)
      Check(j.renames[i].path == p.manifest.outputs[i].path &&
                j.renames[i].sha256 == p.manifest.outputs[i].sha256,
            "renames of the package");
  } else {
    Check(!why.empty(), "not the package's, without a reason");
  }
  return 0;
}
