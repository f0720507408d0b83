#include "launcher/update/update_thread.h"

#include <cstring>
#include <exception>

#include "launcher/log/logger.h"
#include "launcher/log/messages.h"
#include "launcher/markup/markup_document.h"
#include "launcher/update/digest.h"
#include "launcher/update/install_path.h"
#include "launcher/update/signature.h"
#include "launcher/update/update_control.h"
#include "launcher/update/version.h"
#include "platform/file.h"
#include "platform/path.h"
#include "platform/process.h"
#include "platform/sealed_file.h"
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

namespace {

// Strict decimal text of a byte count: digits only, no sign or blanks.
bool ParseSize(const std::string& text, uint64_t* out) {
  if (text.empty() || text.size() > 19) return false;
  uint64_t v = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + static_cast<uint64_t>(c - '0');
  }
  *out = v;
  return true;
}

// The texts of every mirrorurl child of version.xml's root, wherever they
// stand among its children; read from a document of their own so that the
// cursor of the other elements' lookups stays where it is.
std::vector<std::string> MirrorUrls(const std::string& info_text) {
  std::vector<std::string> out;
  MarkupDocument doc;
  doc.SetDoc(info_text.c_str());
  if (!doc.FindElem("version") || !doc.IntoElem()) return out;
  while (doc.FindElem("mirrorurl")) out.push_back(doc.GetData());
  return out;
}

bool IsUpperHex64(const std::string& text) {
  if (text.size() != 64) return false;
  for (char c : text) {
    if (!((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'))) return false;
  }
  return true;
}

}  // namespace

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
  // A version document is small; a reply that does not end (or claims
  // gigabytes) must not take the memory with it.
  sink.SetLimit(kMaxDocumentSize);
  // A cancel before the fetch was registered is seen here; one after it
  // aborts the fetch.
  const bool fetched = !Cancelled() && fetch.SigleFetch(sink) == FetchResult::kComplete;
  {
    std::lock_guard<std::mutex> hold(job_mutex_);
    fetch_ = nullptr;
  }
  if (sink.LimitExceeded()) {
    LogError() << "version document larger than " << kMaxDocumentSize << " bytes refused,url:" << url;
    return false;
  }
  if (!fetched) return false;
  // Every byte received: a signature covers them all. Readers of the text
  // stop at the first zero byte.
  const uint8_t* p = sink.GetBuffer();
  *text = p ? std::string(reinterpret_cast<const char*>(p), static_cast<size_t>(sink.GetSize())) : std::string();
  return true;
}

bool UpdateThread::FetchSignature(const PublisherKey& key, const std::string& url, const std::string& text,
                                  const char* name) {
  const std::string sig_url = url + ".sig";
  std::string sig;
  if (!FetchText(sig_url, &sig)) {
    if (Cancelled()) return false;
    LogError() << "signature of " << name << " not available,url:" << sig_url;
    return false;
  }
  if (!VerifyDetached(key, text, sig)) {
    LogError() << "signature of " << name << " does not verify with the publisher key,url:" << sig_url;
    return false;
  }
  LogInfo() << "signature of " << name << " verified";
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
    // The publisher's key decides whether this pass is signed. A key that is
    // there but does not decode is a broken install: never unsigned then.
    const std::string key_text = control.PublisherKeyText();
    PublisherKey key{};
    const bool signed_channel = !key_text.empty();
    if (!signed_channel) {
      LogWarn() << "the update channel is not signed: no publisher key (resource string 803)";
    } else if (!DecodePublicKey(key_text, &key)) {
      LogError() << "publisher key (resource string 803) is not the base64 text of 32 bytes, update refused";
      control.Stop(NoVersionInfo);
      return false;
    }
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
    if (signed_channel && !FetchSignature(key, latest_url, latest_text, "latest-version.xml")) {
      if (Cancelled()) return false;
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
    if (signed_channel && !FetchSignature(key, info_url, info_text, "version.xml")) {
      if (Cancelled()) return false;
      control.Stop(InfoFetchFailed);
      return false;
    }

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
    SignedPackage package;
    if (signed_channel && !ReadSignedElements(info, info_url, &package)) {
      control.Stop(UnexpectedError);
      return false;
    }
    FullPackage full;
    if (!ReadFullPackage(info, signed_channel, info_url, &full)) {
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

    packageMirrors = MirrorUrls(info_text);
    platform::RemoveEmptyDirectory("version");
    LogInfo() << "destversion:" << versionnum << ",localversion:" << localVersion;

    if (Cancelled()) return false;
    if (!InstallPackage(versionnum, packageurl, packagemd5, updateself, package, full)) return false;
  }
}

bool UpdateThread::ReadSignedElements(MarkupDocument& info, const std::string& info_url, SignedPackage* out) {
  std::string fromversion, size_text;
  bool found = info.FindElem("fromversion");
  if (found) fromversion = info.GetData();
  if (found && (found = info.FindElem("packagesize"))) size_text = info.GetData();
  if (found && (found = info.FindElem("packagesha256"))) out->sha256 = info.GetData();
  if (!found) {
    LogError() << "signed version.xml lacks fromversion, packagesize or packagesha256,versionurl:" << info_url;
    return false;
  }
  // A validly signed document of another version served at this address.
  if (fromversion != localVersion) {
    LogError() << "signed version.xml is published for version " << fromversion << ", not for the installed "
               << localVersion << ",versionurl:" << info_url;
    return false;
  }
  if (!ParseSize(size_text, &out->size)) {
    LogError() << "signed version.xml has an unreadable packagesize:" << size_text;
    return false;
  }
  if (!IsUpperHex64(out->sha256)) {
    LogError() << "signed version.xml has an unreadable packagesha256:" << out->sha256;
    return false;
  }
  out->present = true;
  return true;
}

bool UpdateThread::ReadFullPackage(MarkupDocument& info, bool signed_channel, const std::string& info_url,
                                   FullPackage* out) {
  // By name among the children of `version`, wherever they stand: other
  // optional elements may come before or between them.
  auto child = [&info](const char* name, std::string* text) {
    info.ResetMainPos();
    if (!info.FindElem(name)) return false;
    *text = info.GetData();
    return true;
  };
  if (!child("fullpackageurl", &out->url)) return true;  // none named
  if (out->url.empty()) {
    LogError() << "version.xml names an empty fullpackageurl,versionurl:" << info_url;
    return false;
  }
  if (!child("fullpackagemd5", &out->md5)) {
    LogError() << "version.xml names fullpackageurl without fullpackagemd5,versionurl:" << info_url;
    return false;
  }
  if (signed_channel) {
    std::string size_text;
    SignedPackage& s = out->signed_package;
    if (!child("fullpackagesize", &size_text) || !child("fullpackagesha256", &s.sha256)) {
      LogError() << "signed version.xml names fullpackageurl without fullpackagesize or fullpackagesha256,versionurl:"
                 << info_url;
      return false;
    }
    if (!ParseSize(size_text, &s.size)) {
      LogError() << "signed version.xml has an unreadable fullpackagesize:" << size_text;
      return false;
    }
    if (!IsUpperHex64(s.sha256)) {
      LogError() << "signed version.xml has an unreadable fullpackagesha256:" << s.sha256;
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
  UpdateControl& control = UpdateControl::Instance();
  if (!DownloadCheckAndRun(packageurl, packagemd5, signed_package)) return false;

  std::string reported;
  if (!QueryClientVersion(reported)) {
    control.Stop(SetupFailed);
    return false;
  }
  // A package that ran without effect (a difference package that did not
  // apply to this install, say): the full package of the same step, once.
  if (reported != versionnum && reported == localVersion && full.present) {
    LogInfo() << "update package left the version at " << reported << ", falling back to the full package:"
              << full.url;
    if (Cancelled()) return false;
    if (!DownloadCheckAndRun(full.url, full.md5, full.signed_package)) return false;
    if (!QueryClientVersion(reported)) {
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

  control.SetState(Succeeded);
  // The second of "Update successful"; a cancel ends it early.
  for (int i = 0; i < 10 && !Cancelled(); ++i) platform::SleepMs(100);
  if (Cancelled()) return false;

  if (CompareVersions(localVersion, latestVersion) < 0 && updateself == "true") {
    UpdateControl::RestartLauncher();  // does not return
  }
  return true;
}

bool UpdateThread::DownloadCheckAndRun(const std::string& packageurl, const std::string& packagemd5,
                                       const SignedPackage& signed_package) {
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
    job->SetMirrors(packageMirrors);
    current = job.get();
  }
  if (!current->Init()) {
    if (Cancelled()) return false;
    LogError() << "SegmentPolicy init error";
    control.Stop(PackageFailed);
    return false;
  }
  // The job lays the file out at the server's size and never writes past
  // it; that size has to be the signed one before a byte is fetched.
  if (signed_package.present && current->GetFileSize() != signed_package.size) {
    LogError() << "package size on the server " << current->GetFileSize() << " differs from the signed packagesize "
               << signed_package.size << ",url:" << packageurl;
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
  platform::MakeExecutable(package);
  // From here until the setup program has ended, the package cannot be
  // changed: the digests are computed over the held content, the setup
  // program is started from it and reads its payload from it (see
  // platform/sealed_file.h).
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
    control.Stop(DigestMismatch);
    return false;
  }
  LogInfo() << "update package md5 check success";
  if (signed_package.present) {
    std::string sha256;
    if (!Sha256File(held->ReadPath(), &sha256) || sha256 != signed_package.sha256) {
      LogError() << "update package sha256 check error,expected:" << signed_package.sha256 << ",got:" << sha256;
      held.reset();
      platform::RemoveFile(package);
      control.Stop(DigestMismatch);
      return false;
    }
    LogInfo() << "update package sha256 check success";
  }

  control.SetState(Installing);
  {
    UpdateControlLock hold;
    // The window's cancel takes the same lock: once it has run, no setup
    // program starts.
    if (Cancelled()) return false;
    std::unique_ptr<platform::Process> setup = held->Start(SetupCommandLine(package, InstallPath("")));
    if (!setup) {
      control.Stop(SetupFailed);
      return false;
    }
    setup->Wait();
    held.reset();
  }

  return true;
}
