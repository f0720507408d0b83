// Version texts and the client's version library.
#ifndef LAUNCHER_UPDATE_VERSION_H_
#define LAUNCHER_UPDATE_VERSION_H_

#include <string>

// File name of the version library in the install directory.
std::string VersionLibraryName();

// Compares two texts of four dot-separated numbers: 1 when a is newer, -1 when
// older, 0 when equal, -2 (with one ERROR line) when either does not parse.
int CompareVersions(const std::string& a, const std::string& b);

// Ask the version library, loaded afresh from the install directory and
// unloaded at once. False when the library cannot be loaded; `out` is replaced
// only when the export exists.
bool QueryClientVersion(std::string& out);
bool QueryUpdateVersionUrl(std::string& out);

// The same queries against a library at an explicit path.
bool QueryVersionLibrary(const std::string& library_path, const char* export_name, std::string& out);

#endif  // LAUNCHER_UPDATE_VERSION_H_
