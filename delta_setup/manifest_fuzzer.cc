// The manifest of a release package as the setup program reads it: arbitrary
// payload bytes go through ParseManifest and, when accepted, through the
// checks the installer then makes on the blobs. A manifest that is accepted
// must say what the format allows, and the manifest written back from what
// was read must read the same.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "delta_setup/delta_format.h"

namespace {

void Check(bool ok, const char* what) {
  if (!ok) {
    std::fprintf(stderr, "manifest_fuzzer: %s\n", what);
    std::abort();
  }
}

// The manifest text of `m` in the format's own order (the writer's, less the
// blobs it would lay out itself).
std::string ManifestText(const delta_package::Manifest& m) {
  std::string t = "RNWL-DELTA 1\nversion " + m.version + "\n";
  if (!m.from.empty()) t += "from " + m.from + "\n";
  for (const auto& [path, sha] : m.inputs) t += "input " + sha + " " + path + "\n";
  for (const delta_package::Output& o : m.outputs)
    t += "output " + o.sha256 + " " + (o.executable ? "x" : "-") + " " + o.path + "\n";
  for (const std::string& d : m.deletes) t += "delete " + d + "\n";
  if (m.has_gleaner)
    t += "gleaner " + std::to_string(m.gleaner.offset) + " " + std::to_string(m.gleaner.size) + " " +
         std::to_string(m.gleaner.raw) + "\n";
  for (const auto& [path, b] : m.patches)
    t += "patch " + std::to_string(b.offset) + " " + std::to_string(b.size) + " " + path + "\n";
  for (const auto& [path, b] : m.wholes)
    t += "whole " + std::to_string(b.offset) + " " + std::to_string(b.size) + " " + std::to_string(b.raw) + " " +
         path + "\n";
  return t + "end\n";
}

bool SameBlob(const delta_package::Blob& a, const delta_package::Blob& b) {
  return a.offset == b.offset && a.size == b.size && a.raw == b.raw;
}

bool SameManifest(const delta_package::Manifest& a, const delta_package::Manifest& b) {
  if (a.version != b.version || a.from != b.from || a.inputs != b.inputs || a.deletes != b.deletes ||
      a.has_gleaner != b.has_gleaner || a.outputs.size() != b.outputs.size() ||
      a.patches.size() != b.patches.size() || a.wholes.size() != b.wholes.size())
    return false;
  if (a.has_gleaner && !SameBlob(a.gleaner, b.gleaner)) return false;
  for (size_t i = 0; i < a.outputs.size(); ++i) {
    const delta_package::Output &x = a.outputs[i], &y = b.outputs[i];
    if (x.path != y.path || x.sha256 != y.sha256 || x.executable != y.executable) return false;
  }
  for (size_t i = 0; i < a.patches.size(); ++i)
    if (a.patches[i].first != b.patches[i].first || !SameBlob(a.patches[i].second, b.patches[i].second))
      return false;
  for (size_t i = 0; i < a.wholes.size(); ++i)
    if (a.wholes[i].first != b.wholes[i].first || !SameBlob(a.wholes[i].second, b.wholes[i].second)) return false;
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string payload(reinterpret_cast<const char*>(data), size);
  delta_package::Manifest m;
  uint64_t manifest_size = 0;
  std::string error;
  if (!delta_package::ParseManifest(payload, &m, &manifest_size, &error)) {
    Check(!error.empty(), "refused without a reason");
    return 0;
  }
  Check(manifest_size >= 4 && manifest_size <= payload.size() &&
            payload.compare(manifest_size - 4, 4, "end\n") == 0,
        "manifest size");
  Check(!m.version.empty(), "no version");
  Check(m.from.empty() ? m.inputs.empty() && m.patches.empty() : true, "a full package with inputs");
  Check(m.patches.empty() || m.has_gleaner, "patches without the patch tool");
  Check(m.outputs.size() == m.patches.size() + m.wholes.size(), "outputs and sources");
  for (const auto& [path, sha] : m.inputs)
    Check(delta_package::SafeRelativePath(path) && delta_package::IsSha256Text(sha), "input");
  for (const delta_package::Output& o : m.outputs)
    Check(delta_package::SafeRelativePath(o.path) && delta_package::IsSha256Text(o.sha256), "output");
  for (const std::string& d : m.deletes) Check(delta_package::SafeRelativePath(d), "delete");

  // Read back from the text written for it: the same manifest.
  const std::string again = ManifestText(m);
  delta_package::Manifest m2;
  uint64_t size2 = 0;
  Check(delta_package::ParseManifest(again, &m2, &size2, &error), "written manifest refused");
  Check(size2 == again.size() && SameManifest(m, m2), "written manifest reads otherwise");

  // The blobs the installer would take: within the payload, and a compressed
  // one inflates to exactly its stated size or is refused.
  const uint64_t blobs = payload.size() - manifest_size;
  auto inside = [&](const delta_package::Blob& b) { return b.offset <= blobs && b.size <= blobs - b.offset; };
  for (const auto& [path, b] : m.wholes) {
    if (!inside(b) || b.raw > (1u << 16)) continue;
    std::string raw;
    if (delta_package::Uncompress(payload.substr(manifest_size + b.offset, b.size), b.raw, &raw))
      Check(raw.size() == b.raw, "inflated size");
  }
  return 0;
}
