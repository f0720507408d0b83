// An HTTP server on 127.0.0.1 for tests: serves one file's bytes under any
// path, answering each request as a script decides, so that a test can
// truncate bodies, drop connections, ignore the Range, lie in Content-Range,
// drip or stall. Every fault ends by itself (a stall lasts kStallMs, a slow
// drip kSlowDripForMs); nothing waits on the client.
//
// Two backends serve the same bytes. Where the server library exists for the
// target (natively) the server runs in the test process. Elsewhere (the
// Windows build under Wine) it is the native helper program fault_server of
// the native build, reached over loopback: the helper hands each request to
// this process, which runs the script and tells the helper the fault.
// Available() is false there when the helper has not been built. Setting the
// environment variable RENEWEL_FAULT_SERVER=helper makes a native test use the
// helper as well.
#ifndef TESTING_FAULT_SERVER_H_
#define TESTING_FAULT_SERVER_H_

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

class FaultServer {
 public:
  static constexpr int kStallMs = 1500;
  // kSlowDrip: one byte each kSlowDripMs, for at most kSlowDripForMs.
  static constexpr int kSlowDripMs = 100;
  static constexpr int kSlowDripForMs = 30000;

  enum class Fault {
    kNone,              // 206 for "bytes=s-" or "bytes=s-e" (200 without Range), with Content-Length
    // Below, "the rest" is the range asked for: to its last byte, or to the
    // end of the file.
    kTruncate,          // Content-Length of the whole rest, half of it sent, connection closed
    kShortBody,         // chunked 206, the body ends cleanly after half of the rest
    kFullBody200,       // 200 with the whole file, as a server that ignores Range
    kWrongContentRange, // 206 whose Content-Range and body start one byte late
    kNotFound,          // 404
    kServerError,       // 503
    kNoContentLength,   // chunked 206 (no Content-Length), otherwise right
    kDrip,              // right, in 1000-byte pieces 1 ms apart
    kStall,             // right for 20000 bytes, then silence for kStallMs, then closed
    kBusy,              // 503 with the Retry-After of SetRetryAfter (none when empty)
    kTooMany,           // 429, the same
    kRedirect,          // 302 to the Location of SetRedirect, no body
    kEcho,              // as kNone, with the request's User-Agent and Range repeated as X-Agent and X-Range
    kTinyChunks,        // as kNoContentLength, in 7-byte chunks
    kStallHeaders,      // the headers of kNone, then silence for kStallMs, then closed
    kSlowDrip,          // right, one byte each kSlowDripMs; closed after kSlowDripForMs
    kCorrupt,           // right, except that the first byte of the body has its bits flipped
  };

  struct Request {
    int index = 0;             // 0 for the first request served
    std::string range;         // Range header, empty when none
    bool has_range = false;
    uint32_t start = 0;        // first byte asked for
    // The last byte asked for (inclusive), when the Range names one.
    bool has_last = false;
    uint32_t last = 0;
    std::string method;        // "GET"
    std::string accept;
    std::string user_agent;
    std::string path;          // as asked for, "/dir/pkg.exe"
    std::chrono::system_clock::time_point at;  // when it came
    // When it came on a clock that setting the wall clock does not move: for
    // the time between requests (of one server; another process's steady
    // clock may count from elsewhere).
    std::chrono::steady_clock::time_point arrived;
  };

  // Picks the fault of each request. Called for one request at a time, in
  // arrival order, so a script may keep counts without a lock of its own.
  using Script = std::function<Fault(const Request&)>;

  FaultServer();
  ~FaultServer();
  FaultServer(const FaultServer&) = delete;
  FaultServer& operator=(const FaultServer&) = delete;

  static bool Available();
  // Whether the server runs in the helper program rather than in this
  // process (always where the target has no server library).
  static bool RunsInHelper();

  // Serves `data`; every request is answered kNone until a script is set.
  bool Start(const std::string& data);
  void Stop();
  void SetScript(Script script);
  // The Retry-After header of kBusy and kTooMany replies, for example "2" or
  // an HTTP date; empty: none.
  void SetRetryAfter(const std::string& value);
  // The Location of kRedirect replies, for example "/other".
  void SetRedirect(const std::string& location);

  std::string Url(const std::string& path) const;
  std::vector<Request> Requests() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

#endif  // TESTING_FAULT_SERVER_H_
