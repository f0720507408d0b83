// Watching what the downloader writes, and a disk that fills up under it.
#ifndef TESTING_WRITE_WATCH_H_
#define TESTING_WRITE_WATCH_H_

#include <cstdint>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "platform/file.h"
#include "win_dl_net/data_sink.h"
#include "win_dl_net/segment_policy.h"

namespace testkit {

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

// The ranges a job of `size` bytes downloads, each from its first byte.
inline std::vector<WriteWatch::Range> JobRanges(uint32_t size) {
  std::vector<WriteWatch::Range> out;
  for (const SegmentInfo& s : SegmentPolicy::Layout(size)) out.push_back({s.isp, s.ep});
  return out;
}

// The disk fills up under one file: its system writes are numbered from 1,
// write `short_at` gets only half its bytes onto the disk, and every write
// from `fail_from` on fails with kIo. Other files are spared. One at a time.
class FullDisk {
 public:
  FullDisk(const std::string& path, int short_at, int fail_from)
      : path_(path), short_at_(short_at), fail_from_(fail_from) {
    Current() = this;
    platform::FileCalls().open = [](const platform::FileName& name, const platform::FileOpenOptions& o,
                                    platform::NativeFile* out) {
      platform::FileError e = platform::RealFileCalls().open(name, o, out);
      FullDisk* self = Current();
      std::lock_guard<std::mutex> lock(self->mutex_);
      if (e == platform::FileError::kNone && name.ToNarrow() == self->path_) self->handles_.insert(*out);
      return e;
    };
    platform::FileCalls().close = [](platform::NativeFile f) {
      FullDisk* self = Current();
      {
        std::lock_guard<std::mutex> lock(self->mutex_);
        self->handles_.erase(f);
      }
      return platform::RealFileCalls().close(f);
    };
    platform::FileCalls().write = [](platform::NativeFile f, int64_t at, const void* src, size_t n, size_t* done) {
      FullDisk* self = Current();
      int number = 0;
      {
        std::lock_guard<std::mutex> lock(self->mutex_);
        if (self->handles_.count(f)) number = ++self->writes_;
      }
      if (number != 0 && number >= self->fail_from_) {
        *done = 0;
        return platform::FileError::kIo;
      }
      if (number != 0 && number == self->short_at_) n /= 2;
      return platform::RealFileCalls().write(f, at, src, n, done);
    };
  }
  ~FullDisk() { Current() = nullptr; }

  int Writes() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return writes_;
  }

 private:
  static FullDisk*& Current() {
    static FullDisk* current = nullptr;
    return current;
  }

  platform::ScopedFileCallsOverride restore_;
  const std::string path_;
  const int short_at_, fail_from_;
  mutable std::mutex mutex_;
  std::set<platform::NativeFile> handles_;
  int writes_ = 0;
};


}  // namespace testkit

#endif  // TESTING_WRITE_WATCH_H_
