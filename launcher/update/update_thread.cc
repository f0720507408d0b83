#include "launcher/update/update_thread.h"

#include <chrono>
#include <cstring>
#include <exception>

#include "launcher/log/logger.h"
#include "launcher/log/messages.h"
#include "launcher/release/rollout.h"
#include "launcher/release/signature.h"
#include "launcher/release/text.h"
#include "launcher/release/version_documents.h"
#include "launcher/update/digest.h"
#include "launcher/update/update_state.h"
#include "launcher/update/version.h"
#include "platform/env.h"
#include "platform/file.h"
#include "platform/path.h"
#include "platform/process.h"
#include "platform/sealed_file.h"
#include "win_dl_net/file_fetch.h"
#include "win_dl_net/retry_wait.h"
#include "win_dl_net/segment_policy.h"

namespace {

// Holds the host's update-control lock for a scope.
class HostLock {
 public:
  explicit HostLock(EngineHost& host) : host_(host) { host_.Lock(); }
  ~HostLock() { host_.Unlock(); }
  HostLock(const HostLock&) = delete;
  HostLock& operator=(const HostLock&) = delete;

 private:
  EngineHost& host_;
};

}  // namespace

std::string PackageFileName(const std::string& url) {
  size_t at = url.find_last_of("/\\");
  return at == std::string::npos ? url : url.substr(at + 1);
}

std::string ChannelOfSetting(const std::string& setting) {
  if (setting.empty() || release::IsChannelName(setting)) return setting;
  LogError() << "update channel \"" << setting
             << "\" is not a channel name (letters, digits, - and _), the default channel is used";
  return std::string();
}

std::string UpdateThread::KeptSerialFile(const std::string& channel) {
  return channel.empty() ? std::string(kKeptSerialFile) : "update-serial-" + channel + ".txt";
}

std::string SetupCommandLine(const std::string& package_path, const std::string& install_dir) {
  // The package path is quoted when it has blanks; the /D= value stays last
  // and unquoted, as setup programs expect, so it may hold blanks itself.
  std::string program =
      package_path.find_first_of(" \t") == std::string::npos ? package_path : "\"" + package_path + "\"";
  return program + " /USERNAME=Renewel /D=" + install_dir;
}

UpdateThread::UpdateThread(EngineHost& host, EngineSettings settings, bool start)
    : host_(host),
      settings_(std::move(settings)),
      channel_(ChannelOfSetting(settings_.channel)),
      repaired_(!settings_.repair) {
  if (start) Start();
}

UpdateThread::~UpdateThread() {
  Stop();
  ThreadObject::Stop();
  ThreadObject::Wait();
}

bool UpdateThread::FetchText(const std::string& url, std::string* text, uint32_t limit, uint32_t deadline_ms) {
  if (deadline_ms == 0) deadline_ms = settings_.deadlines.document_ms;
  // A busy server (503, 429) is asked again after the wait it names, with
  // backoff, as long as the document's deadline allows: on release day the
  // origin turns connections away, and a document is no reason to give up.
  const auto begun = std::chrono::steady_clock::now();
  RetryTiming timing;
  Backoff backoff(timing);
  for (;;) {
    FileFetch fetch(url);
    {
      std::lock_guard<std::mutex> hold(job_mutex_);
      fetch_ = &fetch;
    }
    fetch.SetDeadline(deadline_ms);
    // A cancel before the fetch was registered is seen here; one after it
    // aborts the fetch.
    const WholeFetch fetched = Cancelled() ? WholeFetch::kWholeFailed : FetchWhole(fetch, limit, text);
    {
      std::lock_guard<std::mutex> hold(job_mutex_);
      fetch_ = nullptr;
    }
    if (fetched == WholeFetch::kWholeTooLarge) {
      LogError() << "version document larger than " << limit << " bytes refused,url:" << url;
    }
    if (fetched != WholeFetch::kWholeFailed || !fetch.LastReplyBusy() || Cancelled()) {
      // Readers of the text stop at its first zero byte.
      return fetched == WholeFetch::kWholeFetched;
    }
    const int64_t spent = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - begun).count();
    const uint32_t wait = backoff.Failed(RetryAfterMs(fetch.LastRetryAfter(), timing.Now()));
    if (spent + wait >= deadline_ms) return false;
    LogInfo() << "server busy (status " << fetch.LastStatus() << "), asking again in " << wait << " ms,url:" << url;
    if (!documentWait_.WaitMs(wait)) return false;
  }
}

bool UpdateThread::FetchSignature(const PublisherKeys& keys, const std::string& url, const std::string& text,
                                  const char* name) {
  const std::string sig_url = url + release::kSignatureSuffix;
  std::string sig;
  if (!FetchText(sig_url, &sig)) {
    if (Cancelled()) return false;
    LogError() << "signature of " << name << " not available,url:" << sig_url;
    return false;
  }
  if (!VerifyDetached(keys, text, sig)) {
    LogError() << "signature of " << name << " does not verify with the publisher key,url:" << sig_url;
    return false;
  }
  LogInfo() << "signature of " << name << " verified";
  return true;
}

void UpdateThread::Stop() {
  std::lock_guard<std::mutex> hold(job_mutex_);
  if (fetch_) fetch_->Abort();
  documentWait_.Interrupt();
  if (job) {
    job->Stop();
    job->Wait();
  }
}

void UpdateThread::Wait() { ThreadObject::Wait(); }

uint32_t UpdateThread::DownloadedSize() const {
  std::lock_guard<std::mutex> hold(job_mutex_);
  return job ? job->GetDownloadedSize() : 0;
}

uint32_t UpdateThread::FileSize() const {
  std::lock_guard<std::mutex> hold(job_mutex_);
  return job ? job->GetFileSize() : 0;
}

int64_t UpdateThread::BusyRetryMs() const {
  std::lock_guard<std::mutex> hold(job_mutex_);
  return job ? job->BusyRetryMs() : -1;
}

int UpdateThread::Run() {
  try {
    if (!CheckPasses()) LogError() << "update error";
  } catch (const std::exception& e) {
    LogError() << "exception :" << e.what();
  }
  LogInfo() << "download thread tun return";
  return 0;
}

bool UpdateThread::CheckPasses() {
  // Each pass installs one package and starts the next pass, until one ends
  // in a final state.
  for (;;) {
    if (Cancelled()) return false;
    host_.SetState(Checking);
    passLists_.clear();
    passKeys_ = nullptr;
    PublisherKeys keys;
    bool signed_channel = false;
    if (!ReadPublisherKey(&keys, &signed_channel) || !ReadInstalledVersion()) return false;
    const PublisherKeys* verify_with = signed_channel ? &keys : nullptr;
    bool up_to_date = false;
    if (!CheckLatestVersion(verify_with, &up_to_date)) return false;
    if (!repaired_) {
      // Then a fresh pass, as "-c update" runs.
      repaired_ = true;
      if (!Repair(verify_with)) return false;
      continue;
    }
    if (up_to_date) return true;

    release::VersionInfo info;
    SignedPackage package;
    FullPackage full;
    if (!ReadVersionInfo(verify_with, &info, &package, &full)) return false;
    if (Cancelled()) return false;
    // Held by a rollout: <held>/version.xml names the step to the version
    // rolled out, and a chain may skip a withdrawn version; a step beyond
    // the held version is not this install's to take.
    if (held_ && CompareVersions(*info.versionnum, latestVersion) > 0) {
      LogInfo() << "version.xml of " << localVersion << " steps to " << *info.versionnum
                << ", beyond the held version " << latestVersion << ": not taken";
      host_.Stop(UpToDate);
      return true;
    }
    // Steps to versions released before go on as always; the one that
    // reaches a newest version not yet available is pre-loaded (never for a
    // held install: the held version is out already).
    if (!held_ && availableFrom_ > platform::CurrentEnv().NowSeconds() &&
        CompareVersions(*info.versionnum, latestVersion) >= 0) {
      Preload(*info.versionnum, *info.packageurl, *info.packagemd5, package);
      return false;
    }
    passKeys_ = verify_with;
    // The route with the fewest bytes: the one version.xml names, or the
    // files of the newest version that differ from this install's.
    if (!held_ && PerFileRouteIsCheaper(info, package)) {
      if (PerFileRoute()) continue;
      if (Cancelled()) return false;
      LogWarn() << "the per-file route to " << latestVersion << " failed, taking the route version.xml names";
    }
    if (!InstallPackage(*info.versionnum, *info.packageurl, *info.packagemd5, *info.updateself, package, full))
      return false;
  }
}

bool UpdateThread::ReadPublisherKey(PublisherKeys* keys, bool* signed_channel) {
  // The publisher's keys decide whether this pass is signed. A key that is
  // there but does not decode is a broken install: never unsigned then.
  const std::string& key_text = settings_.publisher_key;
  *signed_channel = !key_text.empty();
  if (!*signed_channel) {
    LogWarn() << "the update channel is not signed: no publisher key (resource string 803)";
  } else if (!DecodePublicKeys(key_text, keys)) {
    LogError() << "publisher key (resource string 803) is not a list of base64 texts of 32 bytes, update refused";
    host_.Stop(NoVersionInfo);
    return false;
  }
  return true;
}

bool UpdateThread::QueryInstalled(const char* export_name, std::string& out) const {
  return QueryVersionLibrary(settings_.install_dir + VersionLibraryName(), export_name, out);
}

bool UpdateThread::ReadInstalledVersion() {
  if (!QueryInstalled("GetUpdateVersionUrl", updateUrl) || !QueryInstalled("GetClientVersion", localVersion)) {
    host_.Stop(NoVersionInfo);
    return false;
  }
  // A channel is a whole version tree of its own in a subdirectory of the
  // root: <root><channel>/latest-version.xml and its steps
  // <root><channel>/<V>/version.xml. So the publisher builds and signs a
  // channel as any tree (its own serials, rollout and packages), and moving
  // between channels is an ordinary update to the other tree's newest.
  const std::string channel = Channel();
  if (!channel.empty()) {
    updateUrl += channel + "/";
    LogInfo() << "update channel:" << channel;
  }
  return true;
}

bool UpdateThread::FetchDocument(const std::string& url, const std::string& missing_line, UpdateState failed,
                                 std::string* text) {
  if (!FetchText(url, text)) {
    if (Cancelled()) return false;
    LogError() << missing_line << url;
    host_.Stop(failed);
    return false;
  }
  return true;
}

bool UpdateThread::VerifyDocument(const std::string& url, const char* name, const PublisherKeys* keys,
                                  UpdateState failed, const std::string& text) {
  if (keys && !FetchSignature(*keys, url, text, name)) {
    if (!Cancelled()) host_.Stop(failed);
    return false;
  }
  return true;
}

bool UpdateThread::CheckLatestVersion(const PublisherKeys* keys, bool* up_to_date) {
  const std::string latest_url = updateUrl + release::kLatestVersionFile;
  LogInfo() << Text(Message::kLatestVersionAddress) << latest_url;
  std::string latest_text;
  if (!FetchDocument(latest_url, "DownloadPackage latest-version error,the latest version file is not exist,url:",
                     LatestFetchFailed, &latest_text) ||
      !VerifyDocument(latest_url, release::kLatestVersionFile, keys, LatestFetchFailed, latest_text))
    return false;
  release::LatestVersion latest;
  latestVersion = release::ParseLatestVersion(latest_text, &latest) ? latest.lastversionnum : std::string();
  if (keys && !CheckFreshness(latest)) {
    host_.Stop(LatestFetchFailed);
    return false;
  }
  availableFrom_ = 0;
  if (latest.availablefrom && !release::ParseUtcTime(*latest.availablefrom, &availableFrom_)) {
    LogError() << "latest-version.xml carries an unreadable availablefrom " << *latest.availablefrom
               << " (not YYYY-MM-DDTHH:MM:SSZ), update refused";
    host_.Stop(LatestFetchFailed);
    return false;
  }

  LogInfo() << "latest-version:" << latestVersion << ",mLocalVersion:" << localVersion;
  if (!ApplyRollout(latest)) {
    host_.Stop(LatestFetchFailed);
    return false;
  }
  const int against_newest = CompareVersions(localVersion, latestVersion);
  *up_to_date = against_newest >= 0;
  // Never a downgrade: a channel (or a held rollout) whose newest is older
  // than the installed version leaves the install as it is.
  if (against_newest > 0) {
    const std::string channel = Channel();
    LogInfo() << "installed version " << localVersion << " is newer than " << latestVersion << ", the newest of "
              << (channel.empty() ? std::string("the default channel") : "channel " + channel)
              << (held_ ? " for this install" : "") << ": the install is left as it is";
  }
  // Up to date ends the engine's work, unless a repair is still to come.
  if (*up_to_date && repaired_) host_.Stop(UpToDate);
  return true;
}

bool UpdateThread::CheckFreshness(const release::LatestVersion& latest) {
  uint64_t serial = 0;
  int64_t expires = 0;
  if (!latest.serial || !latest.expires || !release::ParseDecimal(*latest.serial, &serial) ||
      !release::ParseUtcTime(*latest.expires, &expires)) {
    LogError() << "latest-version.xml carries no readable serial and expiry, update refused";
    return false;
  }
  // Per channel: each tree counts its own serials, so one channel's serial
  // must not refuse another's documents as replays when the player moves.
  const std::string kept_name = KeptSerialFile(Channel());
  const std::string kept_path = settings_.install_dir + kept_name;
  std::string kept_text;
  uint64_t kept = 0;
  if (platform::ReadFileToString(kept_path, &kept_text) && !release::ParseDecimal(kept_text, &kept)) {
    // Not ours to trust or to overwrite: a damaged record must not lower
    // the bar to serial 0.
    LogError() << kept_name << " is unreadable, update refused";
    return false;
  }
  if (serial < kept) {
    LogError() << "latest-version.xml serial " << serial << " is older than serial " << kept
               << " already seen, update refused";
    return false;
  }
  if (platform::CurrentEnv().NowSeconds() > expires + kExpiryGraceSeconds) {
    LogError() << "latest-version.xml expired at " << *latest.expires << ", update refused";
    return false;
  }
  if (serial > kept && platform::ReplaceFileContents(kept_path, std::to_string(serial)) != platform::Status::kOk)
    LogWarn() << "cannot keep serial " << serial << " in " << kept_path;
  latestSerial_ = serial;
  return true;
}

bool UpdateThread::ApplyRollout(const release::LatestVersion& latest) {
  held_ = false;
  if (!latest.rollout) return true;  // the trees of before rollouts
  int percent = 100;
  // The identifier is made only when a rollout below 100 asks for it.
  const std::string install_id =
      release::ParseRollout(*latest.rollout, &percent) && percent < 100 ? InstallId() : std::string();
  release::RolloutTarget target;
  std::string error;
  if (!release::TargetFor(latest, install_id, &target, &error)) {
    LogError() << "latest-version.xml: " << error << ", update refused";
    return false;
  }
  if (!target.staged) return true;
  const int held_against_newest = CompareVersions(*latest.heldversionnum, latest.lastversionnum);
  if (held_against_newest == -2 || held_against_newest > 0) {
    LogError() << "latest-version.xml holds installs at " << *latest.heldversionnum
               << ", which is not a version up to " << latest.lastversionnum << ", update refused";
    return false;
  }
  LogInfo() << "rollout of " << latest.lastversionnum << " at " << target.percent << "%, this install's bucket "
            << target.bucket << ": "
            << (target.held ? "held at " + *latest.heldversionnum : std::string("in the rollout"));
  if (target.held) {
    held_ = true;
    latestVersion = target.version;
  }
  return true;
}

std::string UpdateThread::InstallId() {
  const std::string path = settings_.install_dir + kInstallIdFile;
  std::string id;
  if (platform::ReadFileToString(path, &id)) {
    if (release::IsInstallId(id)) return id;
    LogWarn() << kInstallIdFile << " is not an install identifier, a new one is made";
  }
  if (!release::NewInstallId(&id)) {
    LogWarn() << "no random identifier for this install: it stays outside every rollout";
    return std::string();
  }
  if (platform::ReplaceFileContents(path, id) != platform::Status::kOk) {
    // One that is not kept could give another answer at the next start.
    LogWarn() << "cannot keep the install identifier in " << path << ": the install stays outside every rollout";
    return std::string();
  }
  LogInfo() << "install identifier made:" << path;
  return id;
}

bool UpdateThread::ReadVersionInfo(const PublisherKeys* keys, release::VersionInfo* info, SignedPackage* package,
                                   FullPackage* full) {
  EngineHost& control = host_;
  if (Cancelled()) return false;
  control.SetState(FetchingInfo);
  const std::string info_url = updateUrl + localVersion + "/" + release::kVersionInfoFile;
  LogInfo() << Text(Message::kVersionInfoAddress) << info_url;
  std::string info_text;
  if (!FetchDocument(info_url, "DownloadPackage version.xml error,this file is not exist check it,versionurl:",
                     InfoFetchFailed, &info_text))
    return false;
  LogInfo() << "Download version.xml file succes";
  if (!VerifyDocument(info_url, release::kVersionInfoFile, keys, InfoFetchFailed, info_text)) return false;

  if (Cancelled()) return false;
  control.SetState(ParsingInfo);
  const bool parsed = release::ParseVersionInfo(info_text, info);
  // Of the same publication as the latest-version.xml just accepted: an
  // older signed version.xml replayed beside a newer latest is refused.
  uint64_t serial = 0;
  if (keys && parsed && (!info->serial || !release::ParseDecimal(*info->serial, &serial) || serial != latestSerial_)) {
    LogError() << "version.xml serial " << info->serial.value_or("(none)")
               << " does not match latest-version.xml serial " << latestSerial_;
    control.Stop(InfoFetchFailed);
    return false;
  }
  if (!parsed || !info->HasFour() || (keys && !ReadSignedElements(*info, info_url, package)) ||
      !ReadFullPackage(*info, keys != nullptr, info_url, full)) {
    control.Stop(UnexpectedError);
    return false;
  }
  // A package has to raise the installed version; one that does not would
  // make the passes repeat without end.
  const std::string& versionnum = *info->versionnum;
  if (CompareVersions(versionnum, localVersion) <= 0) {
    LogError() << "version.xml of " << localVersion << " declares version " << versionnum
               << ", which is not newer; the update chain does not advance";
    control.Stop(UnexpectedError);
    return false;
  }

  packageMirrors = info->mirrorurls;
  platform::RemoveEmptyDirectory("version");
  LogInfo() << "destversion:" << versionnum << ",localversion:" << localVersion;
  return true;
}

bool UpdateThread::ReadSignedElements(const release::VersionInfo& info, const std::string& info_url,
                                      SignedPackage* out) {
  if (!info.fromversion || !info.packagesize || !info.packagesha256) {
    LogError() << "signed version.xml lacks fromversion, packagesize or packagesha256,versionurl:" << info_url;
    return false;
  }
  // A validly signed document of another version served at this address.
  if (*info.fromversion != localVersion) {
    LogError() << "signed version.xml is published for version " << *info.fromversion << ", not for the installed "
               << localVersion << ",versionurl:" << info_url;
    return false;
  }
  if (!release::ParseDecimal(*info.packagesize, &out->size)) {
    LogError() << "signed version.xml has an unreadable packagesize:" << *info.packagesize;
    return false;
  }
  out->sha256 = *info.packagesha256;
  if (!release::IsUpperHex64(out->sha256)) {
    LogError() << "signed version.xml has an unreadable packagesha256:" << out->sha256;
    return false;
  }
  if (info.packageblocks && !release::ParsePackageBlocks(*info.packageblocks, out->size, &out->blocks)) {
    LogError() << "signed version.xml has a packageblocks that is not one digest per block of packagesize "
               << out->size << ",versionurl:" << info_url;
    return false;
  }
  out->present = true;
  return true;
}

bool UpdateThread::ReadFullPackage(const release::VersionInfo& info, bool signed_channel,
                                   const std::string& info_url, FullPackage* out) {
  if (!info.fullpackageurl) return true;  // none named
  out->url = *info.fullpackageurl;
  if (out->url.empty()) {
    LogError() << "version.xml names an empty fullpackageurl,versionurl:" << info_url;
    return false;
  }
  if (!info.fullpackagemd5) {
    LogError() << "version.xml names fullpackageurl without fullpackagemd5,versionurl:" << info_url;
    return false;
  }
  out->md5 = *info.fullpackagemd5;
  if (signed_channel) {
    SignedPackage& s = out->signed_package;
    if (!info.fullpackagesize || !info.fullpackagesha256) {
      LogError() << "signed version.xml names fullpackageurl without fullpackagesize or fullpackagesha256,versionurl:"
                 << info_url;
      return false;
    }
    if (!release::ParseDecimal(*info.fullpackagesize, &s.size)) {
      LogError() << "signed version.xml has an unreadable fullpackagesize:" << *info.fullpackagesize;
      return false;
    }
    s.sha256 = *info.fullpackagesha256;
    if (!release::IsUpperHex64(s.sha256)) {
      LogError() << "signed version.xml has an unreadable fullpackagesha256:" << s.sha256;
      return false;
    }
    if (info.fullpackageblocks && !release::ParsePackageBlocks(*info.fullpackageblocks, s.size, &s.blocks)) {
      LogError() << "signed version.xml has a fullpackageblocks that is not one digest per block of fullpackagesize "
                 << s.size << ",versionurl:" << info_url;
      return false;
    }
    s.present = true;
  }
  out->present = true;
  return true;
}

bool UpdateThread::InstallPackage(const std::string& versionnum, const std::string& packageurl,
                                  const std::string& packagemd5, const std::string& updateself,
                                  const SignedPackage& signed_package, const FullPackage& full) {
  EngineHost& control = host_;
  // The packages that ran in this step, deleted once the step is confirmed:
  // kept, update/ would grow by every package of every version.
  std::vector<std::string> ran(1);
  // A package that cannot be had (refused by the server after the retries,
  // or failing its digests) gives way to the per-file route when the step
  // reaches the newest version, and then to the full package of the step.
  const bool files_route = versionnum == latestVersion;
  packageFailure_ = -1;
  deferPackageFailure_ = full.present || files_route;
  const bool ran_first = DownloadCheckAndRun(packageurl, packagemd5, signed_package, &ran[0]);
  deferPackageFailure_ = false;
  bool by_files = false;
  if (!ran_first) {
    if (packageFailure_ < 0 || Cancelled()) return false;
    if (files_route) {
      by_files = PerFileRoute(std::string("the package of the step failed (") + UpdateStateText(packageFailure_) + ")");
      if (Cancelled()) return false;
    }
    if (!by_files) {
      if (!full.present) {
        control.Stop(packageFailure_);
        return false;
      }
      LogWarn() << "update package cannot be had (" << UpdateStateText(packageFailure_)
                << "), falling back to the full package:" << full.url;
      ran[0].clear();
      if (!DownloadCheckAndRun(full.url, full.md5, full.signed_package, &ran[0])) return false;
    }
  }

  std::string reported;
  if (!QueryInstalled("GetClientVersion", reported)) {
    control.Stop(SetupFailed);
    return false;
  }
  // A package that ran without effect (a difference package that did not
  // apply to this install, say): the files that differ when the step
  // reaches the newest version, or the full package of the same step, once.
  if (ran_first && reported != versionnum && reported == localVersion && files_route) {
    if (PerFileRoute("the package of the step left the version at " + reported)) {
      by_files = true;
      reported = localVersion;
    }
    if (Cancelled()) return false;
  }
  if (ran_first && !by_files && reported != versionnum && reported == localVersion && full.present) {
    LogInfo() << "update package left the version at " << reported << ", falling back to the full package:"
              << full.url;
    if (Cancelled()) return false;
    ran.emplace_back();
    if (!DownloadCheckAndRun(full.url, full.md5, full.signed_package, &ran.back())) return false;
    if (!QueryInstalled("GetClientVersion", reported)) {
      control.Stop(SetupFailed);
      return false;
    }
  }
  if (reported != versionnum) {
    LogError() << "setup update package error,may be canceled";
    control.Stop(SetupFailed);
    return false;
  }
  localVersion = reported;
  LogInfo() << "setup package successed";
  for (const std::string& package : ran) {
    if (package.empty() || !platform::Exists(package)) continue;
    if (platform::RemoveFile(package)) {
      LogInfo() << "installed package removed:" << package;
    } else {
      LogWarn() << "installed package could not be removed:" << package;
    }
  }

  control.SetState(Succeeded);
  // The second of "Update successful"; a cancel ends it early.
  for (int i = 0; i < 10 && !Cancelled(); ++i) platform::SleepMs(100);
  if (Cancelled()) return false;

  if (CompareVersions(localVersion, latestVersion) < 0 && updateself == "true") {
    settings_.restart_launcher();  // does not return
  }
  return true;
}

bool UpdateThread::Preload(const std::string& versionnum, const std::string& packageurl,
                           const std::string& packagemd5, const SignedPackage& signed_package) {
  const std::string when = release::FormatUtcTime(availableFrom_);
  std::string package;
  if (FindKeptPackage(packageurl, packagemd5, signed_package, &package)) {
    LogInfo() << "version " << versionnum << " is pre-loaded and installs from " << when << ":" << package;
  } else {
    bool complete = false;
    if (!DownloadPackage(packageurl, signed_package, &package, &complete)) return false;
    // Every check of an install; only the setup program does not run.
    if (!HoldAndCheck(package, complete, packagemd5, signed_package)) return false;
    LogInfo() << "version " << versionnum << " pre-loaded, installs from " << when << ":" << package;
  }
  preloadedUntil_ = availableFrom_;
  host_.Stop(Preloaded);
  return false;
}

bool UpdateThread::FindKeptPackage(const std::string& url, const std::string& md5,
                                   const SignedPackage& signed_package, std::string* package) {
  std::string name;
  if (!SegmentPolicy::LocalNameOf(url, &name)) return false;
  const std::string path = settings_.install_dir + "update" + platform::kPathSep + name;
  const int64_t size = platform::FileSize(path);
  if (size <= 0 || (signed_package.present && static_cast<uint64_t>(size) != signed_package.size)) return false;
  if (!VerifyPackage(path, md5)) return false;
  std::string sha256;
  if (signed_package.present && (!Sha256File(path, &sha256) || sha256 != signed_package.sha256)) return false;
  *package = path;
  return true;
}

bool UpdateThread::DownloadCheckAndRun(const std::string& packageurl, const std::string& packagemd5,
                                       const SignedPackage& signed_package, std::string* ran) {
  std::string package;
  bool complete = false;
  if (FindKeptPackage(packageurl, packagemd5, signed_package, &package)) {
    // Checked again below, under the hold, before it runs.
    LogInfo() << "installing the kept package, no download:" << package;
    complete = true;
  } else if (!DownloadPackage(packageurl, signed_package, &package, &complete)) {
    return false;
  }
  platform::MakeExecutable(package);
  // From here until the setup program has ended, the package cannot be
  // changed: the digests are computed over the held content, the setup
  // program is started from it and reads its payload from it (see
  // platform/sealed_file.h).
  std::unique_ptr<platform::SealedFile> held = HoldAndCheck(package, complete, packagemd5, signed_package);
  if (!held || !RunSetup(package, std::move(held))) return false;
  *ran = package;
  return true;
}

bool UpdateThread::DownloadPackage(const std::string& packageurl, const SignedPackage& signed_package,
                                   std::string* package, bool* complete) {
  EngineHost& control = host_;
  control.SetState(Downloading);
  const std::string package_dir = settings_.install_dir + "update" + platform::kPathSep;
  if (!platform::IsDirectory(package_dir) && !platform::MakeDirectory(package_dir)) {
    EndPackage(PackageFailed);
    return false;
  }
  LogInfo() << "Download package address:" << packageurl;
  SegmentPolicy* current;
  {
    std::lock_guard<std::mutex> hold(job_mutex_);
    job = std::make_unique<SegmentPolicy>(package_dir, packageurl);
    // version.xml names the mirrors of both its packages: each job takes
    // those of its own file.
    std::vector<std::string> mirrors;
    for (const std::string& m : packageMirrors)
      if (PackageFileName(m) == PackageFileName(packageurl)) mirrors.push_back(m);
    job->SetMirrors(mirrors);
    job->SetDeadlines(settings_.deadlines);
    job->SetRateLimit(settings_.max_download_bytes_per_second);
    // The signed blocks: the job checks each one as it comes.
    if (signed_package.present && !signed_package.blocks.empty())
      job->SetBlockDigests(release::kPackageBlockSize, signed_package.blocks);
    current = job.get();
  }
  if (!current->Init()) {
    if (Cancelled() || EndedByStall(*current, packageurl)) return false;
    LogError() << "SegmentPolicy init error";
    EndPackage(PackageFailed);
    return false;
  }
  // The job lays the file out at the server's size and never writes past
  // it; that size has to be the signed one before a byte is fetched.
  if (signed_package.present && current->GetFileSize() != signed_package.size) {
    LogError() << "package size on the server " << current->GetFileSize() << " differs from the signed packagesize "
               << signed_package.size << ",url:" << packageurl;
    EndPackage(PackageFailed);
    return false;
  }
  current->Start();
  current->Wait();
  // A cancelled download is neither checked nor run; its journal resumes it.
  if (Cancelled() || EndedByStall(*current, packageurl)) return false;
  *complete = current->GetFileSize() > 0 && current->GetDownloadedSize() == current->GetFileSize();
  // A block that failed its digest at every fetch ends as a whole package
  // that fails its digest does: checked, refused and fetched afresh.
  if (current->BlocksFailed() > 0) *complete = true;
  // Exactly the file the job wrote: the job derives its name from the
  // address as it is stored (cut to the path limit), not from the whole text.
  *package = current->GetLocalFileName();
  return true;
}

void UpdateThread::EndPackage(UpdateState state) {
  if (deferPackageFailure_) {
    packageFailure_ = state;
    return;
  }
  host_.Stop(state);
}

bool UpdateThread::EndedByStall(const SegmentPolicy& stalled, const std::string& packageurl) {
  if (!stalled.Stalled()) return false;
  LogError() << "no package progress for " << settings_.deadlines.stall_ms / 1000 << " s (" << stalled.StallReason()
             << "), update stopped,url:" << packageurl;
  host_.Stop(NetworkError);
  return true;
}

std::unique_ptr<platform::SealedFile> UpdateThread::HoldAndCheck(const std::string& package, bool complete,
                                                                 const std::string& packagemd5,
                                                                 const SignedPackage& signed_package) {
  std::string hold_error;
  std::unique_ptr<platform::SealedFile> held = platform::SealedFile::Seal(package, &hold_error);
  if (!held) LogError() << "cannot hold the package for its check:" << hold_error;
  if (!held || !VerifyPackage(held->ReadPath(), packagemd5)) {
    LogError() << "update package md5 check error";
    held.reset();
    // A complete file that fails the check would be found complete again by
    // the next launch and fail for ever: drop it so it is fetched afresh. An
    // incomplete one (a cancelled download) stays for resuming.
    if (complete) platform::RemoveFile(package);
    EndPackage(DigestMismatch);
    return nullptr;
  }
  LogInfo() << "update package md5 check success";
  if (signed_package.present) {
    std::string sha256;
    if (!Sha256File(held->ReadPath(), &sha256) || sha256 != signed_package.sha256) {
      LogError() << "update package sha256 check error,expected:" << signed_package.sha256 << ",got:" << sha256;
      held.reset();
      platform::RemoveFile(package);
      EndPackage(DigestMismatch);
      return nullptr;
    }
    LogInfo() << "update package sha256 check success";
  }
  return held;
}

bool UpdateThread::RunSetup(const std::string& package, std::unique_ptr<platform::SealedFile> held) {
  EngineHost& control = host_;
  control.SetState(Installing);
  HostLock hold(host_);
  // The window's cancel takes the same lock: once it has run, no setup
  // program starts.
  if (Cancelled()) return false;
  std::unique_ptr<platform::Process> setup = held->Start(SetupCommandLine(package, settings_.install_dir));
  if (!setup) {
    control.Stop(SetupFailed);
    return false;
  }
  setup->Wait();
  held.reset();  // only now may the package change
  return true;
}
