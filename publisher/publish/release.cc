// The release builder: from whole client builds, one per version, to the
// served tree of delta and full packages, version documents and news.
#include <algorithm>
#include <cstring>
#include <filesystem>
#include <map>
#include <sstream>

#include "delta_setup/binary_diff.h"
#include "delta_setup/delta_format.h"
#include "launcher/release/rollout.h"
#include "launcher/release/version_documents.h"
#include "launcher/update/digest.h"
#include "patcher/engine/archive.h"
#include "platform/file.h"
#include "platform/path.h"
#include "platform/process.h"
#include "publisher/pkgtool/package_tool.h"
#include "publisher/publish/publisher.h"

namespace publisher {
namespace {

constexpr size_t kNewsVersions = 10;

struct Entry {
  std::string full_path, sha256;
  bool executable = false;
};

struct Build {
  std::string version, dir, notes;
  std::map<std::string, Entry> files;  // relative path with '/' -> entry
};

bool ListFiles(const std::string& dir, const std::string& rel, std::map<std::string, Entry>* out, std::string* error) {
  std::vector<platform::DirEntry> entries;
  if (!platform::ListDirectory(dir, &entries)) {
    *error = "cannot list " + dir;
    return false;
  }
  for (const platform::DirEntry& e : entries) {
    if (e.name == "." || e.name == "..") continue;
    const std::string path = platform::JoinPath(dir, e.name), r = rel + e.name;
    if (e.is_directory) {
      if (!ListFiles(path + platform::kPathSep, r + "/", out, error)) return false;
      continue;
    }
    Entry f;
    f.full_path = path;
    std::error_code ec;
    const auto perms = std::filesystem::status(path, ec).permissions();
    f.executable = !ec && (perms & std::filesystem::perms::owner_exec) != std::filesystem::perms::none;
    (*out)[r] = f;
  }
  return true;
}

// An engine package: the file starts with the package tag, in the clear or
// enciphered behind the marker.
bool IsEnginePackage(const std::string& head) {
  static const unsigned char kTag[4] = {0xC1, 0x83, 0x2A, 0x9E};
  if (head.size() >= 4 && std::memcmp(head.data(), kTag, 4) == 0) return true;
  if (head.size() < 14 || head.compare(0, 10, "TRXArchive") != 0) return false;
  for (int i = 0; i < 4; ++i)
    if ((static_cast<unsigned char>(head[10 + i]) ^ FArchive::TransformKey[i]) != kTag[i]) return false;
  return true;
}

std::string HtmlEscape(const std::string& text) {
  std::string out;
  for (char c : text) {
    switch (c) {
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '&': out += "&amp;"; break;
      case '"': out += "&quot;"; break;
      case '\'': out += "&#39;"; break;
      default: out += c;
    }
  }
  return out;
}

// A written package: its address (and its place in the tree,
// packages/<sha256>/<name>) and digests.
struct Published {
  std::string url, rel, sha1, sha256;
  std::string blocks;  // packageblocks
  uint64_t size = 0;
};

bool WritePackage(const std::string& out, const std::string& base_url, const std::string& name,
                  const std::string& bytes, Published* p, std::string* error) {
  p->sha256 = delta_package::Sha256Of(bytes);
  DigestContext sha1;
  sha1.Update(bytes.data(), bytes.size());
  sha1.Final();
  p->sha1 = sha1.DigestText();
  p->size = bytes.size();
  p->blocks = release::PackageBlocksOf(bytes);
  const std::string dir = platform::JoinPath(platform::JoinPath(out, "packages") + platform::kPathSep, p->sha256);
  platform::MakeDirectories(dir);
  // Content-addressed: one that is there already is kept as it is.
  if (!WriteTreeFile(platform::JoinPath(dir, name), bytes, Existing::kRefuse, error)) return false;
  p->rel = "packages/" + p->sha256 + "/" + name;
  p->url = base_url + p->rel;
  return true;
}

// The difference file for an engine package, as "pkgtool diff" makes it,
// when Gleaner composes exactly NEW from OLD with it; otherwise empty with
// the reason.
bool TryDifference(const std::string& work, const std::string& gleaner, const Entry& old_file,
                   const Entry& new_file, const std::string& new_bytes, std::string* diff, std::string* reason) {
  const std::string diff_path = work + "step.diff", out_path = work + "step.out";
  platform::RemoveFile(out_path);
  std::string report;
  if (pkgtool::RunPkgtool({"diff", old_file.full_path, new_file.full_path, diff_path}, &report) != 0) {
    while (!report.empty() && report.back() == '\n') report.pop_back();
    *reason = "no difference file: " + report;
    return false;
  }
  if (report.find("note:") != std::string::npos) {
    *reason = "the difference file cannot carry its generations";
    return false;
  }
  const std::string line = platform::QuoteArgument(gleaner) + " \"" + diff_path + "\" \"" + old_file.full_path +
                           "\" \"" + out_path + "\"";
  auto child = platform::StartProcess(line, work, work + "gleaner.log");
  if (!child || !child->Wait()) {
    *reason = "cannot run the patch tool";
    return false;
  }
  std::string composed;
  if (child->ExitCode() != 0 || !platform::ReadFileToString(out_path, &composed)) {
    *reason = "the patch tool fails on it (exit code " + std::to_string(child->ExitCode()) + ")";
    return false;
  }
  if (composed != new_bytes) {
    *reason = "the composed package is not byte-identical to the new one";
    return false;
  }
  return platform::ReadFileToString(diff_path, diff);
}

// The first bytes of a file (fewer when it is shorter).
std::string Head(const std::string& path, int32_t n) {
  auto f = platform::OpenFile(path, platform::FileOpenOptions());
  std::string out(static_cast<size_t>(n), '\0');
  size_t got = 0;
  if (!f || f->Read(&out[0], out.size(), &got) != platform::Status::kOk) return std::string();
  out.resize(got);
  return out;
}

void RemoveTree(const std::string& path) {
  std::error_code ec;
  std::filesystem::remove_all(path, ec);
}

bool IsLauncher(const std::string& path) { return path == "Quillfen" || path == "Quillfen.exe"; }

// The builds in `builds`, oldest first, each listed with its files' digests.
// Refuses anything but version directories, two naming one version, and a
// file name the setup program would refuse.
bool ReadBuilds(const std::string& builds, std::vector<Build>* out, std::vector<std::string>* lines,
                std::string* error) {
  std::vector<platform::DirEntry> entries;
  if (!platform::ListDirectory(builds, &entries)) {
    *error = "cannot list " + builds;
    return false;
  }
  std::vector<std::pair<std::vector<uint64_t>, Build>> found;
  for (const platform::DirEntry& e : entries) {
    if (e.name == "." || e.name == "..") continue;
    std::vector<uint64_t> parts;
    if (!e.is_directory || !ParseVersion(e.name, &parts)) {
      *error = "not a version directory in " + builds + ": " + e.name;
      return false;
    }
    Build b;
    b.version = e.name;
    b.dir = platform::JoinPath(builds, e.name) + platform::kPathSep;
    if (!ListFiles(b.dir, "", &b.files, error)) return false;
    if (b.files.count("notes.txt")) {
      platform::ReadFileToString(b.files["notes.txt"].full_path, &b.notes);
      b.files.erase("notes.txt");
    }
    if (b.files.erase(delta_package::kVersionStore))
      lines->push_back(b.version + ": " + delta_package::kVersionStore + " left out (the setup program writes it)");
    for (auto& [path, f] : b.files) {
      if (!delta_package::SafeRelativePath(path)) {
        *error = b.version + ": a file name the setup program refuses: " + path;
        return false;
      }
      if (!Sha256File(f.full_path, &f.sha256)) {
        *error = "cannot read " + f.full_path;
        return false;
      }
    }
    found.emplace_back(parts, std::move(b));
  }
  if (found.empty()) {
    *error = "no version directories in " + builds;
    return false;
  }
  std::sort(found.begin(), found.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
  for (size_t i = 1; i < found.size(); ++i) {
    if (found[i].first == found[i - 1].first) {
      *error = "two directories name version " + found[i].second.version;
      return false;
    }
  }
  for (auto& f : found) out->push_back(std::move(f.second));
  return true;
}

// The payloads of one step: the delta (difference files for engine packages
// where they pay, binary differences for other changed files where they are
// smaller than the file, the rest whole) and the full package.
struct Step {
  Step(const std::string& to, const std::string& from) : delta(to, from), full(to) {}
  delta_package::PayloadWriter delta, full;
  bool self = false;  // the launcher itself changes
  int patched = 0, whole = 0, differenced = 0, deleted = 0;
};

bool ComposeStep(const Build& from, const Build& to, const std::string& work, const std::string& gleaner,
                 const std::string& gleaner_bytes, Step* step, std::vector<std::string>* lines, std::string* error) {
  for (const auto& [path, old_file] : from.files) {
    if (to.files.count(path)) continue;
    step->delta.AddDelete(path);
    step->full.AddDelete(path);
    step->self = step->self || IsLauncher(path);
    ++step->deleted;
  }
  for (const auto& [path, f] : to.files) {
    std::string bytes;
    if (!platform::ReadFileToString(f.full_path, &bytes)) {
      *error = "cannot read " + f.full_path;
      return false;
    }
    step->full.AddWhole(path, bytes);
    step->full.AddOutput(path, f.sha256, f.executable);
    auto old_it = from.files.find(path);
    if (old_it != from.files.end() && old_it->second.sha256 == f.sha256 && old_it->second.executable == f.executable)
      continue;
    step->self = step->self || IsLauncher(path);
    step->delta.AddOutput(path, f.sha256, f.executable);
    if (old_it != from.files.end()) {
      const bool engine = IsEnginePackage(bytes.substr(0, 14)) && IsEnginePackage(Head(old_it->second.full_path, 14));
      std::string not_patched;  // why an engine package has no difference file
      if (engine) {
        std::string diff, reason;
        if (TryDifference(work, gleaner, old_it->second, f, bytes, &diff, &reason)) {
          step->delta.AddInput(path, old_it->second.sha256);
          step->delta.AddPatch(path, std::move(diff));
          ++step->patched;
          continue;
        }
        not_patched = reason;
      }
      // A binary difference when it is smaller than the file as the package
      // stores it (compressed).
      std::string old_bytes;
      if (!platform::ReadFileToString(old_it->second.full_path, &old_bytes)) {
        *error = "cannot read " + old_it->second.full_path;
        return false;
      }
      std::string diff = binary_diff::Make(old_bytes, bytes);
      if (!diff.empty() && diff.size() < delta_package::Compress(bytes).size()) {
        step->delta.AddInput(path, old_it->second.sha256);
        step->delta.AddBinaryDiff(path, std::move(diff));
        ++step->differenced;
        if (engine)
          lines->push_back("  " + to.version + ": engine package " + path + " sent as a binary difference: " + not_patched);
        continue;
      }
      if (engine) lines->push_back("  " + to.version + ": engine package " + path + " sent whole: " + not_patched);
    }
    step->delta.AddWhole(path, bytes);
    ++step->whole;
  }
  if (step->patched > 0) step->delta.SetGleaner(gleaner_bytes);
  return true;
}

// A route from one version: the version.xml that names it and the bytes its
// packages cost a client (the delta's).
struct Route {
  release::VersionInfo info;
  uint64_t bytes = 0;
};

// Writes the step's two packages; *route is the version.xml naming them.
bool PackStep(const std::string& out, const std::string& base_url, const std::string& program,
              const std::string& suffix, const Build& from, const Build& to, const Step& step, const Publication& pub,
              Route* route, std::vector<std::string>* lines, std::string* error) {
  Published d, f;
  if (!WritePackage(out, base_url, "update_" + from.version + "_to_" + to.version + suffix,
                    delta_package::Attach(program, step.delta.Payload()), &d, error) ||
      !WritePackage(out, base_url, "full_" + from.version + "_to_" + to.version + suffix,
                    delta_package::Attach(program, step.full.Payload()), &f, error))
    return false;

  release::VersionInfo& info = route->info;
  info.versionnum = to.version;
  info.packageurl = d.url;
  info.packagemd5 = d.sha1;
  info.updateself = step.self ? "true" : "false";
  info.fullpackageurl = f.url;
  info.fullpackagemd5 = f.sha1;
  if (pub.Signed()) {
    info.serial = std::to_string(pub.serial);
    info.fromversion = from.version;
    info.packagesize = std::to_string(d.size);
    info.packagesha256 = d.sha256;
    info.fullpackagesize = std::to_string(f.size);
    info.fullpackagesha256 = f.sha256;
    info.packageblocks = d.blocks;
    info.fullpackageblocks = f.blocks;
  }
  // Each mirror serves the tree's copy: the package and its fallback there.
  for (const std::string& mirror : pub.mirrors) {
    info.mirrorurls.push_back(mirror + d.rel);
    info.mirrorurls.push_back(mirror + f.rel);
  }
  route->bytes = d.size;
  std::ostringstream line;
  line << from.version << " -> " << to.version << "  delta " << d.size << " bytes (" << step.patched << " patched, "
       << step.whole << " whole, " << step.differenced << " differenced, " << step.deleted << " deleted)  full " << f.size << " bytes"
       << (step.self ? "  updateself" : "");
  lines->push_back(line.str());
  return true;
}

// The tree's newest version goes to a share of installs only.
bool Staged(const release::LatestVersion& latest) {
  int percent = 100;
  return latest.rollout && release::ParseRollout(*latest.rollout, &percent) && percent < 100 &&
         latest.heldversionnum && !latest.heldversionnum->empty();
}

// Where the build `version` stands in `found`; found.size() when it is none.
size_t IndexOf(const std::vector<Build>& found, const std::string& version) {
  for (size_t i = 0; i < found.size(); ++i)
    if (found[i].version == version) return i;
  return found.size();
}

// The version each build steps to (an index into `found`; the last build's
// is unused). Normally the next build. Publishers never take a version back:
// a bad one is replaced by a newer release, and while the tree's newest was
// staged (`prev`), the installs held back from it step from the held version
// straight to the new release, past the staged one (a delta from the last
// good version as well as from the bad one). Such a step, once published,
// is kept by every later release, so the held installs never reach the
// version they were spared.
std::vector<size_t> StepTargets(const std::vector<Build>& found, const std::string& out,
                                const release::LatestVersion* prev) {
  std::vector<size_t> next(found.size());
  for (size_t i = 0; i < found.size(); ++i) {
    next[i] = i + 1;
    std::string text;
    release::VersionInfo info;
    if (i + 1 >= found.size() ||
        !platform::ReadFileToString(platform::JoinPath(out + found[i].version, release::kVersionInfoFile), &text) ||
        !release::ParseVersionInfo(text, &info) || !info.versionnum)
      continue;
    const size_t published = IndexOf(found, *info.versionnum);
    if (published < found.size() && published > i + 1) next[i] = published;
  }
  if (prev && Staged(*prev) && prev->lastversionnum != found.back().version) {
    const size_t held = IndexOf(found, *prev->heldversionnum);
    if (held + 1 < found.size()) next[held] = found.size() - 1;
  }
  return next;
}

// latest-version.xml's rollout for a new release to `percent` of installs:
// the others are held at the version every install could have before it
// (the tree's newest, or while that was staged its held version; for the
// same newest published again, its held version).
bool StageRelease(const std::vector<Build>& found, const release::LatestVersion* prev, int percent,
                  release::LatestVersion* latest, std::string* error) {
  const std::string& newest = found.back().version;
  if (!prev) {
    *error = "--rollout needs a tree with a newest version already (the one the other installs keep)";
    return false;
  }
  std::string held;
  if (prev->lastversionnum == newest) {
    if (!prev->heldversionnum || prev->heldversionnum->empty()) {
      *error = newest + " went out to every install already; a release is never taken back (publish a newer one)";
      return false;
    }
    held = *prev->heldversionnum;
  } else {
    held = Staged(*prev) ? *prev->heldversionnum : prev->lastversionnum;
  }
  const size_t at = IndexOf(found, held);
  if (at + 1 >= found.size()) {
    *error = "the held version " + held + " is not a build older than " + newest;
    return false;
  }
  latest->rollout = std::to_string(percent);
  latest->heldversionnum = held;
  return true;
}

}  // namespace


std::string OwnTarget() {
  if (std::string(platform::kExeSuffix) != ".exe") return "native";
  return sizeof(void*) == 8 ? "win64" : "win32";
}

std::string ProgramTarget(const std::string& head) {
  if (head.compare(0, 4, "\x7f" "ELF") == 0) return "native";
  if (head.size() < 0x40 || head.compare(0, 2, "MZ") != 0) return "";
  uint32_t pe = 0;
  for (int i = 3; i >= 0; --i) pe = pe << 8 | static_cast<unsigned char>(head[0x3C + i]);
  if (pe > head.size() || head.size() - pe < 6 || head.compare(pe, 4, std::string("PE\0\0", 4)) != 0) return "";
  const unsigned machine = static_cast<unsigned char>(head[pe + 4]) | static_cast<unsigned char>(head[pe + 5]) << 8;
  return machine == 0x14C ? "win32" : machine == 0x8664 ? "win64" : "";
}

std::string NewsPage(const std::vector<std::pair<std::string, std::string>>& newest_first) {
  std::string page =
      "<!DOCTYPE html>\n<html>\n<head>\n<meta charset=\"utf-8\">\n<title>Release notes</title>\n</head>\n<body>\n"
      "<h1>Release notes</h1>\n";
  for (const auto& [version, notes] : newest_first) {
    page += "<h2>" + HtmlEscape(version) + "</h2>\n";
    page += notes.empty() ? std::string("<p>No release notes.</p>\n") : "<pre>" + HtmlEscape(notes) + "</pre>\n";
  }
  return page + "</body>\n</html>\n";
}

bool BuildRelease(const std::string& builds_in, const std::string& out_dir_in, const std::string& base_url_in,
                  const std::string& setup_program, const std::string& gleaner, const Publication& pub,
                  std::vector<std::string>* lines, std::string* error, const ReleaseOptions& options) {
  // Absolute, for the patch tool runs in another directory.
  std::error_code ec;
  const std::string builds = std::filesystem::absolute(builds_in, ec).string();
  const std::string out_dir = std::filesystem::absolute(out_dir_in, ec).string();
  std::string program, gleaner_bytes;
  if (!platform::ReadFileToString(setup_program, &program)) {
    *error = "cannot read the setup program " + setup_program;
    return false;
  }
  const std::string& shipped_gleaner = options.shipped_gleaner.empty() ? gleaner : options.shipped_gleaner;
  if (!platform::ReadFileToString(shipped_gleaner, &gleaner_bytes)) {
    *error = "cannot read the patch tool " + shipped_gleaner;
    return false;
  }
  // Programs of the target's kind, or none of this release is written.
  auto of_target = [&](const char* what, const std::string& path, const std::string& bytes) {
    const std::string kind = ProgramTarget(bytes.substr(0, 4096));
    if (options.target.empty() || kind == options.target) return true;
    *error = std::string(what) + " " + path + " is " +
             (kind.empty() ? "not a program of a known kind" : "a " + kind + " program") + ", not a " +
             options.target + " one: give the " + options.target + " build's directory with --tools DIR";
    return false;
  };
  if (!of_target("the setup program", setup_program, program) ||
      !of_target("the patch tool", shipped_gleaner, gleaner_bytes))
    return false;
  if (options.direct < 0 || options.direct > kMaxDirect) {
    *error = "--direct takes 0 to " + std::to_string(kMaxDirect) + " versions";
    return false;
  }
  const std::string base_url = base_url_in.empty() || base_url_in.back() == '/' ? base_url_in : base_url_in + "/";
  std::vector<Build> found;
  if (!ReadBuilds(builds, &found, lines, error)) return false;
  if (!CheckNewest(out_dir, found.back().version, pub, error)) return false;

  const std::string out = platform::JoinPath(out_dir, "");
  // The tree as it stands, before anything is written: a rollout and the
  // steps around a staged version follow from it.
  release::LatestVersion prev_latest;
  const release::LatestVersion* prev = ReadTreeLatest(out, &prev_latest) ? &prev_latest : nullptr;
  release::LatestVersion latest = LatestOf(found.back().version, pub);
  if (pub.rollout >= 0 && !StageRelease(found, prev, pub.rollout, &latest, error)) return false;
  if (latest.rollout)
    lines->push_back("rollout " + *latest.rollout + "% of " + latest.lastversionnum + ", the others held at " +
                     *latest.heldversionnum);
  const std::vector<size_t> next = StepTargets(found, out, prev);
  const std::string work = out + ".release-work" + platform::kPathSep;
  RemoveTree(work);
  platform::MakeDirectories(work);
  platform::MakeDirectories(out + "packages");
  pkgtool::InstallServices();
  const std::string& suffix = options.exe_suffix;
  // routes[i]: what <found[i]>/version.xml names; first the step to the
  // version it steps to.
  std::vector<Route> routes(found.size() - 1);
  for (size_t i = 0; i + 1 < found.size(); ++i) {
    const Build& from = found[i];
    const Build& to = found[next[i]];
    Step step(to.version, from.version);
    if (!ComposeStep(from, to, work, gleaner, gleaner_bytes, &step, lines, error) ||
        !PackStep(out, base_url, program, suffix, from, to, step, pub, &routes[i], lines, error))
      return false;
  }
  // Direct deltas to the newest from the last `direct` versions before it
  // (one whose own step reaches the newest has it already): each
  // version.xml names the cheaper of its direct delta and its chain of
  // steps. Not while the newest is staged: an install held back walks the
  // chain to the held version, and a route past it would leave it behind.
  const size_t newest = found.size() - 1, last = static_cast<size_t>(options.direct);
  if (latest.rollout && last > 0) lines->push_back("no direct deltas while the newest version is staged");
  for (size_t i = newest >= last ? newest - last : 0; !latest.rollout && i + 1 < newest; ++i) {
    if (next[i] == newest) continue;
    uint64_t chain = 0;
    size_t steps = 0;
    for (size_t j = i; j < newest; j = next[j], ++steps) chain += routes[j].bytes;
    Step step(found[newest].version, found[i].version);
    Route direct;
    if (!ComposeStep(found[i], found[newest], work, gleaner, gleaner_bytes, &step, lines, error) ||
        !PackStep(out, base_url, program, suffix, found[i], found[newest], step, pub, &direct, lines, error))
      return false;
    const bool take = direct.bytes < chain;
    lines->push_back("  " + found[i].version + ": " + (take ? "direct delta " : "chain of steps ") +
                     std::to_string(take ? direct.bytes : chain) + " bytes named (" +
                     (take ? "chain of " + std::to_string(steps) + " steps " + std::to_string(chain)
                           : "direct delta " + std::to_string(direct.bytes)) +
                     " bytes)");
    if (take) routes[i] = std::move(direct);
  }
  RemoveTree(work);
  // The per-file store beside the packages, and each version's manifest,
  // before the version documents that lead players to them.
  std::vector<VersionFiles> store(found.size());
  for (size_t i = 0; i < found.size(); ++i) {
    store[i].version = found[i].version;
    for (const auto& [path, f] : found[i].files) store[i].files.push_back({path, f.full_path, f.sha256, f.executable});
  }
  if (!PublishFileStore(out, store, pub.seeds, lines, error)) return false;
  for (size_t i = 0; i < routes.size(); ++i) {
    platform::MakeDirectories(out + found[i].version);
    if (!release::WriteDocumentFile(platform::JoinPath(out + found[i].version, release::kVersionInfoFile),
                                    release::WriteVersionInfo(routes[i].info), pub.seeds, error))
      return false;
  }

  std::vector<std::pair<std::string, std::string>> news;
  for (size_t i = found.size(); i > 0 && news.size() < kNewsVersions; --i)
    news.emplace_back(found[i - 1].version, found[i - 1].notes);
  // Signed like the version documents: a launcher with keys shows only a
  // page that verifies.
  if (!release::WriteDocumentFile(out + "news.html", NewsPage(news), pub.seeds, error)) return false;
  // Every package and version.xml is in place: latest-version.xml, which
  // sends players along them, last.
  return release::WriteDocumentFile(out + release::kLatestVersionFile, release::WriteLatestVersion(latest), pub.seeds,
                                    error);
}

}  // namespace publisher
