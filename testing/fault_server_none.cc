// No server library for this target: the fault server is the helper program.
#include "testing/fault_server_backend.h"

namespace testkit {

std::unique_ptr<FaultBackend> NewInProcessFaultBackend() { return nullptr; }

}  // namespace testkit
