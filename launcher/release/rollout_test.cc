#include "launcher/release/rollout.h"

#include <gtest/gtest.h>

#include <set>

namespace release {
namespace {

// 1000 installs at 10% take the new version about 100 times: a bucket that
// leans (always 0, say, or only even numbers) is far outside the bound. The
// identifiers are fixed (0, 1, 2 ... as 32 digits), so the count is the same
// on every run; the hash has to spread even such neighbours.
TEST(Rollout, BucketsSpreadOverTheHundred) {
  int in_ten = 0, below_fifty = 0;
  std::set<int> seen;
  for (int i = 0; i < 1000; ++i) {
    std::string id = std::to_string(i);
    id = std::string(2 * kInstallIdBytes - id.size(), '0') + id;
    ASSERT_TRUE(IsInstallId(id)) << id;
    const int bucket = RolloutBucket(id, "1.0.0.3");
    ASSERT_GE(bucket, 0);
    ASSERT_LT(bucket, 100);
    seen.insert(bucket);
    in_ten += bucket < 10;
    below_fifty += bucket < 50;
  }
  EXPECT_NEAR(in_ten, 100, 30);
  EXPECT_NEAR(below_fifty, 500, 80);
  EXPECT_GT(seen.size(), 90u);
}

// One install's answer for a version never changes; another version draws
// anew, and identifiers are not repeated.
TEST(Rollout, OneInstallKeepsItsAnswerForAVersion) {
  std::string a, b;
  ASSERT_TRUE(NewInstallId(&a) && NewInstallId(&b));
  EXPECT_TRUE(IsInstallId(a)) << a;
  EXPECT_NE(a, b);
  EXPECT_FALSE(IsInstallId(a.substr(1)));
  EXPECT_FALSE(IsInstallId(a + "\r\n"));
  EXPECT_EQ(RolloutBucket(a, "1.0.0.3"), RolloutBucket(a, "1.0.0.3"));
  // A fixed identifier gives a fixed bucket on every build and system.
  const std::string fixed = "00112233445566778899AABBCCDDEEFF";
  EXPECT_EQ(RolloutBucket(fixed, "1.0.0.3"), RolloutBucket(fixed, "1.0.0.3"));
  int differs = 0;
  for (int v = 0; v < 20; ++v) differs += RolloutBucket(fixed, "1.0.0." + std::to_string(v)) != RolloutBucket(fixed, "1.0.0.3");
  EXPECT_GT(differs, 10);

  LatestVersion latest{"1.0.0.3"};
  latest.rollout = "10";
  latest.heldversionnum = "1.0.0.2";
  RolloutTarget first, again;
  std::string error;
  for (int percent : {0, 10, 50, 99}) {
    latest.rollout = std::to_string(percent);
    ASSERT_TRUE(TargetFor(latest, a, &first, &error)) << error;
    for (int i = 0; i < 5; ++i) {
      ASSERT_TRUE(TargetFor(latest, a, &again, &error));
      EXPECT_EQ(again.version, first.version);
      EXPECT_EQ(again.bucket, first.bucket);
    }
    EXPECT_EQ(first.held, first.bucket >= percent);
    EXPECT_EQ(first.version, first.held ? "1.0.0.2" : "1.0.0.3");
  }
}

TEST(Rollout, TargetOfADocument) {
  const std::string id = "00112233445566778899AABBCCDDEEFF";
  const int bucket = RolloutBucket(id, "2.0.0.0");
  LatestVersion latest{"2.0.0.0"};
  RolloutTarget t;
  std::string error;
  // No rollout, or 100: the newest for everyone, held or not.
  ASSERT_TRUE(TargetFor(latest, id, &t, &error));
  EXPECT_EQ(t.version, "2.0.0.0");
  EXPECT_FALSE(t.staged || t.held);
  latest.rollout = "100";
  latest.heldversionnum = "1.0.0.0";
  ASSERT_TRUE(TargetFor(latest, "", &t, &error));
  EXPECT_EQ(t.version, "2.0.0.0");
  // 0 halts: every install is held, whatever its bucket.
  latest.rollout = "0";
  ASSERT_TRUE(TargetFor(latest, id, &t, &error));
  EXPECT_TRUE(t.staged && t.held);
  EXPECT_EQ(t.version, "1.0.0.0");
  // Just above and at the bucket.
  latest.rollout = std::to_string(bucket + 1);
  ASSERT_TRUE(TargetFor(latest, id, &t, &error));
  EXPECT_FALSE(t.held);
  EXPECT_EQ(t.bucket, bucket);
  latest.rollout = std::to_string(bucket);
  ASSERT_TRUE(TargetFor(latest, id, &t, &error));
  EXPECT_TRUE(t.held);
  // No identifier kept: held.
  latest.rollout = "99";
  ASSERT_TRUE(TargetFor(latest, "", &t, &error));
  EXPECT_TRUE(t.held);
  // Unreadable: refused, naming the cause.
  for (const char* bad : {"101", "-1", "10%", "", " 10", "1e1"}) {
    latest.rollout = bad;
    EXPECT_FALSE(TargetFor(latest, id, &t, &error)) << bad;
  }
  latest.rollout = "10";
  latest.heldversionnum.reset();
  EXPECT_FALSE(TargetFor(latest, id, &t, &error));
  EXPECT_NE(error.find("heldversionnum"), std::string::npos) << error;
}

TEST(Rollout, ChannelNames) {
  for (const char* good : {"beta", "Test_2", "pre-release", "x"}) EXPECT_TRUE(IsChannelName(good)) << good;
  for (const char* bad : {"", "..", "a/b", "a\\b", "../beta", "be ta", "beta.", "b%2e", "\xc3\xa9t\xc3\xa9"})
    EXPECT_FALSE(IsChannelName(bad)) << bad;
  EXPECT_TRUE(IsChannelName(std::string(64, 'a')));
  EXPECT_FALSE(IsChannelName(std::string(65, 'a')));
}

}  // namespace
}  // namespace release
