#include "launcher/update/update_thread.h"

#include <cstring>
#include <exception>

#include "launcher/log/logger.h"
#include "launcher/log/messages.h"
#include "launcher/markup/markup_document.h"
#include "launcher/update/digest.h"
#include "launcher/update/install_path.h"
#include "launcher/update/update_control.h"
#include "launcher/update/version.h"
#include "platform/file.h"
#include "platform/path.h"
#include "platform/process.h"
#include "win_dl_net/data_sink.h"
#include "win_dl_net/file_fetch.h"
#include "win_dl_net/segment_policy.h"

std::string PackageFileName(const std::string& url) {
  size_t at = url.find_last_of("/\\");
  return at == std::string::npos ? url : url.substr(at + 1);
}

std::string SetupCommandLine(const std::string& package_path, const std::string& install_dir) {
  // The package path is quoted when it has blanks; the /D= value stays last
  // and unquoted, as setup programs expect, so it may hold blanks itself.
  std::string program =
      package_path.find_first_of(" \t") == std::string::npos ? package_path : "\"" + package_path + "\"";
  return program + " /USERNAME=Renewel /D=" + install_dir;
}

UpdateThread::UpdateThread(bool start) {
  if (start) Start();
}

UpdateThread::~UpdateThread() {
  Stop();
  ThreadObject::Stop();
  ThreadObject::Wait();
}

bool UpdateThread::FetchText(const std::string& url, std::string* text) {
  FileFetch fetch(url);
  {
    std::lock_guard<std::mutex> hold(job_mutex_);
    fetch_ = &fetch;
  }
  MemorySink sink;
  // A cancel before the fetch was registered is seen here; one after it
  // aborts the fetch.
  const bool fetched = !Cancelled() && fetch.SigleFetch(sink) >= 0;
  {
    std::lock_guard<std::mutex> hold(job_mutex_);
    fetch_ = nullptr;
  }
  if (!fetched) return false;
  const char* p = sink.GetText();
  *text = p ? std::string(p, strnlen(p, sink.GetSize())) : std::string();
  return true;
}

void UpdateThread::Stop() {
  std::lock_guard<std::mutex> hold(job_mutex_);
  if (fetch_) fetch_->Abort();
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
  UpdateControl& control = UpdateControl::Instance();
  // Each pass installs one package and starts the next pass, until one ends
  // in a final state.
  for (;;) {
    if (Cancelled()) return false;
    control.SetState(Checking);
    if (!QueryUpdateVersionUrl(updateUrl) || !QueryClientVersion(localVersion)) {
      control.Stop(NoVersionInfo);
      return false;
    }

    const std::string latest_url = updateUrl + "latest-version.xml";
    LogInfo() << Text(Message::kLatestVersionAddress) << latest_url;
    std::string latest_text;
    if (!FetchText(latest_url, &latest_text)) {
      if (Cancelled()) return false;
      LogError() << "DownloadPackage latest-version error,the latest version file is not exist,url:" << latest_url;
      control.Stop(LatestFetchFailed);
      return false;
    }
    MarkupDocument latest_doc;
    latest_doc.SetDoc(latest_text.c_str());
    latestVersion = latest_doc.FindElem("lastversionnum") ? latest_doc.GetData() : std::string();

    LogInfo() << "latest-version:" << latestVersion << ",mLocalVersion:" << localVersion;
    if (CompareVersions(localVersion, latestVersion) >= 0) {
      control.Stop(UpToDate);
      return true;
    }

    if (Cancelled()) return false;
    control.SetState(FetchingInfo);
    const std::string info_url = updateUrl + localVersion + "/" + "version.xml";
    LogInfo() << Text(Message::kVersionInfoAddress) << info_url;
    std::string info_text;
    if (!FetchText(info_url, &info_text)) {
      if (Cancelled()) return false;
      LogError() << "DownloadPackage version.xml error,this file is not exist check it,versionurl:" << info_url;
      control.Stop(InfoFetchFailed);
      return false;
    }
    LogInfo() << "Download version.xml file succes";

    if (Cancelled()) return false;
    control.SetState(ParsingInfo);
    MarkupDocument info;
    info.SetDoc(info_text.c_str());
    std::string versionnum, packageurl, packagemd5, updateself;
    bool found = info.FindElem("version") && info.IntoElem();
    if (found && (found = info.FindElem("versionnum"))) versionnum = info.GetData();
    if (found && (found = info.FindElem("packageurl"))) packageurl = info.GetData();
    if (found && (found = info.FindElem("packagemd5"))) packagemd5 = info.GetData();
    if (found && (found = info.FindElem("updateself"))) updateself = info.GetData();
    if (!found) {
      control.Stop(UnexpectedError);
      return false;
    }
    // A package has to raise the installed version; one that does not would
    // make the passes repeat without end.
    if (CompareVersions(versionnum, localVersion) <= 0) {
      LogError() << "version.xml of " << localVersion << " declares version " << versionnum
                 << ", which is not newer; the update chain does not advance";
      control.Stop(UnexpectedError);
      return false;
    }

    platform::RemoveEmptyDirectory("version");
    LogInfo() << "destversion:" << versionnum << ",localversion:" << localVersion;

    if (Cancelled()) return false;
    if (!InstallPackage(versionnum, packageurl, packagemd5, updateself)) return false;
  }
}

bool UpdateThread::InstallPackage(const std::string& versionnum, const std::string& packageurl,
                                  const std::string& packagemd5, const std::string& updateself) {
  UpdateControl& control = UpdateControl::Instance();
  control.SetState(Downloading);

  const std::string package_dir = InstallPath(std::string("update") + platform::kPathSep);
  if (!platform::IsDirectory(package_dir) && !platform::MakeDirectory(package_dir)) {
    control.Stop(PackageFailed);
    return false;
  }
  LogInfo() << "Download package address:" << packageurl;
  SegmentPolicy* current;
  {
    std::lock_guard<std::mutex> hold(job_mutex_);
    job = std::make_unique<SegmentPolicy>(package_dir, packageurl);
    current = job.get();
  }
  if (!current->Init()) {
    if (Cancelled()) return false;
    LogError() << "SegmentPolicy init error";
    control.Stop(PackageFailed);
    return false;
  }
  current->Start();
  current->Wait();
  // A cancelled download is neither checked nor run; its journal resumes it.
  if (Cancelled()) return false;
  const bool complete = current->GetFileSize() > 0 && current->GetDownloadedSize() == current->GetFileSize();

  // Exactly the file the job wrote: the job derives its name from the
  // address as it is stored (cut to the path limit), not from the whole text.
  const std::string package = current->GetLocalFileName();
  if (!VerifyPackage(package, packagemd5)) {
    LogError() << "update package md5 check error";
    // A complete file that fails the check would be found complete again by
    // the next launch and fail for ever: drop it so it is fetched afresh. An
    // incomplete one (a cancelled download) stays for resuming.
    if (complete) platform::RemoveFile(package);
    control.Stop(DigestMismatch);
    return false;
  }
  LogInfo() << "update package md5 check success";

  control.SetState(Installing);
  {
    UpdateControlLock hold;
    // The window's cancel takes the same lock: once it has run, no setup
    // program starts.
    if (Cancelled()) return false;
    platform::MakeExecutable(package);
    std::unique_ptr<platform::Process> setup = platform::StartProcess(SetupCommandLine(package, InstallPath("")));
    if (!setup) {
      control.Stop(SetupFailed);
      return false;
    }
    setup->Wait();
  }

  std::string reported;
  if (!QueryClientVersion(reported)) {
    control.Stop(SetupFailed);
    return false;
  }
  if (reported != versionnum) {
    LogError() << "setup update package error,may be canceled";
    control.Stop(SetupFailed);
    return false;
  }
  localVersion = reported;
  LogInfo() << "setup package successed";

  control.SetState(Succeeded);
  // The second of "Update successful"; a cancel ends it early.
  for (int i = 0; i < 10 && !Cancelled(); ++i) platform::SleepMs(100);
  if (Cancelled()) return false;

  if (CompareVersions(localVersion, latestVersion) < 0 && updateself == "true") {
    UpdateControl::RestartLauncher();  // does not return
  }
  return true;
}
