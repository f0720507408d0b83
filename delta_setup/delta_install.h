// The work of the delta setup program: check, stage, verify, commit, replace.
//
// Everything the package produces is first composed in a staging directory
// inside the install directory (".delta-setup/<process id>/") and checked
// against the manifest, and put on the disk. Only then the journal
// ".delta-setup.journal" is written (a file only this user may open, on the
// disk before the rename that makes it count), holding "commit", the package
// it belongs to (its manifest's SHA-256, its version and the version it
// upgrades) and every deletion and rename still to do. The deletions follow,
// then the renames, each staged file checked against its SHA-256 once more
// first, then the version is written into the version library's store, then
// the journal is removed. A run that finds a committed journal of its own
// package completes it first (a target that already holds the new content
// counts as done); any other journal is discarded, never carried out, and so
// is the staging directory of every run that no longer runs. A journal or
// staging directory that is not this user's own, or that others may change,
// is refused and left in place (kUntrusted). The patch tool is tied to the run that
// started it (it ends when that run is killed), so nothing of a killed run
// keeps running or holds its files. So a run killed at any instant leaves
// either the old version with its old files, or a committed journal that the
// next run completes, and the next run leaves no staging behind.
#ifndef DELTA_SETUP_DELTA_INSTALL_H_
#define DELTA_SETUP_DELTA_INSTALL_H_

#include <string>

namespace delta_install {

enum Result {
  kInstalled = 0,
  kUsage = 2,
  kNoPayload = 3,       // the package is damaged or carries no payload
  kRefused = 4,         // a path would leave the install directory
  kInputMismatch = 5,   // a file to be patched is not what the package expects
  kGleanerFailed = 6,   // composing a new engine package failed
  kOutputMismatch = 7,  // a staged file is not what the manifest says, or
                        // a binary difference does not make it
  kWriteFailed = 8,     // staging, the journal or the version store
  kJournalFailed = 9,   // a committed journal could not be completed
  kUntrusted = 10,      // the journal or the staging directory is not this
                        // user's own (another user owns it, others may
                        // change it, or it is a link): left in place
};

// Installs the package `package_path` (the running program's own image) into
// `install_dir`. One line per failure goes to standard error.
int Install(const std::string& package_path, const std::string& install_dir);

}  // namespace delta_install

#endif  // DELTA_SETUP_DELTA_INSTALL_H_
