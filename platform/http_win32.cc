// WinInet backend: a session is an InternetOpen handle, a connection an
// InternetConnect handle, a request an InternetOpenUrl handle read with
// InternetReadFile. WinInet runs synchronously here; its own time-outs bound
// every blocking call, and closing a handle from another thread ends a call
// pending on it, which is how Abort stops a transfer at once.
#include <windows.h>
#include <wininet.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/http.h"

namespace platform {
namespace {

HttpError ErrorOfLast() {
  DWORD e = GetLastError();
  switch (e) {
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY:
    case ERROR_INVALID_PARAMETER:
    case ERROR_INVALID_HANDLE:
    case ERROR_INTERNET_INVALID_URL:
    case ERROR_INTERNET_UNRECOGNIZED_SCHEME:
    case ERROR_INTERNET_INVALID_OPERATION:
    case ERROR_INTERNET_INCORRECT_HANDLE_TYPE:
      return HttpError::kFailed;
    default:
      return HttpError::kNetwork;
  }
}

// The handles of one session, shared with its connections and requests, so
// that Abort on any thread can close what is open and each handle is closed
// exactly once, by Abort or by its owner.
class HandleSet {
 public:
  // False when the session was aborted: the caller closes `h` itself at once.
  bool Add(HINTERNET h) {
    std::lock_guard<std::mutex> hold(mutex_);
    if (aborted_) return false;
    open_.push_back(h);
    return true;
  }
  // Closes `h` unless Abort has closed it already.
  void CloseOnce(HINTERNET h) {
    if (!h) return;
    std::lock_guard<std::mutex> hold(mutex_);
    auto it = std::find(open_.begin(), open_.end(), h);
    if (it == open_.end()) return;
    open_.erase(it);
    InternetCloseHandle(h);
  }
  // Closes every open handle, newest (requests) first.
  void Abort() {
    std::lock_guard<std::mutex> hold(mutex_);
    aborted_ = true;
    for (auto it = open_.rbegin(); it != open_.rend(); ++it) InternetCloseHandle(*it);
    open_.clear();
  }
  bool aborted() const { return aborted_.load(); }

 private:
  std::mutex mutex_;
  std::atomic<bool> aborted_{false};
  std::vector<HINTERNET> open_;
};

class WinRequest : public HttpRequest {
 public:
  WinRequest(HINTERNET handle, std::shared_ptr<HandleSet> handles) : handle_(handle), handles_(std::move(handles)) {}
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

  HttpError Read(void* buffer, uint32_t n, uint32_t* got) override {
    *got = 0;
    if (!handle_) return HttpError::kFailed;
    char* out = static_cast<char*>(buffer);
    while (*got < n) {
      if (handles_->aborted()) return HttpError::kNetwork;
      DWORD read = 0;
      if (!InternetReadFile(handle_, out + *got, n - *got, &read)) {
        // A handle closed under the call by Abort fails in its own way.
        return handles_->aborted() ? HttpError::kNetwork : ErrorOfLast();
      }
      if (read == 0) break;
      *got += read;
    }
    return HttpError::kNone;
  }

  void Close() override {
    handles_->CloseOnce(handle_);
    handle_ = nullptr;
  }

 private:
  bool QueryNumber(DWORD what, uint32_t* out) {
    if (!handle_) return false;
    DWORD value = 0;
    DWORD len = sizeof value;
    if (!HttpQueryInfoA(handle_, what | HTTP_QUERY_FLAG_NUMBER, &value, &len, nullptr)) return false;
    *out = value;
    return true;
  }

  HINTERNET handle_;
  std::shared_ptr<HandleSet> handles_;
};

class WinConnection : public HttpConnection {
 public:
  WinConnection(HINTERNET handle, std::shared_ptr<HandleSet> handles) : handle_(handle), handles_(std::move(handles)) {}
  ~WinConnection() override { Close(); }
  void Close() override {
    handles_->CloseOnce(handle_);
    handle_ = nullptr;
  }

 private:
  HINTERNET handle_;
  std::shared_ptr<HandleSet> handles_;
};

class WinSession : public HttpSession {
 public:
  explicit WinSession(HINTERNET handle) : handle_(handle), handles_(std::make_shared<HandleSet>()) {
    handles_->Add(handle);
  }
  ~WinSession() override { Close(); }

  std::unique_ptr<HttpConnection> Connect(const std::string& server, uint16_t port, const std::string& user,
                                          const std::string& password) override {
    if (!handle_ || handles_->aborted()) return nullptr;
    HINTERNET h = InternetConnectA(handle_, server.c_str(), port, user.c_str(), password.c_str(),
                                   INTERNET_SERVICE_HTTP, 0, 1);
    if (!h) return nullptr;
    if (!handles_->Add(h)) {
      InternetCloseHandle(h);
      return nullptr;
    }
    return std::make_unique<WinConnection>(h, handles_);
  }

  std::unique_ptr<HttpRequest> OpenUrl(const std::string& url, uint32_t flags, const std::string& headers,
                                       HttpError* error) override {
    if (handles_->aborted()) {
      *error = HttpError::kNetwork;
      return nullptr;
    }
    if (!handle_) {
      *error = HttpError::kFailed;
      return nullptr;
    }
    // The header block goes in NUL-terminated, with the length left to WinInet.
    HINTERNET h = InternetOpenUrlA(handle_, url.c_str(), headers.empty() ? nullptr : headers.c_str(),
                                   headers.empty() ? 0 : static_cast<DWORD>(-1), flags, 1);
    if (!h) {
      *error = handles_->aborted() ? HttpError::kNetwork : ErrorOfLast();
      return nullptr;
    }
    if (!handles_->Add(h)) {
      InternetCloseHandle(h);
      *error = HttpError::kNetwork;
      return nullptr;
    }
    *error = HttpError::kNone;
    return std::make_unique<WinRequest>(h, handles_);
  }

  void Abort() override { handles_->Abort(); }
  bool IsAborted() const override { return handles_->aborted(); }

  void Close() override {
    handles_->CloseOnce(handle_);
    handle_ = nullptr;
  }

  void SetNumber(DWORD option, DWORD value) { InternetSetOptionA(handle_, option, &value, sizeof value); }

 private:
  HINTERNET handle_;
  std::shared_ptr<HandleSet> handles_;
};

}  // namespace

std::unique_ptr<HttpSession> HttpSession::Open(const HttpSessionOptions& options) {
  HINTERNET h = InternetOpenA(options.agent.c_str(), INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0);
  if (!h) return nullptr;
  auto session = std::make_unique<WinSession>(h);
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
