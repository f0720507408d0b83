// Disk faults for tests, through the file seam: the system calls on the
// handles of chosen files fail or fall short, every other file is spared.
#ifndef TESTING_FILE_FAULTS_H_
#define TESTING_FILE_FAULTS_H_

#include <cstdint>
#include <functional>
#include <mutex>
#include <set>
#include <string>

#include "platform/file.h"

namespace testkit {

// Chooses, when a file is opened, whether its handle is faulty (`pick`, given
// the name, the open's options and the fresh handle), and then what each
// write and read on faulty handles does (`on_write`, `on_read`, given the
// call's number among such calls, from 1; null passes every call), and
// `watch` (optional) sees every write asked of them, before the rule
// applies. One at a time; the real calls come back when it ends.
class FileFaults {
 public:
  enum class Outcome {
    kPass,   // the real call
    kShort,  // the real call with half the bytes (a write that falls short)
    kFail,   // kRetryable, nothing done
  };
  using Picker = std::function<bool(const std::string& name, const platform::FileOpenOptions&, platform::NativeFile)>;
  using Rule = std::function<Outcome(int number)>;
  using Watch = std::function<void(int64_t offset, const void* bytes, size_t n)>;

  FileFaults(Picker pick, Rule on_write, Rule on_read, Watch watch = nullptr)
      : pick_(std::move(pick)), on_write_(std::move(on_write)), on_read_(std::move(on_read)), watch_(std::move(watch)) {
    Current() = this;
    platform::FileCalls().open = [](const platform::FileName& name, const platform::FileOpenOptions& o,
                                    platform::NativeFile* out) -> platform::Status {
      platform::Status e = platform::RealFileCalls().open(name, o, out);
      FileFaults* self = Current();
      if (e == platform::Status::kOk && self->pick_(name.ToNarrow(), o, *out)) {
        std::lock_guard<std::mutex> lock(self->mutex_);
        self->faulty_.insert(*out);
      }
      return e;
    };
    platform::FileCalls().close = [](platform::NativeFile f) -> platform::Status {
      FileFaults* self = Current();
      {
        std::lock_guard<std::mutex> lock(self->mutex_);
        self->faulty_.erase(f);
      }
      return platform::RealFileCalls().close(f);
    };
    platform::FileCalls().write = [](platform::NativeFile f, int64_t at, const void* src, size_t n, size_t* done) -> platform::Status {
      FileFaults* self = Current();
      if (self->watch_ && self->IsFaulty(f)) self->watch_(at, src, n);
      if (!Allow(self->Decide(f, &self->writes_, self->on_write_), &n, done)) return platform::Status::kRetryable;
      return platform::RealFileCalls().write(f, at, src, n, done);
    };
    platform::FileCalls().read = [](platform::NativeFile f, int64_t at, void* dest, size_t n, size_t* got) -> platform::Status {
      FileFaults* self = Current();
      if (!Allow(self->Decide(f, &self->reads_, self->on_read_), &n, got)) return platform::Status::kRetryable;
      return platform::RealFileCalls().read(f, at, dest, n, got);
    };
  }
  ~FileFaults() { Current() = nullptr; }
  FileFaults(const FileFaults&) = delete;
  FileFaults& operator=(const FileFaults&) = delete;

  // Writes and reads seen on faulty handles so far.
  int Writes() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return writes_;
  }
  int Reads() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return reads_;
  }

 private:
  static FileFaults*& Current() {
    static FileFaults* current = nullptr;
    return current;
  }

  // Applies `outcome` to a call of *n bytes; false when the call fails.
  static bool Allow(Outcome outcome, size_t* n, size_t* done) {
    if (outcome == Outcome::kFail) {
      *done = 0;
      return false;
    }
    if (outcome == Outcome::kShort) *n /= 2;
    return true;
  }

  bool IsFaulty(platform::NativeFile f) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return faulty_.count(f) > 0;
  }

  Outcome Decide(platform::NativeFile f, int* count, const Rule& rule) {
    int number;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (!faulty_.count(f)) return Outcome::kPass;
      number = ++*count;
    }
    return rule ? rule(number) : Outcome::kPass;
  }

  platform::ScopedFileCallsOverride restore_;
  Picker pick_;
  Rule on_write_, on_read_;
  Watch watch_;
  mutable std::mutex mutex_;
  std::set<platform::NativeFile> faulty_;
  int writes_ = 0;
  int reads_ = 0;
};

// The disk fills up under one file: its system writes are numbered from 1,
// write `short_at` gets only half its bytes onto the disk, and every write
// from `fail_from` on fails (kRetryable: the environment failed).
class FullDisk : public FileFaults {
 public:
  FullDisk(const std::string& path, int short_at, int fail_from)
      : FileFaults([path](const std::string& name, const platform::FileOpenOptions&,
                          platform::NativeFile) { return name == path; },
                   [short_at, fail_from](int number) {
                     if (number >= fail_from) return Outcome::kFail;
                     return number == short_at ? Outcome::kShort : Outcome::kPass;
                   },
                   nullptr) {}
};

}  // namespace testkit

#endif  // TESTING_FILE_FAULTS_H_
