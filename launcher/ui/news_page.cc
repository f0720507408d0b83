#include "launcher/ui/news_page.h"

#include <utility>

#include "launcher/log/logger.h"
#include "launcher/release/signature.h"
#include "launcher/release/version_documents.h"
#include "platform/gui.h"
#include "win_dl_net/file_fetch.h"

NewsPage JudgeNewsPage(const std::string& url, const std::string& key_text, const std::string& page,
                       bool sig_fetched, const std::string& sig_text) {
  NewsPage out;
  out.url = url;
  if (key_text.empty()) {
    out.verdict = NewsPage::Verdict::kUnsigned;
    out.page = page;
    return out;
  }
  PublisherKeys keys;
  if (!DecodePublicKeys(key_text, &keys)) {
    out.reason = "the publisher key (resource string 803) does not decode";
  } else if (!sig_fetched) {
    out.reason = "its signature is not available";
  } else if (!VerifyDetached(keys, page, sig_text)) {
    out.reason = "its signature does not verify with the publisher key";
  } else {
    out.verdict = NewsPage::Verdict::kVerified;
    out.page = page;
  }
  return out;
}

void NewsPageFetch::Start(const std::string& url, const std::string& key_text, Done done, uint32_t deadline_ms) {
  Cancel();
  cancelled_ = false;
  thread_ = std::thread(&NewsPageFetch::Run, this, url, key_text, std::move(done), deadline_ms);
}

void NewsPageFetch::Cancel() {
  {
    std::lock_guard<std::mutex> hold(mutex_);
    cancelled_ = true;
    if (fetch_) fetch_->Abort();
  }
  if (thread_.joinable()) thread_.join();
}

bool NewsPageFetch::Fetch(const std::string& url, uint32_t deadline_ms, std::string* text, std::string* why) {
  FileFetch fetch(url);
  {
    std::lock_guard<std::mutex> hold(mutex_);
    if (cancelled_) return false;
    fetch_ = &fetch;
  }
  fetch.SetDeadline(deadline_ms);
  const WholeFetch fetched = FetchWhole(fetch, kMaxPageSize, text);
  {
    std::lock_guard<std::mutex> hold(mutex_);
    fetch_ = nullptr;
  }
  if (fetched == WholeFetch::kWholeTooLarge) {
    *why = "larger than " + std::to_string(kMaxPageSize) + " bytes";
  } else if (fetched == WholeFetch::kWholeFailed) {
    *why = fetch.DeadlinePassed() ? "not fetched within " + std::to_string(deadline_ms) + " ms" : "not fetched";
  }
  return fetched == WholeFetch::kWholeFetched;
}

void NewsPageFetch::Run(std::string url, std::string key_text, Done done, uint32_t deadline_ms) {
  NewsPage result;
  result.url = url;
  std::string page, why;
  if (!platform::IsWebLink(url)) {
    result.reason = "its address is not an http or https address";
  } else if (!Fetch(url, deadline_ms, &page, &why)) {
    result.reason = "the page was " + why;
  } else {
    std::string sig, sig_why;
    const bool sig_fetched =
        !key_text.empty() && Fetch(url + release::kSignatureSuffix, deadline_ms, &sig, &sig_why);
    result = JudgeNewsPage(url, key_text, page, sig_fetched, sig);
    if (!sig_fetched && !sig_why.empty() && !result.Shown()) result.reason += " (" + sig_why + ")";
  }
  if (cancelled_) return;
  if (!result.Shown()) {
    LogWarn() << "news page not shown, " << result.reason << ",url:" << url;
  } else if (result.verdict == NewsPage::Verdict::kUnsigned) {
    LogInfo() << "news page shown unchecked: no publisher key,url:" << url;
  } else {
    LogInfo() << "news page signature verified,url:" << url;
  }
  done(std::move(result));
}
