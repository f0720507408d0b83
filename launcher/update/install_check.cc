#include "launcher/update/install_check.h"

#include <algorithm>
#include <atomic>
#include <thread>

#include "launcher/release/sha256.h"
#include "platform/file.h"
#include "platform/path.h"

unsigned HashThreads() {
  const unsigned n = std::thread::hardware_concurrency();
  return std::clamp(n, 1u, kMaxHashThreads);
}

std::vector<size_t> FilesThatDiffer(const std::string& install_dir, const std::vector<release::ManifestFile>& files,
                                    unsigned threads) {
  if (threads == 0) threads = HashThreads();
  threads = static_cast<unsigned>(std::min<size_t>(std::min(threads, kMaxHashThreads), std::max<size_t>(files.size(), 1)));
  std::vector<char> differs(files.size(), 0);
  std::atomic<size_t> next{0};
  auto work = [&] {
    for (size_t i = next++; i < files.size(); i = next++) {
      std::string path = files[i].path;
      for (char& c : path)
        if (c == '/') c = platform::kPathSep;
      path = install_dir + path;
      const int64_t size = platform::FileSize(path);
      std::string sha;
      differs[i] = size < 0 || static_cast<uint64_t>(size) != files[i].size || !Sha256File(path, &sha) ||
                   sha != files[i].sha256;
    }
  };
  std::vector<std::thread> pool;
  for (unsigned t = 1; t < threads; ++t) pool.emplace_back(work);
  work();
  for (std::thread& t : pool) t.join();
  std::vector<size_t> out;
  for (size_t i = 0; i < files.size(); ++i)
    if (differs[i]) out.push_back(i);
  return out;
}
