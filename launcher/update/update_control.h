// The update engine's shared control object: the update-control lock, the
// engine state the window polls, and the engine thread.
#ifndef LAUNCHER_UPDATE_UPDATE_CONTROL_H_
#define LAUNCHER_UPDATE_UPDATE_CONTROL_H_

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

enum UpdateState : int32_t {
  Succeeded = 0,
  Checking = 1,
  NoVersionInfo = 2,
  LatestFetchFailed = 3,
  UnexpectedError = 4,
  UpToDate = 5,
  Downloading = 6,
  NetworkError = 7,
  InfoFetchFailed = 8,
  SetupFailed = 9,
  NotLatest = 10,
  TempDirFailed = 11,
  Installing = 12,
  FetchingInfo = 13,
  ParsingInfo = 14,
  DigestMismatch = 15,
  PackageFailed = 16,
};

constexpr int kUpdateStateCount = 17;

// The text shown to the player for a state; "" outside the table.
const char* UpdateStateText(int32_t state);

// True for the states after which the engine thread ends.
bool IsFinalState(int32_t state);

class UpdateThread;

class UpdateControl {
 public:
  // The process-wide object, created on first use.
  static UpdateControl& Instance();
  ~UpdateControl();

  // The update-control lock. Re-entrant for the thread holding it.
  void Lock() { mutex_.lock(); }
  void Unlock() { mutex_.unlock(); }

  // Under the lock: creates the engine thread and starts it. Called once.
  bool Start();

  // Cancels the engine's current download (under the lock, when there is an
  // engine) and then sets the state.
  void Stop(int32_t state);

  void SetState(int32_t state) { state_.store(state, std::memory_order_relaxed); }
  int32_t GetState() const { return state_.load(std::memory_order_relaxed); }
  const char* GetStateText() const { return UpdateStateText(GetState()); }

  // Percent for the progress bar: 70 x downloaded / size while downloading or
  // installing, 100 when up to date or succeeded, otherwise 0.
  float GetProgress() const;

  // The publisher's public key text (string 803 of the resource library),
  // set by the application before Start. Empty: the update channel is not
  // signed. The engine reads it at the start of every pass.
  void SetPublisherKey(const std::string& text);
  std::string PublisherKeyText() const;

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
