// The fault server as a program of its own, for tests that cannot run the
// server in their process (the Windows build under Wine reaches it over
// loopback). The test process runs the script; this program serves.
//
//   fault_server WORK_DIR
//
// Serves the bytes of WORK_DIR/data on a free 127.0.0.1 port and talks with
// the test process on a second one:
//   GET /next    waits up to 100 ms for requests not handed out yet: 200 with
//                one line per request (testing/fault_wire.h), 204 when none
//   GET /answer  the answer to one request: headers X-Id, X-Fault (a number of
//                FaultServer::Fault) and, when not empty, X-Retry-After and
//                X-Location; 200, or 410 when that request no longer waits
//   GET /quit    ends the program
// Each request is held until its answer comes; one unanswered for
// kAnswerWaitMs gets a 500 and a line in WORK_DIR/log. With no control request
// for kIdleMs (the test process is gone) the program ends by itself.
//
// Announces itself with files, since a test under Wine cannot wait on a host
// program: WORK_DIR/pid, then WORK_DIR/port ("<data port> <control port>"),
// WORK_DIR/failed when it could not start, WORK_DIR/stopped when it ends.
#include <httplib.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>

#include "testing/fault_reply.h"
#include "testing/fault_wire.h"

namespace {

using Clock = std::chrono::steady_clock;
using testkit::FaultAnswer;

constexpr int kAnswerWaitMs = 5000;
constexpr int kIdleMs = 10000;
constexpr int kNextWaitMs = 100;
constexpr int kStopWaitMs = 3000;

std::string dir;

bool WriteFile(const std::string& name, const std::string& text) {
  const std::string tmp = dir + "/" + name + ".tmp";
  {
    std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
    out << text;
    if (!out.flush()) return false;
  }
  return std::rename(tmp.c_str(), (dir + "/" + name).c_str()) == 0;
}

std::mutex log_mutex;

void Log(const std::string& line) {
  std::lock_guard<std::mutex> lock(log_mutex);
  std::ofstream out(dir + "/log", std::ios::app);
  out << line << "\n";
  std::fprintf(stderr, "fault_server: %s\n", line.c_str());
}

// A data request waiting for its answer.
struct Waiting {
  uint64_t id = 0;
  FaultServer::Request request;
  bool answered = false;
  FaultAnswer answer;
};

class Helper {
 public:
  explicit Helper(std::string data) : data_(std::move(data)) {}

  bool Start(int* data_port, int* control_port) {
    data_server_.Get(".*", [this](const httplib::Request& req, httplib::Response& res) { Serve(req, res); });
    control_server_.set_keep_alive_max_count(1000000);
    // A client that keeps an idle connection open (WinInet does) holds a
    // server thread until this time-out: short, so that stopping is quick.
    data_server_.set_keep_alive_timeout(1);
    control_server_.set_keep_alive_timeout(1);
    control_server_.Get("/next", [this](const httplib::Request&, httplib::Response& res) { Next(res); });
    control_server_.Get("/answer", [this](const httplib::Request& req, httplib::Response& res) { Answer(req, res); });
    control_server_.Get("/quit", [this](const httplib::Request&, httplib::Response& res) {
      Touch();
      res.set_content("bye", "text/plain");
      Quit();
    });
    *data_port = data_server_.bind_to_any_port("127.0.0.1");
    *control_port = control_server_.bind_to_any_port("127.0.0.1");
    if (*data_port <= 0 || *control_port <= 0) return false;
    Touch();
    listening_ = 2;
    data_thread_ = std::thread([this] { Listen(data_server_); });
    control_thread_ = std::thread([this] { Listen(control_server_); });
    return true;
  }

  // Blocks until /quit or until the test process has been silent for
  // kIdleMs, then stops both servers. False when they did not end within
  // kStopWaitMs (their threads are left to the process's exit).
  bool Run() {
    {
      std::unique_lock<std::mutex> lock(mutex_);
      while (!quitting_) {
        if (Clock::now() - last_contact_ > std::chrono::milliseconds(kIdleMs)) {
          Log("no word from the test process for " + std::to_string(kIdleMs) + " ms; ending");
          quitting_ = true;
          break;
        }
        changed_.wait_for(lock, std::chrono::milliseconds(200));
      }
    }
    changed_.notify_all();
    // A server that has not begun to listen would miss the stop.
    for (int i = 0; i < 100 && !(data_server_.is_running() && control_server_.is_running()); ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    data_server_.stop();
    control_server_.stop();
    std::unique_lock<std::mutex> lock(mutex_);
    const bool ended = changed_.wait_for(lock, std::chrono::milliseconds(kStopWaitMs), [this] { return listening_ == 0; });
    lock.unlock();
    if (ended) {
      data_thread_.join();
      control_thread_.join();
    } else {
      Log("the servers did not end within " + std::to_string(kStopWaitMs) + " ms");
      data_thread_.detach();
      control_thread_.detach();
    }
    return ended;
  }

 private:
  void Listen(httplib::Server& server) {
    server.listen_after_bind();
    std::lock_guard<std::mutex> lock(mutex_);
    --listening_;
    changed_.notify_all();
  }

  void Touch() {
    std::lock_guard<std::mutex> lock(mutex_);
    last_contact_ = Clock::now();
  }

  void Quit() {
    std::lock_guard<std::mutex> lock(mutex_);
    quitting_ = true;
    changed_.notify_all();
  }

  void Serve(const httplib::Request& req, httplib::Response& res) {
    auto w = std::make_shared<Waiting>();
    w->request = testkit::DescribeRequest(req);
    std::unique_lock<std::mutex> lock(mutex_);
    w->id = next_id_++;
    fresh_.push_back(w);
    waiting_[w->id] = w;
    changed_.notify_all();
    changed_.wait_for(lock, std::chrono::milliseconds(kAnswerWaitMs), [&] { return w->answered || quitting_; });
    waiting_.erase(w->id);
    for (auto it = fresh_.begin(); it != fresh_.end(); ++it) {
      if (*it == w) {
        fresh_.erase(it);
        break;
      }
    }
    const bool quitting = quitting_;
    lock.unlock();
    if (!w->answered) {
      if (!quitting) {
        Log("request " + std::to_string(w->id) + " (" + w->request.path + ", Range " + w->request.range +
            ") had no answer within " + std::to_string(kAnswerWaitMs) + " ms; answered 500");
      }
      res.status = 500;
      res.set_content("no answer from the test process", "text/plain");
      return;
    }
    testkit::SendFault(w->answer, w->request, &data_, res);
  }

  void Next(httplib::Response& res) {
    std::unique_lock<std::mutex> lock(mutex_);
    last_contact_ = Clock::now();
    changed_.wait_for(lock, std::chrono::milliseconds(kNextWaitMs), [this] { return !fresh_.empty() || quitting_; });
    std::string body;
    for (const auto& w : fresh_) body += testkit::fault_wire::Encode(w->id, w->request) + "\n";
    fresh_.clear();
    lock.unlock();
    if (body.empty()) {
      res.status = 204;
    } else {
      res.set_content(body, "text/plain");
    }
  }

  void Answer(const httplib::Request& req, httplib::Response& res) {
    const uint64_t id = std::strtoull(req.get_header_value("X-Id").c_str(), nullptr, 10);
    FaultAnswer answer;
    answer.fault = static_cast<FaultServer::Fault>(std::atoi(req.get_header_value("X-Fault").c_str()));
    answer.retry_after = req.get_header_value("X-Retry-After");
    answer.location = req.get_header_value("X-Location");
    std::lock_guard<std::mutex> lock(mutex_);
    last_contact_ = Clock::now();
    auto it = waiting_.find(id);
    if (!req.has_header("X-Id") || !req.has_header("X-Fault") || it == waiting_.end() || it->second->answered) {
      res.status = 410;
      res.set_content("no such request waits", "text/plain");
      return;
    }
    it->second->answer = answer;
    it->second->answered = true;
    changed_.notify_all();
    res.set_content("ok", "text/plain");
  }

  const std::string data_;
  httplib::Server data_server_;
  httplib::Server control_server_;
  std::thread data_thread_, control_thread_;

  std::mutex mutex_;
  std::condition_variable changed_;
  uint64_t next_id_ = 0;
  std::deque<std::shared_ptr<Waiting>> fresh_;           // not handed out yet
  std::map<uint64_t, std::shared_ptr<Waiting>> waiting_;  // not answered yet
  Clock::time_point last_contact_;
  bool quitting_ = false;
  int listening_ = 0;
};

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: fault_server WORK_DIR\n");
    return 2;
  }
  dir = argv[1];
  WriteFile("pid", std::to_string(getpid()) + "\n");
  std::ifstream in(dir + "/data", std::ios::binary);
  std::stringstream data;
  if (in.is_open()) data << in.rdbuf();
  if (!in.is_open() || in.bad()) {
    Log("cannot read " + dir + "/data");
    WriteFile("failed", "");
    return 1;
  }
  auto helper = std::make_unique<Helper>(data.str());
  int data_port = 0, control_port = 0;
  if (!helper->Start(&data_port, &control_port)) {
    Log("cannot listen on 127.0.0.1");
    WriteFile("failed", "");
    // Whatever listens is stopped with the process.
    _exit(1);
  }
  WriteFile("port", std::to_string(data_port) + " " + std::to_string(control_port) + "\n");
  const bool clean = helper->Run();
  if (clean) helper.reset();
  WriteFile("stopped", "");
  // Ends threads left running, if any, with the process.
  std::fflush(stderr);
  _exit(clean ? 0 : 1);
}
