#include "testing/fault_server.h"

#include <cstdlib>
#include <cstring>

#include "testing/fault_server_backend.h"

namespace testkit {

FaultAnswer FaultJudge::Judge(FaultServer::Request r) {
  std::lock_guard<std::mutex> lock(mutex_);
  r.index = static_cast<int>(requests_.size());
  requests_.push_back(r);
  FaultAnswer answer;
  if (script_) answer.fault = script_(r);
  answer.retry_after = retry_after_;
  answer.location = location_;
  return answer;
}

void FaultJudge::SetScript(FaultServer::Script script) {
  std::lock_guard<std::mutex> lock(mutex_);
  script_ = std::move(script);
}

void FaultJudge::SetRetryAfter(const std::string& value) {
  std::lock_guard<std::mutex> lock(mutex_);
  retry_after_ = value;
}

void FaultJudge::SetRedirect(const std::string& location) {
  std::lock_guard<std::mutex> lock(mutex_);
  location_ = location;
}

std::vector<FaultServer::Request> FaultJudge::Requests() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return requests_;
}

}  // namespace testkit

namespace {

// The helper where no server runs in this process, or where the environment
// asks for it.
bool UseHelper() {
  static const bool in_process = testkit::NewInProcessFaultBackend() != nullptr;
  const char* choice = std::getenv("RENEWEL_FAULT_SERVER");
  return !in_process || (choice && std::strcmp(choice, "helper") == 0);
}

}  // namespace

bool FaultServer::RunsInHelper() { return UseHelper(); }

struct FaultServer::Impl {
  testkit::FaultJudge judge;
  std::unique_ptr<testkit::FaultBackend> backend;
  int port = 0;
};

FaultServer::FaultServer() : impl_(std::make_unique<Impl>()) {}

FaultServer::~FaultServer() { Stop(); }

bool FaultServer::Available() { return !UseHelper() || testkit::HelperFaultBackendAvailable(); }

bool FaultServer::Start(const std::string& data) {
  Stop();
  impl_->backend = UseHelper() ? testkit::NewHelperFaultBackend() : testkit::NewInProcessFaultBackend();
  impl_->port = impl_->backend ? impl_->backend->Start(data, &impl_->judge) : 0;
  return impl_->port > 0;
}

void FaultServer::Stop() {
  if (impl_->backend) impl_->backend->Stop();
}

void FaultServer::SetScript(Script script) { impl_->judge.SetScript(std::move(script)); }
void FaultServer::SetRetryAfter(const std::string& value) { impl_->judge.SetRetryAfter(value); }
void FaultServer::SetRedirect(const std::string& location) { impl_->judge.SetRedirect(location); }

std::string FaultServer::Url(const std::string& path) const {
  return "http://127.0.0.1:" + std::to_string(impl_->port) + "/" + path;
}

std::vector<FaultServer::Request> FaultServer::Requests() const { return impl_->judge.Requests(); }
