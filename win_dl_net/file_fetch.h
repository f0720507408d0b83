// HTTP fetchers of the downloader.
//
// FileFetch runs one HTTP transaction per operation: GetRemoteFileAttribute
// learns a file's size, SigleFetch fetches a whole file into a sink.
// SegmentFetcher fetches one byte range of a file into the local file, on a
// thread of its own, resuming at the range's current position after network
// errors.
//
// Every operation creates its own session, connection and request and closes
// them before it returns; no connection is held between operations.
#ifndef WIN_DL_NET_FILE_FETCH_H_
#define WIN_DL_NET_FILE_FETCH_H_

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "platform/http.h"
#include "win_dl_net/data_sink.h"
#include "win_dl_net/deadlines.h"
#include "win_dl_net/rate_limit.h"
#include "win_dl_net/retry_wait.h"
#include "win_dl_net/thread_object.h"

// What a fetch ended with. The numbers are fixed: logs, the retry loop and
// the update engine compare them.
enum class FetchResult : int {
  kComplete = 0,    // everything asked for is here
  kFailed = -1,     // failed for good, or stopped (what arrived is kept)
  kRetryable = -2,  // a network error or a busy server: ask again
};

// The fetch result of a platform call's status: kComplete when it worked,
// kRetryable when the same request may work later, kFailed otherwise. The one
// place where the HTTP service's outcomes become the downloader's values.
FetchResult FetchResultOf(const platform::Status& status);

class FileFetch {
 public:
  // Read block size and the segment fetcher's write batch.
  static constexpr uint32_t kReadBlock = 8192;
  static constexpr uint32_t kWriteBatch = 1048576;

  explicit FileFetch(const std::string& url);
  virtual ~FileFetch();
  FileFetch(const FileFetch&) = delete;
  FileFetch& operator=(const FileFetch&) = delete;

  // Asks the server for the file's first byte; true with GetFileSize() = the
  // size its reply's Content-Range names (the Content-Length of a server that
  // ignores the Range, whose reply is then closed; 0 when neither is named;
  // 0 for an empty file, which has no first byte to give).
  virtual bool GetRemoteFileAttribute();
  // Fetches the whole file into `sink` (the update engine passes a new, empty
  // MemorySink). kComplete, or kFailed on failure, when stopped, or when the
  // file has not arrived whole within the deadline (SetDeadline).
  virtual FetchResult SigleFetch(DataSink& sink);
  // The time SigleFetch has for the whole file, from its start to its last
  // byte, in milliseconds; 0: none (the default).
  void SetDeadline(uint32_t ms) { m_nDeadlineMs = ms; }
  // Whether the last SigleFetch ran out of that time.
  bool DeadlinePassed() const { return m_bDeadlinePassed; }
  // Sets the size and the byte counter to 0.
  virtual void Reset();
  // True once Abort was called.
  virtual bool IsStopped() { return IsAborted(); }

  // Closes the request, the connection and the session.
  void Close();

  // Ends the operation in progress (on whatever thread) within about a
  // second, with that operation's failure, and makes every later one fail.
  // Any thread, any number of times.
  void Abort();
  bool IsAborted() const { return m_bAborted.load(); }

  uint32_t GetFileSize() const { return m_nFileSize; }
  uint32_t GetDownloaded() const { return m_nDownloaded.load(); }
  const std::string& GetUrl() const { return m_strUrl; }

  // Status code of the last reply of the last operation, 0 when none came.
  uint32_t LastStatus() const { return m_nLastStatus; }
  // Whether that reply was a 503 or a 429: the server is busy, not broken.
  bool LastReplyBusy() const { return m_nLastStatus == 503 || m_nLastStatus == 429; }
  // Its Retry-After header when it was busy; empty otherwise.
  const std::string& LastRetryAfter() const { return m_strRetryAfter; }

  // `last` of RequestHeaders for a range that runs to the end of the file.
  static constexpr uint32_t kToTheEnd = 0xFFFFFFFFu;
  // The header block of a request for the bytes from `start` to `last`
  // (inclusive), or on to the end of the file.
  static std::string RequestHeaders(uint32_t start, uint32_t last = kToTheEnd);
  // The request flags for an URL's scheme.
  static uint32_t RequestFlags(const platform::HttpUrl& url);

 protected:
  // URL split, connection and request for the bytes from `start` to `last`
  // (RequestHeaders), on the
  // session already made: steps common to the three operations. On failure
  // everything is closed and the status tells whether asking again may help
  // (kRetryable: the network failed) or not (an URL that does not parse, a
  // connection record that cannot be made, a request the library refuses).
  platform::Status OpenRequest(uint32_t start, uint32_t last, bool log_steps);
  // Up to 10 status queries, 100 ms apart, for a 2xx code.
  bool CheckStatus();
  // Makes `session` the operation's session. False (and no session) when
  // none could be made; an aborted fetch keeps a session that fails at once.
  bool SetSession(std::unique_ptr<platform::HttpSession> session);
  // Notes the status (and, for a busy reply, the Retry-After) of the reply.
  void NoteReply(uint32_t code);

  std::unique_ptr<platform::HttpConnection> m_pConnection;
  std::unique_ptr<platform::HttpSession> m_pNetSession;
  std::unique_ptr<platform::HttpRequest> m_pHttpFile;
  std::string m_strUrl;
  uint32_t m_nConnectTimeout = 100000;
  uint32_t m_nDataTimeout = 5000;
  uint32_t m_nConnectRetries = 3000000;
  uint32_t m_nFileSize = 0;
  std::atomic<uint32_t> m_nDownloaded{0};
  uint32_t m_nLastStatus = 0;
  std::string m_strRetryAfter;

 private:
  // SigleFetch's deadline: whether it has passed (noted once it has).
  bool PastDeadline();

  uint32_t m_nDeadlineMs = 0;
  std::chrono::steady_clock::time_point m_fetchBegan;
  bool m_bDeadlinePassed = false;
  // Guards m_pNetSession against Abort from another thread; the owning
  // thread alone changes it.
  std::mutex m_sessionMutex;
  std::atomic<bool> m_bAborted{false};
};

// A small document fetched whole into memory (the version documents, the
// news page and their signatures): kWholeFetched with every byte received in
// *text; kWholeTooLarge when the reply passed `limit` bytes; kWholeFailed for
// any other failure, the fetch's deadline (SetDeadline) and Abort included.
enum class WholeFetch { kWholeFetched, kWholeFailed, kWholeTooLarge };
WholeFetch FetchWhole(FileFetch& fetch, uint32_t limit, std::string* text);

// One byte range [m_nStartPos, m_nEndPos] of the local file. m_nCurPos is the
// next byte to write: everything before it is on disk. m_nDownloaded counts
// the bytes of the range received, written or still in memory.
class SegmentFetcher : public FileFetch, public ThreadObject {
 public:
  // REQUIRES: isp <= sp <= ep + 1 (32-bit; an empty range has ep + 1 = isp).
  SegmentFetcher(const std::string& url, const std::string& local_file, uint32_t isp, uint32_t sp,
                 uint32_t ep);
  ~SegmentFetcher() override;

  // Fetches the rest of the range into `sink` at its offset. kComplete when
  // the range is complete, kFailed when it failed for good or was stopped
  // (after writing what it received), kRetryable after a network error or a
  // server error (retry from GetCurPos()).
  FetchResult FetchFileSegment(FileSink& sink);

  bool IsStopped() override { return !IsRunning() || IsAborted(); }
  // Clears `running`, ends a request the fetcher's thread is blocked in and
  // a wait between attempts.
  void Stop() override;
  // Fetches until complete, stopped or failed for good. After a network
  // error or a busy server it waits as `timing` says (Retry-After, backoff)
  // and asks again from GetCurPos(). With further addresses: after
  // switch_after failures in a row on one address, or when an address
  // refuses the range for good, it goes on from the next address at the
  // same position; it gives up only when every address has refused.
  // Returns the FetchResult as a number (kComplete or kFailed).
  int Run() override;

  // Further addresses of the same file, tried after the URL given at
  // construction. Before Start.
  void SetMirrors(const std::vector<std::string>& mirrors);
  // The waits between attempts; the defaults when unset. `timing` outlives
  // the fetcher. Before Start.
  void SetRetryTiming(const RetryTiming* timing) { m_pTiming = timing; }
  // The least pace of a range's body (Deadlines::range_floor_bytes within
  // range_window_ms); the defaults when unset. A body slower than that is
  // broken off and asked again, as after a dropped connection. `deadlines`
  // outlives the fetcher. Before Start.
  void SetDeadlines(const Deadlines* deadlines) { m_pDeadlines = deadlines; }
  // Where the fetcher notes its waits on busy answers, under `slot`. Before
  // Start; `board` outlives the fetcher.
  void SetBusyWaits(BusyWaits* board, int slot) {
    m_pBusy = board;
    m_nBusySlot = slot;
  }

  // The cap the fetcher's reads share with the job's other ranges: each read
  // takes its bytes from `limit` first, waiting (and seeing a Stop) while
  // there are none. Null (the default) or an uncapped one: reads as they
  // come. Before Start; `limit` outlives the fetcher.
  void SetRateLimit(RateLimit* limit) { m_pLimit = limit && limit->Limited() ? limit : nullptr; }

  // Which addresses may be asked (an address that served a bad block is
  // not, say); all when unset. Asked before each attempt and during a body:
  // an address that turns unusable is broken off and the range goes on at
  // once from the next usable one, unless none is left. Any thread may call
  // `usable`. Before Start.
  void SetAddressFilter(std::function<bool(const std::string&)> usable) { m_fnUsable = std::move(usable); }
  // The addresses the bytes [first, last] of the range came from, each once,
  // in the order they served. Any thread.
  std::vector<std::string> ServedBy(uint32_t first, uint32_t last) const;

  // Called on the fetcher's thread when Run is about to return.
  void SetFinishedCallback(std::function<void()> callback) { m_fnFinished = std::move(callback); }
  // True once Run has returned (or is about to).
  bool IsFinished() const { return m_bFinished.load(); }
  // What the last Run ended with.
  FetchResult LastResult() const { return static_cast<FetchResult>(m_nLastResult.load()); }
  // What the last failed attempt met, for logs ("server busy (status 503)",
  // "status 404", "network error"...); empty when none failed. Read it once
  // the fetcher's thread has ended.
  const std::string& LastFailure() const { return m_strLastFailure; }

  uint32_t GetStartPos() const { return m_nStartPos; }
  uint32_t GetEndPos() const { return m_nEndPos; }
  uint32_t GetCurPos() const { return m_nCurPos.load(); }

 private:
  // The steps of FetchFileSegment. Each returns false, with *result the
  // attempt's end, when the attempt ends there; the request is closed by
  // FetchFileSegment on every path.
  //
  // A session and the request for the bytes from m_nCurPos on.
  bool OpenRangeRequest(FetchResult* result);
  // Checks that the reply is the partial content of the range from
  // m_nCurPos. Otherwise logs it and sets *result.
  bool CheckRangeReply(FetchResult* result);
  // Puts the sink's position at m_nCurPos.
  bool SeekSink(FileSink& sink, FetchResult* result);
  // Reads the reply's body into the range until the range is complete, the
  // body ends or fails, or the fetcher is stopped.
  FetchResult ReceiveRange(FileSink& sink);
  // Writes what arrived before a transfer ended early and counts only what
  // is on disk as downloaded. False when that write failed.
  bool KeepWhatArrived(MemorySink& buffer, FileSink& sink);
  // The end of a transfer whose read failed with `error`: retryable unless
  // the write failed or the fetcher was stopped.
  FetchResult EndAfterReadError(MemorySink& buffer, FileSink& sink, const platform::Status& error);
  // The end of a transfer whose body ended inside the range: retryable
  // unless the write failed.
  FetchResult EndShortBody(MemorySink& buffer, FileSink& sink);
  // Writes what `buffer` holds at the sink's position and advances m_nCurPos;
  // on failure sets m_nDownloaded back to what is on disk.
  bool FlushBuffer(MemorySink& buffer, FileSink& sink);
  // The pace of the body, measured from ReceiveRange's start in windows of
  // range_window_ms: true (and noted) once a window has passed with fewer
  // than range_floor_bytes. Called on the fetcher's thread, also from inside
  // a Read (the session's cancel hook).
  bool BelowFloor();
  // Up to `want` bytes of the rate limit's allowance (`want` without one),
  // waiting while there are none; 0 when the fetcher was stopped meanwhile.
  uint32_t TakeAllowance(uint32_t want);
  // A text for LastFailure of the attempt that just failed.
  std::string FailureText() const;
  // Whether the address in use may no longer be asked (SetAddressFilter)
  // while another one may; noted for the attempt once it is so.
  bool AddressDropped();
  // Notes that the bytes from m_nCurPos on come from m_strUrl.
  void NoteServer();

  std::vector<std::string> m_addresses;  // the URL given first, then the mirrors
  const RetryTiming* m_pTiming = nullptr;
  const Deadlines* m_pDeadlines = nullptr;
  BusyWaits* m_pBusy = nullptr;
  RateLimit* m_pLimit = nullptr;
  int m_nBusySlot = 0;
  StopWait m_stopWait;
  // The pace window of the current body (BelowFloor).
  bool m_bFloorArmed = false;
  std::chrono::steady_clock::time_point m_floorStart;
  uint64_t m_nFloorBytes = 0;
  bool m_bTooSlow = false;  // the current attempt was broken off for its pace
  bool m_bDropped = false;  // the current attempt was broken off: its address was dropped
  bool m_bOtherAddress = false;  // the current attempt has another address to go on from
  std::function<bool(const std::string&)> m_fnUsable;
  // Where each address began to serve the range: (first byte, address), in
  // the order the range went on; each one serves up to the next, the last
  // up to m_nCurPos.
  mutable std::mutex m_servedMutex;
  std::vector<std::pair<uint32_t, std::string>> m_served;
  std::string m_strLastFailure;
  // The last failure was the server's answer for good (not a network error,
  // a busy server or a local failure): another address may serve.
  bool m_bRefused = false;
  uint32_t m_nStartPos;
  uint32_t m_nEndPos;
  std::atomic<uint32_t> m_nCurPos;
  std::string m_strLocalFile;
  std::function<void()> m_fnFinished;
  std::atomic<bool> m_bFinished{false};
  std::atomic<int> m_nLastResult{static_cast<int>(FetchResult::kComplete)};
};

#endif  // WIN_DL_NET_FILE_FETCH_H_
