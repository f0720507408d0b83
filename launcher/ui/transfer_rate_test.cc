#include "launcher/ui/transfer_rate.h"

#include <gtest/gtest.h>

#include "launcher/ui/launcher_dialog.h"

namespace {

TEST(TransferRateTest, RateInTheUnitThatKeepsItShort) {
  EXPECT_EQ(RateText(0), "0 B/s");
  EXPECT_EQ(RateText(512), "512 B/s");
  // Where a number would round up to four digits, the next unit takes over.
  EXPECT_EQ(RateText(999.4), "999 B/s");
  EXPECT_EQ(RateText(999.6), "1.0 KB/s");
  EXPECT_EQ(RateText(9.5 * 1024), "9.5 KB/s");
  EXPECT_EQ(RateText(9.96 * 1024), "10 KB/s");
  EXPECT_EQ(RateText(48 * 1024), "48 KB/s");
  EXPECT_EQ(RateText(999.6 * 1024), "1.0 MB/s");
  EXPECT_EQ(RateText(1.25 * 1048576), "1.2 MB/s");
  EXPECT_EQ(RateText(12 * 1048576), "12 MB/s");
  EXPECT_EQ(RateText(2.0 * 1024 * 1048576), "2.0 GB/s");
}

TEST(TransferRateTest, TimeLeftInMinutesOrHours) {
  EXPECT_EQ(DurationText(0), "0:00");
  EXPECT_EQ(DurationText(42), "0:42");
  EXPECT_EQ(DurationText(725), "12:05");
  EXPECT_EQ(DurationText(3599), "59:59");
  EXPECT_EQ(DurationText(3723), "1:02:03");
  // Whole seconds, rounded up: a second and a bit is two.
  EXPECT_EQ(PaceText(1048576, 1048577), "1.0 MB/s, 0:02 left");
  EXPECT_EQ(PaceText(1024, 0), "1.0 KB/s, 0:00 left");
  // Beyond 99 hours the time says nothing useful.
  EXPECT_EQ(PaceText(1, 99ull * 3600), "1 B/s, 99:00:00 left");
  EXPECT_EQ(PaceText(1, 99ull * 3600 + 1), "1 B/s");
  EXPECT_EQ(PaceText(0, 100), "");
  EXPECT_EQ(StatusWithPace("Updating client", "1.2 MB/s, 0:42 left"), "Updating client (1.2 MB/s, 0:42 left)");
  EXPECT_EQ(StatusWithPace("Updating client", ""), "Updating client");
}

// Polls every 100 ms of a count that steps once a second by `step`.
void Steps(TransferMeter& meter, int64_t from_ms, int64_t to_ms, uint64_t base, uint64_t step, uint64_t size) {
  for (int64_t t = from_ms; t < to_ms; t += 100) meter.Sample(t, base + static_cast<uint64_t>((t - from_ms) / 1000) * step, size);
}

TEST(TransferMeterTest, TheRateIsTakenBetweenTheStepsOfTheCount) {
  TransferMeter meter;
  EXPECT_LT(meter.BytesPerSecond(0), 0);
  // A resumed download: its first count is no rate.
  meter.Sample(0, 500000, 1000000);
  meter.Sample(100, 500000, 1000000);
  EXPECT_EQ(meter.Text(100), "");
  Steps(meter, 200, 10200, 500000, 20480, 1000000);
  // Whichever poll within a step it is asked at, the rate is the step's.
  for (int64_t at : {10100, 10150, 10199}) EXPECT_DOUBLE_EQ(meter.BytesPerSecond(at), 20480.0) << at;
  // 500000 + 9 x 20480 in, 315680 left at 20 KB/s: 15.4 s, 16 rounded up.
  EXPECT_EQ(meter.Text(10150), "20 KB/s, 0:16 left");
  // The pace drops: within the window the rate follows it.
  Steps(meter, 10200, 20200, 500000 + 10 * 20480, 10240, 1000000);
  EXPECT_DOUBLE_EQ(meter.BytesPerSecond(20100), 10240.0);
}

TEST(TransferMeterTest, AStoppedCountFadesAndThenShowsNothing) {
  TransferMeter meter;
  Steps(meter, 0, 5000, 0, 100000, 10000000);
  EXPECT_DOUBLE_EQ(meter.BytesPerSecond(4900), 100000.0);
  // Nothing more comes. Within the usual step the rate stands; later it
  // runs to now; once the window holds no step there is none.
  // The last step came at 4000.
  auto still = [&](int64_t until) {
    for (int64_t t = 5000; t <= until; t += 100) meter.Sample(t, 400000, 10000000);
  };
  still(4000 + TransferMeter::kStaleMs);
  EXPECT_DOUBLE_EQ(meter.BytesPerSecond(4000 + TransferMeter::kStaleMs), 100000.0);
  still(7000);
  // The window from 2000 on: 200000 bytes in 5 s.
  EXPECT_DOUBLE_EQ(meter.BytesPerSecond(7000), 40000.0);
  still(4000 + TransferMeter::kWindowMs + 100);
  EXPECT_LT(meter.BytesPerSecond(4000 + TransferMeter::kWindowMs + 100), 0);
  EXPECT_EQ(meter.Text(4000 + TransferMeter::kWindowMs + 100), "");
}

TEST(TransferMeterTest, ACountThatGoesBackIsAnotherDownload) {
  TransferMeter meter;
  Steps(meter, 0, 5000, 0, 100000, 10000000);
  ASSERT_GT(meter.BytesPerSecond(4900), 0);
  meter.Sample(5000, 1000, 10000000);  // the next package
  EXPECT_LT(meter.BytesPerSecond(5000), 0);
  Steps(meter, 5100, 9100, 1000, 50000, 10000000);
  EXPECT_DOUBLE_EQ(meter.BytesPerSecond(9000), 50000.0);
  // So is another size.
  meter.Sample(9100, 5000000, 20000000);
  EXPECT_LT(meter.BytesPerSecond(9100), 0);
  meter.Reset();
  EXPECT_LT(meter.BytesPerSecond(9200), 0);
}

}  // namespace
