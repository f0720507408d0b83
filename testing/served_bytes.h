// The fixture of the downloader's fault tests: a fault server serving `size`
// pattern bytes, and a temporary directory for what is downloaded. Skipped
// where the target has no fault server.
#ifndef TESTING_SERVED_BYTES_H_
#define TESTING_SERVED_BYTES_H_

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "testing/fault_server.h"
#include "testing/testing.h"

namespace testkit {

template <uint32_t kBytes>
class ServedBytesTest : public ::testing::Test {
 protected:
  static constexpr uint32_t kSize = kBytes;

  void SetUp() override {
    if (!FaultServer::Available()) GTEST_SKIP() << "no in-process server on this target";
    data_ = Pattern(kSize);
    ASSERT_TRUE(server_.Start(data_));
  }

  FaultServer server_;
  std::string data_;  // what the server serves
  TempDir tmp_;
};

}  // namespace testkit

#endif  // TESTING_SERVED_BYTES_H_
