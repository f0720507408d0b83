#include "testing/client_install.h"

#include <gtest/gtest.h>

namespace {

// The launcher names its log files by time and sequence without leading
// zeros: a plain name order put second 10 before second 9, and a test read
// the earlier run's final state as the later one's.
TEST(InstallLogOrder, NumbersInTheNamesCompareAsNumbers) {
  EXPECT_TRUE(testkit::EarlierLogName("Renewel_2026_12_8_20_58_9.log.1", "Renewel_2026_12_8_20_58_10.log.1"));
  EXPECT_FALSE(testkit::EarlierLogName("Renewel_2026_12_8_20_58_10.log.1", "Renewel_2026_12_8_20_58_9.log.1"));
  EXPECT_TRUE(testkit::EarlierLogName("Renewel_2026_12_8_9_59_59.log.1", "Renewel_2026_12_8_10_0_0.log.1"));
  EXPECT_TRUE(testkit::EarlierLogName("Renewel_2026_12_8_20_58_9.log.2", "Renewel_2026_12_8_20_58_9.log.10"));
  EXPECT_FALSE(testkit::EarlierLogName("a.log.1", "a.log.1"));
  EXPECT_TRUE(testkit::EarlierLogName("a.log", "a.log.1"));
}

}  // namespace
