// The repair's look at an install: which files a version's manifest lists
// are missing or differ from it, every file hashed once, on all cores.
#ifndef LAUNCHER_UPDATE_INSTALL_CHECK_H_
#define LAUNCHER_UPDATE_INSTALL_CHECK_H_

#include <cstddef>
#include <string>
#include <vector>

#include "launcher/release/file_manifest.h"

// The threads FilesThatDiffer uses by default: one per processor the system
// reports (at least 1, at most kMaxHashThreads).
constexpr unsigned kMaxHashThreads = 16;
unsigned HashThreads();

// The indexes into `files`, ascending, of the files that do not lie in
// `install_dir` (with its trailing separator; paths with '/' between
// folders) as listed: missing, unreadable, of another size (not hashed
// then) or of another SHA-256. Hashes on `threads` threads (0: HashThreads),
// each taking the next unhashed file. Any thread; nothing here logs.
std::vector<size_t> FilesThatDiffer(const std::string& install_dir, const std::vector<release::ManifestFile>& files,
                                    unsigned threads = 0);

#endif  // LAUNCHER_UPDATE_INSTALL_CHECK_H_
