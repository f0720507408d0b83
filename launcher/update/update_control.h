// The update engine's shared control object: the update-control lock, the
// engine state the window polls, and the engine thread.
#ifndef LAUNCHER_UPDATE_UPDATE_CONTROL_H_
#define LAUNCHER_UPDATE_UPDATE_CONTROL_H_

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "launcher/update/engine_host.h"
#include "launcher/update/update_state.h"

class UpdateThread;

// The engine's host: it starts the engine, handing it the publisher key, the
// install directory and the restart action, and takes its state reports.
class UpdateControl : public EngineHost {
 public:
  // The process-wide object, created on first use.
  static UpdateControl& Instance();
  ~UpdateControl() override;

  // The update-control lock. Re-entrant for the thread holding it.
  void Lock() override { mutex_.lock(); }
  void Unlock() override { mutex_.unlock(); }

  // Under the lock: creates the engine thread and starts it. Called once.
  bool Start();

  // Cancels the engine's current download (under the lock, when there is an
  // engine) and then sets the state.
  void Stop(int32_t state) override;

  void SetState(int32_t state) override { state_.store(state, std::memory_order_relaxed); }
  int32_t GetState() const { return state_.load(std::memory_order_relaxed); }
  const char* GetStateText() const { return UpdateStateText(GetState()); }

  // Percent for the progress bar: 70 x downloaded / size while downloading or
  // installing, 100 when up to date, succeeded or pre-loaded, otherwise 0.
  float GetProgress() const;
  // The engine's wait on a busy server (UpdateThread::BusyRetryMs), -1 when
  // there is none; with the state, the window's status line (StatusText).
  int64_t BusyRetryMs() const;
  // When the pre-loaded package installs (UpdateThread::PreloadedUntil), 0
  // when nothing is pre-loaded; with the state, the status line.
  int64_t PreloadedUntil() const;

  // The publisher's public key text (string 803 of the resource library),
  // set by the application before Start. Empty: the update channel is not
  // signed. Start hands it to the engine.
  void SetPublisherKey(const std::string& text);
  std::string PublisherKeyText() const;

  // The player's update channel (ChannelOfSetting of update_thread.h), set
  // by the application before Start; empty for the default channel. Start
  // hands it to the engine, and the window shows it.
  void SetChannel(const std::string& channel);
  std::string Channel() const;
  // The cap on a package download's bytes per second, set by the
  // application before Start (0, the default: none). Start hands it to the
  // engine.
  void SetDownloadLimit(uint64_t bytes_per_second) { download_limit_ = bytes_per_second; }
  uint64_t DownloadLimit() const { return download_limit_.load(); }
  // Whether the engine begins with a repair ("-c repair"), set by the
  // application before Start (false, the default: an update alone).
  void SetRepair(bool repair) { repair_ = repair; }
  bool Repair() const { return repair_.load(); }

  // The engine thread, for waiting on it (null before Start).
  UpdateThread* Engine() const { return engine_.get(); }

  // Restarting the install directory's launcher after a package that replaced
  // it belongs to the application; it installs the operation here at start-up.
  // The engine calls it; it does not return.
  using RestartFn = void (*)();
  static void SetRestartLauncher(RestartFn fn);
  [[noreturn]] static void RestartLauncher();

 private:
  UpdateControl();
  std::recursive_mutex mutex_;
  std::atomic<int32_t> state_{Checking};
  std::unique_ptr<UpdateThread> engine_;
  mutable std::mutex key_mutex_;
  std::string publisher_key_;
  std::string channel_;  // guarded by key_mutex_
  std::atomic<uint64_t> download_limit_{0};
  std::atomic<bool> repair_{false};
};

// Holds the update-control lock for a scope.
class UpdateControlLock {
 public:
  UpdateControlLock() { UpdateControl::Instance().Lock(); }
  ~UpdateControlLock() { UpdateControl::Instance().Unlock(); }
  UpdateControlLock(const UpdateControlLock&) = delete;
  UpdateControlLock& operator=(const UpdateControlLock&) = delete;
};

#endif  // LAUNCHER_UPDATE_UPDATE_CONTROL_H_
