// The update engine: one thread that walks the version chain, a package per
// pass, until a pass ends in a final state.
#ifndef LAUNCHER_UPDATE_UPDATE_THREAD_H_
#define LAUNCHER_UPDATE_UPDATE_THREAD_H_

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "launcher/release/signature.h"
#include "launcher/update/engine_host.h"
#include "launcher/update/update_state.h"
#include "win_dl_net/retry_wait.h"
#include "win_dl_net/thread_object.h"

namespace platform {
class SealedFile;
}

namespace release {
struct LatestVersion;
struct VersionInfo;
struct FileManifest;
}
class SegmentPolicy;

class UpdateThread : public ThreadObject {
 public:
  // The engine of one launcher run: it reports to `host` (which must outlive
  // it) and works with `settings`. Starts the thread at once unless `start`
  // is false (the host stores the object before its thread may call the
  // host's Stop, which reaches the engine, then starts it).
  UpdateThread(EngineHost& host, EngineSettings settings, bool start = true);
  ~UpdateThread() override;

  // Cancels the current version-document fetch and the current package
  // download (the job's Stop, then its Wait). The running flag is left to
  // the host's Stop; once it is cleared the engine begins no new step.
  void Stop() override;
  void Wait() override;

  // Bytes of the current package received and its size (0 without a job).
  uint32_t DownloadedSize() const;
  uint32_t FileSize() const;
  // Milliseconds until the current download asks a busy server again, -1
  // when it waits on no busy answer.
  int64_t BusyRetryMs() const;
  // When the package this run pre-loaded installs (seconds since 1970 UTC),
  // 0 unless the run ended in Preloaded. Any thread.
  int64_t PreloadedUntil() const { return preloadedUntil_.load(); }

 // The most bytes a version document (or its signature) may have; a longer
  // reply is a failed fetch.
  static constexpr uint32_t kMaxDocumentSize = 1048576;
  // The file in the install directory that keeps the highest serial of a
  // signed latest-version.xml this install has accepted (decimal text).
  // The default channel's; each other channel keeps its own
  // (KeptSerialFile), as its tree counts its own serials.
  static constexpr char kKeptSerialFile[] = "update-serial.txt";
  static std::string KeptSerialFile(const std::string& channel);
  // The file in the install directory that keeps the install's random
  // identifier (release::NewInstallId), made when a rollout first asks.
  static constexpr char kInstallIdFile[] = "install-id.txt";
  // How far past its expiry a signed latest-version.xml is still taken.
  static constexpr int64_t kExpiryGraceSeconds = 24 * 3600;

 protected:
  int Run() override;

 private:
  // One check pass and the passes that follow it; false on failure.
  bool CheckPasses();
  // What a signed version.xml adds about its package.
  struct SignedPackage {
    bool present = false;  // false: an unsigned pass
    uint64_t size = 0;
    std::string sha256;  // 64 upper-case hexadecimal digits
    // The SHA-256 of each block (packageblocks), for the download job to
    // check as they come; empty when the document gives none.
    std::vector<std::string> blocks;
  };

  // Fetches a small file whole into memory (every byte, at most
  // kMaxDocumentSize), abortable by Stop. A busy answer (503, 429) is asked
  // again after its Retry-After, with backoff, while the deadline for one
  // document has not passed since the first request. False on a failed or
  // stopped fetch. `limit` and `deadline_ms` (0: the document deadline)
  // widen the bounds for a file of the per-file store.
  bool FetchText(const std::string& url, std::string* text, uint32_t limit = kMaxDocumentSize,
                 uint32_t deadline_ms = 0);
  // Fetches `url`.sig the same way and checks it against `text`. False (with
  // an ERROR line unless cancelled) when it is missing or does not verify.
  bool FetchSignature(const PublisherKeys& keys, const std::string& url, const std::string& text, const char* name);
  // Reads fromversion, packagesize and packagesha256 after the four elements
  // of a signed version.xml and checks them against the installed version,
  // and packageblocks when it is there. False (with an ERROR line) when one
  // is missing or wrong.
  bool ReadSignedElements(const release::VersionInfo& info, const std::string& info_url, SignedPackage* out);
  // A full package for the same step, taken when the named package ran but
  // left the installed version as it was.
  struct FullPackage {
    bool present = false;  // false: version.xml names none
    std::string url, md5;
    SignedPackage signed_package;
  };
  // Looks for fullpackageurl among the children of `version` (by name, in
  // any place) and, when it is there, for fullpackagemd5 and, on a signed
  // channel, fullpackagesize and fullpackagesha256. False (with an ERROR
  // line) when fullpackageurl is there but one of the others is missing or
  // unreadable. Leaves the cursor at an undefined child of `version`.
  bool ReadFullPackage(const release::VersionInfo& info, bool signed_channel, const std::string& info_url,
                       FullPackage* out);
  // The steps of a pass. Each returns false when the pass is over: its final
  // state is set, or the engine was cancelled.
  //
  // The publisher key of the install (resource string 803): none gives an
  // unsigned pass (*signed_channel false), one that does not decode ends it.
  bool ReadPublisherKey(PublisherKeys* keys, bool* signed_channel);
  // The update address and the installed version, from the version library.
  bool ReadInstalledVersion();
  // Asks the version library of the install directory (loaded afresh).
  bool QueryInstalled(const char* export_name, std::string& out) const;
  // Fetches one version document (`missing_line` and the address logged
  // when it cannot be had, and the pass ended in `failed`).
  bool FetchDocument(const std::string& url, const std::string& missing_line, UpdateState failed,
                     std::string* text);
  // With a key, the document's detached signature must verify.
  bool VerifyDocument(const std::string& url, const char* name, const PublisherKeys* keys, UpdateState failed,
                      const std::string& text);
  // latest-version.xml: *up_to_date (and state 5) when the installed
  // version is the newest or newer.
  bool CheckLatestVersion(const PublisherKeys* keys, bool* up_to_date);
  // A signed latest-version.xml is fresh: it carries a serial and an expiry,
  // its serial is not below the highest one this install has accepted, and
  // it has not expired (with kExpiryGraceSeconds for clocks that are off).
  // Keeps a higher serial in the install directory. False after the ERROR
  // line; the caller ends the pass.
  bool CheckFreshness(const release::LatestVersion& latest);
  // A staged rollout in `latest`: an install outside it takes the held
  // version as its newest (latestVersion, held_ set). False after the ERROR
  // line for a rollout that cannot be read; the caller ends the pass.
  bool ApplyRollout(const release::LatestVersion& latest);
  // The install's identifier, made and kept on first use; empty (the
  // install then counts as outside every rollout) when none can be kept.
  std::string InstallId();
  // The update channel of this run: settings_.channel when it is a channel
  // name, otherwise the default (empty), checked once (ChannelOfSetting).
  const std::string& Channel() const { return channel_; }
  // The installed version's version.xml, read and checked: what to install.
  bool ReadVersionInfo(const PublisherKeys* keys, release::VersionInfo* info, SignedPackage* package,
                       FullPackage* full);

  // The repair that begins a "-c repair" run, after latest-version.xml was
  // fetched and checked: fetches the newest version's file list
  // (<newest>/files.txt, verified with `keys` when given), hashes every
  // file it lists in the install (FilesThatDiffer), fetches each missing or
  // differing file from the store (files/<sha256>), checks its stored size
  // and, inflated to no more than the listed size, its size and SHA-256,
  // and installs them all through the delta setup program's staged,
  // journaled install (delta_install.h), which also writes the newest
  // version into the version store. A file that fails its check ends the
  // pass in DigestMismatch with nothing installed. An install at the newest
  // version whose files all match fetches nothing; one newer than the
  // newest, or older while the newest is not out yet (availablefrom), is
  // left alone. True when the update passes are to follow.
  // With `trial`, a failure ends nothing (WARN lines; the caller goes on
  // another way) and an install that is not to be repaired returns false.
  // With `from`, the installed version's list, files it names that the
  // newest no longer lists are removed.
  bool Repair(const PublisherKeys* keys, bool trial = false, const release::FileManifest* from = nullptr);
  // Fetches and parses <version>/files.txt (its signature checked with
  // `keys` when given). False, with *failed the state a repair ends in,
  // when it cannot be had (logged unless `quiet`) or is refused (logged).
  bool FetchFileList(const std::string& version, const PublisherKeys* keys, release::FileManifest* list, bool quiet,
                     UpdateState* failed);
  // The fetch itself, without the pass's cache.
  bool FetchFileListOnce(const std::string& version, const PublisherKeys* keys, release::FileManifest* list,
                         bool quiet, UpdateState* failed);

  // The per-file route of an update: the newest version's files that this
  // install lacks, fetched from the store and installed at once (a trial
  // Repair, with the installed version's list when the store has one).
  // False, and nothing logged, when the store has no list of the newest
  // version; a non-empty `reason` is said in a WARN line before the route.
  bool PerFileRoute(const std::string& reason = std::string());
  // Whether the per-file route to the newest version costs fewer bytes than
  // the route version.xml names: `info`'s step and, when it stops short of
  // the newest, the steps after it (each version.xml fetched and checked).
  // Logs both figures and the choice. False when the tree has no file list
  // for the newest version or the named route's size cannot be told.
  bool PerFileRouteIsCheaper(const release::VersionInfo& info, const SignedPackage& package);
  // The bytes and steps of the route from `info`'s step to the newest.
  bool RouteBytes(const release::VersionInfo& info, const SignedPackage& package, uint64_t* bytes, size_t* steps);
  static constexpr size_t kMaxRouteSteps = 64;

  // Ends the engine's work when the window has cancelled it: true when the
  // running flag is cleared. Such an end sets no state of its own.
  bool Cancelled() const { return !IsRunning(); }
  // Downloads, checks, installs and confirms one package, falling back to
  // the full package when the first one ran but the version stayed. True
  // when the next pass is to begin.
  bool InstallPackage(const std::string& versionnum, const std::string& packageurl,
                      const std::string& packagemd5, const std::string& updateself,
                      const SignedPackage& signed_package, const FullPackage& full);
  // Downloads one package through a new job (states 6 then 12), checks its
  // size, SHA-1 and, when signed, SHA-256 over the sealed file and runs it as
  // the setup program to its end. False when the pass is over: the final
  // state is set, or the engine was cancelled.
  // *ran is the package file that ran.
  bool DownloadCheckAndRun(const std::string& url, const std::string& md5, const SignedPackage& signed_package,
                           std::string* ran);
  // Its steps. The download: *package is the file the job wrote, *complete
  // whether it holds every byte.
  bool DownloadPackage(const std::string& url, const SignedPackage& signed_package, std::string* package,
                       bool* complete);
  // Ends the pass in `state` (PackageFailed, DigestMismatch) for a package
  // that cannot be had; while a fallback waits (deferPackageFailure_), only
  // notes the state in packageFailure_ for InstallPackage to go on.
  void EndPackage(UpdateState state);
  // Ends the pass in NetworkError when `job` gave up for lack of progress.
  bool EndedByStall(const SegmentPolicy& job, const std::string& url);
  // Holds the package (platform/sealed_file.h) and checks its digests over
  // the held content; null (state 15 set) when they differ, and a complete
  // package that fails is removed so that it is fetched afresh.
  std::unique_ptr<platform::SealedFile> HoldAndCheck(const std::string& package, bool complete,
                                                     const std::string& md5, const SignedPackage& signed_package);
  // Runs the held package as the setup program to its end, under the
  // control's lock; the hold lasts until then.
  bool RunSetup(const std::string& package, std::unique_ptr<platform::SealedFile> held);
  // Before the newest version's availablefrom: downloads and checks the
  // package of the step that reaches it as an install would, keeps it in
  // update/ and ends the pass in Preloaded. False when the pass is over
  // otherwise (the state is set, or the engine was cancelled).
  bool Preload(const std::string& versionnum, const std::string& packageurl, const std::string& packagemd5,
               const SignedPackage& signed_package);
  // A complete package for `url` already in update/ (pre-loaded, or kept
  // from a run that stopped before its setup), whose size and digests are
  // the published ones: *package names it. A file that does not match is
  // left to the download job, which resumes or replaces it.
  bool FindKeptPackage(const std::string& url, const std::string& md5, const SignedPackage& signed_package,
                       std::string* package);

  EngineHost& host_;
  const EngineSettings settings_;
  const std::string channel_;
  std::string localVersion;
  std::unique_ptr<SegmentPolicy> job;
  class FileFetch* fetch_ = nullptr;  // the version-document fetch in progress
  StopWait documentWait_;             // a document's wait on a busy server
  std::string updateUrl;
  std::string latestVersion;
  // The serial of the signed latest-version.xml of this pass; every signed
  // version.xml read in it must carry the same.
  uint64_t latestSerial_ = 0;
  // The newest version's availablefrom in this pass (0: none), and when
  // the package this run pre-loaded installs.
  int64_t availableFrom_ = 0;
  // A package failure held back while the step's full package may follow,
  // and the state it would have ended the pass in (-1: none).
  bool deferPackageFailure_ = false;
  int32_t packageFailure_ = -1;
  std::atomic<int64_t> preloadedUntil_{0};
  // The repair of a "-c repair" run is done (or was not asked for).
  bool repaired_ = false;
  // The publisher keys of the running pass (null: unsigned).
  const PublisherKeys* passKeys_ = nullptr;
  // The file lists this pass fetched, by version: a list the route's choice
  // read is not fetched again by the route (null: asked for and not had).
  std::map<std::string, std::shared_ptr<const release::FileManifest>> passLists_;
  // This pass's latestVersion is a rollout's held version: the chain is
  // walked up to it and no further.
  bool held_ = false;
  // Further addresses of the package of the current version.xml (its
  // mirrorurl elements), for the download job.
  std::vector<std::string> packageMirrors;
  // Guards `job` and `fetch_` themselves: the window's cancel reaches them
  // from another thread while the engine may be replacing them.
  mutable std::mutex job_mutex_;
};

// The setup program's command line for a package and an install directory.
std::string SetupCommandLine(const std::string& package_path, const std::string& install_dir);

// The channel named by the player's setting (renewel.ini, main, Channel):
// the setting when it is a channel name (release::IsChannelName), empty
// (the default channel) when it is empty or, after an ERROR line, when it
// is not one.
std::string ChannelOfSetting(const std::string& setting);

// The last segment of a package address (after the last '/' or '\').
std::string PackageFileName(const std::string& url);

#endif  // LAUNCHER_UPDATE_UPDATE_THREAD_H_
