// libcurl backend. Each request is one easy handle driven through the
// session's multi handle, so reads are pulled by the caller: the body collects
// in a bounded buffer and the transfer pauses while the buffer is full. The
// multi handle keeps its connections open between the session's requests.
#include <curl/curl.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <map>
#include <mutex>
#include <vector>

#include "platform/http.h"

namespace platform {
namespace {

using Clock = std::chrono::steady_clock;

constexpr uint32_t kDefaultConnectTimeoutMs = 60000;
constexpr uint32_t kDefaultDataTimeoutMs = 30000;
constexpr size_t kMaxBuffered = 256 * 1024;
constexpr int kPollMs = 100;

void GlobalInit() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

Status ErrorOf(CURLcode code) {
  switch (code) {
    case CURLE_OK:
      return Status::kOk;
    case CURLE_OUT_OF_MEMORY:
    case CURLE_BAD_FUNCTION_ARGUMENT:
    case CURLE_URL_MALFORMAT:
    case CURLE_UNSUPPORTED_PROTOCOL:
    case CURLE_FAILED_INIT:
    case CURLE_NOT_BUILT_IN:
      return Status(Status::kFailed, curl_easy_strerror(code));
    default:
      return Status(Status::kRetryable, curl_easy_strerror(code));
  }
}

std::string Lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

std::string Trim(const std::string& s) {
  size_t b = s.find_first_not_of(" \t\r\n");
  if (b == std::string::npos) return std::string();
  size_t e = s.find_last_not_of(" \t\r\n");
  return s.substr(b, e - b + 1);
}

class CurlRequest : public HttpRequest {
 public:
  CurlRequest(CURLM* multi, const HttpSessionOptions& options, const std::atomic<bool>* aborted)
      : multi_(multi), options_(options), aborted_(aborted) {}
  ~CurlRequest() override { Close(); }

  // Sets the transfer up and runs it until the reply's headers are in.
  Status Begin(const std::string& url, const std::string& headers) {
    easy_ = curl_easy_init();
    if (!easy_) return Status::kFailed;
    size_t pos = 0;
    while (pos < headers.size()) {
      size_t end = headers.find("\r\n", pos);
      if (end == std::string::npos) end = headers.size();
      std::string line = headers.substr(pos, end - pos);
      if (!line.empty()) header_list_ = curl_slist_append(header_list_, line.c_str());
      pos = end + 2;
    }
    uint32_t connect_ms = options_.set_timeouts ? options_.connect_timeout_ms : kDefaultConnectTimeoutMs;
    data_timeout_ms_ = options_.set_timeouts ? options_.data_timeout_ms : kDefaultDataTimeoutMs;
    if (data_timeout_ms_ == 0) data_timeout_ms_ = kDefaultDataTimeoutMs;
    curl_easy_setopt(easy_, CURLOPT_URL, url.c_str());
    curl_easy_setopt(easy_, CURLOPT_PRIVATE, this);
    curl_easy_setopt(easy_, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(easy_, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1));
    curl_easy_setopt(easy_, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(easy_, CURLOPT_MAXREDIRS, 10L);
    curl_easy_setopt(easy_, CURLOPT_TCP_KEEPALIVE, 1L);
    curl_easy_setopt(easy_, CURLOPT_TCP_NODELAY, 1L);
    curl_easy_setopt(easy_, CURLOPT_BUFFERSIZE, 64L * 1024);
    curl_easy_setopt(easy_, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(connect_ms));
    // https: the peer's chain must lead to a trusted authority and name the
    // host. These are libcurl's defaults; they are set so that nothing else
    // can turn them off.
    curl_easy_setopt(easy_, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(easy_, CURLOPT_SSL_VERIFYHOST, 2L);
    if (!options_.ca_file.empty()) {
      curl_easy_setopt(easy_, CURLOPT_CAINFO, options_.ca_file.c_str());
      curl_easy_setopt(easy_, CURLOPT_CAPATH, static_cast<const char*>(nullptr));
    }
    if (!options_.agent.empty()) curl_easy_setopt(easy_, CURLOPT_USERAGENT, options_.agent.c_str());
    if (header_list_) curl_easy_setopt(easy_, CURLOPT_HTTPHEADER, header_list_);
    curl_easy_setopt(easy_, CURLOPT_WRITEFUNCTION, &CurlRequest::OnBody);
    curl_easy_setopt(easy_, CURLOPT_WRITEDATA, this);
    curl_easy_setopt(easy_, CURLOPT_HEADERFUNCTION, &CurlRequest::OnHeader);
    curl_easy_setopt(easy_, CURLOPT_HEADERDATA, this);
    if (curl_multi_add_handle(multi_, easy_) != CURLM_OK) return Status::kFailed;
    added_ = true;
    // The connect time-out is libcurl's own; the wait for the first reply
    // bytes after that counts as data time.
    last_progress_ = Clock::now() + std::chrono::milliseconds(connect_ms);
    while (!headers_done_) {
      if (done_) return result_ == Status::kOk ? Status::kRetryable : result_;
      Status e = Pump();
      if (e != Status::kOk) return e;
    }
    return Status::kOk;
  }

  bool QueryStatusCode(uint32_t* code) override {
    if (!headers_done_) return false;
    *code = status_;
    return true;
  }

  bool QueryContentLength(uint32_t* length) override {
    std::string v;
    if (!QueryHeader("Content-Length", &v) || v.empty() || v.size() > 10) return false;
    uint64_t n = 0;
    for (char c : v) {
      if (c < '0' || c > '9') return false;
      n = n * 10 + static_cast<uint64_t>(c - '0');
    }
    if (n > 0xFFFFFFFFull) return false;
    *length = static_cast<uint32_t>(n);
    return true;
  }

  bool QueryHeader(const std::string& name, std::string* value) override {
    auto it = reply_headers_.find(Lower(name));
    if (it == reply_headers_.end()) return false;
    *value = it->second;
    return true;
  }

  Status Read(void* buffer, uint32_t n, uint32_t* got) override {
    *got = 0;
    if (!easy_) return Status::kFailed;
    if (aborted_->load()) return Status::kRetryable;
    char* out = static_cast<char*>(buffer);
    last_progress_ = Clock::now();
    while (*got < n) {
      size_t avail = body_.size() - body_offset_;
      if (avail > 0) {
        size_t take = std::min<size_t>(avail, n - *got);
        std::memcpy(out + *got, body_.data() + body_offset_, take);
        body_offset_ += take;
        *got += static_cast<uint32_t>(take);
        if (body_offset_ == body_.size()) {
          body_.clear();
          body_offset_ = 0;
        }
        continue;
      }
      if (paused_) {
        paused_ = false;
        curl_easy_pause(easy_, CURLPAUSE_CONT);
        continue;
      }
      if (done_) return result_;
      Status e = Pump();
      if (e != Status::kOk) return e;
    }
    return Status::kOk;
  }

  uint64_t BodyBytesReceived() const override { return received_; }

  void Close() override {
    if (easy_) {
      if (added_) curl_multi_remove_handle(multi_, easy_);
      curl_easy_cleanup(easy_);
      easy_ = nullptr;
    }
    added_ = false;
    if (header_list_) {
      curl_slist_free_all(header_list_);
      header_list_ = nullptr;
    }
    body_.clear();
    body_offset_ = 0;
  }

 private:
  // One round of the multi handle: transfers what is ready, or waits up to
  // kPollMs for the socket. Fails on cancellation and on a stalled transfer.
  Status Pump() {
    if (aborted_->load() || (options_.cancelled && options_.cancelled())) return Status::kRetryable;
    int running = 0;
    size_t before = body_.size();
    bool headers_before = headers_done_;
    if (curl_multi_perform(multi_, &running) != CURLM_OK) return Status::kFailed;
    CollectDone();
    if (body_.size() != before || headers_done_ != headers_before || done_) {
      last_progress_ = Clock::now();
      return Status::kOk;
    }
    if (paused_) return Status::kOk;
    auto now = Clock::now();
    if (now > last_progress_ + std::chrono::milliseconds(data_timeout_ms_)) return Status::kRetryable;
    if (curl_multi_poll(multi_, nullptr, 0, kPollMs, nullptr) != CURLM_OK) return Status::kFailed;
    return Status::kOk;
  }

  void CollectDone() {
    int left = 0;
    while (CURLMsg* msg = curl_multi_info_read(multi_, &left)) {
      if (msg->msg == CURLMSG_DONE && msg->easy_handle == easy_) {
        done_ = true;
        result_ = ErrorOf(msg->data.result);
        if (!headers_done_ && result_ == Status::kOk && status_ != 0) headers_done_ = true;
      }
    }
  }

  static size_t OnBody(char* data, size_t size, size_t count, void* user) {
    auto* self = static_cast<CurlRequest*>(user);
    size_t n = size * count;
    if (self->body_.size() - self->body_offset_ >= kMaxBuffered) {
      self->paused_ = true;
      return CURL_WRITEFUNC_PAUSE;
    }
    self->body_.insert(self->body_.end(), data, data + n);
    self->received_ += n;
    if (!self->headers_done_) self->headers_done_ = true;
    return n;
  }

  static size_t OnHeader(char* data, size_t size, size_t count, void* user) {
    auto* self = static_cast<CurlRequest*>(user);
    size_t n = size * count;
    std::string line(data, n);
    if (line.compare(0, 5, "HTTP/") == 0) {
      self->reply_headers_.clear();
      self->headers_done_ = false;
      size_t sp = line.find(' ');
      self->status_ = sp == std::string::npos ? 0 : static_cast<uint32_t>(std::atoi(line.c_str() + sp + 1));
    } else if (Trim(line).empty()) {
      bool interim = self->status_ >= 100 && self->status_ < 200;
      bool redirect = self->status_ >= 300 && self->status_ < 400 && self->reply_headers_.count("location");
      if (!interim && !redirect) self->headers_done_ = true;
    } else {
      size_t colon = line.find(':');
      if (colon != std::string::npos) {
        self->reply_headers_[Lower(Trim(line.substr(0, colon)))] = Trim(line.substr(colon + 1));
      }
    }
    return n;
  }

  CURLM* multi_;
  HttpSessionOptions options_;
  const std::atomic<bool>* aborted_;  // the session's
  CURL* easy_ = nullptr;
  bool added_ = false;
  curl_slist* header_list_ = nullptr;
  uint32_t data_timeout_ms_ = kDefaultDataTimeoutMs;
  Clock::time_point last_progress_;
  bool headers_done_ = false;
  bool done_ = false;
  bool paused_ = false;
  Status result_ = Status::kOk;
  uint32_t status_ = 0;
  std::map<std::string, std::string> reply_headers_;
  std::vector<char> body_;
  size_t body_offset_ = 0;
  uint64_t received_ = 0;  // body bytes taken from libcurl
};

class CurlConnection : public HttpConnection {
 public:
  void Close() override {}
};

class CurlSession : public HttpSession {
 public:
  CurlSession(CURLM* multi, const HttpSessionOptions& options) : multi_(multi), options_(options) {}
  ~CurlSession() override { Close(); }

  std::unique_ptr<HttpConnection> Connect(const std::string& server, uint16_t port, const std::string& user,
                                          const std::string& password) override {
    if (!multi_ || server.empty()) return nullptr;
    return std::make_unique<CurlConnection>();
  }

  std::unique_ptr<HttpRequest> OpenUrl(const std::string& url, uint32_t flags, const std::string& headers,
                                       Status* error) override {
    HttpUrl parts;
    if (aborted_) {
      *error = Status::kRetryable;
      return nullptr;
    }
    if (!multi_ || !ParseHttpUrl(url, &parts)) {
      *error = Status::kFailed;
      return nullptr;
    }
    auto request = std::make_unique<CurlRequest>(multi_, options_, &aborted_);
    *error = request->Begin(url, headers);
    if (*error != Status::kOk) return nullptr;
    return request;
  }

  // The owner's transfer polls the flag at least every kPollMs.
  void Abort() override { aborted_ = true; }
  bool IsAborted() const override { return aborted_.load(); }

  void Close() override {
    if (multi_) curl_multi_cleanup(multi_);
    multi_ = nullptr;
  }

 private:
  CURLM* multi_;
  HttpSessionOptions options_;
  std::atomic<bool> aborted_{false};
};

}  // namespace

std::unique_ptr<HttpSession> HttpSession::Open(const HttpSessionOptions& options) {
  GlobalInit();
  CURLM* multi = curl_multi_init();
  if (!multi) return nullptr;
  return std::make_unique<CurlSession>(multi, options);
}

}  // namespace platform
