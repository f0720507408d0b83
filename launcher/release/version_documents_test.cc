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
  v.packageblocks = std::string(64, '1');
  v.serial = "42";
  v.fullpackageurl = "http://127.0.0.1/packages/EF/full_1.0.0.2_to_1.0.0.3.exe";
  v.fullpackagemd5 = std::string(40, 'E');
  v.fullpackagesize = "99";
  v.fullpackagesha256 = std::string(64, 'F');
  v.fullpackageblocks = std::string(64, '2') + " " + std::string(64, '3');
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
       {"fromversion", "packagesize", "packagesha256", "packageblocks", "serial", "fullpackagesize",
        "fullpackagesha256", "fullpackageblocks"})
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
  EXPECT_EQ(seen, 1 + 14 + 2 + 6);  // root, the fourteen, two mirrors, latest's six
  // Each element of version.xml can be named to a tool that leaves it out.
  VersionInfo v;
  int fields = 0;
  for (const std::string& name : known) fields += v.Field(name) != nullptr;
  EXPECT_EQ(fields, 14);
  EXPECT_EQ(v.Field("nonesuch"), nullptr);
}

// The blocks are read by name: a document from before them still reads
// whole, and one that has them reads the same to a reader that passes over
// them (the chain is not disturbed).
TEST(VersionDocuments, BlocksAreOptionalAndPassedOver) {
  VersionInfo older = Complete();
  older.packageblocks.reset();
  older.fullpackageblocks.reset();
  VersionInfo parsed;
  ASSERT_TRUE(ParseVersionInfo(WriteVersionInfo(older), &parsed));
  EXPECT_EQ(parsed, older);
  EXPECT_EQ(FirstMissingSigned(parsed), nullptr);
  EXPECT_EQ(FirstMissingFallback(parsed), nullptr);
  // Between packagesha256 and serial, and after fullpackagesha256.
  const std::string text = WriteVersionInfo(Complete());
  EXPECT_LT(text.find("<packagesha256>"), text.find("<packageblocks>"));
  EXPECT_LT(text.find("<packageblocks>"), text.find("<serial>"));
  EXPECT_LT(text.find("<fullpackagesha256>"), text.find("<fullpackageblocks>"));
  // Stripped of them, the newer document reads as the older one.
  std::string stripped = text;
  for (const char* name : {"packageblocks", "fullpackageblocks"}) {
    const size_t at = stripped.find(std::string("<") + name + ">");
    stripped.erase(at, stripped.find("\r\n", at) + 2 - at);
  }
  EXPECT_EQ(stripped, WriteVersionInfo(older));
}

// A list has exactly one digest per block of the size it is read for.
TEST(VersionDocuments, BlockListsFitTheirSize) {
  const std::string a(64, 'A'), b(64, 'B');
  std::vector<std::string> digests;
  EXPECT_EQ(PackageBlockCount(0), 0u);
  EXPECT_EQ(PackageBlockCount(1), 1u);
  EXPECT_EQ(PackageBlockCount(kPackageBlockSize), 1u);
  EXPECT_EQ(PackageBlockCount(kPackageBlockSize + 1), 2u);
  ASSERT_TRUE(ParsePackageBlocks(a + " " + b, kPackageBlockSize + 1, &digests));
  EXPECT_EQ(digests, (std::vector<std::string>{a, b}));
  EXPECT_EQ(WritePackageBlocks(digests), a + " " + b);
  EXPECT_TRUE(ParsePackageBlocks("", 0, &digests));
  EXPECT_TRUE(digests.empty());
  // Counts that do not fit the size, on either side of it.
  EXPECT_FALSE(ParsePackageBlocks(a + " " + b, kPackageBlockSize, &digests));
  EXPECT_FALSE(ParsePackageBlocks(a, kPackageBlockSize + 1, &digests));
  EXPECT_FALSE(ParsePackageBlocks(a, 0, &digests));
  EXPECT_FALSE(ParsePackageBlocks("", 1, &digests));
  EXPECT_TRUE(digests.empty());
  // Spelling: blanks, case, separators, digits.
  for (const std::string& bad : {a + "  " + b.substr(1), a + "\n" + b, a + " " + std::string(64, 'b'),
                                 a + " " + std::string(63, 'B') + "G", " " + a + b.substr(1)}) {
    EXPECT_FALSE(ParsePackageBlocks(bad, kPackageBlockSize + 1, &digests)) << bad;
  }
  // The largest list the downloader takes, and one block more.
  std::vector<std::string> most(kMaxPackageBlocks, a);
  EXPECT_TRUE(ParsePackageBlocks(WritePackageBlocks(most), kMaxPackageBlocks * kPackageBlockSize, &digests));
  most.push_back(a);
  EXPECT_FALSE(ParsePackageBlocks(WritePackageBlocks(most), (kMaxPackageBlocks + 1) * kPackageBlockSize, &digests));
  // What the publisher writes for bytes reads back for their size.
  const std::string bytes(kPackageBlockSize + 10, 'x');
  ASSERT_TRUE(ParsePackageBlocks(PackageBlocksOf(bytes), bytes.size(), &digests));
  EXPECT_EQ(digests.size(), 2u);
  EXPECT_NE(digests[0], digests[1]);
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
