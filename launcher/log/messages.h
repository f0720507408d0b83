// The launcher's own Chinese log texts, kept in one place. They are stored in
// code page 936 where narrow text is in the system's ANSI code page, and in
// UTF-8 where the system's narrow text is UTF-8.
#ifndef LAUNCHER_LOG_MESSAGES_H_
#define LAUNCHER_LOG_MESSAGES_H_

enum class Message {
  kCheckStartParams,       // checking the start parameters begins
  kPrepareCopyToTemp,      // starting; preparing to copy itself to the temp directory
  kCopyToTempFailed,       // copying to temp failed; exiting; the game was not started
  kRestartOuterLauncher,   // the updater was upgraded; restarting the outer launcher
  kFailedSuffix,           // ",failed"
  kStartUpgrade,           // starting the upgrade
  kLatestVersionAddress,   // download address of latest-version.xml
  kVersionInfoAddress,     // download address of version.xml
};

// The text in the encoding of this system's narrow strings.
const char* Text(Message m);

#endif  // LAUNCHER_LOG_MESSAGES_H_
