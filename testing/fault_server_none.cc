// No in-process server library for this target.
#include "testing/fault_server.h"

struct FaultServer::Impl {};

FaultServer::FaultServer() = default;
FaultServer::~FaultServer() = default;
bool FaultServer::Available() { return false; }
bool FaultServer::Start(const std::string& data) { return false; }
void FaultServer::Stop() {}
void FaultServer::SetScript(Script script) {}
void FaultServer::SetRetryAfter(const std::string& value) {}
std::string FaultServer::Url(const std::string& path) const { return std::string(); }
std::vector<FaultServer::Request> FaultServer::Requests() const { return {}; }
