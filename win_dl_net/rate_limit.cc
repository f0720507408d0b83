#include "win_dl_net/rate_limit.h"

#include <algorithm>
#include <chrono>
#include <cmath>

namespace {

int64_t SteadyMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

}  // namespace

RateLimit::RateLimit(uint64_t bytes_per_second, Clock clock)
    : rate_(bytes_per_second), clock_(clock ? std::move(clock) : Clock(&SteadyMs)) {
  if (rate_ == 0) return;
  const double per_ms = static_cast<double>(rate_) / 1000.0;
  // At least one byte each, so that a very low rate still moves.
  capacity_ = std::max(1.0, per_ms * kBurstMs);
  grant_ = std::min(capacity_, std::max(1.0, per_ms * kGrantMs));
  least_ = std::min(grant_, std::max(1.0, per_ms * kLeastMs));
  // The allowance starts empty: the first bytes come after kLeastMs, not as
  // a burst on top of the first seconds' share.
  last_ = clock_();
}

void RateLimit::Refill() {
  const int64_t now = clock_();
  if (now > last_) {
    tokens_ = std::min(capacity_, tokens_ + static_cast<double>(now - last_) * static_cast<double>(rate_) / 1000.0);
    last_ = now;
  }
}

uint32_t RateLimit::Take(uint32_t want, uint32_t* wait_ms) {
  *wait_ms = 0;
  if (rate_ == 0 || want == 0) return want;
  std::lock_guard<std::mutex> hold(mutex_);
  Refill();
  const double needed = std::min(static_cast<double>(want), least_);
  if (tokens_ < needed) {
    const double ms = std::ceil((needed - tokens_) * 1000.0 / static_cast<double>(rate_));
    *wait_ms = static_cast<uint32_t>(std::min<double>(kMaxWaitMs, std::max(1.0, ms)));
    return 0;
  }
  const double can = std::min(tokens_, grant_);
  const uint32_t granted = static_cast<uint32_t>(std::min(static_cast<double>(want), std::floor(can)));
  tokens_ -= granted;
  return granted;
}

void RateLimit::GiveBack(uint32_t bytes) {
  if (rate_ == 0 || bytes == 0) return;
  std::lock_guard<std::mutex> hold(mutex_);
  tokens_ = std::min(capacity_, tokens_ + bytes);
}
