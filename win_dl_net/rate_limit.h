// A cap on the bytes per second one download takes, shared by its ranges.
//
//   RateLimit limit(256 * 1024);            // 0: no cap
//   uint32_t wait_ms = 0;
//   uint32_t n = limit.Take(want, &wait_ms);  // 0: nothing to be had yet
//   ... read at most n bytes, got of them ...
//   limit.GiveBack(n - got);
//
// A token bucket: the allowance grows at the rate and holds at most kBurstMs
// worth of it, so over any span of T ms the bytes taken (less those given
// back) stay below rate x (T + kBurstMs) / 1000: within 8% over any five
// seconds. One Take hands out at most kGrantMs worth, so that the ranges
// waiting on the allowance share it rather than one taking it all.
#ifndef WIN_DL_NET_RATE_LIMIT_H_
#define WIN_DL_NET_RATE_LIMIT_H_

#include <cstdint>
#include <functional>
#include <mutex>

class RateLimit {
 public:
  static constexpr uint32_t kBurstMs = 400;
  // The most one Take hands out, and the least it waits for (in ms of the
  // rate): a reader gets some bytes after at most kLeastMs of the rate.
  static constexpr uint32_t kGrantMs = 100;
  static constexpr uint32_t kLeastMs = 20;
  // The longest wait Take names, so that a waiting reader sees a stop soon.
  static constexpr uint32_t kMaxWaitMs = 50;

  // Milliseconds on a clock that only goes forward.
  using Clock = std::function<int64_t()>;

  // `bytes_per_second` 0: no cap. `clock`: the steady clock when unset.
  explicit RateLimit(uint64_t bytes_per_second, Clock clock = nullptr);
  RateLimit(const RateLimit&) = delete;
  RateLimit& operator=(const RateLimit&) = delete;

  bool Limited() const { return rate_ != 0; }
  uint64_t BytesPerSecond() const { return rate_; }

  // Takes up to `want` bytes of the allowance and returns how many (all of
  // `want` without a cap). 0 when there is not enough yet, with *wait_ms
  // (1 to kMaxWaitMs) the time to wait before asking again. Any thread.
  uint32_t Take(uint32_t want, uint32_t* wait_ms);
  // Returns bytes taken and not used (a read that brought fewer). Any thread.
  void GiveBack(uint32_t bytes);

 private:
  // Adds the allowance of the time since the last call. Under mutex_.
  void Refill();

  const uint64_t rate_;
  Clock clock_;
  double capacity_ = 0;  // kBurstMs of the rate
  double grant_ = 0;     // kGrantMs of the rate, at most capacity_
  double least_ = 0;     // kLeastMs of the rate, at least 1 byte
  std::mutex mutex_;
  double tokens_ = 0;
  int64_t last_ = 0;
};

#endif  // WIN_DL_NET_RATE_LIMIT_H_
