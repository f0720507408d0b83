#include "launcher/ui/transfer_rate.h"

#include <cmath>
#include <cstdio>

std::string RateText(double bytes_per_second) {
  char text[32];
  const double kb = bytes_per_second / 1024.0;
  const double mb = kb / 1024.0;
  // Each unit until its number would round to 1000 or more.
  if (bytes_per_second < 999.5) {
    std::snprintf(text, sizeof text, "%.0f B/s", bytes_per_second < 0 ? 0.0 : bytes_per_second);
  } else if (kb < 9.95) {
    std::snprintf(text, sizeof text, "%.1f KB/s", kb);
  } else if (kb < 999.5) {
    std::snprintf(text, sizeof text, "%.0f KB/s", kb);
  } else if (mb < 9.95) {
    std::snprintf(text, sizeof text, "%.1f MB/s", mb);
  } else if (mb < 999.5) {
    std::snprintf(text, sizeof text, "%.0f MB/s", mb);
  } else {
    std::snprintf(text, sizeof text, "%.1f GB/s", mb / 1024.0);
  }
  return text;
}

std::string DurationText(uint64_t seconds) {
  char text[32];
  const unsigned long long h = seconds / 3600, m = seconds / 60 % 60, s = seconds % 60;
  if (h > 0) {
    std::snprintf(text, sizeof text, "%llu:%02llu:%02llu", h, m, s);
  } else {
    std::snprintf(text, sizeof text, "%llu:%02llu", m, s);
  }
  return text;
}

std::string PaceText(double bytes_per_second, uint64_t bytes_left) {
  if (!(bytes_per_second > 0)) return std::string();
  const std::string rate = RateText(bytes_per_second);
  const double seconds = std::ceil(static_cast<double>(bytes_left) / bytes_per_second);
  if (seconds > 99.0 * 3600) return rate;
  return rate + ", " + DurationText(static_cast<uint64_t>(seconds)) + " left";
}

void TransferMeter::Reset() {
  sampled_ = false;
  last_ = 0;
  size_ = 0;
  changes_.clear();
}

void TransferMeter::Sample(int64_t now_ms, uint64_t received, uint64_t size) {
  if (sampled_ && (received < last_ || size != size_)) Reset();
  if (!sampled_) {
    // The first count says nothing of the rate: when it was reached is not
    // known. The first change is the first point.
    sampled_ = true;
    last_ = received;
    size_ = size;
    return;
  }
  if (received != last_) {
    changes_.push_back(Point{now_ms, received});
    last_ = received;
  }
  while (changes_.size() > 1 && changes_.front().ms < now_ms - kWindowMs) changes_.pop_front();
}

double TransferMeter::BytesPerSecond(int64_t now_ms) const {
  if (changes_.size() < 2) return -1;
  const Point& first = changes_.front();
  const Point& last = changes_.back();
  // A count that has stopped moving slows the rate down to now.
  const int64_t end = now_ms - last.ms > kStaleMs ? now_ms : last.ms;
  if (end <= first.ms) return -1;
  return static_cast<double>(last.bytes - first.bytes) * 1000.0 / static_cast<double>(end - first.ms);
}

std::string TransferMeter::Text(int64_t now_ms) const {
  const double rate = BytesPerSecond(now_ms);
  if (rate < 0) return std::string();
  return PaceText(rate, size_ > last_ ? size_ - last_ : 0);
}
