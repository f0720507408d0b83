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
};

constexpr int kUpdateStateCount = 17;

// The text shown to the player for a state; "" outside the table.
const char* UpdateStateText(int32_t state);

// True for the states after which the engine thread ends.
bool IsFinalState(int32_t state);

// The status line for a state: its text, or "server busy, retrying in N s"
// while a download (state Downloading) waits `busy_retry_ms` more on a busy
// server's answer (-1: it does not).
std::string StatusText(int32_t state, int64_t busy_retry_ms);

#endif  // LAUNCHER_UPDATE_UPDATE_STATE_H_
