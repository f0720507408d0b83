// The update engine: one thread that walks the version chain, a package per
// pass, until a pass ends in a final state.
#ifndef LAUNCHER_UPDATE_UPDATE_THREAD_H_
#define LAUNCHER_UPDATE_UPDATE_THREAD_H_

#include <memory>
#include <mutex>
#include <string>

#include "win_dl_net/thread_object.h"

class SegmentPolicy;

class UpdateThread : public ThreadObject {
 public:
  // Starts the thread at once unless `start` is false (UpdateControl stores
  // the object before its thread may reach back to it, then starts it).
  explicit UpdateThread(bool start = true);
  ~UpdateThread() override;

  // Cancels the current version-document fetch and the current package
  // download (the job's Stop, then its Wait). The running flag is left to
  // UpdateControl::Stop; once it is cleared the engine begins no new step.
  void Stop() override;
  void Wait() override;

  // Bytes of the current package received and its size (0 without a job).
  uint32_t DownloadedSize() const;
  uint32_t FileSize() const;

 protected:
  int Run() override;

 private:
  // One check pass and the passes that follow it; false on failure.
  bool CheckPasses();
  // Fetches a small file whole into memory, abortable by Stop. False on a
  // failed or stopped fetch.
  bool FetchText(const std::string& url, std::string* text);
  // Ends the engine's work when the window has cancelled it: true when the
  // running flag is cleared. Such an end sets no state of its own.
  bool Cancelled() const { return !IsRunning(); }
  // Downloads, checks, installs and confirms one package. True when the next
  // pass is to begin.
  bool InstallPackage(const std::string& versionnum, const std::string& packageurl,
                      const std::string& packagemd5, const std::string& updateself);

  std::string localVersion;
  std::unique_ptr<SegmentPolicy> job;
  class FileFetch* fetch_ = nullptr;  // the version-document fetch in progress
  std::string updateUrl;
  std::string latestVersion;
  // Guards `job` and `fetch_` themselves: the window's cancel reaches them
  // from another thread while the engine may be replacing them.
  mutable std::mutex job_mutex_;
};

// The setup program's command line for a package and an install directory.
std::string SetupCommandLine(const std::string& package_path, const std::string& install_dir);

// The last segment of a package address (after the last '/' or '\').
std::string PackageFileName(const std::string& url);

#endif  // LAUNCHER_UPDATE_UPDATE_THREAD_H_
