#include "win_dl_net/retry_wait.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <ctime>
#include <random>
#include <thread>

#include "launcher/release/text.h"
#include "platform/env.h"

namespace {

bool Digits(const std::string& s, size_t at, size_t n, int* out) {
  if (at + n > s.size()) return false;
  int v = 0;
  for (size_t i = at; i < at + n; ++i) {
    if (s[i] < '0' || s[i] > '9') return false;
    v = v * 10 + (s[i] - '0');
  }
  *out = v;
  return true;
}

int MonthOf(const std::string& s, size_t at) {
  static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                        "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  if (at + 3 > s.size()) return -1;
  for (int m = 0; m < 12; ++m) {
    if (s.compare(at, 3, kMonths[m]) == 0) return m + 1;
  }
  return -1;
}

bool IsLeap(int y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

bool Compose(int year, int month, int day, int hh, int mm, int ss, int64_t* out) {
  static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (month < 1 || month > 12 || day < 1) return false;
  int limit = kDays[month - 1] + (month == 2 && IsLeap(year) ? 1 : 0);
  if (day > limit || hh > 23 || mm > 59 || ss > 60) return false;
  *out = release::DaysFromCivil(year, month, day) * 86400 + hh * 3600 + mm * 60 + ss;
  return true;
}

// "hh:mm:ss" at `at`.
bool Clock(const std::string& s, size_t at, int* hh, int* mm, int* ss) {
  return at + 8 <= s.size() && Digits(s, at, 2, hh) && s[at + 2] == ':' && Digits(s, at + 3, 2, mm) &&
         s[at + 5] == ':' && Digits(s, at + 6, 2, ss);
}

std::string Trim(const std::string& s) {
  size_t a = s.find_first_not_of(" \t");
  if (a == std::string::npos) return std::string();
  size_t b = s.find_last_not_of(" \t\r\n");
  return s.substr(a, b - a + 1);
}

}  // namespace

int64_t RetryTiming::Now() const { return platform::CurrentEnv().NowSeconds(); }

bool ParseHttpDate(const std::string& raw, int64_t* seconds) {
  const std::string s = Trim(raw);
  size_t comma = s.find(',');
  int day = 0, year = 0, hh = 0, mm = 0, ss = 0, month = -1;
  if (comma == 3) {
    // IMF-fixdate: "Sun, 06 Nov 1994 08:49:37 GMT"
    if (s.size() != 29 || s[4] != ' ' || s[7] != ' ' || s[11] != ' ' || s[16] != ' ' ||
        s.compare(25, 4, " GMT") != 0) {
      return false;
    }
    month = MonthOf(s, 8);
    if (!Digits(s, 5, 2, &day) || month < 0 || !Digits(s, 12, 4, &year) || !Clock(s, 17, &hh, &mm, &ss)) return false;
  } else if (comma != std::string::npos) {
    // RFC 850: "Sunday, 06-Nov-94 08:49:37 GMT"; a two-digit year within 50
    // years from now, as HTTP asks.
    size_t at = comma + 2;
    if (at + 22 != s.size() || s[comma + 1] != ' ' || s[at + 2] != '-' || s[at + 6] != '-' || s[at + 9] != ' ' ||
        s.compare(at + 18, 4, " GMT") != 0) {
      return false;
    }
    int yy = 0;
    month = MonthOf(s, at + 3);
    if (!Digits(s, at, 2, &day) || month < 0 || !Digits(s, at + 7, 2, &yy) || !Clock(s, at + 10, &hh, &mm, &ss)) {
      return false;
    }
    const int64_t now = platform::CurrentEnv().NowSeconds();
    int this_year = 1970 + static_cast<int>(now / 31556952);
    year = (this_year / 100) * 100 + yy;
    if (year > this_year + 50) year -= 100;
  } else {
    // asctime: "Sun Nov  6 08:49:37 1994"
    if (s.size() != 24 || s[3] != ' ' || s[7] != ' ' || s[10] != ' ' || s[19] != ' ') return false;
    month = MonthOf(s, 4);
    std::string d = s.substr(8, 2);
    if (d[0] == ' ') d[0] = '0';
    if (month < 0 || !Digits(d, 0, 2, &day) || !Clock(s, 11, &hh, &mm, &ss) || !Digits(s, 20, 4, &year)) return false;
  }
  return Compose(year, month, day, hh, mm, ss, seconds);
}

int64_t RetryAfterMs(const std::string& raw, int64_t now) {
  const std::string value = Trim(raw);
  if (value.empty()) return -1;
  if (value.find_first_not_of("0123456789") == std::string::npos) {
    // Delta seconds; anything beyond a year is as good as a year.
    if (value.size() > 8) return int64_t{31536000} * 1000;
    return static_cast<int64_t>(std::stoll(value)) * 1000;
  }
  int64_t at = 0;
  if (!ParseHttpDate(value, &at)) return -1;
  return at <= now ? 0 : (at - now) * 1000;
}

Backoff::Backoff(const RetryTiming& timing) : timing_(timing) {
  std::random_device device;
  uint64_t seed = (uint64_t{device()} << 32) ^ device();
  seed ^= static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
  seed ^= static_cast<uint64_t>(std::hash<std::thread::id>()(std::this_thread::get_id())) << 1;
  seed ^= reinterpret_cast<uintptr_t>(this);
  state_ = seed ? seed : 0x9E3779B97F4A7C15ull;
}

uint32_t Backoff::Random(uint32_t bound) {
  if (timing_.random) {
    uint32_t v = timing_.random(bound);
    return v > bound ? bound : v;
  }
  // splitmix64
  state_ += 0x9E3779B97F4A7C15ull;
  uint64_t z = state_;
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  z ^= z >> 31;
  return static_cast<uint32_t>(z % (uint64_t{bound} + 1));
}

uint32_t Backoff::Failed(int64_t retry_after_ms) {
  if (failures_ < 64) ++failures_;
  if (timing_.fixed) return timing_.first_ms;
  // The window: first_ms (or the server's Retry-After when longer),
  // doubling with every failure in a row, at most max_ms.
  uint64_t window = timing_.first_ms;
  if (retry_after_ms > static_cast<int64_t>(window)) {
    window = retry_after_ms < timing_.max_ms / 2 ? 2 * static_cast<uint64_t>(retry_after_ms) : timing_.max_ms;
  }
  for (uint32_t i = 1; i < failures_ && window < timing_.max_ms; ++i) window *= 2;
  if (window > timing_.max_ms) window = timing_.max_ms;
  if (retry_after_ms >= 0) {
    // The server's word is the floor; the jitter spreads a crowd sent away
    // at the same moment.
    uint64_t wait = static_cast<uint64_t>(retry_after_ms) + Random(static_cast<uint32_t>(window));
    return static_cast<uint32_t>(wait < timing_.retry_after_cap_ms ? wait : timing_.retry_after_cap_ms);
  }
  if (failures_ == 1) return timing_.first_ms;
  return Random(static_cast<uint32_t>(window));
}

bool StopWait::WaitMs(uint32_t ms) {
  std::unique_lock<std::mutex> lock(mutex_);
  wake_.wait_for(lock, std::chrono::milliseconds(ms), [this] { return interrupted_; });
  return !interrupted_;
}

void StopWait::Interrupt() {
  std::lock_guard<std::mutex> lock(mutex_);
  interrupted_ = true;
  wake_.notify_all();
}

bool StopWait::Interrupted() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return interrupted_;
}

void BusyWaits::Begin(int slot, uint32_t ms) {
  std::lock_guard<std::mutex> lock(mutex_);
  until_[slot] = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
}

void BusyWaits::End(int slot) {
  std::lock_guard<std::mutex> lock(mutex_);
  until_.erase(slot);
}

int64_t BusyWaits::SoonestMs() const {
  std::lock_guard<std::mutex> lock(mutex_);
  if (until_.empty()) return -1;
  auto soonest = until_.begin()->second;
  for (const auto& w : until_) soonest = std::min(soonest, w.second);
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(soonest - std::chrono::steady_clock::now());
  return left.count() > 0 ? static_cast<int64_t>(left.count()) : 0;
}
