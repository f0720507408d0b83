// A file opened for reading and writing at chosen positions, for the
// downloader: several writers may hold the same file open and write disjoint
// ranges of it.
#ifndef PLATFORM_RANDOM_FILE_H_
#define PLATFORM_RANDOM_FILE_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace platform {

class RandomFile {
 public:
  enum class Share {
    kExclusive,  // others may not open the file while it is open here (Windows)
    kReadWrite,  // others may read and write it meanwhile
  };

  // Opens `path` for reading and writing, creating it when missing and never
  // truncating it. The position starts at 0. Null on failure.
  static std::unique_ptr<RandomFile> Open(const std::string& path, Share share);

  virtual ~RandomFile() = default;
  virtual bool Seek(uint64_t position) = 0;
  virtual uint64_t Position() const = 0;
  // Length of the file, or -1.
  virtual int64_t Length() = 0;
  // Makes the file exactly `length` bytes long; new bytes read as zero.
  virtual bool SetLength(uint64_t length) = 0;
  // Writes all of `data` at the position and advances it; false otherwise.
  virtual bool Write(const void* data, size_t n) = 0;
  // Reads up to `n` bytes at the position; the count, or -1.
  virtual int64_t Read(void* data, size_t n) = 0;
  // Puts what was written on the disk.
  virtual bool Flush() = 0;
};

}  // namespace platform

#endif  // PLATFORM_RANDOM_FILE_H_
