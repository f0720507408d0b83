#include "win_dl_net/data_sink.h"

#include <cstring>
#include <new>

#include "launcher/log/logger.h"

FileSink::FileSink(const std::string& path) : m_strPath(path) {
  LogInfo() << "Create CFile";
  try {
    platform::FileOpenOptions options;
    options.disposition = platform::FileDisposition::kReadWrite;
    options.share_read = options.share_write = options.share_delete = true;
    m_pFile = platform::OpenFile(path, options);
    if (!m_pFile) LogInfo() << "new CFile error,no memory,attention";
  } catch (const std::bad_alloc&) {
    LogError() << "Create CFile Error;";
  }
}

FileSink::~FileSink() = default;

bool FileSink::Write(const void* bytes, uint32_t count) {
  if (!m_pFile) return false;
  return m_pFile->Write(bytes, count) == platform::Status::kOk;
}

uint64_t FileSink::SeekToEnd() {
  if (!m_pFile) return 0;
  m_pFile->SeekToEnd();
  return static_cast<uint64_t>(m_pFile->Tell());
}

uint64_t FileSink::Seek(uint64_t position) {
  if (!m_pFile) return 0;
  m_pFile->SeekTo(static_cast<int64_t>(position));
  return static_cast<uint64_t>(m_pFile->Tell());
}

uint64_t FileSink::GetLength() {
  if (!m_pFile) return 0;
  int64_t length = 0;
  return m_pFile->Size(&length) == platform::Status::kOk ? static_cast<uint64_t>(length) : 0;
}

MemorySink::MemorySink() : m_buffer(kInitialCapacity + 1, 0), m_nCapacity(kInitialCapacity) {}

bool MemorySink::Append(const void* bytes, uint32_t count) {
  if (m_nLimit > 0 && m_nCount + count > m_nLimit) {
    m_bExceeded = true;
    return false;
  }
  try {
    if (m_buffer.empty()) {
      m_buffer.assign(kInitialCapacity + 1, 0);
      m_nCapacity = kInitialCapacity;
    }
    if (m_nCount + count > m_nCapacity) {
      uint64_t capacity = m_nCapacity;
      while (m_nCount + count > capacity) capacity *= 2;
      std::vector<uint8_t> bigger(capacity + 1, 0);
      std::memcpy(bigger.data(), m_buffer.data(), m_nCount);
      m_buffer.swap(bigger);
      m_nCapacity = capacity;
    }
  } catch (const std::bad_alloc&) {
    return false;
  }
  if (count > 0) std::memcpy(m_buffer.data() + m_nCount, bytes, count);
  m_nCount += count;
  return true;
}

void MemorySink::Close() {
  std::vector<uint8_t>().swap(m_buffer);
  m_nCapacity = 0;
  m_nCount = 0;
}
