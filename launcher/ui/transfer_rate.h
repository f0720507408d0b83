// The pace of a download for the window's status line: the rate over the
// last few seconds and the time left at that rate, "1.2 MB/s, 0:42 left".
//
//   TransferMeter meter;
//   meter.Sample(now_ms, received, size);   // at each poll while downloading
//   std::string pace = meter.Text(now_ms);  // empty while not known
//   meter.Reset();                          // when the download is over
//
// The engine's byte count moves in steps (about one a second), so the rate is
// taken between the polls at which the count changed, not between any two
// polls: a poll just before or after a step does not make it jump.
#ifndef LAUNCHER_UI_TRANSFER_RATE_H_
#define LAUNCHER_UI_TRANSFER_RATE_H_

#include <cstdint>
#include <deque>
#include <string>

// "512 B/s", "9.5 KB/s", "48 KB/s", "1.2 MB/s", "12 MB/s" (1 KB = 1024 bytes).
std::string RateText(double bytes_per_second);
// "0:42", "12:05", "1:02:03".
std::string DurationText(uint64_t seconds);
// "<rate>, <time> left", the time rounded up to whole seconds; the rate
// alone when the time would pass 99 hours. Empty for a rate of 0 or less.
std::string PaceText(double bytes_per_second, uint64_t bytes_left);

class TransferMeter {
 public:
  // The span the rate is taken over.
  static constexpr int64_t kWindowMs = 5000;
  // A count that has not moved for this long is taken as slowing down: the
  // rate then runs to now.
  static constexpr int64_t kStaleMs = 2000;

  // One poll: `received` of `size` bytes at `now_ms` (a clock that only goes
  // forward). A count that goes back or a size that changes is another
  // download: the meter starts afresh.
  void Sample(int64_t now_ms, uint64_t received, uint64_t size);
  void Reset();

  // Bytes per second over the window; a negative number while not known
  // (fewer than two changes of the count within it).
  double BytesPerSecond(int64_t now_ms) const;
  // PaceText of that rate and the bytes left; empty while not known.
  std::string Text(int64_t now_ms) const;

 private:
  struct Point {
    int64_t ms;
    uint64_t bytes;
  };
  bool sampled_ = false;
  uint64_t last_ = 0;  // the count of the last poll
  uint64_t size_ = 0;
  // The polls at which the count changed, oldest first; the newest is kept
  // whatever its age.
  std::deque<Point> changes_;
};

#endif  // LAUNCHER_UI_TRANSFER_RATE_H_
