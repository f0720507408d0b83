// Watching what the downloader writes (and, through file_faults.h, a disk
// that fills up under it).
#ifndef TESTING_WRITE_WATCH_H_
#define TESTING_WRITE_WATCH_H_

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "platform/file.h"
#include "testing/file_faults.h"
#include "win_dl_net/segment_policy.h"

namespace testkit {

// Watches every write to the file at `path` (opened after the watch starts,
// under that very name) through the file seam: each must lie inside one of
// the allowed ranges and carry the source's bytes for its position.
class WriteWatch {
 public:
  struct Range {
    uint64_t first, last;  // inclusive
  };

  WriteWatch(const std::string& path, const std::string& source, std::vector<Range> allowed)
      : source_(source),
        allowed_(std::move(allowed)),
        faults_([path](const std::string& name, const platform::FileOpenOptions&,
                       platform::NativeFile) { return name == path; },
                nullptr, nullptr, [this](int64_t at, const void* bytes, size_t size) {
                  const uint64_t pos = static_cast<uint64_t>(at);
                  const uint32_t n = static_cast<uint32_t>(size);
                  std::lock_guard<std::mutex> lock(mutex_);
                  writes_.push_back(n);
                  bool inside = false;
                  for (const Range& r : allowed_) inside |= n > 0 && pos >= r.first && pos + n - 1 <= r.last;
                  if (!inside || pos + n > source_.size() ||
                      source_.compare(pos, n, static_cast<const char*>(bytes), n) != 0) {
                    ++bad_;
                  }
                }) {}

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
  FileFaults faults_;  // last: it watches while the members above live
};

// The ranges a job of `size` bytes downloads, each from its first byte.
inline std::vector<WriteWatch::Range> JobRanges(uint32_t size) {
  std::vector<WriteWatch::Range> out;
  for (const SegmentInfo& s : SegmentPolicy::Layout(size)) out.push_back({s.isp, s.ep});
  return out;
}

}  // namespace testkit

#endif  // TESTING_WRITE_WATCH_H_
