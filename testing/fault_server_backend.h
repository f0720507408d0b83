// The parts of FaultServer behind its interface: the judge that numbers,
// records and rules on every request, and the backends that serve.
#ifndef TESTING_FAULT_SERVER_BACKEND_H_
#define TESTING_FAULT_SERVER_BACKEND_H_

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "testing/fault_server.h"

namespace testkit {

// How one request is to be answered.
struct FaultAnswer {
  FaultServer::Fault fault = FaultServer::Fault::kNone;
  std::string retry_after;  // of kBusy and kTooMany; empty: none
  std::string location;     // of kRedirect
};

// The script and the options of a server and the record of its requests.
// Requests are judged one at a time, in the order they are given.
class FaultJudge {
 public:
  // Gives `r` the next index, records it and runs the script on it.
  FaultAnswer Judge(FaultServer::Request r);
  void SetScript(FaultServer::Script script);
  void SetRetryAfter(const std::string& value);
  void SetRedirect(const std::string& location);
  std::vector<FaultServer::Request> Requests() const;

 private:
  mutable std::mutex mutex_;
  FaultServer::Script script_;
  std::string retry_after_;
  std::string location_;
  std::vector<FaultServer::Request> requests_;
};

class FaultBackend {
 public:
  virtual ~FaultBackend() = default;
  // Serves `data` on a free 127.0.0.1 port, asking `judge` how to answer each
  // request. Returns the port, 0 on failure.
  virtual int Start(const std::string& data, FaultJudge* judge) = 0;
  // Ends serving; afterwards `judge` is not called any more. Safe to call
  // twice.
  virtual void Stop() = 0;
};

// The server in this process (fault_server_httplib.cc); null where the server
// library does not exist for the target (fault_server_none.cc).
std::unique_ptr<FaultBackend> NewInProcessFaultBackend();
// The server in the helper program (fault_server_remote.cc), and whether
// that program exists.
std::unique_ptr<FaultBackend> NewHelperFaultBackend();
bool HelperFaultBackendAvailable();

}  // namespace testkit

#endif  // TESTING_FAULT_SERVER_BACKEND_H_
