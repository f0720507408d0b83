// WinInet backend: a session is an InternetOpen handle in asynchronous mode, a
// connection an InternetConnect handle, a request an InternetOpenUrl handle
// read with InternetReadFile.
//
// Every call that may wait on the network is started and then waited for here,
// in slices of kSliceMs, so that Abort (any thread), the session's `cancelled`
// hook and the data time-out end the wait whatever WinInet does with a call in
// progress: closing the handle ends a blocked synchronous call on some WinInet
// builds and not on others. A call given up on still completes inside WinInet
// later, into memory its Pending record owns; the record lives until WinInet
// reports the handle closed.
#include <windows.h>
#include <wininet.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/http.h"

namespace platform {
namespace {

constexpr DWORD kSliceMs = 50;
// When the caller leaves the time-outs to the backend: the same bounds as the
// libcurl backend's defaults.
constexpr uint32_t kDefaultConnectTimeoutMs = 60000;
constexpr uint32_t kDefaultDataTimeoutMs = 30000;
constexpr DWORD kReadChunk = 64 * 1024;

Status ErrorOf(DWORD e) {
  switch (e) {
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY:
    case ERROR_INVALID_PARAMETER:
    case ERROR_INVALID_HANDLE:
    case ERROR_INTERNET_INVALID_URL:
    case ERROR_INTERNET_UNRECOGNIZED_SCHEME:
    case ERROR_INTERNET_INVALID_OPERATION:
    case ERROR_INTERNET_INCORRECT_HANDLE_TYPE:
      return Status(Status::kFailed, "network error " + std::to_string(e));
    default:
      return Status(Status::kRetryable, "network error " + std::to_string(e));
  }
}

// What a session shares with its connections, requests and WinInet's status
// callback: the open handles, so that Abort on any thread can close them and
// each handle is closed exactly once (by Abort, by its owner, or by WinInet
// with its parent), and the session's options.
class SessionCore {
 public:
  explicit SessionCore(const HttpSessionOptions& options) : options_(options) {
    connect_timeout_ms_ = options.set_timeouts ? options.connect_timeout_ms : kDefaultConnectTimeoutMs;
    data_timeout_ms_ = options.set_timeouts ? options.data_timeout_ms : kDefaultDataTimeoutMs;
    if (connect_timeout_ms_ == 0) connect_timeout_ms_ = kDefaultConnectTimeoutMs;
    if (data_timeout_ms_ == 0) data_timeout_ms_ = kDefaultDataTimeoutMs;
  }

  // False when the session was aborted: the caller closes `h` itself at once.
  bool Add(HINTERNET h) {
    std::lock_guard<std::mutex> hold(mutex_);
    if (aborted_) return false;
    open_.push_back(h);
    return true;
  }
  // Closes `h` unless it was closed already. The close happens outside the
  // lock: WinInet may call back (Forget) from inside it.
  void CloseOnce(HINTERNET h) {
    if (!h) return;
    {
      std::lock_guard<std::mutex> hold(mutex_);
      auto it = std::find(open_.begin(), open_.end(), h);
      if (it == open_.end()) return;
      open_.erase(it);
    }
    InternetCloseHandle(h);
  }
  // WinInet closed `h` itself (with its parent, or after a failed open): it
  // must not be closed again, and its value may come back for a new handle.
  void Forget(HINTERNET h) {
    std::lock_guard<std::mutex> hold(mutex_);
    auto it = std::find(open_.begin(), open_.end(), h);
    if (it != open_.end()) open_.erase(it);
  }
  // Closes every open handle, newest (requests) first.
  void Abort() {
    std::vector<HINTERNET> closing;
    {
      std::lock_guard<std::mutex> hold(mutex_);
      aborted_ = true;
      closing.swap(open_);
    }
    for (auto it = closing.rbegin(); it != closing.rend(); ++it) InternetCloseHandle(*it);
  }
  bool aborted() const { return aborted_.load(); }

  // True when the owner's wait must end now: aborted or cancelled.
  bool Interrupted() const { return aborted() || (options_.cancelled && options_.cancelled()); }

  uint32_t connect_timeout_ms() const { return connect_timeout_ms_; }
  uint32_t data_timeout_ms() const { return data_timeout_ms_; }

 private:
  std::mutex mutex_;
  std::atomic<bool> aborted_{false};
  std::vector<HINTERNET> open_;
  HttpSessionOptions options_;
  uint32_t connect_timeout_ms_ = 0;
  uint32_t data_timeout_ms_ = 0;
};

// One request's state as WinInet's callback sees it. Two references: the
// owner's (the opening call, then the WinRequest) and WinInet's, dropped when
// the handle reports INTERNET_STATUS_HANDLE_CLOSING. When an open fails
// before WinInet made a handle, no closing report can be relied on and
// WinInet's reference is never dropped: a record of a few hundred bytes per
// such failure.
struct Pending {
  explicit Pending(std::shared_ptr<SessionCore> core) : core(std::move(core)) {
    done = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  }
  ~Pending() {
    if (done) CloseHandle(done);
  }
  void Release() {
    if (refs.fetch_sub(1) == 1) delete this;
  }

  std::atomic<int> refs{2};
  HANDLE done = nullptr;  // set by INTERNET_STATUS_REQUEST_COMPLETE
  std::shared_ptr<SessionCore> core;
  // The open's arguments, kept for as long as WinInet may look at them.
  std::string url;
  std::string headers;

  std::mutex mutex;
  HINTERNET handle = nullptr;  // from INTERNET_STATUS_HANDLE_CREATED
  bool abandoned = false;      // the owner gave up before the handle came

  DWORD_PTR result = 0;  // of the call that completed late
  DWORD error = 0;
  DWORD avail = 0;       // bytes WinInet holds, from a query
  DWORD read = 0;        // bytes a read put into `buffer`
  std::vector<char> buffer;
};

void CALLBACK OnStatus(HINTERNET, DWORD_PTR context, DWORD status, void* info, DWORD) {
  Pending* p = reinterpret_cast<Pending*>(context);
  if (!p) return;  // sessions and connections carry no record
  switch (status) {
    case INTERNET_STATUS_HANDLE_CREATED: {
      HINTERNET h = reinterpret_cast<HINTERNET>(static_cast<INTERNET_ASYNC_RESULT*>(info)->dwResult);
      bool added = p->core->Add(h);
      bool abandoned;
      {
        std::lock_guard<std::mutex> hold(p->mutex);
        p->handle = h;
        abandoned = p->abandoned;
      }
      if (!added) {
        InternetCloseHandle(h);
      } else if (abandoned) {
        p->core->CloseOnce(h);
      }
      break;
    }
    case INTERNET_STATUS_REQUEST_COMPLETE: {
      const auto* r = static_cast<INTERNET_ASYNC_RESULT*>(info);
      p->result = r->dwResult;
      p->error = r->dwError;
      SetEvent(p->done);
      break;
    }
    case INTERNET_STATUS_HANDLE_CLOSING: {
      HINTERNET h;
      {
        std::lock_guard<std::mutex> hold(p->mutex);
        h = p->handle;
      }
      p->core->Forget(h);
      p->Release();
      break;
    }
    default:
      break;
  }
}

// Runs one WinInet call (`start`, true when it completed at once) that may
// instead complete later, into memory `p` owns, and waits for that in slices.
// kOk when it succeeded (*late: after a wait); a failure, or kRetryable when
// the session was aborted or cancelled or `limit_ms` passed first.
Status CallAndWait(Pending* p, const std::function<bool()>& start, uint32_t limit_ms, bool* late) {
  *late = false;
  ResetEvent(p->done);
  if (start()) return Status::kOk;
  DWORD error = GetLastError();
  if (error == ERROR_IO_PENDING) {
    const DWORD began = GetTickCount();
    while (WaitForSingleObject(p->done, kSliceMs) != WAIT_OBJECT_0) {
      if (p->core->Interrupted() || GetTickCount() - began >= limit_ms) return Status::kRetryable;
    }
    *late = true;
    if (p->result) return Status::kOk;
    error = p->error;
  }
  return p->core->aborted() ? Status::kRetryable : ErrorOf(error);
}

// The owner gives up on `p`: its handle is closed now, or as soon as WinInet
// reports it, and the owner's reference goes.
void Abandon(Pending* p) {
  HINTERNET h;
  {
    std::lock_guard<std::mutex> hold(p->mutex);
    p->abandoned = true;
    h = p->handle;
  }
  if (h) p->core->CloseOnce(h);
  p->Release();
}

class WinRequest : public HttpRequest {
 public:
  WinRequest(Pending* pending, HINTERNET handle) : pending_(pending), handle_(handle) {
    has_length_ = QueryNumber(HTTP_QUERY_CONTENT_LENGTH, &length_);
  }
  ~WinRequest() override { Close(); }

  bool QueryStatusCode(uint32_t* code) override { return QueryNumber(HTTP_QUERY_STATUS_CODE, code); }
  bool QueryContentLength(uint32_t* length) override { return QueryNumber(HTTP_QUERY_CONTENT_LENGTH, length); }

  bool QueryHeader(const std::string& name, std::string* value) override {
    if (!handle_) return false;
    std::vector<char> buf(name.begin(), name.end());
    buf.resize(std::max<size_t>(buf.size() + 1, 1024), 0);
    DWORD len = static_cast<DWORD>(buf.size());
    if (!HttpQueryInfoA(handle_, HTTP_QUERY_CUSTOM, buf.data(), &len, nullptr)) {
      if (GetLastError() != ERROR_INSUFFICIENT_BUFFER) return false;
      buf.assign(name.begin(), name.end());
      buf.resize(len + 1, 0);
      if (!HttpQueryInfoA(handle_, HTTP_QUERY_CUSTOM, buf.data(), &len, nullptr)) return false;
    }
    value->assign(buf.data(), len);
    return true;
  }

  Status Read(void* buffer, uint32_t n, uint32_t* got) override {
    *got = 0;
    if (broken_ || (pending_ && pending_->core->aborted())) return Status::kRetryable;
    if (!handle_) return Status::kFailed;
    if (pending_->core->Interrupted()) return Status::kRetryable;
    if (pending_->buffer.empty()) pending_->buffer.resize(kReadChunk);
    char* out = static_cast<char*>(buffer);
    while (*got < n) {
      Pending* p = pending_;
      // First wait until WinInet holds some of the body (or knows it has
      // ended), then take what it holds: bytes that have arrived are never
      // left inside a read that a stop gives up on.
      bool late = false;
      const uint32_t limit = p->core->data_timeout_ms();
      Status error = CallAndWait(
          p, [&] { return InternetQueryDataAvailable(handle_, &p->avail, 0, 0) != FALSE; }, limit, &late);
      if (error != Status::kOk) return Break(error);
      if (late) continue;  // asked again, answered at once now
      if (p->avail == 0) {
        if (EndedEarly()) return Break(Status::kRetryable);
        break;
      }
      const DWORD want = std::min<DWORD>({n - *got, kReadChunk, p->avail});
      p->read = 0;
      error = CallAndWait(
          p, [&] { return InternetReadFile(handle_, p->buffer.data(), want, &p->read) != FALSE; }, limit, &late);
      if (error != Status::kOk) return Break(error);
      const DWORD read = std::min(p->read, want);
      if (read == 0) {
        if (EndedEarly()) return Break(Status::kRetryable);
        break;
      }
      std::memcpy(out + *got, p->buffer.data(), read);
      *got += read;
      body_read_ += read;
    }
    return Status::kOk;
  }

  uint64_t BodyBytesReceived() const override { return body_read_; }

  void Close() override {
    if (!pending_) return;
    pending_->core->CloseOnce(handle_);
    handle_ = nullptr;
    pending_->Release();
    pending_ = nullptr;
  }

 private:
  // The transfer is over with `error`; a read may still be pending inside
  // WinInet, so the handle goes now and later reads fail.
  Status Break(Status error) {
    broken_ = true;
    Close();
    return error;
  }

  // A reply that ends before its Content-Length is a broken transfer, not a
  // short body.
  bool EndedEarly() const { return has_length_ && body_read_ < length_; }

  bool QueryNumber(DWORD what, uint32_t* out) {
    if (!handle_) return false;
    DWORD value = 0;
    DWORD len = sizeof value;
    if (!HttpQueryInfoA(handle_, what | HTTP_QUERY_FLAG_NUMBER, &value, &len, nullptr)) return false;
    *out = value;
    return true;
  }

  Pending* pending_;
  HINTERNET handle_;
  bool has_length_ = false;
  uint32_t length_ = 0;
  uint64_t body_read_ = 0;
  bool broken_ = false;
};

class WinConnection : public HttpConnection {
 public:
  WinConnection(HINTERNET handle, std::shared_ptr<SessionCore> core) : handle_(handle), core_(std::move(core)) {}
  ~WinConnection() override { Close(); }
  void Close() override {
    core_->CloseOnce(handle_);
    handle_ = nullptr;
  }

 private:
  HINTERNET handle_;
  std::shared_ptr<SessionCore> core_;
};

class WinSession : public HttpSession {
 public:
  WinSession(HINTERNET handle, std::shared_ptr<SessionCore> core) : handle_(handle), core_(std::move(core)) {
    core_->Add(handle);
  }
  ~WinSession() override { Close(); }

  std::unique_ptr<HttpConnection> Connect(const std::string& server, uint16_t port, const std::string& user,
                                          const std::string& password) override {
    if (!handle_ || core_->aborted()) return nullptr;
    // Makes no network call; no context, so no status reports for it.
    HINTERNET h = InternetConnectA(handle_, server.c_str(), port, user.c_str(), password.c_str(),
                                   INTERNET_SERVICE_HTTP, 0, 0);
    if (!h) return nullptr;
    if (!core_->Add(h)) {
      InternetCloseHandle(h);
      return nullptr;
    }
    return std::make_unique<WinConnection>(h, core_);
  }

  std::unique_ptr<HttpRequest> OpenUrl(const std::string& url, uint32_t flags, const std::string& headers,
                                       Status* error) override {
    if (core_->Interrupted()) {
      *error = Status::kRetryable;
      return nullptr;
    }
    // HTTP only: other schemes may never complete in asynchronous mode.
    HttpUrl parts;
    if (!handle_ || !ParseHttpUrl(url, &parts)) {
      *error = Status::kFailed;
      return nullptr;
    }
    Pending* p = new Pending(core_);
    p->url = url;
    p->headers = headers;
    // The header block goes in NUL-terminated, with the length left to WinInet.
    HINTERNET h = nullptr;
    bool late = false;
    const Status opened = CallAndWait(
        p,
        [&] {
          h = InternetOpenUrlA(handle_, p->url.c_str(), p->headers.empty() ? nullptr : p->headers.c_str(),
                               p->headers.empty() ? 0 : static_cast<DWORD>(-1), flags,
                               reinterpret_cast<DWORD_PTR>(p));
          return h != nullptr;
        },
        core_->connect_timeout_ms() + core_->data_timeout_ms(), &late);
    if (opened != Status::kOk) {
      *error = opened;
      Abandon(p);
      return nullptr;
    }
    if (late) h = reinterpret_cast<HINTERNET>(p->result);
    // WinInet announces the handle before the open completes; where it did
    // not, the handle joins the session's set here.
    bool announced;
    {
      std::lock_guard<std::mutex> hold(p->mutex);
      announced = p->handle == h;
      if (!p->handle) p->handle = h;
    }
    if (!announced && !core_->Add(h)) {
      InternetCloseHandle(h);
      *error = Status::kRetryable;
      p->Release();
      return nullptr;
    }
    if (core_->aborted()) {
      *error = Status::kRetryable;
      Abandon(p);
      return nullptr;
    }
    *error = Status::kOk;
    return std::make_unique<WinRequest>(p, h);
  }

  void Abort() override { core_->Abort(); }
  bool IsAborted() const override { return core_->aborted(); }

  void Close() override {
    core_->CloseOnce(handle_);
    handle_ = nullptr;
  }

  void SetNumber(DWORD option, DWORD value) { InternetSetOptionA(handle_, option, &value, sizeof value); }

 private:
  HINTERNET handle_;
  std::shared_ptr<SessionCore> core_;
};

}  // namespace

std::unique_ptr<HttpSession> HttpSession::Open(const HttpSessionOptions& options) {
  HINTERNET h = InternetOpenA(options.agent.c_str(), INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr,
                              INTERNET_FLAG_ASYNC);
  if (!h) return nullptr;
  if (InternetSetStatusCallback(h, OnStatus) == INTERNET_INVALID_STATUS_CALLBACK) {
    InternetCloseHandle(h);
    return nullptr;
  }
  auto session = std::make_unique<WinSession>(h, std::make_shared<SessionCore>(options));
  if (options.set_timeouts) {
    session->SetNumber(INTERNET_OPTION_CONNECT_TIMEOUT, options.connect_timeout_ms);
    session->SetNumber(INTERNET_OPTION_DATA_RECEIVE_TIMEOUT, options.data_timeout_ms);
    session->SetNumber(INTERNET_OPTION_SEND_TIMEOUT, options.data_timeout_ms);
    session->SetNumber(INTERNET_OPTION_RECEIVE_TIMEOUT, options.data_timeout_ms);
    session->SetNumber(INTERNET_OPTION_CONNECT_RETRIES, options.connect_retries);
  }
  return session;
}

}  // namespace platform
