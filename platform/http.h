// HTTP client: one session, its server connections and URL requests, the way
// the downloader uses them.
//
//   auto session = HttpSession::Open(options);
//   auto request = session->OpenUrl(url, flags, headers, &error);
//   request->QueryStatusCode(&code);
//   while (request->Read(buf, sizeof buf, &got) == Status::kOk && got > 0) ...
//
// Failures are reported as a Status (status.h), never by exception. A failure
// of the network (refused or reset connection, time-out, broken transfer) is
// kRetryable; anything else (bad arguments, the library failing, no memory) is
// kFailed, so a caller can retry the first and give up on the second.
//
// Backends: WinInet on Windows, libcurl elsewhere. Objects are used by one
// thread at a time, with one exception: HttpSession::Abort may be called from
// any thread, also while the owning thread is blocked in a call. A request
// must be destroyed before its session.
#ifndef PLATFORM_HTTP_H_
#define PLATFORM_HTTP_H_

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "platform/status.h"

namespace platform {


// Request flags, with the values WinInet gives them.
constexpr uint32_t kHttpFlagReload = 0x80000000;        // never answer from a cache
constexpr uint32_t kHttpFlagNoCacheWrite = 0x04000000;  // do not store the reply
constexpr uint32_t kHttpFlagKeepConnection = 0x00400000;
constexpr uint32_t kHttpFlagSecure = 0x00800000;        // TLS (https)
constexpr uint32_t kHttpFlagTransferBinary = 0x00000002;

struct HttpSessionOptions {
  std::string agent;  // agent name, sent as User-Agent unless a header line replaces it
  // When false the backend keeps its own defaults for the four values below;
  // either backend still gives up after 60 s to connect and 30 s without data
  // (libcurl makes one connect attempt per request whatever connect_retries
  // says).
  bool set_timeouts = false;
  uint32_t connect_timeout_ms = 0;
  uint32_t data_timeout_ms = 0;  // send and receive
  uint32_t connect_retries = 0;
  // When set and returning true, blocking calls give up with kRetryable within
  // about 100 ms. Called on the thread that uses the session, several times a
  // second while it waits. A thread that stops another one's transfer calls
  // HttpSession::Abort instead.
  std::function<bool()> cancelled;
  // For tests of https: when not empty, the certificate authorities in this
  // PEM file are the only ones trusted, in place of the system's store
  // (libcurl; WinInet always uses the system's store and ignores it). Either
  // way the server's certificate and host name are verified.
  std::string ca_file;
};

// The parts of an URL, split the way WinInet's URL parser splits it.
struct HttpUrl {
  std::string scheme;  // lower case: "http", "https"
  std::string server;
  std::string object;  // path and query, "/" when the URL has none
  uint16_t port = 0;   // the scheme's default when the URL names none
};

// Splits an absolute http:// or https:// URL. False for anything else or for a
// port that is not a number in 1..65535.
bool ParseHttpUrl(const std::string& url, HttpUrl* out);

// An open request: its reply's headers are in; the body is read piecewise.
class HttpRequest {
 public:
  virtual ~HttpRequest() = default;
  // Status code of the reply (the last one after redirects).
  virtual bool QueryStatusCode(uint32_t* code) = 0;
  // Content-Length as a number; false when the reply carries none.
  virtual bool QueryContentLength(uint32_t* length) = 0;
  // Value of a reply header by name (case-insensitive); false when absent.
  virtual bool QueryHeader(const std::string& name, std::string* value) = 0;
  // Reads `n` bytes of the body, fewer only where the body ends: *got < n with
  // kOk means the body has ended after those bytes (*got = 0: nothing was
  // left). Blocks until then or a failure; on failure *got still counts the
  // bytes that did arrive. A connection that closes before the reply's
  // Content-Length is a failure (kRetryable), not an end.
  virtual Status Read(void* buffer, uint32_t n, uint32_t* got) = 0;
  // Bytes of the body that have come in so far, handed out by Read or not.
  // The count grows while a Read waits for more, so the session's `cancelled`
  // hook, which runs on this thread during such a wait, can measure the pace
  // of a body that trickles in.
  virtual uint64_t BodyBytesReceived() const = 0;
  // Ends the request; reads fail afterwards. Safe to call twice.
  virtual void Close() = 0;
};

// A connection record for one server and port. Requests are made through the
// session; the connection only lives as long as the caller keeps it.
class HttpConnection {
 public:
  virtual ~HttpConnection() = default;
  virtual void Close() = 0;
};

class HttpSession {
 public:
  // Null when the library cannot make a session.
  static std::unique_ptr<HttpSession> Open(const HttpSessionOptions& options);

  virtual ~HttpSession() = default;

  // A connection to `server`:`port` with the given credentials. Null on failure.
  virtual std::unique_ptr<HttpConnection> Connect(const std::string& server, uint16_t port,
                                                  const std::string& user,
                                                  const std::string& password) = 0;

  // Sends a GET for `url` with `flags` (kHttpFlag...) and the extra header
  // lines `headers` (each ending in CR LF, sent as given, replacing the
  // backend's own lines of the same name), and waits for the reply's headers.
  // Redirects are followed. Null with *error set on failure.
  virtual std::unique_ptr<HttpRequest> OpenUrl(const std::string& url, uint32_t flags,
                                               const std::string& headers, Status* error) = 0;

  // Ends every blocking call of this session and its requests promptly (within
  // about a second on both backends) with kRetryable, and makes every later call
  // fail with kRetryable. Any thread, any number of times; the owner still
  // destroys the objects afterwards. The handles close at once; the waiting
  // call notices at its next poll.
  virtual void Abort() = 0;
  virtual bool IsAborted() const = 0;

  virtual void Close() = 0;
};

}  // namespace platform

#endif  // PLATFORM_HTTP_H_
