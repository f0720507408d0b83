// The client's install directory, seen from either copy of the launcher.
#ifndef LAUNCHER_UPDATE_INSTALL_PATH_H_
#define LAUNCHER_UPDATE_INSTALL_PATH_H_

#include <string>

// The install directory (with its trailing separator) followed by `name`.
// The install directory is the running executable's directory cut before the
// last occurrence of "temp" plus a separator in it, so the launcher and its
// temp copy agree on it. Computed afresh on every call, from the executable
// path the env in force gives (tests that run the engine inside the test
// program put an env in force that places the executable in their install).
std::string InstallPath(const std::string& name);

// The same rule applied to a given executable path (tests, and the callers
// that already hold the path).
std::string InstallPathFor(const std::string& executable_path, const std::string& name);

#endif  // LAUNCHER_UPDATE_INSTALL_PATH_H_
