// Data sinks: where a fetch puts what it receives.
//
// FileSink writes into a local file at its current position; several sinks
// may hold the same file and write disjoint ranges of it. MemorySink collects
// the bytes in a zero-filled buffer, so its content can be read as text.
#ifndef WIN_DL_NET_DATA_SINK_H_
#define WIN_DL_NET_DATA_SINK_H_

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/file.h"

class DataSink {
 public:
  virtual ~DataSink() = default;
  // Write and Append put `count` bytes at the current position (a memory
  // sink: behind its content). False when nothing could be written.
  virtual bool Write(const void* bytes, uint32_t count) = 0;
  virtual bool Append(const void* bytes, uint32_t count) = 0;
  virtual const char* GetText() = 0;
  virtual const uint8_t* GetBuffer() = 0;
  // Moves to the end; the position after the move.
  virtual uint64_t SeekToEnd() = 0;
  // Moves to `position` from the start; the position after the move.
  virtual uint64_t Seek(uint64_t position) = 0;
  virtual void SeekToBegin() = 0;
  virtual uint64_t GetLength() = 0;
  virtual uint64_t GetSize() = 0;
  virtual void Close() = 0;
};

class FileSink : public DataSink {
 public:
  // Opens `path` for writing, creating it when missing and never truncating,
  // shared with other readers and writers. IsOpen() tells whether that worked.
  explicit FileSink(const std::string& path);
  ~FileSink() override;

  bool IsOpen() const { return m_pFile != nullptr; }

  bool Write(const void* bytes, uint32_t count) override;
  bool Append(const void* bytes, uint32_t count) override { return Write(bytes, count); }
  const char* GetText() override { return nullptr; }
  const uint8_t* GetBuffer() override { return nullptr; }
  uint64_t SeekToEnd() override;
  uint64_t Seek(uint64_t position) override;
  void SeekToBegin() override { Seek(0); }
  uint64_t GetLength() override;
  uint64_t GetSize() override { return 0; }
  void Close() override { m_pFile.reset(); }

 private:
  std::string m_strPath;
  std::unique_ptr<platform::File> m_pFile;
};

class MemorySink : public DataSink {
 public:
  static constexpr uint32_t kInitialCapacity = 1048576;

  MemorySink();

  bool Write(const void* bytes, uint32_t count) override { return Append(bytes, count); }
  // Copies the bytes behind the content, doubling the capacity as often as
  // needed. With a limit, bytes that would take the content past it are
  // refused: false, nothing appended, and LimitExceeded() is true.
  bool Append(const void* bytes, uint32_t count) override;
  const char* GetText() override { return reinterpret_cast<const char*>(GetBuffer()); }
  // The content, always followed by a zero byte; null after Close.
  const uint8_t* GetBuffer() override { return m_buffer.empty() ? nullptr : m_buffer.data(); }
  uint64_t SeekToEnd() override { return 0; }
  uint64_t Seek(uint64_t position) override { return 0; }
  void SeekToBegin() override {}
  uint64_t GetLength() override { return m_nCount; }
  uint64_t GetSize() override { return m_nCount; }
  // Frees the buffer; a later Append starts a new one.
  void Close() override;

  uint64_t Capacity() const { return m_nCapacity; }

  // The most bytes the sink takes (0: no limit, the default). Set before the
  // first Append.
  void SetLimit(uint64_t max_bytes) { m_nLimit = max_bytes; }
  bool LimitExceeded() const { return m_bExceeded; }

 private:
  // One byte more than the capacity, always zero, ends the text even when the
  // content fills the capacity.
  std::vector<uint8_t> m_buffer;
  uint64_t m_nCapacity = 0;
  uint64_t m_nCount = 0;
  uint64_t m_nLimit = 0;
  bool m_bExceeded = false;
};

#endif  // WIN_DL_NET_DATA_SINK_H_
