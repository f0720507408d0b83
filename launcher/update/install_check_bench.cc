// The repair's hashing over a directory given on the command line:
//   install_check_bench DIR [THREADS]
// hashes every file below DIR as the repair does (FilesThatDiffer, every
// file listed with its own size and no digest, so each is read whole) and
// prints the files, bytes, threads, seconds and MiB/s, for comparison with
// sha256sum over the same files.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "launcher/update/install_check.h"

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  const unsigned threads = argc > 2 ? static_cast<unsigned>(std::atoi(argv[2])) : 0;
  std::filesystem::path root(argv[1]);
  std::vector<release::ManifestFile> files;
  uint64_t bytes = 0;
  for (const auto& e : std::filesystem::recursive_directory_iterator(root)) {
    if (!e.is_regular_file()) continue;
    release::ManifestFile f;
    f.path = std::filesystem::relative(e.path(), root).generic_string();
    f.size = e.file_size();
    bytes += f.size;
    files.push_back(f);
  }
  const auto start = std::chrono::steady_clock::now();
  const size_t differ = FilesThatDiffer(root.string() + "/", files, threads).size();
  const double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::printf("%zu files (%zu hashed) %llu bytes threads=%u %.3f s %.0f MiB/s\n", files.size(), differ,
              static_cast<unsigned long long>(bytes), threads ? threads : HashThreads(), secs,
              static_cast<double>(bytes) / (1024.0 * 1024.0) / secs);
  return differ == files.size() ? 0 : 1;
}
