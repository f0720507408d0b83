// How long the downloader lets a transfer go before it gives up on it.
//
//   - A whole file fetched into memory (a version document, a signature) that
//     has not arrived within document_ms is a failed fetch, however steadily
//     its bytes trickle in.
//   - A range whose body moves fewer than range_floor_bytes within a window
//     of range_window_ms is broken off like a dropped connection and asked
//     again from what is on disk.
//   - A download that makes no progress for stall_ms (busy answers, errors
//     and waits between attempts all count as none) is given up.
//
// The defaults are the product's; tests make them small so that a fault is
// seen in seconds.
#ifndef WIN_DL_NET_DEADLINES_H_
#define WIN_DL_NET_DEADLINES_H_

#include <cstdint>

struct Deadlines {
  static constexpr uint32_t kDocumentMs = 60000;
  static constexpr uint32_t kRangeFloorBytes = 1024;
  static constexpr uint32_t kRangeWindowMs = 60000;
  static constexpr uint32_t kStallMs = 15 * 60 * 1000;

  // 0 turns the rule off.
  uint32_t document_ms = kDocumentMs;
  uint32_t range_floor_bytes = kRangeFloorBytes;
  uint32_t range_window_ms = kRangeWindowMs;
  uint32_t stall_ms = kStallMs;
};

#endif  // WIN_DL_NET_DEADLINES_H_
