// A real static HTTP server for tests: nginx on a free 127.0.0.1 port, run by
// testing/nginx/serve.sh with its configuration, pid file and logs in a
// temporary directory. Works from native tests and from Windows tests under
// Wine alike (nginx is a host program; paths are handed over as the host sees
// them).
//
//   NginxServer server;
//   ASSERT_TRUE(server.Start(root_dir, "limit_rate 1m;"));
//   fetch(server.Url("pkg.exe"));
//   for (const NginxServer::LogLine& l : server.AccessLog()) ...
//
// The server stops when the object goes away.
#ifndef TESTING_NGINX_SERVER_H_
#define TESTING_NGINX_SERVER_H_

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "testing/testing.h"

class NginxServer {
 public:
  // One request of the access log.
  struct LogLine {
    std::string method;
    std::string uri;
    std::string range;  // the Range header, "-" when none was sent
    int status = 0;
    uint64_t body_bytes = 0;
  };

  NginxServer();
  ~NginxServer();
  NginxServer(const NginxServer&) = delete;
  NginxServer& operator=(const NginxServer&) = delete;

  // True when nginx and the script are installed.
  static bool Available();

  // Serves `root` (a directory). `extra` goes into the server block,
  // `http_extra` into the http block. False when nginx did not come up within
  // about 10 s.
  bool Start(const std::string& root, const std::string& extra = std::string(),
             const std::string& http_extra = std::string());
  // The same over HTTPS with the certificate chain and key in the PEM files
  // `cert` and `key`; Url() then gives https:// addresses.
  bool StartTls(const std::string& root, const std::string& cert, const std::string& key,
                const std::string& extra = std::string(), const std::string& http_extra = std::string());
  // Stops nginx (waits for it to be gone). Safe to call twice.
  void Stop();

  uint16_t Port() const { return port_; }
  // "http://127.0.0.1:<port>/" (https:// when started with TLS) followed by
  // `path`.
  std::string Url(const std::string& path) const;
  std::vector<LogLine> AccessLog() const;
  // Forgets the requests logged so far.
  void ClearAccessLog();

 private:
  bool RunScript(const std::string& args, const std::string& done_file);

  std::unique_ptr<testkit::TempDir> work_;
  size_t log_skip_ = 0;
  uint16_t port_ = 0;
  bool running_ = false;
  bool tls_ = false;
};

#endif  // TESTING_NGINX_SERVER_H_
