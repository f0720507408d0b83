// The repair of "-c repair": the install brought to the newest version's file
// list through the per-file store (launcher/release/file_manifest.h).
#include <algorithm>
#include <cctype>
#include <cstdint>
#include <set>

#include "delta_setup/delta_format.h"
#include "delta_setup/delta_install.h"
#include "launcher/log/logger.h"
#include "launcher/release/file_manifest.h"
#include "launcher/release/text.h"
#include "launcher/release/version_documents.h"
#include "launcher/update/install_check.h"
#include "launcher/update/update_state.h"
#include "launcher/update/update_thread.h"
#include "launcher/update/version.h"
#include "platform/env.h"
#include "platform/file.h"
#include "platform/path.h"

namespace {

// How long a stored file may take beyond a document's deadline: a
// millisecond per 16 bytes (16 KB/s at the least).
uint32_t StoredFileDeadlineMs(uint32_t document_ms, uint64_t stored) {
  if (document_ms == 0) return 0;  // no deadline
  return static_cast<uint32_t>(std::min<uint64_t>(UINT32_MAX, document_ms + stored / 16));
}

}  // namespace

bool UpdateThread::FetchFileList(const std::string& version, const PublisherKeys* keys, release::FileManifest* list,
                                 bool quiet, UpdateState* failed) {
  // Within a pass (the keys it checks with), a list is fetched once; a quiet
  // ask that found none is not repeated either.
  const bool cacheable = keys == passKeys_;
  if (cacheable) {
    auto it = passLists_.find(version);
    if (it != passLists_.end() && (it->second || quiet)) {
      *failed = InfoFetchFailed;
      if (!it->second) return false;
      *list = *it->second;
      return true;
    }
  }
  const bool had = FetchFileListOnce(version, keys, list, quiet, failed);
  if (cacheable && !Cancelled()) {
    passLists_[version] = had ? std::make_shared<const release::FileManifest>(*list) : nullptr;
  }
  return had;
}

bool UpdateThread::FetchFileListOnce(const std::string& version, const PublisherKeys* keys,
                                     release::FileManifest* list, bool quiet, UpdateState* failed) {
  const std::string list_url = updateUrl + version + "/" + release::kFileManifestFile;
  std::string text;
  *failed = InfoFetchFailed;
  if (!FetchText(list_url, &text, static_cast<uint32_t>(release::kMaxManifestBytes))) {
    if (!Cancelled() && !quiet) LogError() << "repair: the file list of " << version << " cannot be had,url:" << list_url;
    return false;
  }
  if (keys && !FetchSignature(*keys, list_url, text, release::kFileManifestFile)) return false;
  *failed = UnexpectedError;
  std::string why;
  if (!release::ParseFileManifest(text, list, &why) || list->version != version) {
    LogError() << "repair: the file list of " << version << " is refused: "
               << (why.empty() ? "it names version " + list->version : why);
    return false;
  }
  return true;
}

bool UpdateThread::Repair(const PublisherKeys* keys, bool trial, const release::FileManifest* from) {
  // A trial (a route the pass may take or leave) ends nothing, and its
  // failures are warnings: its caller goes on another way.
  auto fail = [&](UpdateState state) {
    if (!trial && !Cancelled()) host_.Stop(state);
    return false;
  };
  auto complain = [&] { return LogEntry(Logger::Instance(), trial ? LogLevel::WARN : LogLevel::ERROR); };
  if (CompareVersions(localVersion, latestVersion) > 0) {
    LogInfo() << "repair: installed version " << localVersion << " is newer than " << latestVersion
              << ", nothing repaired";
    return !trial;
  }
  // Before its release time the newest version is not installed, repaired
  // to or otherwise: the update pre-loads it.
  if (localVersion != latestVersion && availableFrom_ > platform::CurrentEnv().NowSeconds()) {
    LogInfo() << "repair: " << latestVersion << " is not out yet, nothing repaired";
    return !trial;
  }
  host_.SetState(FetchingInfo);
  LogInfo() << "repair: file list address:" << updateUrl + latestVersion + "/" + release::kFileManifestFile;
  release::FileManifest list;
  UpdateState list_failed;
  if (!FetchFileList(latestVersion, keys, &list, false, &list_failed)) return fail(list_failed);
  host_.SetState(ParsingInfo);

  const std::vector<size_t> differ = FilesThatDiffer(settings_.install_dir, list.files);
  uint64_t bytes = 0;
  for (size_t i : differ) bytes += list.files[i].stored;
  LogInfo() << "repair: " << differ.size() << " of " << list.files.size() << " files differ, fetching " << bytes
            << " bytes";
  if (differ.empty() && localVersion == latestVersion) {
    LogInfo() << "repair: every file of " << latestVersion << " is as listed";
    return true;
  }
  if (Cancelled()) return false;

  // Every file fetched and checked before anything is installed.
  host_.SetState(Downloading);
  delta_package::PayloadWriter payload(latestVersion);
  for (size_t i : differ) {
    const release::ManifestFile& f = list.files[i];
    const std::string url = updateUrl + release::StoredFileAddress(f.sha256);
    LogInfo() << "repair: fetching " << f.path << " (" << f.stored << " bytes),url:" << url;
    std::string stored, raw;
    if (!FetchText(url, &stored, static_cast<uint32_t>(f.stored),
                   StoredFileDeadlineMs(settings_.deadlines.document_ms, f.stored))) {
      if (Cancelled()) return false;
      complain() << "repair: " << f.path << " cannot be had, nothing repaired,url:" << url;
      return fail(PackageFailed);
    }
    // Inflated into a buffer of the listed size: never more.
    if (stored.size() != f.stored || !delta_package::Uncompress(stored, f.size, &raw) ||
        delta_package::Sha256Of(raw) != f.sha256) {
      complain() << "repair: " << f.path << " from the store is not the listed file (" << stored.size()
                 << " bytes), nothing repaired,url:" << url;
      return fail(DigestMismatch);
    }
    payload.AddOutput(f.path, f.sha256, f.executable);
    payload.AddWhole(f.path, raw);
    if (Cancelled()) return false;
  }

  // Updating from a version whose list is known: what the newest no longer
  // lists goes, as a delta package would remove it.
  size_t removed = 0;
  if (from) {
    // Compared in any letter case: on Windows "a.u" and "A.u" are one file,
    // and it must not go when the newest lists it in other letters.
    auto folded = [](std::string p) {
      for (char& c : p) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
      return p;
    };
    std::set<std::string> kept;
    for (const auto& f : list.files) kept.insert(folded(f.path));
    for (const auto& f : from->files) {
      if (kept.count(folded(f.path)) == 0) {
        payload.AddDelete(f.path);
        ++removed;
      }
    }
  }

  // The setup program's install: staged, checked, journaled, then renamed
  // into place, the version written last.
  const std::string dir = settings_.install_dir + "update";
  platform::MakeDirectories(dir);
  const std::string package = platform::JoinPath(dir, "repair_" + latestVersion + ".pkg");
  if (!platform::WriteStringToFile(package, delta_package::Attach(std::string(), payload.Payload()))) {
    complain() << "repair: cannot write " << package;
    return fail(PackageFailed);
  }
  host_.SetState(Installing);
  int result;
  {
    host_.Lock();
    result = delta_install::Install(package, settings_.install_dir);
    host_.Unlock();
  }
  platform::RemoveFile(package);
  std::string now;
  if (result != delta_install::kInstalled || !QueryInstalled("GetClientVersion", now) || now != latestVersion) {
    complain() << "repair: the install of the fetched files failed (code " << result << "), the version is " << now;
    return fail(SetupFailed);
  }
  localVersion = now;
  LogInfo() << "repair: " << differ.size() << " files installed, " << removed << " removed, version " << now;
  return true;
}

bool UpdateThread::PerFileRoute(const std::string& reason) {
  // A tree without the newest version's list offers no such route, and
  // nothing is said of it.
  release::FileManifest newest, from;
  UpdateState ignored;
  if (!FetchFileList(latestVersion, passKeys_, &newest, true, &ignored) || Cancelled()) return false;
  // The installed version's list, when the store has one, names what the
  // newest version no longer holds.
  const bool have_from = FetchFileList(localVersion, passKeys_, &from, true, &ignored);
  if (Cancelled()) return false;
  LogEntry(Logger::Instance(), reason.empty() ? LogLevel::INFO : LogLevel::WARN)
      << reason << (reason.empty() ? "" : ", ") << "taking the per-file route from " << localVersion << " to "
      << latestVersion;
  return Repair(passKeys_, true, have_from ? &from : nullptr);
}

bool UpdateThread::RouteBytes(const release::VersionInfo& info, const SignedPackage& package, uint64_t* bytes,
                              size_t* steps) {
  uint64_t size = 0;
  if (package.present) {
    size = package.size;
  } else if (!info.packagesize || !release::ParseDecimal(*info.packagesize, &size)) {
    return false;  // an unsigned step that does not say its size
  }
  *bytes = size;
  *steps = 1;
  // The steps after this one, each from its own version.xml (checked as the
  // pass would check it), up to the newest version.
  std::string at = *info.versionnum;
  while (at != latestVersion) {
    if (*steps >= kMaxRouteSteps || Cancelled()) return false;
    const std::string url = updateUrl + at + "/" + release::kVersionInfoFile;
    std::string text;
    release::VersionInfo next;
    uint64_t next_size = 0;
    if (!FetchText(url, &text) || (passKeys_ && !FetchSignature(*passKeys_, url, text, release::kVersionInfoFile)) ||
        !release::ParseVersionInfo(text, &next) || !next.HasFour() || !next.packagesize ||
        !release::ParseDecimal(*next.packagesize, &next_size) || CompareVersions(*next.versionnum, at) <= 0 ||
        CompareVersions(*next.versionnum, latestVersion) > 0) {
      return false;
    }
    *bytes += next_size;
    ++*steps;
    at = *next.versionnum;
  }
  return true;
}

bool UpdateThread::PerFileRouteIsCheaper(const release::VersionInfo& info, const SignedPackage& package) {
  if (CompareVersions(localVersion, latestVersion) >= 0 || availableFrom_ > platform::CurrentEnv().NowSeconds())
    return false;
  // Trees published before the store have no list: the named route, as ever.
  release::FileManifest newest;
  UpdateState ignored;
  if (!FetchFileList(latestVersion, passKeys_, &newest, true, &ignored)) return false;
  // What the per-file route would fetch: from the installed version's list
  // when there is one, else from the install's own files.
  uint64_t files_bytes = 0;
  release::FileManifest from;
  if (FetchFileList(localVersion, passKeys_, &from, true, &ignored)) {
    std::set<std::pair<std::string, std::string>> have;
    for (const auto& f : from.files) have.emplace(f.path, f.sha256);
    for (const auto& f : newest.files) {
      if (have.count({f.path, f.sha256}) == 0) files_bytes += f.stored;
    }
  } else {
    if (Cancelled()) return false;
    for (size_t i : FilesThatDiffer(settings_.install_dir, newest.files)) files_bytes += newest.files[i].stored;
  }
  if (Cancelled()) return false;
  uint64_t named_bytes = 0;
  size_t steps = 0;
  if (!RouteBytes(info, package, &named_bytes, &steps)) {
    LogInfo() << "route to " << latestVersion << ": per-file " << files_bytes
              << " bytes, the named route's size unknown: taking the named route";
    return false;
  }
  const std::string named = steps == 1 ? std::string(*info.versionnum == latestVersion ? "the direct step" : "the step")
                                       : "the chain of " + std::to_string(steps) + " steps";
  const bool cheaper = files_bytes < named_bytes;
  LogInfo() << "route to " << latestVersion << ": per-file " << files_bytes << " bytes, " << named << " "
            << named_bytes << " bytes: taking " << (cheaper ? std::string("the per-file route") : named);
  return cheaper;
}
