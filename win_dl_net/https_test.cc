// https through the platform's HTTP session against nginx with TLS on
// 127.0.0.1, with certificates from a test authority made for the run.
#include <gtest/gtest.h>

#include "platform/file.h"
#include "platform/http.h"
#include "platform/process.h"
#include "testing/nginx_server.h"
#include "testing/testing.h"

namespace {

const char kScript[] = RENEWEL_SOURCE_DIR "/testing/nginx/make_test_ca.sh";
const char kBody[] = "<lastversionnum>1.0.0.3</lastversionnum>\r\n";

class Https : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!NginxServer::Available()) GTEST_SKIP() << "nginx is not installed";
    ASSERT_TRUE(platform::WriteStringToFile(root_ / "latest-version.xml", kBody));
    auto p = platform::StartProcess(platform::QuoteArgument("/bin/bash") + " " + platform::QuoteArgument(kScript) +
                                    " " + platform::QuoteArgument(certs_.Path()));
    ASSERT_NE(p, nullptr);
    ASSERT_TRUE(p->WaitFor(60000));
    ASSERT_TRUE(platform::Exists(certs_ / "done"));
  }

  // Fetches `url` whole; the error when the request fails.
  platform::Status Fetch(const std::string& url, const std::string& ca_file, std::string* body) {
    platform::HttpSessionOptions options;
    options.agent = "Renewel";
    options.ca_file = ca_file;
    auto session = platform::HttpSession::Open(options);
    if (!session) return platform::Status::kFailed;
    platform::Status error = platform::Status::kOk;
    auto request = session->OpenUrl(url, platform::kHttpFlagReload | platform::kHttpFlagSecure, "", &error);
    if (!request) return error == platform::Status::kOk ? platform::Status::kFailed : error;
    uint32_t status = 0;
    if (!request->QueryStatusCode(&status) || status != 200) return platform::Status::kFailed;
    char buffer[4096];
    uint32_t got = 0;
    body->clear();
    do {
      error = request->Read(buffer, sizeof buffer, &got);
      body->append(buffer, got);
    } while (error == platform::Status::kOk && got == sizeof buffer);
    return error;
  }

  testkit::TempDir root_, certs_;
};

TEST_F(Https, ServerOfATrustedAuthorityServes) {
  NginxServer server;
  ASSERT_TRUE(server.StartTls(root_.Path(), certs_ / "server.pem", certs_ / "server.key"));
  ASSERT_EQ(server.Url("x").substr(0, 8), "https://");
  std::string body;
  ASSERT_EQ(Fetch(server.Url("latest-version.xml"), certs_ / "ca.pem", &body), platform::Status::kOk);
  EXPECT_EQ(body, kBody);
}

TEST_F(Https, CertificateOfAnUntrustedAuthorityIsRefused) {
  NginxServer server;
  ASSERT_TRUE(server.StartTls(root_.Path(), certs_ / "server.pem", certs_ / "server.key"));
  std::string body;
  // The system's store does not know the test authority.
  EXPECT_NE(Fetch(server.Url("latest-version.xml"), "", &body), platform::Status::kOk);
  // Nor does a file naming only another authority.
  EXPECT_NE(Fetch(server.Url("latest-version.xml"), certs_ / "other-ca.pem", &body), platform::Status::kOk);
  EXPECT_TRUE(body.empty());
  ASSERT_EQ(server.AccessLog().size(), 0u);  // no request got through the handshake
}

TEST_F(Https, CertificateForAnotherHostIsRefused) {
  NginxServer server;
  ASSERT_TRUE(server.StartTls(root_.Path(), certs_ / "wronghost.pem", certs_ / "wronghost.key"));
  std::string body;
  EXPECT_NE(Fetch(server.Url("latest-version.xml"), certs_ / "ca.pem", &body), platform::Status::kOk);
  EXPECT_TRUE(body.empty());
  EXPECT_EQ(server.AccessLog().size(), 0u);
}

}  // namespace
