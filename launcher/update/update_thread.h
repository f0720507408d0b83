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
  // Starts the thread at once.
  UpdateThread();
  ~UpdateThread() override;

  // Cancels the current package download: the job's Stop, then its Wait. The
  // running flag is left to UpdateControl::Stop.
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
  // Downloads, checks, installs and confirms one package. True when the next
  // pass is to begin.
  bool InstallPackage(const std::string& versionnum, const std::string& packageurl,
                      const std::string& packagemd5, const std::string& updateself);

  std::string localVersion;
  std::unique_ptr<SegmentPolicy> job;
  std::string updateUrl;
  std::string latestVersion;
  // Guards `job` itself: the window's cancel reaches it from another thread
  // while the engine may be replacing it.
  mutable std::mutex job_mutex_;
};

// The setup program's command line for a package and an install directory.
std::string SetupCommandLine(const std::string& package_path, const std::string& install_dir);

// The last segment of a package address (after the last '/' or '\').
std::string PackageFileName(const std::string& url);

#endif  // LAUNCHER_UPDATE_UPDATE_THREAD_H_
