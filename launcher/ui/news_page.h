// The news page of the launcher window's browser pane. The launcher fetches
// the page and its detached signature itself, as it fetches the version
// documents (whole into memory, at most kMaxPageSize bytes each, each within
// the document deadline), checks the signature with the publisher's keys
// (resource string 803) and hands the pane only the checked bytes. The pane
// never fetches the page.
//
// With keys, the page is shown only when a line of its ".sig" verifies. An
// install without keys shows the page unchecked; keys that do not decode
// show nothing (a broken install is never taken for an unsigned one).
#ifndef LAUNCHER_UI_NEWS_PAGE_H_
#define LAUNCHER_UI_NEWS_PAGE_H_

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "win_dl_net/deadlines.h"

class FileFetch;

// The most bytes the page (or its signature file) may have.
constexpr uint32_t kMaxPageSize = 1048576;

struct NewsPage {
  enum class Verdict {
    kVerified,  // a signature by a publisher key matched
    kUnsigned,  // the install has no key: shown unchecked
    kRefused,   // not to be shown: the pane stays blank
  };
  Verdict verdict = Verdict::kRefused;
  std::string url;
  std::string page;    // the bytes to show; empty when refused
  std::string reason;  // why it was refused (for the log)

  bool Shown() const { return verdict != Verdict::kRefused; }
};

// The check alone. `key_text` is the text of resource string 803, `page` the
// fetched page, `sig_fetched` whether its ".sig" was fetched and `sig_text`
// that file.
NewsPage JudgeNewsPage(const std::string& url, const std::string& key_text, const std::string& page,
                       bool sig_fetched, const std::string& sig_text);

// Fetches and checks one page on a thread of its own.
class NewsPageFetch {
 public:
  using Done = std::function<void(NewsPage)>;

  NewsPageFetch() = default;
  ~NewsPageFetch() { Cancel(); }
  NewsPageFetch(const NewsPageFetch&) = delete;
  NewsPageFetch& operator=(const NewsPageFetch&) = delete;

  // Cancels a fetch in progress, then fetches `url` (and, with a key, its
  // ".sig"), each within `deadline_ms` (0: none), judges it and calls `done`
  // once, on the fetch's thread, unless cancelled first. Writes a WARN line
  // when the page is refused.
  void Start(const std::string& url, const std::string& key_text, Done done,
             uint32_t deadline_ms = Deadlines::kDocumentMs);
  // Ends a fetch in progress (within about a second) without calling its
  // `done`, and waits for its thread. Safe to call when none runs.
  void Cancel();

 private:
  void Run(std::string url, std::string key_text, Done done, uint32_t deadline_ms);
  // The whole file at `url` into *text, at most kMaxPageSize bytes.
  bool Fetch(const std::string& url, uint32_t deadline_ms, std::string* text, std::string* why);

  std::thread thread_;
  std::atomic<bool> cancelled_{false};
  std::mutex mutex_;          // guards fetch_
  FileFetch* fetch_ = nullptr;  // the fetch in progress
};

#endif  // LAUNCHER_UI_NEWS_PAGE_H_
