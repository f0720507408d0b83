// The update engine's states: what the window shows and polls, and which of
// them end the engine's work.
#ifndef LAUNCHER_UPDATE_UPDATE_STATE_H_
#define LAUNCHER_UPDATE_UPDATE_STATE_H_

#include <cstdint>
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
  // The newest version is not to be installed yet (its availablefrom lies
  // ahead): its package is downloaded, checked and kept, and the installed
  // version may be played meanwhile. Final.
  Preloaded = 17,
};

constexpr int kUpdateStateCount = 18;

// The text shown to the player for a state; "" outside the table.
const char* UpdateStateText(int32_t state);

// True for the states after which the engine thread ends.
bool IsFinalState(int32_t state);

// The status line for a state: its text, or "server busy, retrying in N s"
// while a download (state Downloading) waits `busy_retry_ms` more on a busy
// server's answer (-1: it does not), or for Preloaded with the time the
// package installs (`installs_at`, seconds since 1970 UTC; 0: unknown)
// "Pre-loaded, installs at YYYY-MM-DD HH:MM" in the player's local time.
std::string StatusText(int32_t state, int64_t busy_retry_ms, int64_t installs_at = 0);

#endif  // LAUNCHER_UPDATE_UPDATE_STATE_H_
