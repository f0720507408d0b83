// The fault server in the test process.
#include <httplib.h>

#include <chrono>
#include <thread>

#include "testing/fault_reply.h"
#include "testing/fault_server_backend.h"

namespace testkit {
namespace {

class InProcessBackend : public FaultBackend {
 public:
  int Start(const std::string& data, FaultJudge* judge) override {
    data_ = data;
    server_.Get(".*", [this, judge](const httplib::Request& req, httplib::Response& res) {
      FaultServer::Request r = DescribeRequest(req);
      SendFault(judge->Judge(r), r, &data_, res);
    });
    int port = server_.bind_to_any_port("127.0.0.1");
    if (port <= 0) return 0;
    thread_ = std::thread([this] { server_.listen_after_bind(); });
    // A stop that comes before the server listens is lost, and Stop would
    // wait for ever.
    for (int i = 0; i < 500 && !server_.is_running(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(2));
    return port;
  }

  void Stop() override {
    if (thread_.joinable()) {
      server_.stop();
      thread_.join();
    }
  }

  ~InProcessBackend() override { Stop(); }

 private:
  httplib::Server server_;
  std::thread thread_;
  std::string data_;
};

}  // namespace

std::unique_ptr<FaultBackend> NewInProcessFaultBackend() { return std::make_unique<InProcessBackend>(); }

}  // namespace testkit
