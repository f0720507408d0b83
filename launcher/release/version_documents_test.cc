#include "launcher/release/version_documents.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "platform/file.h"
#include "testing/testing.h"

namespace release {
namespace {

VersionInfo Complete() {
  VersionInfo v;
  v.versionnum = "1.0.0.3";
  v.packageurl = "http://127.0.0.1/packages/AB/update_1.0.0.2_to_1.0.0.3.exe";
  v.packagemd5 = std::string(40, 'C');
  v.updateself = "true";
  v.fromversion = "1.0.0.2";
  v.packagesize = "12345";
  v.packagesha256 = std::string(64, 'D');
  v.serial = "42";
  v.fullpackageurl = "http://127.0.0.1/packages/EF/full_1.0.0.2_to_1.0.0.3.exe";
  v.fullpackagemd5 = std::string(40, 'E');
  v.fullpackagesize = "99";
  v.fullpackagesha256 = std::string(64, 'F');
  v.mirrorurls = {"http://mirror-a/", "http://mirror-b/"};
  return v;
}

TEST(VersionDocuments, EachRoundTrips) {
  const LatestVersion plain{"1.0.0.7"};
  const LatestVersion fresh{"1.0.0.7", "42", "2026-12-15T10:00:00Z"};
  LatestVersion preload = fresh, unsigned_preload = plain;
  preload.availablefrom = unsigned_preload.availablefrom = "2026-12-12T18:00:00Z";
  LatestVersion staged = fresh, staged_unsigned = plain;
  staged.rollout = staged_unsigned.rollout = "10";
  staged.heldversionnum = staged_unsigned.heldversionnum = "1.0.0.6";
  LatestVersion back;
  for (const LatestVersion& latest : {plain, fresh, preload, unsigned_preload, staged, staged_unsigned}) {
    ASSERT_TRUE(ParseLatestVersion(WriteLatestVersion(latest), &back));
    EXPECT_EQ(back, latest) << WriteLatestVersion(latest);
  }
  EXPECT_EQ(WriteLatestVersion(plain), "<lastversionnum>1.0.0.7</lastversionnum>\r\n");
  EXPECT_EQ(WriteLatestVersion(fresh),
            "<lastversionnum>1.0.0.7</lastversionnum>\r\n<serial>42</serial>\r\n"
            "<expires>2026-12-15T10:00:00Z</expires>\r\n");
  EXPECT_EQ(WriteLatestVersion(staged_unsigned),
            "<lastversionnum>1.0.0.7</lastversionnum>\r\n<rollout>10</rollout>\r\n"
            "<heldversionnum>1.0.0.6</heldversionnum>\r\n");
  // The rollout's two are found wherever they stand.
  ASSERT_TRUE(ParseLatestVersion(
      "<heldversionnum>5</heldversionnum><lastversionnum>7</lastversionnum><note/><rollout>0</rollout>", &back));
  EXPECT_EQ(back.heldversionnum, "5");
  EXPECT_EQ(back.rollout, "0");
  EXPECT_FALSE(back.serial || back.expires);
  EXPECT_FALSE(ParseLatestVersion("<other>1</other>", &back));
  // Read in their order after lastversionnum, as the writer puts them.
  ASSERT_TRUE(ParseLatestVersion("<serial>1</serial><lastversionnum>2</lastversionnum><expires>x</expires>", &back));
  EXPECT_EQ(back.lastversionnum, "2");
  EXPECT_FALSE(back.serial || back.expires);
  // availablefrom by name, wherever it stands.
  ASSERT_TRUE(ParseLatestVersion("<availablefrom>t</availablefrom><lastversionnum>2</lastversionnum>", &back));
  EXPECT_EQ(back.availablefrom, "t");

  // Complete, unsigned (the four and the fallback's two), the four alone.
  VersionInfo unsigned_info = Complete();
  for (const char* signed_only :
       {"fromversion", "packagesize", "packagesha256", "serial", "fullpackagesize", "fullpackagesha256"})
    unsigned_info.Field(signed_only)->reset();
  VersionInfo four;
  four.versionnum = "2";
  four.packageurl = "u";
  four.packagemd5 = "m";
  four.updateself = "false";
  for (const VersionInfo& v : {Complete(), unsigned_info, four}) {
    VersionInfo parsed;
    ASSERT_TRUE(ParseVersionInfo(WriteVersionInfo(v), &parsed));
    EXPECT_EQ(parsed, v) << WriteVersionInfo(v);
    EXPECT_TRUE(parsed.HasFour());
  }
  VersionInfo parsed;
  EXPECT_FALSE(ParseVersionInfo("<lastversionnum>1</lastversionnum>", &parsed));
}

// The launchers in players' hands read the four and the signed three as a
// chain: one left out hides the ones after it; the fallback and the mirrors
// are found wherever they stand.
TEST(VersionDocuments, TheChainAndTheElementsFoundByName) {
  VersionInfo v = Complete();
  v.packagemd5.reset();
  VersionInfo parsed;
  ASSERT_TRUE(ParseVersionInfo(WriteVersionInfo(v), &parsed));
  EXPECT_EQ(parsed.packageurl, v.packageurl);
  EXPECT_FALSE(parsed.packagemd5 || parsed.updateself || parsed.fromversion || parsed.packagesha256);
  EXPECT_FALSE(parsed.HasFour());
  EXPECT_EQ(parsed.fullpackageurl, v.fullpackageurl);
  EXPECT_EQ(parsed.mirrorurls, v.mirrorurls);

  const std::string shuffled =
      "<version>\r\n<mirrorurl>m1</mirrorurl>\r\n<fullpackagemd5>F</fullpackagemd5>\r\n<versionnum>3</versionnum>\r\n"
      "<note>passed over</note>\r\n<packageurl>u</packageurl>\r\n<packagemd5>M</packagemd5>\r\n"
      "<fullpackageurl>f</fullpackageurl>\r\n<updateself>false</updateself>\r\n<mirrorurl>m2</mirrorurl>\r\n"
      "</version>\r\n";
  ASSERT_TRUE(ParseVersionInfo(shuffled, &parsed));
  EXPECT_TRUE(parsed.HasFour());
  EXPECT_EQ(parsed.fullpackageurl, "f");
  EXPECT_EQ(parsed.fullpackagemd5, "F");
  EXPECT_EQ(parsed.mirrorurls, (std::vector<std::string>{"m1", "m2"}));

  // What a signed document lacks, in the order the reports name it.
  VersionInfo lacking = Complete();
  EXPECT_EQ(FirstMissingSigned(lacking), nullptr);
  EXPECT_EQ(FirstMissingFallback(lacking), nullptr);
  lacking.packagesize.reset();
  lacking.fullpackagesha256.reset();
  EXPECT_STREQ(FirstMissingSigned(lacking), "packagesize");
  EXPECT_STREQ(FirstMissingFallback(lacking), "fullpackagesha256");
  lacking.fullpackagemd5.reset();
  EXPECT_STREQ(FirstMissingFallback(lacking), "fullpackagemd5");
}

// Whatever the writers emit, the readers know: a field added to one side only
// fails here.
TEST(VersionDocuments, EveryWrittenElementIsKnownToTheReader) {
  const std::string text =
      WriteVersionInfo(Complete()) +
      WriteLatestVersion({"1", "2", "2026-12-15T10:00:00Z", "50", "0.9", "2026-12-12T18:00:00Z"});
  const std::vector<std::string>& known = KnownElements();
  int seen = 0;
  for (size_t at = text.find('<'); at != std::string::npos; at = text.find('<', at + 1)) {
    if (text[at + 1] == '/') continue;
    const std::string name = text.substr(at + 1, text.find('>', at) - at - 1);
    EXPECT_NE(std::find(known.begin(), known.end(), name), known.end()) << name;
    ++seen;
  }
  EXPECT_EQ(seen, 1 + 12 + 2 + 6);  // root, the twelve, two mirrors, latest's six
  // Each element of version.xml can be named to a tool that leaves it out.
  VersionInfo v;
  int fields = 0;
  for (const std::string& name : known) fields += v.Field(name) != nullptr;
  EXPECT_EQ(fields, 12);
  EXPECT_EQ(v.Field("nonesuch"), nullptr);
}

TEST(VersionDocuments, WrittenWithADetachedSignature) {
  testkit::TempDir dir;
  SigningSeed seed{};
  PublisherKey key{};
  ASSERT_TRUE(GenerateSeed(&seed) && PublicKeyOfSeed(seed, &key));
  std::string error, text, sig;
  const std::string doc = WriteLatestVersion({"1.0.0.2"});
  ASSERT_TRUE(WriteDocumentFile(dir / kLatestVersionFile, doc, SigningSeeds{seed}, &error)) << error;
  ASSERT_TRUE(platform::ReadFileToString(dir / kLatestVersionFile, &text));
  ASSERT_TRUE(platform::ReadFileToString(dir / (std::string(kLatestVersionFile) + kSignatureSuffix), &sig));
  EXPECT_EQ(text, doc);
  EXPECT_TRUE(VerifyDetached(key, text, sig));
  EXPECT_FALSE(VerifyDetached(key, text + " ", sig));

  ASSERT_TRUE(WriteDocumentFile(dir / "plain.xml", doc, SigningSeeds{}, &error));
  EXPECT_FALSE(platform::Exists(dir / "plain.xml.sig"));
  EXPECT_FALSE(WriteDocumentFile(dir / "no-dir/x.xml", doc, SigningSeeds{seed}, &error));
  EXPECT_NE(error.find("no-dir"), std::string::npos) << error;
}

}  // namespace
}  // namespace release
