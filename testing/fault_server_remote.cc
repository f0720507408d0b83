// The fault server in the helper program fault_server (programs/fault_server.cc),
// a host program of the native build. A thread of the test process asks the
// helper for the requests that came in, runs the script on each in arrival
// order and sends back the answer; the helper holds each request until then.
//
// Works from native tests and from Windows tests under Wine alike: the helper
// is started through the host's shell, as nginx is (nginx_server.cc), given
// the host's path of its work directory, and announces its port, its start's
// failure and its end with files there.
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <thread>

#include "platform/file.h"
#include "platform/host_path.h"
#include "platform/http.h"
#include "platform/process.h"
#include "testing/fault_server_backend.h"
#include "testing/fault_wire.h"
#include "testing/testing.h"

namespace testkit {
namespace {

const char kHelper[] = RENEWEL_HOST_TOOLS_DIR "/fault_server";
const char kShell[] = "/bin/bash";
constexpr int kStartWaitMs = 10000;
constexpr int kStopWaitMs = 5000;
constexpr uint32_t kControlTimeoutMs = 3000;

// The host path of a directory, without its trailing separator.
std::string HostDir(const std::string& dir) {
  std::string host = platform::HostPath(dir);
  while (host.size() > 1 && (host.back() == '/' || host.back() == '\\')) host.pop_back();
  return host;
}

// The whole body of a request; false on a failure of the network.
bool ReadBody(platform::HttpRequest& request, std::string* body) {
  body->clear();
  char buf[4096];
  for (;;) {
    uint32_t got = 0;
    if (request.Read(buf, sizeof buf, &got) != platform::Status::kOk) return false;
    body->append(buf, got);
    if (got < sizeof buf) return true;
  }
}

std::unique_ptr<platform::HttpSession> ControlSession() {
  platform::HttpSessionOptions options;
  options.agent = "fault-server-control";
  options.set_timeouts = true;
  options.connect_timeout_ms = kControlTimeoutMs;
  options.data_timeout_ms = kControlTimeoutMs;
  return platform::HttpSession::Open(options);
}

// Never from a cache, never into one (WinInet keeps replies to GET).
constexpr uint32_t kControlFlags = platform::kHttpFlagReload | platform::kHttpFlagNoCacheWrite;

class HelperBackend : public FaultBackend {
 public:
  ~HelperBackend() override { Stop(); }

  int Start(const std::string& data, FaultJudge* judge) override {
    judge_ = judge;
    work_ = std::make_unique<TempDir>();
    if (!platform::WriteStringToFile(*work_ / "data", data)) return 0;
    const std::string line = platform::QuoteArgument(kShell) + " -c " + platform::QuoteArgument("exec \"$0\" \"$1\"") +
                             " " + platform::QuoteArgument(kHelper) + " " +
                             platform::QuoteArgument(HostDir(work_->Path()));
    process_ = platform::StartProcess(line);
    if (!process_) return 0;
    for (int waited = 0; waited < kStartWaitMs; waited += 10) {
      if (platform::Exists(*work_ / "port") || platform::Exists(*work_ / "failed")) break;
      platform::SleepMs(10);
    }
    std::string ports, pid;
    platform::ReadFileToString(*work_ / "pid", &pid);
    pid_ = std::atoi(pid.c_str());
    if (!platform::ReadFileToString(*work_ / "port", &ports)) {
      std::fprintf(stderr, "fault server helper %s did not start\n", kHelper);
      Stop();
      return 0;
    }
    int data_port = 0;
    std::istringstream(ports) >> data_port >> control_port_;
    if (data_port <= 0 || control_port_ <= 0) {
      Stop();
      return 0;
    }
    thread_ = std::thread([this] { Poll(); });
    return data_port;
  }

  void Stop() override {
    if (!process_) return;
    stopping_ = true;
    if (thread_.joinable()) thread_.join();
    if (control_port_ > 0) {
      if (auto session = ControlSession()) {
        platform::Status error;
        if (auto request = session->OpenUrl(ControlUrl("quit"), kControlFlags, "", &error)) {
          std::string body;
          ReadBody(*request, &body);
        }
      }
    }
    bool stopped = false;
    for (int waited = 0; waited < kStopWaitMs && !stopped; waited += 10) {
      stopped = platform::Exists(*work_ / "stopped") || platform::Exists(*work_ / "failed");
      if (!stopped) platform::SleepMs(10);
    }
    if (!stopped) {
      std::fprintf(stderr, "fault server helper (pid %d) did not stop within %d ms; killed\n", pid_, kStopWaitMs);
      process_->Kill();
      // Under Wine the handle does not reach a host program; its own kill does.
      if (pid_ > 0) {
        auto kill = platform::StartProcess("/bin/kill -KILL " + std::to_string(pid_));
        if (kill) kill->WaitFor(1000);
      }
    }
    // Under Wine the wait ends at its bound; natively it collects the child.
    process_->WaitFor(1000);
    std::string log;
    if (platform::ReadFileToString(*work_ / "log", &log) && !log.empty()) {
      std::fprintf(stderr, "fault server helper said:\n%s", log.c_str());
    }
    process_.reset();
    work_.reset();
  }

 private:
  std::string ControlUrl(const std::string& what) const {
    return "http://127.0.0.1:" + std::to_string(control_port_) + "/" + what;
  }

  // Until Stop: fetches the requests that came, judges them in their order
  // and answers each.
  void Poll() {
    std::unique_ptr<platform::HttpSession> session;
    uint64_t asked = 0;
    while (!stopping_) {
      if (!session) session = ControlSession();
      if (!session) {
        platform::SleepMs(50);
        continue;
      }
      platform::Status error;
      // The query only keeps every address new.
      auto request = session->OpenUrl(ControlUrl("next?n=" + std::to_string(asked++)), kControlFlags, "", &error);
      uint32_t code = 0;
      std::string body;
      if (!request || !request->QueryStatusCode(&code) || !ReadBody(*request, &body)) {
        // The helper is gone or stuck; a fresh session tries again.
        request.reset();
        session.reset();
        platform::SleepMs(50);
        continue;
      }
      request.reset();
      if (code != 200) continue;
      std::istringstream lines(body);
      std::string line;
      while (std::getline(lines, line)) {
        uint64_t id = 0;
        FaultServer::Request r;
        if (!fault_wire::Decode(line, &id, &r)) {
          std::fprintf(stderr, "fault server helper sent a malformed request: %s\n", line.c_str());
          continue;
        }
        const FaultAnswer answer = judge_->Judge(r);
        std::string headers = "X-Id: " + std::to_string(id) + "\r\nX-Fault: " +
                              std::to_string(static_cast<int>(answer.fault)) + "\r\n";
        if (!answer.retry_after.empty()) headers += "X-Retry-After: " + answer.retry_after + "\r\n";
        if (!answer.location.empty()) headers += "X-Location: " + answer.location + "\r\n";
        auto sent = session->OpenUrl(ControlUrl("answer?id=" + std::to_string(id)), kControlFlags, headers, &error);
        uint32_t answered = 0;
        std::string reply;
        if (!sent || !sent->QueryStatusCode(&answered) || !ReadBody(*sent, &reply) || answered != 200) {
          std::fprintf(stderr, "fault server helper took no answer for request %d (status %u)\n", r.index,
                       static_cast<unsigned>(answered));
        }
      }
    }
  }

  FaultJudge* judge_ = nullptr;
  std::unique_ptr<TempDir> work_;
  std::unique_ptr<platform::Process> process_;
  int pid_ = 0;
  int control_port_ = 0;
  std::thread thread_;
  std::atomic<bool> stopping_{false};
};

}  // namespace

std::unique_ptr<FaultBackend> NewHelperFaultBackend() { return std::make_unique<HelperBackend>(); }

bool HelperFaultBackendAvailable() {
  // Under Wine the host's files are seen through the Z: drive.
  return platform::Exists(kHelper) || platform::Exists(std::string("Z:") + kHelper);
}

}  // namespace testkit
