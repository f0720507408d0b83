// How long a download waits before it asks a server again.
//
// A range (or the job's size query) that failed waits before its next
// request:
//   - a 503 or 429 reply with Retry-After (seconds or an HTTP date) makes it
//     wait at least that long, plus a random time of up to twice the
//     Retry-After (doubling with each further failure in a row, at most
//     kMaxMs), at most kRetryAfterCapMs in all: clients sent away together
//     come back spread over the time the server asked for and more;
//   - otherwise the first failure waits kFirstMs and each further failure in
//     a row a random time in [0, window], the window doubling from kFirstMs
//     up to kMaxMs ("full jitter"), so that a crowd of clients turned away
//     together does not come back together;
//   - progress starts the count again.
// The old rule (1000 ms after every failure, Retry-After ignored) stays
// available as RetryTiming::fixed, for comparison runs.
//
//   Backoff backoff(timing);
//   int64_t ra = RetryAfterMs(reply_header, timing.Now());  // -1: none
//   uint32_t ms = backoff.Failed(ra);
//   if (!waiter.WaitMs(ms)) return;  // stopped
//   ...
//   backoff.Progressed();
#ifndef WIN_DL_NET_RETRY_WAIT_H_
#define WIN_DL_NET_RETRY_WAIT_H_

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>

struct RetryTiming {
  static constexpr uint32_t kFirstMs = 1000;
  static constexpr uint32_t kMaxMs = 60000;
  static constexpr uint32_t kRetryAfterCapMs = 600000;  // 10 minutes
  static constexpr uint32_t kSwitchAfter = 3;

  // The old rule: every failure waits first_ms; Retry-After is ignored.
  bool fixed = false;
  uint32_t first_ms = kFirstMs;
  uint32_t max_ms = kMaxMs;
  uint32_t retry_after_cap_ms = kRetryAfterCapMs;
  // Failures in a row on one address before a range turns to the next.
  uint32_t switch_after = kSwitchAfter;
  // Uniform random whole number in [0, bound]; a seeded generator when unset.
  std::function<uint32_t(uint32_t)> random;
  // Seconds since 1970 (UTC), from the env in force (platform/env.h).
  int64_t Now() const;
};

// Seconds since 1970 of an HTTP date in any of the three forms HTTP allows:
// "Sun, 06 Nov 1994 08:49:37 GMT", "Sunday, 06-Nov-94 08:49:37 GMT" and
// "Sun Nov  6 08:49:37 1994". False for anything else.
bool ParseHttpDate(const std::string& text, int64_t* seconds);

// The wait a Retry-After value asks for, in milliseconds, measured from
// `now` (seconds since 1970): delta seconds, or the time until a date (0 for
// a date gone by). -1 when the value is neither. Not capped.
int64_t RetryAfterMs(const std::string& value, int64_t now);

// The waits of one range (or of one size query) between its attempts.
class Backoff {
 public:
  explicit Backoff(const RetryTiming& timing);

  // A failed attempt: the milliseconds to wait before the next one.
  // `retry_after_ms` is the server's Retry-After (RetryAfterMs), -1 when the
  // reply carried none or was no 503 or 429.
  uint32_t Failed(int64_t retry_after_ms);
  // The attempt got bytes: the next failure waits first_ms again.
  void Progressed() { failures_ = 0; }
  uint32_t FailuresInARow() const { return failures_; }

 private:
  uint32_t Random(uint32_t bound);

  const RetryTiming& timing_;
  uint32_t failures_ = 0;
  uint64_t state_;  // the generator used when the timing gives none
};

// The waits on busy answers in progress within one download, for the
// window's status line: each range (and the size query) that waits because
// its server answered busy notes how long. Any thread.
class BusyWaits {
 public:
  // `slot` (a range's index, or -1 for the size query) waits `ms` from now.
  void Begin(int slot, uint32_t ms);
  void End(int slot);
  // Milliseconds until the soonest of the noted waits ends (0 when one is
  // due), -1 when none is noted.
  int64_t SoonestMs() const;

 private:
  mutable std::mutex mutex_;
  std::map<int, std::chrono::steady_clock::time_point> until_;
};

// A wait that another thread can end at once.
class StopWait {
 public:
  // Waits `ms`; false at once (or as soon as Interrupt comes) when
  // interrupted.
  bool WaitMs(uint32_t ms);
  // Ends the wait in progress and every later one. Any thread.
  void Interrupt();
  bool Interrupted() const;

 private:
  mutable std::mutex mutex_;
  std::condition_variable wake_;
  bool interrupted_ = false;
};

#endif  // WIN_DL_NET_RETRY_WAIT_H_
