// The repair of "-c repair": the install brought to the newest version's file
// list through the per-file store (launcher/release/file_manifest.h).
#include <algorithm>
#include <cstdint>

#include "delta_setup/delta_format.h"
#include "delta_setup/delta_install.h"
#include "launcher/log/logger.h"
#include "launcher/release/file_manifest.h"
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

bool UpdateThread::Repair(const PublisherKeys* keys) {
  if (CompareVersions(localVersion, latestVersion) > 0) {
    LogInfo() << "repair: installed version " << localVersion << " is newer than " << latestVersion
              << ", nothing repaired";
    return true;
  }
  // Before its release time the newest version is not installed, repaired
  // to or otherwise: the update pre-loads it.
  if (localVersion != latestVersion && availableFrom_ > platform::CurrentEnv().NowSeconds()) {
    LogInfo() << "repair: " << latestVersion << " is not out yet, nothing repaired";
    return true;
  }
  host_.SetState(FetchingInfo);
  const std::string list_url = updateUrl + latestVersion + "/" + release::kFileManifestFile;
  LogInfo() << "repair: file list address:" << list_url;
  std::string text;
  if (!FetchText(list_url, &text, static_cast<uint32_t>(release::kMaxManifestBytes))) {
    if (Cancelled()) return false;
    LogError() << "repair: the file list of " << latestVersion << " cannot be had,url:" << list_url;
    host_.Stop(InfoFetchFailed);
    return false;
  }
  if (!VerifyDocument(list_url, release::kFileManifestFile, keys, InfoFetchFailed, text)) return false;
  host_.SetState(ParsingInfo);
  release::FileManifest list;
  std::string why;
  if (!release::ParseFileManifest(text, &list, &why) || list.version != latestVersion) {
    LogError() << "repair: the file list of " << latestVersion << " is refused: "
               << (why.empty() ? "it names version " + list.version : why);
    host_.Stop(UnexpectedError);
    return false;
  }

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
      LogError() << "repair: " << f.path << " cannot be had, nothing repaired,url:" << url;
      host_.Stop(PackageFailed);
      return false;
    }
    // Inflated into a buffer of the listed size: never more.
    if (stored.size() != f.stored || !delta_package::Uncompress(stored, f.size, &raw) ||
        delta_package::Sha256Of(raw) != f.sha256) {
      LogError() << "repair: " << f.path << " from the store is not the listed file (" << stored.size()
                 << " bytes), nothing repaired,url:" << url;
      host_.Stop(DigestMismatch);
      return false;
    }
    payload.AddOutput(f.path, f.sha256, f.executable);
    payload.AddWhole(f.path, raw);
    if (Cancelled()) return false;
  }

  // The setup program's install: staged, checked, journaled, then renamed
  // into place, the version written last.
  const std::string dir = settings_.install_dir + "update";
  platform::MakeDirectories(dir);
  const std::string package = platform::JoinPath(dir, "repair_" + latestVersion + ".pkg");
  if (!platform::WriteStringToFile(package, delta_package::Attach(std::string(), payload.Payload()))) {
    LogError() << "repair: cannot write " << package;
    host_.Stop(PackageFailed);
    return false;
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
    LogError() << "repair: the install of the fetched files failed (code " << result << "), the version is " << now;
    host_.Stop(SetupFailed);
    return false;
  }
  localVersion = now;
  LogInfo() << "repair: " << differ.size() << " files installed, version " << now;
  return true;
}
