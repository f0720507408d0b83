#include "launcher/update/update_control.h"

#include <cstdio>
#include <cstdlib>

#include "launcher/log/logger.h"
#include "launcher/log/messages.h"
#include "launcher/update/install_path.h"
#include "launcher/update/update_thread.h"
#include "platform/env.h"

namespace {

const char* const kStateTexts[kUpdateStateCount] = {
    "Update successful",
    "Updating Checker",
    "Didn't obtain version info and updating address",
    "Failed to download latest-versrion.xml file",
    "Unexpected Error",
    "Updated to latest version",
    "Updating client",
    "Network error",
    "Failed to download info file",
    "Failed to install update pack",
    "This version is not the latest version, please update",
    "Failed to create temporary version directory",
    "Installing updating files",
    "Downloading version info file",
    "Analyzing version info file",
    "Failed to install file checker, please update again",
    "Failed to install file, probable network problem, please update again",
    "Pre-loaded",
};

}  // namespace

const char* UpdateStateText(int32_t state) {
  if (state < 0 || state >= kUpdateStateCount) return "";
  return kStateTexts[state];
}

bool IsFinalState(int32_t state) {
  switch (state) {
    case NoVersionInfo:
    case LatestFetchFailed:
    case UnexpectedError:
    case UpToDate:
    case NetworkError:
    case InfoFetchFailed:
    case SetupFailed:
    case DigestMismatch:
    case PackageFailed:
    case Preloaded:
      return true;
    default:
      return false;
  }
}

std::string StatusText(int32_t state, int64_t busy_retry_ms, int64_t installs_at) {
  if (state == Preloaded && installs_at > 0) {
    const std::tm t = platform::CurrentEnv().LocalTimeAt(installs_at);
    char when[64];
    std::snprintf(when, sizeof when, "%04d-%02d-%02d %02d:%02d", t.tm_year + 1900, t.tm_mon + 1, t.tm_mday, t.tm_hour,
                  t.tm_min);
    return std::string("Pre-loaded, installs at ") + when;
  }
  if (state != Downloading || busy_retry_ms < 0) return UpdateStateText(state);
  // Whole seconds, rounded up: "0 s" would read as no wait at all.
  const int64_t seconds = busy_retry_ms <= 1000 ? 1 : (busy_retry_ms + 999) / 1000;
  return "server busy, retrying in " + std::to_string(seconds) + " s";
}

static UpdateControl::RestartFn g_restart_launcher = nullptr;

UpdateControl::UpdateControl() = default;

void UpdateControl::SetRestartLauncher(RestartFn fn) { g_restart_launcher = fn; }

void UpdateControl::RestartLauncher() {
  if (g_restart_launcher) g_restart_launcher();
  // Without an application to restart, end as the restart would.
  Instance().Lock();
  std::exit(0);
}

UpdateControl& UpdateControl::Instance() {
  static UpdateControl control;
  return control;
}

UpdateControl::~UpdateControl() {
  LogInfo() << "delete UpdateControl1";
  engine_.reset();
}

bool UpdateControl::Start() {
  std::lock_guard<std::recursive_mutex> hold(mutex_);
  LogInfo() << Text(Message::kStartUpgrade);
  // The engine's thread calls Stop, which reads engine_: the object is in
  // place before the thread begins.
  EngineSettings settings{PublisherKeyText(), InstallPath(""), [] { RestartLauncher(); }, Deadlines()};
  settings.channel = Channel();
  settings.max_download_bytes_per_second = DownloadLimit();
  settings.repair = repair_.load();
  engine_ = std::make_unique<UpdateThread>(*this, std::move(settings), false);
  engine_->Start();
  return true;
}

void UpdateControl::Stop(int32_t state) {
  if (engine_) {
    std::lock_guard<std::recursive_mutex> hold(mutex_);
    engine_->ThreadObject::Stop();
    engine_->Stop();
  }
  SetState(state);
}

void UpdateControl::SetPublisherKey(const std::string& text) {
  std::lock_guard<std::mutex> hold(key_mutex_);
  publisher_key_ = text;
}

std::string UpdateControl::PublisherKeyText() const {
  std::lock_guard<std::mutex> hold(key_mutex_);
  return publisher_key_;
}

void UpdateControl::SetChannel(const std::string& channel) {
  std::lock_guard<std::mutex> hold(key_mutex_);
  channel_ = channel;
}

std::string UpdateControl::Channel() const {
  std::lock_guard<std::mutex> hold(key_mutex_);
  return channel_;
}

int64_t UpdateControl::BusyRetryMs() const { return engine_ ? engine_->BusyRetryMs() : -1; }

int64_t UpdateControl::PreloadedUntil() const { return engine_ ? engine_->PreloadedUntil() : 0; }

float UpdateControl::GetProgress() const {
  switch (GetState()) {
    case Downloading:
    case Installing: {
      if (!engine_) return 0.0f;
      uint32_t size = engine_->FileSize();
      return size == 0 ? 0.0f : 70.0f * static_cast<float>(engine_->DownloadedSize()) / static_cast<float>(size);
    }
    case UpToDate:
    case Succeeded:
    case Preloaded:
      return 100.0f;
    default:
      return 0.0f;
  }
}
