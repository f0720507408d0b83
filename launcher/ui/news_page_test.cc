// The news page's check: which pages the pane may show, by the keys of the
// install and the signature file beside the page.
#include "launcher/ui/news_page.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "launcher/release/signature.h"
#include "platform/gui.h"
#include "testing/fault_server.h"

namespace {

struct Keys {
  SigningSeed seed;
  std::string key_text;
  Keys() {
    PublisherKey key;
    EXPECT_TRUE(GenerateSeed(&seed) && PublicKeyOfSeed(seed, &key));
    key_text = EncodePublicKey(key);
  }
  std::string SigOver(const std::string& data) const {
    Signature sig;
    EXPECT_TRUE(Sign(seed, data, &sig));
    return SignatureFileText(sig);
  }
};

const std::string kUrl = "http://127.0.0.1:8080/news.html";
// A page with a zero byte inside: the signature covers every byte.
const std::string kPage = std::string("<p>news</p>\0<p>more</p>", 23);

TEST(NewsPageJudgeTest, ShownOnlyWhenTheInstallsKeysAcceptIt) {
  const Keys a, b;
  const std::string sig = a.SigOver(kPage);
  NewsPage p = JudgeNewsPage(kUrl, a.key_text, kPage, true, sig);
  EXPECT_EQ(p.verdict, NewsPage::Verdict::kVerified);
  EXPECT_EQ(p.page, kPage);
  EXPECT_EQ(p.url, kUrl);
  // Rotation: either key of the list, the other's signature line first.
  p = JudgeNewsPage(kUrl, b.key_text + "," + a.key_text, kPage, true, b.SigOver("other") + sig);
  EXPECT_EQ(p.verdict, NewsPage::Verdict::kVerified);

  std::string tampered = kPage;
  tampered.back() ^= 1;
  struct Case {
    const char* what;
    std::string key, page, sig;
    bool sig_fetched;
  } refused[] = {
      {"changed page", a.key_text, tampered, sig, true},
      {"signature of the bytes before the zero", a.key_text, kPage, a.SigOver(kPage.substr(0, 11)), true},
      {"another key's signature", a.key_text, kPage, b.SigOver(kPage), true},
      {"no signature file", a.key_text, kPage, "", false},
      {"empty signature file", a.key_text, kPage, "", true},
      {"key that does not decode", "AAAA", kPage, sig, true},
  };
  for (const Case& c : refused) {
    p = JudgeNewsPage(kUrl, c.key, c.page, c.sig_fetched, c.sig);
    EXPECT_EQ(p.verdict, NewsPage::Verdict::kRefused) << c.what;
    EXPECT_FALSE(p.Shown()) << c.what;
    EXPECT_EQ(p.page, "") << c.what;
    EXPECT_FALSE(p.reason.empty()) << c.what;
  }
}

TEST(NewsPageJudgeTest, InstallWithoutKeysShowsThePageUnchecked) {
  const NewsPage p = JudgeNewsPage(kUrl, "", kPage, false, "");
  EXPECT_EQ(p.verdict, NewsPage::Verdict::kUnsigned);
  EXPECT_EQ(p.page, kPage);
}

TEST(WebLinkTest, OnlyHttpAndHttpsAddressesGoToTheSystemsBrowser) {
  for (const char* yes : {"http://example.test/", "HTTPS://example.test/a?b=c#d", "http://127.0.0.1:8080/x"})
    EXPECT_TRUE(platform::IsWebLink(yes)) << yes;
  for (const char* no : {"", "http:", "http://", "https:/x", "file:///etc/passwd", "javascript:alert(1)",
                         "about:blank", "ftp://example.test/", "httpx://a", "http://a b", "http://a\"b",
                         "http://a\nb", " http://a", "data:text/html,<p>"})
    EXPECT_FALSE(platform::IsWebLink(no)) << no;
}

TEST(PageWithBaseTest, BaseGoesAfterTheDoctype) {
  EXPECT_EQ(platform::PageWithBase("<!DOCTYPE html><p>x", "http://h/a?b&c"),
            "<!DOCTYPE html><base href=\"http://h/a?b&amp;c\"><p>x");
  EXPECT_EQ(platform::PageWithBase("\xEF\xBB\xBF \n<!doctype html>\n<p>", "http://h/"),
            "\xEF\xBB\xBF \n<!doctype html><base href=\"http://h/\">\n<p>");
  EXPECT_EQ(platform::PageWithBase("<p>x", "http://h/"), "<base href=\"http://h/\"><p>x");
  EXPECT_EQ(platform::PageWithBase("<!doc", "http://h/"), "<base href=\"http://h/\"><!doc");
  EXPECT_EQ(platform::PageWithBase("<p>x", "about:blank"), "<p>x");
  EXPECT_EQ(platform::PageWithBase("<!DOCTYPE html", "http://h/"), "<!DOCTYPE html<base href=\"http://h/\">");
}

// The fetch against a page that trickles in: the document deadline ends it.
TEST(NewsPageFetchTest, PageNotInWithinTheDeadlineIsRefused) {
  if (!FaultServer::Available()) GTEST_SKIP() << "no fault server here";
  FaultServer server;
  ASSERT_TRUE(server.Start(std::string(5000, 'n')));
  server.SetScript([](const FaultServer::Request&) { return FaultServer::Fault::kSlowDrip; });
  std::mutex mutex;
  std::condition_variable done_cv;
  bool done = false;
  NewsPage result;
  NewsPageFetch fetch;
  const auto started = std::chrono::steady_clock::now();
  fetch.Start(server.Url("/news.html"), "", [&](NewsPage page) {
    std::lock_guard<std::mutex> hold(mutex);
    result = std::move(page);
    done = true;
    done_cv.notify_all();
  }, 500);
  std::unique_lock<std::mutex> lock(mutex);
  ASSERT_TRUE(done_cv.wait_for(lock, std::chrono::seconds(10), [&] { return done; }));
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5));
  EXPECT_FALSE(result.Shown());
  EXPECT_NE(result.reason.find("within 500 ms"), std::string::npos) << result.reason;
}

// A cancelled fetch never reports.
TEST(NewsPageFetchTest, CancelledFetchNeverCallsBack) {
  if (!FaultServer::Available()) GTEST_SKIP() << "no fault server here";
  FaultServer server;
  ASSERT_TRUE(server.Start(std::string(5000, 'n')));
  server.SetScript([](const FaultServer::Request&) { return FaultServer::Fault::kSlowDrip; });
  std::atomic<int> calls{0};
  NewsPageFetch fetch;
  fetch.Start(server.Url("/news.html"), "", [&](NewsPage) { ++calls; });
  for (int waited = 0; waited < 10000 && server.Requests().empty(); waited += 20)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  ASSERT_EQ(server.Requests().size(), 1u);
  const auto cancelling = std::chrono::steady_clock::now();
  fetch.Cancel();
  EXPECT_LT(std::chrono::steady_clock::now() - cancelling, std::chrono::seconds(2));
  EXPECT_EQ(calls.load(), 0);
}

}  // namespace
