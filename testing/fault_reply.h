// The replies of the fault server, for the two servers that send them: the
// one in the test process (fault_server_httplib.cc) and the helper program
// (programs/fault_server.cc). Native builds only (the server library).
#ifndef TESTING_FAULT_REPLY_H_
#define TESTING_FAULT_REPLY_H_

#include <httplib.h>

#include <string>

#include "testing/fault_server.h"
#include "testing/fault_server_backend.h"

namespace testkit {

// What a script is told of `req`; `at` is now, `index` is left 0.
FaultServer::Request DescribeRequest(const httplib::Request& req);

// Fills `res` as `answer` says, for the request `r` of the file `data`, which
// must outlive the reply.
void SendFault(const FaultAnswer& answer, const FaultServer::Request& r, const std::string* data,
               httplib::Response& res);

}  // namespace testkit

#endif  // TESTING_FAULT_REPLY_H_
