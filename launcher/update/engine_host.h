// What the update engine is handed by the program that runs it, and the
// interface through which it reports: the engine reaches nothing else of the
// program (no global control object).
#ifndef LAUNCHER_UPDATE_ENGINE_HOST_H_
#define LAUNCHER_UPDATE_ENGINE_HOST_H_

#include <cstdint>
#include <functional>
#include <string>

#include "win_dl_net/deadlines.h"

// Implemented by the engine's owner (UpdateControl); called from the engine's
// thread.
class EngineHost {
 public:
  // The state the window shows (update_state.h).
  virtual void SetState(int32_t state) = 0;
  // Ends the engine's work in `state`: cancels its download, then sets it.
  virtual void Stop(int32_t state) = 0;
  // The update-control lock, which the window's cancel takes too: held while
  // a setup program is started and runs, so that none starts after a cancel.
  virtual void Lock() = 0;
  virtual void Unlock() = 0;

 protected:
  virtual ~EngineHost() = default;
};

// Fixed for the engine's life.
struct EngineSettings {
  // The publisher's public key text (string 803 of the resource library);
  // empty: the update channel is not signed.
  std::string publisher_key;
  // The client's install directory, with its trailing separator.
  std::string install_dir;
  // Restarts the install directory's launcher after a package that replaced
  // it; does not return.
  std::function<void()> restart_launcher;
  // How long a version document may take, how slow a range may be, and how
  // long a download may go without progress before the pass ends in
  // NetworkError.
  Deadlines deadlines;
  // The player's update channel (ChannelOfSetting): a subdirectory of the
  // version root with a version tree of its own; empty for the root, the
  // default channel.
  std::string channel;
  // The most bytes per second a package download takes over all its ranges
  // together ("MaxDownloadKBps" of renewel.ini); 0: no cap.
  uint64_t max_download_bytes_per_second = 0;
  // Begin with a repair of the install to the newest version's manifest
  // (the run mode "-c repair"), then update as always.
  bool repair = false;
};

#endif  // LAUNCHER_UPDATE_ENGINE_HOST_H_
