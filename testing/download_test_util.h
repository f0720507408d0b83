// Helpers shared by the downloader's tests.
#ifndef TESTING_DOWNLOAD_TEST_UTIL_H_
#define TESTING_DOWNLOAD_TEST_UTIL_H_

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>
#include <string>
#include <vector>

#include "win_dl_net/data_sink.h"

namespace testkit {

// Runs `work` on a thread of its own and tells whether it returned within
// `ms`. The thread is joined before returning either way, so `work` must end
// by itself at some point.
inline bool EndsWithin(int ms, std::function<void()> work) {
  std::atomic<bool> done{false};
  std::thread t([&] {
    work();
    done = true;
  });
  for (int waited = 0; waited < ms && !done; waited += 10) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  const bool in_time = done;
  t.join();
  return in_time;
}

// Bytes that differ from one position to the next and from run to run of
// the same size never.
inline std::string Pattern(size_t n) {
  std::string s(n, '\0');
  uint32_t x = 2463534242u;
  for (size_t i = 0; i < n; ++i) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    s[i] = static_cast<char>(x);
  }
  return s;
}

// Watches every FileSink write of a test: each must lie inside one of the
// allowed ranges and carry the source's bytes for its position.
class WriteWatch {
 public:
  struct Range {
    uint64_t first, last;  // inclusive
  };

  WriteWatch(const std::string& source, std::vector<Range> allowed) : source_(source), allowed_(std::move(allowed)) {
    FileSink::SetWriteHookForTesting([this](const std::string&, uint64_t pos, const void* bytes, uint32_t n) {
      std::lock_guard<std::mutex> lock(mutex_);
      writes_.push_back(n);
      bool inside = false;
      for (const Range& r : allowed_) inside |= n > 0 && pos >= r.first && pos + n - 1 <= r.last;
      if (!inside || pos + n > source_.size() || source_.compare(pos, n, static_cast<const char*>(bytes), n) != 0) {
        ++bad_;
      }
    });
  }
  ~WriteWatch() { FileSink::SetWriteHookForTesting(nullptr); }

  int Bad() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return bad_;
  }
  std::vector<uint32_t> Writes() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return writes_;
  }

 private:
  const std::string& source_;
  std::vector<Range> allowed_;
  mutable std::mutex mutex_;
  std::vector<uint32_t> writes_;
  int bad_ = 0;
};

}  // namespace testkit

#endif  // TESTING_DOWNLOAD_TEST_UTIL_H_
