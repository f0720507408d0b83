#include "win_dl_net/file_fetch.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <exception>

#include "launcher/log/logger.h"
#include "launcher/release/text.h"
#include "platform/process.h"
#include "win_dl_net/check_return.h"

namespace {

constexpr const char* kAcceptAndAgent =
    "Accept: */*\r\nUser-Agent:  Mozilla/4.0 (compatible; MSIE 5.00; Windows 98)\r\n";

// First byte of a Content-Range value "bytes first-last/total"; false when
// the value is not of that form. With `total`: the file's size as well, which
// must then be a number above `last` and within 4 GiB.
bool ContentRangeStart(const std::string& value, uint32_t* first, uint32_t* total = nullptr) {
  unsigned long long a = 0, b = 0;
  char unit[8] = {0};
  char slash = 0;
  if (std::sscanf(value.c_str(), "%7s %llu-%llu%c", unit, &a, &b, &slash) != 4) return false;
  if (std::string(unit) != "bytes" || slash != '/' || b < a || b > 0xFFFFFFFFull) return false;
  if (total) {
    uint64_t t = 0;
    if (!release::ParseDecimal(value.substr(value.find('/') + 1), &t, 0xFFFFFFFFull) || t <= b) return false;
    *total = static_cast<uint32_t>(t);
  }
  *first = static_cast<uint32_t>(a);
  return true;
}

// Closes a fetch's request, connection and session when the scope ends,
// however it ends.
class CloseOnExit {
 public:
  explicit CloseOnExit(FileFetch& fetch) : fetch_(fetch) {}
  ~CloseOnExit() { fetch_.Close(); }
  CloseOnExit(const CloseOnExit&) = delete;
  CloseOnExit& operator=(const CloseOnExit&) = delete;

 private:
  FileFetch& fetch_;
};

}  // namespace

FileFetch::FileFetch(const std::string& url) : m_strUrl(url) {}

FileFetch::~FileFetch() { Close(); }

void FileFetch::Reset() {
  m_nFileSize = 0;
  m_nDownloaded = 0;
  m_nLastStatus = 0;
  m_strRetryAfter.clear();
}

void FileFetch::NoteReply(uint32_t code) {
  m_nLastStatus = code;
  m_strRetryAfter.clear();
  if (LastReplyBusy() && m_pHttpFile && !m_pHttpFile->QueryHeader("Retry-After", &m_strRetryAfter)) {
    m_strRetryAfter.clear();
  }
}

void FileFetch::Close() {
  if (m_pHttpFile) m_pHttpFile->Close();
  if (m_pConnection) m_pConnection->Close();
  m_pHttpFile.reset();
  m_pConnection.reset();
  std::unique_ptr<platform::HttpSession> session;
  {
    std::lock_guard<std::mutex> hold(m_sessionMutex);
    session = std::move(m_pNetSession);
  }
  if (session) session->Close();
}

void FileFetch::Abort() {
  m_bAborted = true;
  std::lock_guard<std::mutex> hold(m_sessionMutex);
  if (m_pNetSession) m_pNetSession->Abort();
}

bool FileFetch::SetSession(std::unique_ptr<platform::HttpSession> session) {
  if (!session) return false;
  std::lock_guard<std::mutex> hold(m_sessionMutex);
  // An Abort that came before the session existed still ends its calls.
  if (m_bAborted) session->Abort();
  m_pNetSession = std::move(session);
  return true;
}

std::string FileFetch::RequestHeaders(uint32_t start, uint32_t last) {
  // Unsigned: a range beyond 2 GiB must not turn into a negative number.
  char range[64];
  if (last == kToTheEnd) {
    std::snprintf(range, sizeof range, "Range: bytes=%u-\r\n", static_cast<unsigned>(start));
  } else {
    std::snprintf(range, sizeof range, "Range: bytes=%u-%u\r\n", static_cast<unsigned>(start),
                  static_cast<unsigned>(last));
  }
  return std::string(kAcceptAndAgent) + range;
}

uint32_t FileFetch::RequestFlags(const platform::HttpUrl& url) {
  uint32_t flags = platform::kHttpFlagReload | platform::kHttpFlagNoCacheWrite |
                   platform::kHttpFlagKeepConnection | platform::kHttpFlagTransferBinary;
  if (url.scheme == "https") flags |= platform::kHttpFlagSecure;
  return flags;
}

FetchResult FetchResultOf(const platform::Status& status) {
  switch (status.code()) {
    case platform::Status::kOk:
      return FetchResult::kComplete;
    case platform::Status::kRetryable:
      return FetchResult::kRetryable;
    case platform::Status::kFailed:
    case platform::Status::kBadCall:
      break;
  }
  return FetchResult::kFailed;
}

platform::Status FileFetch::OpenRequest(uint32_t start, uint32_t last, bool log_steps) {
  platform::HttpUrl url;
  if (!platform::ParseHttpUrl(m_strUrl, &url)) {
    Close();
    return platform::Status(platform::Status::kBadCall, "not an http or https address");
  }
  m_pConnection = m_pNetSession->Connect(url.server, url.port, "admin", "kobal");
  if (!m_pConnection) {
    if (log_steps) LogInfo() << "GetHttpConnection error";
    Close();
    return platform::Status(platform::Status::kFailed, "no connection record");
  }
  platform::Status error = platform::Status::kOk;
  m_pHttpFile = m_pNetSession->OpenUrl(m_strUrl, RequestFlags(url), RequestHeaders(start, last), &error);
  if (!m_pHttpFile) {
    if (log_steps && error != platform::Status::kRetryable) LogInfo() << "OpenRequest error";
    Close();
    return error.ok() ? platform::Status(platform::Status::kFailed) : error;
  }
  return platform::Status::kOk;
}

bool FileFetch::CheckStatus() {
  for (int i = 0; i < 10; ++i) {
    uint32_t code = 0;
    if (!m_pHttpFile->QueryStatusCode(&code)) code = 0;
    LogInfo() << "QueryInfoStatusCode:" << code;
    NoteReply(code);
    if (code >= 200 && code <= 299) return true;
    // A reply's status does not change by asking again: only a query that
    // gave none is repeated. (Asking a 404 ten times cost every missing
    // document a second; a busy server's answer goes to the caller, who
    // decides when to come back.)
    if (code != 0) return false;
    platform::SleepMs(100);
  }
  return false;
}

static std::unique_ptr<platform::HttpSession> OpenSession(const char* agent, bool configure, uint32_t connect_timeout,
                                                          uint32_t data_timeout, uint32_t retries,
                                                          std::function<bool()> cancelled) {
  platform::HttpSessionOptions options;
  options.agent = agent;
  options.set_timeouts = configure;
  options.connect_timeout_ms = connect_timeout;
  options.data_timeout_ms = data_timeout;
  options.connect_retries = retries;
  options.cancelled = std::move(cancelled);
  return platform::HttpSession::Open(options);
}

bool FileFetch::GetRemoteFileAttribute() {
  try {
    Close();
    Reset();
    if (!SetSession(OpenSession("dl", true, m_nConnectTimeout, m_nDataTimeout, m_nConnectRetries, nullptr))) {
      return false;
    }
    // The first byte only: its Content-Range names the size, and the server
    // sends nothing that is thrown away.
    if (!OpenRequest(0, 0, false).ok()) return false;
    uint32_t code = 0;
    m_pHttpFile->QueryStatusCode(&code);
    std::string content_range;
    uint32_t length = 0;
    if (code == 416) {
      // Not even a first byte: an empty file ("bytes */0").
      NoteReply(code);
      if (!m_pHttpFile->QueryHeader("Content-Range", &content_range) || content_range != "bytes */0") {
        Close();
        return false;
      }
    } else if (!CheckStatus()) {
      Close();
      return false;
    } else {
      uint32_t first = 0;
      if (m_pHttpFile->QueryHeader("Content-Range", &content_range) &&
          ContentRangeStart(content_range, &first, &length)) {
        // The one byte is read, so that the request ends the ordinary way
        // rather than being closed with its body in transit.
        char byte[2];
        uint32_t got = 0;
        m_pHttpFile->Read(byte, sizeof byte, &got);
      } else if (!m_pHttpFile->QueryContentLength(&length)) {
        length = 0;  // a server that ignores the Range and names no length
      }
    }
    m_nFileSize = length;
    m_nDownloaded = 0;
    Close();
    return true;
  } catch (...) {
    LogError() << "get remote file attu execption";
    Close();
    return false;
  }
}

bool FileFetch::PastDeadline() {
  if (m_nDeadlineMs == 0) return false;
  if (!m_bDeadlinePassed && std::chrono::steady_clock::now() - m_fetchBegan >= std::chrono::milliseconds(m_nDeadlineMs)) {
    m_bDeadlinePassed = true;
    LogError() << "not received whole within " << m_nDeadlineMs << " ms,url:" << m_strUrl;
  }
  return m_bDeadlinePassed;
}

FetchResult FileFetch::SigleFetch(DataSink& sink) {
  try {
    Close();
    Reset();
    // The deadline covers the whole fetch: connecting, the reply's headers and
    // every byte of the body, however steadily they trickle in (each byte
    // would start the data time-out afresh).
    m_fetchBegan = std::chrono::steady_clock::now();
    m_bDeadlinePassed = false;
    if (!SetSession(OpenSession("SigleFetch", true, m_nConnectTimeout, m_nDataTimeout, m_nConnectRetries,
                                [this] { return IsStopped() || PastDeadline(); }))) {
      return FetchResult::kFailed;
    }
    if (!OpenRequest(0, kToTheEnd, false).ok()) return FetchResult::kFailed;
    if (!CheckStatus()) {
      Close();
      return FetchResult::kFailed;
    }
    uint32_t length = 0;
    if (!m_pHttpFile->QueryContentLength(&length)) length = 0;
    m_nFileSize = length;
    uint64_t start = sink.SeekToEnd();
    m_nDownloaded = static_cast<uint32_t>(start);
    if (m_nFileSize <= start) {
      m_nDownloaded = m_nFileSize;
      Close();
      return FetchResult::kComplete;
    }
    LogInfo() << "m_pHttpFile->Seek";
    char buffer[kReadBlock];
    bool failed = false;
    for (;;) {
      if (IsStopped()) break;
      if (PastDeadline()) {
        failed = true;
        break;
      }
      uint32_t got = 0;
      platform::Status error = m_pHttpFile->Read(buffer, kReadBlock, &got);
      if (got > 0) {
        LogDebug() << "download byte:" << got;
        if (!sink.Append(buffer, got)) {
          failed = true;
          break;
        }
        m_nDownloaded += got;
      }
      if (error != platform::Status::kOk) {
        failed = true;
        break;
      }
      if (got < kReadBlock) break;
      platform::SleepMs(1);
    }
    Close();
    // A body shorter than its Content-Length is no success either.
    if (failed || IsStopped() || PastDeadline() || m_nDownloaded < m_nFileSize) return FetchResult::kFailed;
    return FetchResult::kComplete;
  } catch (...) {
    Close();
    return FetchResult::kFailed;
  }
}

WholeFetch FetchWhole(FileFetch& fetch, uint32_t limit, std::string* text) {
  MemorySink sink;
  // A reply that does not end (or claims gigabytes) must not take the
  // memory with it.
  sink.SetLimit(limit);
  const bool fetched = fetch.SigleFetch(sink) == FetchResult::kComplete;
  if (sink.LimitExceeded()) return WholeFetch::kWholeTooLarge;
  if (!fetched) return WholeFetch::kWholeFailed;
  // Every byte received: a signature covers them all.
  const uint8_t* p = sink.GetBuffer();
  *text = p ? std::string(reinterpret_cast<const char*>(p), static_cast<size_t>(sink.GetSize())) : std::string();
  return WholeFetch::kWholeFetched;
}

SegmentFetcher::SegmentFetcher(const std::string& url, const std::string& local_file, uint32_t isp, uint32_t sp,
                               uint32_t ep)
    : FileFetch(url), ThreadObject(true), m_nStartPos(isp), m_nEndPos(ep), m_nCurPos(sp),
      m_strLocalFile(local_file) {
  m_nDownloaded = sp - isp;
}

void SegmentFetcher::Stop() {
  ThreadObject::Stop();
  Abort();
  m_stopWait.Interrupt();
}

void SegmentFetcher::SetMirrors(const std::vector<std::string>& mirrors) {
  m_addresses.assign(1, m_addresses.empty() ? m_strUrl : m_addresses.front());
  m_addresses.insert(m_addresses.end(), mirrors.begin(), mirrors.end());
}

SegmentFetcher::~SegmentFetcher() {
  SegmentFetcher::Stop();
  Wait();
  Close();
}

bool SegmentFetcher::OpenRangeRequest(FetchResult* result) {
  SetSession(OpenSession("MultiFetch", false, 0, 0, 0, [this] { return IsStopped() || BelowFloor(); }));
  *result = FetchResult::kFailed;
  CHECK_RETURN(m_pNetSession, false);
  // Exactly the bytes still missing: a server that pushes the rest of the
  // file into the socket sends what is thrown away.
  const platform::Status opened = OpenRequest(m_nCurPos, m_nEndPos, true);
  if (!opened.ok()) {
    *result = FetchResultOf(opened);
    if (*result != FetchResult::kRetryable) {
      // This address cannot be asked (it does not parse, say); another may.
      *result = FetchResult::kFailed;
      m_bRefused = !IsStopped();
      return false;
    }
    LogError() << "win net error happen, close and restart again";
    return false;
  }
  uint32_t code = 0;
  m_pHttpFile->QueryStatusCode(&code);
  LogInfo() << "QueryInfoStatusCode:" << code;
  return true;
}

bool SegmentFetcher::CheckRangeReply(FetchResult* result) {
  uint32_t code = 0;
  m_pHttpFile->QueryStatusCode(&code);
  NoteReply(code);
  std::string content_range;
  uint32_t first = 0;
  if (code == 206 && m_pHttpFile->QueryHeader("Content-Range", &content_range) &&
      ContentRangeStart(content_range, &first) && first == m_nCurPos) {
    return true;
  }
  // Nothing of this reply goes into the range. A server error may pass; a
  // server that answers otherwise (ignoring the range, an error page, another
  // range) will answer the same way again.
  bool transient = code >= 500 || code == 408 || code == 429;
  LogWarn() << "range reply rejected,status:" << code << ",Content-Range:" << content_range << ",sp:" << m_nCurPos;
  *result = transient ? FetchResult::kRetryable : FetchResult::kFailed;
  m_bRefused = !transient;
  return false;
}

bool SegmentFetcher::SeekSink(FileSink& sink, FetchResult* result) {
  if (sink.Seek(m_nCurPos) == m_nCurPos) return true;
  LogError() << "seek in local file failed,sp:" << m_nCurPos;
  *result = FetchResult::kFailed;
  return false;
}

bool SegmentFetcher::FlushBuffer(MemorySink& buffer, FileSink& sink) {
  if (!buffer.GetBuffer()) return true;
  uint32_t count = static_cast<uint32_t>(buffer.GetSize());
  bool ok = count == 0 || sink.Write(buffer.GetBuffer(), count);
  buffer.Close();
  if (!ok) {
    LogError() << "write to local file failed,sp:" << m_nCurPos;
    // What was received but not written is not downloaded.
    m_nDownloaded = m_nCurPos - m_nStartPos;
    return false;
  }
  m_nCurPos += count;
  return true;
}

bool SegmentFetcher::KeepWhatArrived(MemorySink& buffer, FileSink& sink) {
  bool written = FlushBuffer(buffer, sink);
  m_nDownloaded = m_nCurPos - m_nStartPos;
  return written;
}

bool SegmentFetcher::BelowFloor() {
  if (m_bTooSlow) return true;
  static const Deadlines kDefaults;
  const Deadlines& d = m_pDeadlines ? *m_pDeadlines : kDefaults;
  if (!m_bFloorArmed || !m_pHttpFile || d.range_floor_bytes == 0 || d.range_window_ms == 0) return false;
  const auto now = std::chrono::steady_clock::now();
  if (now - m_floorStart < std::chrono::milliseconds(d.range_window_ms)) return false;
  const uint64_t received = m_pHttpFile->BodyBytesReceived();
  if (received - m_nFloorBytes < d.range_floor_bytes) {
    LogWarn() << "range moved " << received - m_nFloorBytes << " bytes in " << d.range_window_ms
              << " ms, fewer than " << d.range_floor_bytes << ": asked again,sp:" << m_nCurPos;
    m_bTooSlow = true;
    return true;
  }
  m_floorStart = now;
  m_nFloorBytes = received;
  return false;
}

uint32_t SegmentFetcher::TakeAllowance(uint32_t want) {
  if (!m_pLimit) return want;
  for (;;) {
    uint32_t wait_ms = 0;
    const uint32_t granted = m_pLimit->Take(want, &wait_ms);
    if (granted > 0) return granted;
    // Short waits that a Stop ends at once.
    if (IsStopped() || !m_stopWait.WaitMs(wait_ms)) return 0;
  }
}

std::string SegmentFetcher::FailureText() const {
  if (LastReplyBusy()) {
    std::string text = "server busy (status " + std::to_string(m_nLastStatus);
    if (!m_strRetryAfter.empty()) text += ", Retry-After " + m_strRetryAfter;
    return text + ")";
  }
  if (m_bTooSlow) return "a range's body slower than the least pace";
  if (m_nLastStatus != 0 && (m_nLastStatus < 200 || m_nLastStatus > 299)) {
    return "status " + std::to_string(m_nLastStatus);
  }
  return "network error";
}

bool SegmentFetcher::AddressDropped() {
  if (m_bDropped) return true;
  if (!m_bOtherAddress || !m_fnUsable || m_fnUsable(m_strUrl)) return false;
  LogWarn() << "range " << m_nStartPos << "-" << m_nEndPos << " breaks off from " << m_strUrl
            << ", an address no longer used,sp:" << m_nCurPos;
  m_bDropped = true;
  return true;
}

void SegmentFetcher::NoteServer() {
  std::lock_guard<std::mutex> hold(m_servedMutex);
  if (!m_served.empty() && m_served.back().second == m_strUrl) return;
  // An address that served nothing gives way to the next at the same byte.
  if (!m_served.empty() && m_served.back().first == m_nCurPos) m_served.pop_back();
  m_served.emplace_back(m_nCurPos.load(), m_strUrl);
}

std::vector<std::string> SegmentFetcher::ServedBy(uint32_t first, uint32_t last) const {
  std::lock_guard<std::mutex> hold(m_servedMutex);
  std::vector<std::string> out;
  const uint64_t done = m_nCurPos.load();
  for (size_t i = 0; i < m_served.size(); ++i) {
    const uint64_t begin = m_served[i].first;
    const uint64_t end = i + 1 < m_served.size() ? m_served[i + 1].first : done;  // exclusive
    if (begin >= end || end <= first || begin > last) continue;
    if (std::find(out.begin(), out.end(), m_served[i].second) == out.end()) out.push_back(m_served[i].second);
  }
  return out;
}

FetchResult SegmentFetcher::EndAfterReadError(MemorySink& buffer, FileSink& sink, const platform::Status& error) {
  // What arrived before the failure is good: keep it. The request itself was
  // sound (its reply was checked), so a read that fails in any way is asked
  // again from what is on disk, not only a network failure.
  if (!KeepWhatArrived(buffer, sink) || IsStopped()) return FetchResult::kFailed;
  // A body broken off for its pace, or for its address, was logged there.
  if (!m_bTooSlow && !m_bDropped) {
    if (error == platform::Status::kRetryable) {
      LogError() << "win net error happen, close and restart again";
    } else {
      LogError() << "exception.....";
    }
  }
  return FetchResult::kRetryable;
}

FetchResult SegmentFetcher::EndShortBody(MemorySink& buffer, FileSink& sink) {
  // Retried from what is on disk.
  if (!KeepWhatArrived(buffer, sink)) return FetchResult::kFailed;
  LogWarn() << "body ended before the range,sp:" << m_nCurPos << ",ep" << m_nEndPos;
  return FetchResult::kRetryable;
}

FetchResult SegmentFetcher::ReceiveRange(FileSink& sink) {
  LogInfo() << "isp:" << m_nStartPos << ",sp:" << m_nCurPos << ",ep" << m_nEndPos;
  char block[kReadBlock];
  // Received bytes wait here until kWriteBatch of them (or the end) is
  // reached; m_nCurPos moves only when they are written.
  MemorySink buffer;
  uint32_t pending = 0;
  uint32_t pos = m_nCurPos;  // the next byte to receive
  uint32_t remaining = m_nEndPos - pos + 1;
  // The body's pace is measured from here.
  m_bFloorArmed = true;
  m_floorStart = std::chrono::steady_clock::now();
  m_nFloorBytes = m_pHttpFile->BodyBytesReceived();
  for (;;) {
    if (!IsStopped() && remaining > 0) {
      // Under a rate limit a read asks for no more than the allowance gives.
      const uint32_t want = TakeAllowance(remaining < kReadBlock ? remaining : kReadBlock);
      if (want == 0) continue;  // stopped while waiting for the allowance
      uint32_t got = 0;
      platform::Status error = m_pHttpFile->Read(block, want, &got);
      if (m_pLimit && got < want) m_pLimit->GiveBack(want - got);
      if (got > 0) {
        if (!buffer.Append(block, got)) {
          FlushBuffer(buffer, sink);
          return FetchResult::kFailed;
        }
        pos += got;
        remaining = m_nEndPos - pos + 1;
        pending += got;
        if (pending >= kWriteBatch) {
          pending = 0;
          if (!FlushBuffer(buffer, sink)) return FetchResult::kFailed;
        }
        m_nDownloaded = pos - m_nStartPos;
      }
      // Bytes that come fast enough to fill every read never wait inside
      // one, where the pace is otherwise measured.
      if (error == platform::Status::kOk && remaining > 0 && (BelowFloor() || AddressDropped()))
        error = platform::Status::kRetryable;
      if (error != platform::Status::kOk) return EndAfterReadError(buffer, sink, error);
      if (got < want) return EndShortBody(buffer, sink);
      if (remaining > 0) {
        std::this_thread::yield();
        continue;
      }
    }
    pending = 0;
    if (!FlushBuffer(buffer, sink)) return FetchResult::kFailed;
    if (IsStopped()) return FetchResult::kFailed;
    if (!(m_nCurPos < m_nEndPos + 1)) return FetchResult::kComplete;
  }
}

FetchResult SegmentFetcher::FetchFileSegment(FileSink& sink) {
  LogInfo() << "FetchFileSegment Begin";
  Close();
  m_bFloorArmed = false;
  m_bTooSlow = false;
  m_bDropped = false;
  m_bRefused = false;
  m_nLastStatus = 0;
  m_strRetryAfter.clear();
  if (!sink.IsOpen()) {
    LogError() << "local file not open:" << m_strLocalFile;
    return FetchResult::kFailed;
  }
  // The request, the connection and the session end with the attempt,
  // whichever way it ends.
  CloseOnExit close_request(*this);
  try {
    FetchResult result = FetchResult::kFailed;
    if (m_nCurPos == m_nEndPos + 1) return FetchResult::kComplete;  // nothing left to fetch
    if (!OpenRangeRequest(&result)) return result;
    if (!CheckRangeReply(&result)) return result;
    if (!SeekSink(sink, &result)) return result;
    return ReceiveRange(sink);
  } catch (...) {
    LogError() << "exception.....";
    return FetchResult::kRetryable;
  }
}

int SegmentFetcher::Run() {
  static const RetryTiming kDefaultTiming;
  const RetryTiming& timing = m_pTiming ? *m_pTiming : kDefaultTiming;
  if (m_addresses.empty()) m_addresses.push_back(m_strUrl);
  Backoff backoff(timing);
  std::vector<bool> refused(m_addresses.size(), false);
  size_t at = 0;
  uint32_t on_address = 0;  // failures in a row on the current address
  auto usable = [&](size_t i) { return !m_fnUsable || m_fnUsable(m_addresses[i]); };
  // The next address after the current one that has not refused the range
  // and may be asked; the current one when there is none.
  auto next_address = [&] {
    for (size_t k = 1; k < m_addresses.size(); ++k) {
      size_t i = (at + k) % m_addresses.size();
      if (!refused[i] && usable(i)) return i;
    }
    return at;
  };
  auto turn_to = [&](size_t i, const char* why) {
    LogWarn() << "range " << m_nStartPos << "-" << m_nEndPos << " continues from " << m_addresses[i]
              << " at sp:" << m_nCurPos << " (" << why << " on " << m_addresses[at] << ")";
    at = i;
    on_address = 0;
  };
  FetchResult result = FetchResult::kFailed;
  for (;;) {
    if (!usable(at)) {
      const size_t next = next_address();
      if (next != at) turn_to(next, "no longer used");
    }
    m_strUrl = m_addresses[at];
    // With no other address to go on from, even a dropped one goes on.
    m_bOtherAddress = next_address() != at;
    NoteServer();
    const uint32_t before = m_nCurPos;
    FileSink sink(m_strLocalFile);
    result = FetchFileSegment(sink);
    sink.Close();
    if (result == FetchResult::kComplete) {
      LogInfo() << "down load success,return";
      break;
    }
    if (IsStopped()) {
      result = FetchResult::kFailed;
      break;
    }
    if (m_nCurPos != before) {
      backoff.Progressed();
      on_address = 0;
    }
    m_strLastFailure = FailureText();
    if (result == FetchResult::kFailed) {
      if (!m_bRefused) break;  // the local file failed: no address helps
      refused[at] = true;
      size_t next = next_address();
      if (next == at) break;  // every address has refused
      turn_to(next, "refused");
      continue;
    }
    // Broken off because its address was dropped: on from the next at once.
    if (m_bDropped && next_address() != at) continue;
    // A network error or a busy server: wait, then ask again.
    const int64_t retry_after = LastReplyBusy() ? RetryAfterMs(m_strRetryAfter, timing.Now()) : -1;
    const uint32_t wait = backoff.Failed(retry_after);
    LogInfo() << "range retry in " << wait << " ms,status:" << m_nLastStatus << ",sp:" << m_nCurPos;
    if (++on_address >= timing.switch_after && m_addresses.size() > 1) {
      size_t next = next_address();
      if (next != at) turn_to(next, "failures in a row");
    }
    if (m_pBusy && LastReplyBusy()) m_pBusy->Begin(m_nBusySlot, wait);
    const bool waited = m_stopWait.WaitMs(wait);
    if (m_pBusy) m_pBusy->End(m_nBusySlot);
    if (!waited) {
      result = FetchResult::kFailed;
      break;
    }
  }
  m_nLastResult = static_cast<int>(result);
  m_bFinished = true;
  if (m_fnFinished) m_fnFinished();
  return static_cast<int>(result);
}
