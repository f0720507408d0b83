// Staged rollouts and channels as the launcher reads them.
//
// A latest-version.xml may give its newest version to a share of installs
// only: rollout is that share in percent (0-100) and heldversionnum the
// version every other install treats as the newest. Which installs are in
// the share is decided by the install's bucket for the newest version, a
// number 0-99 made from the install's random identifier (kept in the
// install directory) and the version text: an install whose bucket is below
// the percent takes the newest version. The bucket is fixed for an install
// and a version, so raising the percent only ever adds installs, and a new
// version draws a new share.
//
// A channel is a version tree of its own in a subdirectory of the version
// root, named by the player's setting; the root is the default channel.
//
// Pure functions except NewInstallId; any thread; nothing here logs.
#ifndef LAUNCHER_RELEASE_ROLLOUT_H_
#define LAUNCHER_RELEASE_ROLLOUT_H_

#include <cstddef>
#include <string>

#include "launcher/release/version_documents.h"

namespace release {

// Random bytes in an install identifier; it is kept as twice as many
// upper-case hexadecimal digits.
inline constexpr size_t kInstallIdBytes = 16;

// A new install identifier from the crypto library's strong generator.
// False when the generator is not available.
bool NewInstallId(std::string* id);
// Whether `text` is an identifier as NewInstallId makes it.
bool IsInstallId(const std::string& text);

// The install's bucket for `version`, 0-99: the first four bytes of
// SHA-256(install_id "/" version), big-endian, modulo 100.
int RolloutBucket(const std::string& install_id, const std::string& version);

// The text of a rollout element: decimal 0 to 100, nothing else.
bool ParseRollout(const std::string& text, int* percent);

// The newest version a latest-version.xml gives one install.
struct RolloutTarget {
  std::string version;  // what the install treats as the newest
  bool staged = false;  // the document carries a rollout below 100
  bool held = false;    // ...and this install is outside it
  int percent = 100;
  int bucket = -1;  // -1 unless staged
};
// Without rollout, or with 100, every install takes lastversionnum. With a
// rollout below 100 an install whose bucket is below it takes
// lastversionnum and any other heldversionnum; an empty `install_id` (none
// could be kept) is outside every rollout. False with *error for an
// unreadable rollout or a staged document without heldversionnum. (The
// versions themselves are the engine's to compare.)
bool TargetFor(const LatestVersion& latest, const std::string& install_id, RolloutTarget* out, std::string* error);

// A channel name: 1 to 64 letters, digits, '-' and '_' (so that it is one
// plain path segment on the server and in a file name).
bool IsChannelName(const std::string& name);

}  // namespace release

#endif  // LAUNCHER_RELEASE_ROLLOUT_H_
