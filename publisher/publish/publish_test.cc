#include "publisher/publish/publisher.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#ifndef _WIN32
#include <sys/stat.h>
#endif

#include "delta_setup/delta_format.h"
#include "launcher/release/file_manifest.h"
#include "launcher/release/version_documents.h"
#include "platform/file.h"
#include "platform/owner_file.h"
#include "platform/path.h"
#include "platform/process.h"
#include "platform/wide_text.h"
#include "publisher/pkgtool/package_tool.h"
#include "testing/testing.h"

namespace {

using testkit::BuiltProgram;

const char kProgram[] = "MZ stand-in setup program\n";

publisher::Description Chain() {
  publisher::Description d;
  d.url = "http://127.0.0.1:1/";
  d.setup = "unused";
  d.latest = "1.0.0.3";
  publisher::Package a{"1.0.0.1", "1.0.0.2"};
  a.updateself = "true";
  a.files.push_back({"data/readme.txt", "two\n"});
  publisher::Package b{"1.0.0.2", "1.0.0.3"};
  b.files.push_back({"data/readme.txt", "three, a little longer\n"});
  d.packages = {a, b};
  return d;
}

SigningSeed NewSeed() {
  SigningSeed s{};
  EXPECT_TRUE(GenerateSeed(&s));
  return s;
}

PublisherKey KeyOf(const SigningSeed& s) {
  PublisherKey k{};
  EXPECT_TRUE(PublicKeyOfSeed(s, &k));
  return k;
}

// A publication as the tool makes one: serial 1, fresh for a week.
publisher::Publication Dated(SigningSeeds seeds) {
  publisher::Publication pub;
  pub.seeds = std::move(seeds);
  std::string error;
  EXPECT_TRUE(publisher::NextPublication(testkit::TempDir().Path(), publisher::kDefaultValidDays, &pub, &error));
  return pub;
}

std::string Read(const std::string& path) {
  std::string s;
  EXPECT_TRUE(platform::ReadFileToString(path, &s)) << path;
  return s;
}

class SignedTree : public ::testing::Test {
 protected:
  void SetUp() override {
    seed_ = NewSeed();
    key_ = KeyOf(seed_);
    std::vector<std::string> lines;
    std::string error;
    ASSERT_TRUE(publisher::PublishTree(Chain(), kProgram, tree_, Dated({seed_}), &lines, &error)) << error;
    ASSERT_EQ(lines.size(), 2u);
  }

  std::vector<std::string> Problems() {
    std::vector<std::string> problems;
    publisher::VerifyTree(tree_, key_, &problems);
    return problems;
  }

  void Write(const std::string& name, const std::string& data) {
    ASSERT_TRUE(platform::WriteStringToFile(T(name), data));
  }

  std::string T(const std::string& name) const { return tree_ + "/" + name; }

  testkit::TempDir dir_;
  const std::string tree_ = dir_ / "tree";
  SigningSeed seed_{};
  PublisherKey key_{};
};

// The scheduled refresh: the next serial and a new expiry everywhere, new
// signatures, nothing else changed; verify tells a tree of mixed
// publications and an expired one.
TEST_F(SignedTree, RefreshDatesTheTreeAnewAndChangesNothingElse) {
  auto without_dates = [](std::string doc) {
    for (const char* element : {"serial", "expires"}) {
      const size_t at = doc.find(std::string("<") + element + ">");
      if (at != std::string::npos) doc.erase(at, doc.find("\r\n", at) + 2 - at);
    }
    return doc;
  };
  const std::string latest = Read(T("latest-version.xml")), info = Read(T("1.0.0.1/version.xml"));
  const std::string info_sig = Read(T("1.0.0.1/version.xml.sig"));
  EXPECT_NE(latest.find("<serial>1</serial>"), std::string::npos) << latest;

  publisher::Publication next;
  next.seeds = {seed_};
  std::string error;
  ASSERT_TRUE(publisher::NextPublication(tree_, 30, &next, &error)) << error;
  EXPECT_EQ(next.serial, 2u);
  std::vector<std::string> lines;
  ASSERT_TRUE(publisher::RefreshTree(tree_, next, &lines, &error)) << error;
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_NE(lines[0].find("2 version.xml re-signed"), std::string::npos) << lines[0];
  const std::string refreshed = Read(T("latest-version.xml"));
  EXPECT_NE(refreshed.find("<serial>2</serial>"), std::string::npos) << refreshed;
  EXPECT_NE(refreshed.find("<expires>" + next.expires + "</expires>"), std::string::npos) << refreshed;
  EXPECT_EQ(without_dates(refreshed), without_dates(latest));
  for (const char* d : {"1.0.0.1/version.xml", "1.0.0.2/version.xml"})
    EXPECT_NE(Read(T(d)).find("<serial>2</serial>"), std::string::npos) << d;
  EXPECT_EQ(without_dates(Read(T("1.0.0.1/version.xml"))), without_dates(info));
  EXPECT_TRUE(Problems().empty()) << Problems().front();

  // A version.xml of the publication before, put back beside the new latest.
  Write("1.0.0.1/version.xml", info);
  Write("1.0.0.1/version.xml.sig", info_sig);
  std::vector<std::string> problems = Problems();
  ASSERT_EQ(problems.size(), 1u);
  EXPECT_EQ(problems[0], "1.0.0.1/version.xml: serial 1 is not latest-version.xml's 2");

  // A document this tool would not write again byte for byte is never
  // re-signed, and nothing of the tree is touched.
  Write("1.0.0.2/version.xml", Read(T("1.0.0.2/version.xml")) + "<!-- hand-edited -->\r\n");
  const std::string before = Read(T("latest-version.xml"));
  next.serial = 3;
  EXPECT_FALSE(publisher::RefreshTree(tree_, next, &lines, &error));
  EXPECT_NE(error.find("1.0.0.2"), std::string::npos) << error;
  EXPECT_EQ(Read(T("latest-version.xml")), before);

  // An undated tree is reported, and an expiry of no days refused.
  Write("latest-version.xml", "<lastversionnum>1.0.0.3</lastversionnum>\r\n");
  problems = Problems();
  EXPECT_NE(std::find(problems.begin(), problems.end(), "latest-version.xml: no serial (publish refresh dates a tree)"),
            problems.end());
  EXPECT_FALSE(publisher::NextPublication(tree_, 0, &next, &error));
}

TEST_F(SignedTree, VerifiesAndCarriesTheThreeElementsAfterTheFour) {
  std::vector<std::string> problems;
  EXPECT_TRUE(publisher::VerifyTree(tree_, key_, &problems));
  EXPECT_TRUE(problems.empty()) << problems.front();

  const std::string package_path = T("packages/update_1.0.0.1_to_1.0.0.2" + std::string(platform::kExeSuffix));
  const std::string package = Read(package_path);
  std::string sha256;
  ASSERT_TRUE(Sha256File(package_path, &sha256));
  const std::string doc = Read(T("1.0.0.1/version.xml"));
  const size_t updateself = doc.find("<updateself>true</updateself>");
  const size_t from = doc.find("<fromversion>1.0.0.1</fromversion>");
  const size_t size = doc.find("<packagesize>" + std::to_string(package.size()) + "</packagesize>");
  const size_t digest = doc.find("<packagesha256>" + sha256 + "</packagesha256>");
  ASSERT_NE(updateself, std::string::npos) << doc;
  ASSERT_NE(from, std::string::npos) << doc;
  ASSERT_NE(size, std::string::npos) << doc;
  ASSERT_NE(digest, std::string::npos) << doc;
  EXPECT_LT(updateself, from);
  EXPECT_LT(from, size);
  EXPECT_LT(size, digest);
  EXPECT_LT(digest, doc.find("</version>"));

  // Each signature is one base64 line over the document's exact bytes.
  for (const char* d : {"latest-version.xml", "1.0.0.1/version.xml", "1.0.0.2/version.xml"}) {
    const std::string sig = Read(T(d + std::string(".sig")));
    EXPECT_EQ(sig.size(), 89u) << d;
    EXPECT_TRUE(VerifyDetached(key_, Read(T(d)), sig)) << d;
  }
}

TEST(UnsignedTree, KeepsItsFourElementsAndHasNoSignatures) {
  testkit::TempDir dir;
  std::vector<std::string> lines;
  std::string error;
  ASSERT_TRUE(publisher::PublishTree(Chain(), kProgram, dir / "tree", Dated({}), &lines, &error)) << error;
  const std::string doc = Read(dir / "tree/1.0.0.1/version.xml");
  EXPECT_EQ(doc.find("fromversion"), std::string::npos);
  EXPECT_EQ(doc.find("packagesize"), std::string::npos);
  EXPECT_EQ(doc.find("packagesha256"), std::string::npos);
  EXPECT_NE(doc.find("<updateself>true</updateself>\r\n</version>"), std::string::npos) << doc;
  EXPECT_FALSE(platform::Exists(dir / "tree/latest-version.xml.sig"));
  EXPECT_FALSE(platform::Exists(dir / "tree/1.0.0.1/version.xml.sig"));
  std::vector<std::string> problems;
  EXPECT_FALSE(publisher::VerifyTree(dir / "tree", KeyOf(NewSeed()), &problems));
}

// An unsigned tree stages a release too; changing its rollout rewrites
// latest-version.xml alone, with no serial. A signed tree is never changed
// without its key.
TEST(UnsignedTree, RolloutChangesLatestVersionAlone) {
  testkit::TempDir dir;
  publisher::Description d = Chain();
  d.rollout = "10";
  d.held = "1.0.0.2";
  std::vector<std::string> lines;
  std::string error;
  ASSERT_TRUE(publisher::PublishTree(d, kProgram, dir.Path(), publisher::Publication(), &lines, &error)) << error;
  const std::string info = Read(dir / "1.0.0.1/version.xml");
  ASSERT_TRUE(publisher::SetRollout(dir.Path(), 0, publisher::Publication(), &lines, &error)) << error;
  release::LatestVersion latest;
  ASSERT_TRUE(release::ParseLatestVersion(Read(dir / "latest-version.xml"), &latest));
  EXPECT_EQ(latest, (release::LatestVersion{"1.0.0.3", std::nullopt, std::nullopt, "0", "1.0.0.2"}));
  EXPECT_EQ(Read(dir / "1.0.0.1/version.xml"), info);
  EXPECT_EQ(lines.back(), "rollout 0%, the others held at 1.0.0.2");

  testkit::TempDir signed_dir;
  ASSERT_TRUE(publisher::PublishTree(d, kProgram, signed_dir.Path(), Dated({NewSeed()}), &lines, &error)) << error;
  const std::string before = Read(signed_dir / "latest-version.xml");
  EXPECT_FALSE(publisher::SetRollout(signed_dir.Path(), 0, publisher::Publication(), &lines, &error));
  EXPECT_NE(error.find("is a signed tree"), std::string::npos) << error;
  EXPECT_EQ(Read(signed_dir / "latest-version.xml"), before);
}

TEST_F(SignedTree, DocumentChangedAfterSigning) {
  std::string doc = Read(T("1.0.0.2/version.xml"));
  doc.replace(doc.find("<updateself>false"), 17, "<updateself>true");
  Write("1.0.0.2/version.xml", doc);
  EXPECT_EQ(Problems(), std::vector<std::string>{"1.0.0.2/version.xml: signature does not verify with the given key"});
}

TEST_F(SignedTree, MissingSignatureFile) {
  ASSERT_TRUE(platform::RemoveFile(T("latest-version.xml.sig")));
  EXPECT_EQ(Problems(),
            std::vector<std::string>{"latest-version.xml: no signature file latest-version.xml.sig"});
}

TEST_F(SignedTree, SignatureByAnotherKey) {
  Signature other{};
  ASSERT_TRUE(Sign(NewSeed(), Read(T("latest-version.xml")), &other));
  Write("latest-version.xml.sig", SignatureFileText(other));
  EXPECT_EQ(Problems(), std::vector<std::string>{"latest-version.xml: signature does not verify with the given key"});
}

TEST_F(SignedTree, SignatureFileThatIsNotBase64) {
  std::string sig = Read(T("1.0.0.1/version.xml.sig"));
  sig[7] = '*';
  Write("1.0.0.1/version.xml.sig", sig);
  EXPECT_EQ(Problems(), std::vector<std::string>{"1.0.0.1/version.xml: signature does not verify with the given key"});
}

TEST_F(SignedTree, PackageReplacedAfterSigning) {
  const std::string name = "packages/update_1.0.0.2_to_1.0.0.3" + std::string(platform::kExeSuffix);
  std::string bytes = Read(T(name));
  const std::string size = std::to_string(bytes.size());

  // Same size, other bytes: both digests tell.
  bytes[3] ^= 0x20;
  Write(name, bytes);
  EXPECT_EQ(Problems(), (std::vector<std::string>{name + ": SHA-1 differs from packagemd5",
                                                  name + ": SHA-256 differs from packagesha256"}));
  // One byte longer: the size tells too.
  bytes[3] ^= 0x20;
  Write(name, bytes + "!");
  EXPECT_EQ(Problems(), (std::vector<std::string>{name + ": size " + std::to_string(bytes.size() + 1) +
                                                      ", published " + size,
                                                  name + ": SHA-1 differs from packagemd5",
                                                  name + ": SHA-256 differs from packagesha256"}));
  ASSERT_TRUE(platform::RemoveFile(T(name)));
  EXPECT_EQ(Problems(), std::vector<std::string>{"1.0.0.2/version.xml: package " + name + " is missing"});
}

TEST_F(SignedTree, VersionDocumentServedUnderAnotherVersionsDirectory) {
  // A validly signed version.xml of 1.0.0.2, replayed for 1.0.0.1.
  Write("1.0.0.1/version.xml", Read(T("1.0.0.2/version.xml")));
  Write("1.0.0.1/version.xml.sig", Read(T("1.0.0.2/version.xml.sig")));
  EXPECT_EQ(Problems(),
            std::vector<std::string>{"1.0.0.1/version.xml: fromversion 1.0.0.2 is not its directory 1.0.0.1"});
}

TEST_F(SignedTree, PublishedValuesThatDisagreeWithThePackage) {
  publisher::Description d = Chain();
  d.packages[0].size = "12";
  d.packages[1].sha256 = std::string(64, 'A');
  std::vector<std::string> lines;
  std::string error;
  ASSERT_TRUE(publisher::PublishTree(d, kProgram, tree_, Dated({seed_}), &lines, &error)) << error;
  const std::vector<std::string> problems = Problems();
  ASSERT_EQ(problems.size(), 2u);
  EXPECT_NE(problems[0].find(", published 12"), std::string::npos) << problems[0];
  EXPECT_NE(problems[1].find("SHA-256 differs"), std::string::npos) << problems[1];
}

TEST(PublishKeys, KeygenWritesAnOwnerOnlySeedAndNeverReplacesIt) {
  testkit::TempDir dir;
  std::string pub, error;
  ASSERT_TRUE(publisher::MakeKey(dir / "release.key", &pub, &error)) << error;
  SigningSeed seed{};
  ASSERT_TRUE(publisher::ReadKeyFile(dir / "release.key", &seed, &error)) << error;
  EXPECT_EQ(pub, EncodePublicKey(KeyOf(seed)));
  EXPECT_EQ(Read(dir / "release.key"), EncodeBase64(seed.data(), seed.size()) + "\n");

  const std::string before = Read(dir / "release.key");
  std::string pub2;
  EXPECT_FALSE(publisher::MakeKey(dir / "release.key", &pub2, &error));
  EXPECT_EQ(Read(dir / "release.key"), before);

  ASSERT_TRUE(platform::CreateOwnerOnlyFile(dir / "bad.key", "not a key\n"));
  EXPECT_FALSE(publisher::ReadKeyFile(dir / "bad.key", &seed, &error));
  EXPECT_NE(error.find("does not hold a private key"), std::string::npos) << error;

  // A key others may read is refused with the command that fixes it.
  ASSERT_TRUE(platform::CreateOwnerOnlyFile(dir / "open.key", before));
  ASSERT_TRUE(testkit::OpenToOthers(dir / "open.key", false));
  SigningSeed untouched{};
  EXPECT_FALSE(publisher::ReadKeyFile(dir / "open.key", &untouched, &error));
  EXPECT_EQ(untouched, SigningSeed{});
  EXPECT_NE(error.find("key file " + (dir / "open.key") + " is open to other users"), std::string::npos) << error;
#ifdef _WIN32
  EXPECT_NE(error.find("icacls"), std::string::npos) << error;
#else
  EXPECT_NE(error.find("(mode 0644)"), std::string::npos) << error;
  EXPECT_NE(error.find("Fix it with: chmod 600 " + (dir / "open.key")), std::string::npos) << error;
#endif

  std::string why;
  if (!platform::KeepsOwnerOnlyProtection(dir.Path(), &why))
    GTEST_SKIP() << "this file system does not keep an owner-only protection as written: " << why;
  EXPECT_TRUE(platform::IsOwnerOnlyFile(dir / "release.key"));
}

// The program's command lines, end to end.
TEST(PublishProgram, KeygenPublishWithKeyVerifyAndThePlainUsage) {
  testkit::TempDir dir;
  auto run = [&](const std::string& args) {
    auto p = platform::StartProcess(platform::QuoteArgument(BuiltProgram("publish")) + " " + args, dir.Path());
    EXPECT_TRUE(p && p->WaitFor(60000));
    return p ? p->ExitCode() : -1;
  };
  ASSERT_TRUE(platform::WriteStringToFile(dir / "setup.bin", kProgram));
  ASSERT_TRUE(platform::WriteStringToFile(
      dir / "chain.txt", "url http://127.0.0.1:1/\nsetup " + (dir / "setup.bin") +
                             "\nlatest 1.0.0.2\npackage 1.0.0.1 1.0.0.2\n  text data/a.txt hello\n"));
  ASSERT_EQ(run("keygen k.key"), 0);
  EXPECT_NE(run("keygen k.key"), 0);
  SigningSeed seed{};
  std::string error;
  ASSERT_TRUE(publisher::ReadKeyFile(dir / "k.key", &seed, &error)) << error;
  const std::string pub = EncodePublicKey(KeyOf(seed));
  const std::string other = EncodePublicKey(KeyOf(NewSeed()));

  ASSERT_EQ(run("chain.txt signed --key k.key"), 0);
  // A copy of the key that other users may read signs nothing.
  ASSERT_TRUE(platform::WriteStringToFile(dir / "open.key", Read(dir / "k.key")));
  ASSERT_TRUE(testkit::OpenToOthers(dir / "open.key", false));
  EXPECT_EQ(run("chain.txt open --key open.key"), 1);
  EXPECT_FALSE(platform::Exists(dir / "open/latest-version.xml"));
  EXPECT_EQ(run("pubkey open.key"), 1);
  EXPECT_EQ(run("verify signed " + pub), 0);
  EXPECT_EQ(run("verify signed " + other), 1);
  EXPECT_EQ(run("verify signed notakey"), 1);
  EXPECT_EQ(run("chain.txt signed2 --key missing.key"), 1);
  EXPECT_FALSE(platform::Exists(dir / "signed2/latest-version.xml"));

  ASSERT_EQ(run("chain.txt plain"), 0);
  EXPECT_TRUE(platform::Exists(dir / "plain/1.0.0.1/version.xml"));
  EXPECT_FALSE(platform::Exists(dir / "plain/1.0.0.1/version.xml.sig"));
  EXPECT_EQ(run("verify plain " + pub), 1);
  EXPECT_EQ(run("chain.txt"), 1);
}

// Help on standard output with success; errors that name their cause.
TEST(PublishProgram, HelpAndCauses) {
  testkit::TempDir dir;
  auto run = [&](const std::string& args, std::string* out) {
    auto p = platform::StartProcess(platform::QuoteArgument(BuiltProgram("publish")) + " " + args, dir.Path(),
                                    dir / "out.txt");
    EXPECT_TRUE(p && p->WaitFor(60000));
    out->clear();
    platform::ReadFileToString(dir / "out.txt", out);
    return p ? p->ExitCode() : -1;
  };
  std::string out;
  for (const char* ask : {"--help", "-h", "help"}) {
    ASSERT_EQ(run(ask, &out), 0) << ask;
    EXPECT_NE(out.find("publish release BUILDS OUT BASE_URL"), std::string::npos) << out;
    EXPECT_NE(out.find("publish COMMAND --help"), std::string::npos) << out;
  }
  // Each command its own help, and only that.
  ASSERT_EQ(run("release --help", &out), 0);
  EXPECT_NE(out.find("--valid-days N"), std::string::npos) << out;
  EXPECT_EQ(out.find("publish keygen"), std::string::npos) << out;
  ASSERT_EQ(run("status --help", &out), 0);
  EXPECT_EQ(out.rfind("usage: publish status OUT_DIR", 0), 0u) << out;
  ASSERT_EQ(run("release -h", &out), 0);
  EXPECT_NE(out.find("--mirror URL"), std::string::npos) << out;
  EXPECT_NE(out.find("--force"), std::string::npos) << out;
  ASSERT_EQ(run("keygen -h", &out), 0);
  EXPECT_EQ(out.rfind("usage: publish keygen KEY_FILE", 0), 0u) << out;
  EXPECT_FALSE(platform::Exists(dir / "-h"));
  // A wrong line is no help: usage and failure.
  EXPECT_EQ(run("frobnicate", &out), 1);

  EXPECT_EQ(run("keygen " + (dir / "missing" + platform::kPathSep + "k.key"), &out), 1);
  EXPECT_NE(out.find("there is no folder"), std::string::npos) << out;
  ASSERT_EQ(run("keygen k.key", &out), 0);
  EXPECT_EQ(run("keygen k.key", &out), 1);
  EXPECT_NE(out.find("exists already"), std::string::npos) << out;

  ASSERT_TRUE(platform::MakeDirectories(dir / "builds/1.0.0.1"));
  for (const char* base : {"ftp://127.0.0.1/base/", "127.0.0.1/base/", "file:///srv/base/"}) {
    EXPECT_EQ(run(std::string("release builds tree ") + base + " --unsigned", &out), 1) << base;
    EXPECT_NE(out.find("BASE_URL must be an http:// or https:// address"), std::string::npos) << out;
  }
  EXPECT_FALSE(platform::Exists(dir / "tree"));
}

// The release builder through the program: three versions, signed.
class Release3 : public ::testing::Test {
 protected:
  static std::string Text(const std::string& path) {
    std::string s;
    platform::ReadFileToString(path, &s);
    return s;
  }
  void Package(const std::string& version, const std::string& name, char fill, bool encrypt) {
    pkgtool::PackageModel m;
    m.Imports.push_back({m.NameSlot(L"Core"), m.NameSlot(L"Class"), 0, m.NameSlot(L"Texture")});
    std::vector<BYTE> data(5000, 'x');
    data[1000] = static_cast<BYTE>(fill);
    m.Exports.push_back({-1, 0, 0, m.NameSlot(L"Obj"), 0, data});
    const std::string dir = dir_ / ("builds/" + version + "/System");
    platform::MakeDirectories(dir);
    ASSERT_TRUE(pkgtool::WriteEngineFile(platform::AnsiToWide(platform::JoinPath(dir, name)), pkgtool::BuildPackage(m),
                                         encrypt));
  }
  void File(const std::string& version, const std::string& rel, const std::string& text) {
    const std::string path = dir_ / ("builds/" + version + "/" + rel);
    platform::MakeDirectories(platform::DirName(path));
    ASSERT_TRUE(platform::WriteStringToFile(path, text));
  }
  int Run(const std::string& args, std::string* output = nullptr) {
    auto p = platform::StartProcess(platform::QuoteArgument(BuiltProgram("publish")) + " " + args, dir_.Path(),
                                    dir_ / "publish.out");
    EXPECT_TRUE(p && p->WaitFor(120000));
    if (output) *output = Text(dir_ / "publish.out");
    return p ? p->ExitCode() : -1;
  }
  // The element's text in a version document.
  static std::string Value(const std::string& doc, const std::string& name) {
    const size_t a = doc.find("<" + name + ">"), b = doc.find("</" + name + ">");
    return a == std::string::npos || b == std::string::npos ? std::string() : doc.substr(a + name.size() + 2, b - a - name.size() - 2);
  }
  std::string Local(const std::string& url) {
    const size_t at = url.find("packages/");
    return at == std::string::npos ? std::string() : dir_ / ("out/" + url.substr(at));
  }

  void SetUp() override {
    pkgtool::InstallServices();
    Package("1.0.0.1", "A.u", 'a', false);
    Package("1.0.0.1", "B.u", 'a', false);
    File("1.0.0.1", "Quillfen", "launcher 1");
    File("1.0.0.1", "notes.txt", "First <release> & more");
    File("1.0.0.1", "dovra_version.ini", "[version]\r\nClientVersion=1.0.0.1\r\n");
    Package("1.0.0.2", "A.u", 'b', false);
    Package("1.0.0.2", "B.u", 'a', false);
    File("1.0.0.2", "Quillfen", "launcher 1");
    File("1.0.0.2", "notes.txt", "Second");
    Package("1.0.0.3", "A.u", 'b', false);
    Package("1.0.0.3", "B.u", 'c', true);  // now enciphered: no difference file can say so
    File("1.0.0.3", "Quillfen", "launcher 2");
    File("1.0.0.3", "notes.txt", "Third");
    ASSERT_EQ(Run("keygen k.key"), 0);
    SigningSeed seed{};
    std::string error;
    ASSERT_TRUE(publisher::ReadKeyFile(dir_ / "k.key", &seed, &error)) << error;
    pub_ = EncodePublicKey(KeyOf(seed));
    ASSERT_EQ(Run("release builds out http://127.0.0.1:1/base --key k.key", &summary_), 0) << summary_;
  }

  testkit::TempDir dir_;
  std::string pub_, summary_;
};

TEST_F(Release3, VerifiesCarriesTheFallbackAndAddressesBySha256) {
  EXPECT_EQ(Run("verify out " + pub_), 0) << Text(dir_ / "publish.out");
  EXPECT_EQ(Value(Text(dir_ / "out/latest-version.xml"), "lastversionnum"), "1.0.0.3");
  EXPECT_FALSE(platform::Exists(dir_ / "out/1.0.0.3/version.xml"));
  for (const std::string from : {"1.0.0.1", "1.0.0.2"}) {
    const std::string doc = Text(dir_ / ("out/" + from + "/version.xml"));
    // The fallback elements follow the seven others, in order.
    size_t at = 0;
    for (const char* e : {"versionnum", "packageurl", "packagemd5", "updateself", "fromversion", "packagesize",
                          "packagesha256", "fullpackageurl", "fullpackagemd5", "fullpackagesize", "fullpackagesha256"}) {
      const size_t next = doc.find(std::string("<") + e + ">", at);
      ASSERT_NE(next, std::string::npos) << from << " " << e;
      at = next;
    }
    for (const char* url : {"packageurl", "fullpackageurl"}) {
      const std::string u = Value(doc, url);
      std::string sha;
      ASSERT_TRUE(Sha256File(Local(u), &sha)) << u;
      EXPECT_EQ(u.rfind("http://127.0.0.1:1/base/packages/" + sha + "/", 0), 0u) << u;
    }
    EXPECT_NE(Value(doc, "packageurl"), Value(doc, "fullpackageurl"));
  }
  // Only a route that changes the launcher program replaces it (1.0.0.1
  // has its direct delta to 1.0.0.3, which does).
  EXPECT_EQ(Value(Text(dir_ / "out/1.0.0.1/version.xml"), "updateself"), "true");
  EXPECT_EQ(Value(Text(dir_ / "out/1.0.0.2/version.xml"), "updateself"), "true");

  // A full package changed after signing is found.
  const std::string full = Local(Value(Text(dir_ / "out/1.0.0.2/version.xml"), "fullpackageurl"));
  std::string bytes = Text(full);
  bytes[bytes.size() / 2] ^= 1;
  ASSERT_TRUE(platform::WriteStringToFile(full, bytes));
  std::string out;
  EXPECT_EQ(Run("verify out " + pub_, &out), 1);
  EXPECT_NE(out.find("SHA-256 differs from fullpackagesha256"), std::string::npos) << out;
}

// Each package's blocks go with it, signed; verify finds a list that does
// not describe the package or does not fit its size.
TEST_F(Release3, EveryPackageCarriesItsBlocks) {
  for (const std::string from : {"1.0.0.1", "1.0.0.2"}) {
    const std::string doc = Text(dir_ / ("out/" + from + "/version.xml"));
    EXPECT_LT(doc.find("<packagesha256>"), doc.find("<packageblocks>")) << doc;
    EXPECT_LT(doc.find("<fullpackagesha256>"), doc.find("<fullpackageblocks>")) << doc;
    for (const char* url : {"packageurl", "fullpackageurl"}) {
      const std::string blocks = std::string(url) == "packageurl" ? "packageblocks" : "fullpackageblocks";
      EXPECT_EQ(Value(doc, blocks), release::PackageBlocksOf(Text(Local(Value(doc, url))))) << from << " " << url;
    }
  }
  const std::string path = dir_ / "out/1.0.0.2/version.xml";
  const std::string doc = Text(path);
  const std::string blocks = Value(doc, "packageblocks");
  ASSERT_EQ(blocks.size(), 64u);  // one block
  // (A package of one block has the list of its own SHA-256, which its
  // address names too.)
  const size_t list = doc.find("<packageblocks>") + 15;
  std::string out;
  // Another digest of the right count.
  std::string other = doc;
  other.replace(list, 64, std::string(64, 'A'));
  ASSERT_TRUE(platform::WriteStringToFile(path, other));
  EXPECT_EQ(Run("verify out " + pub_, &out), 1);
  EXPECT_NE(out.find(": blocks differ from packageblocks"), std::string::npos) << out;
  EXPECT_EQ(out.find("packageblocks is not one"), std::string::npos) << out;
  // One digest too many for the size.
  other = doc;
  other.replace(list, 64, blocks + " " + blocks);
  ASSERT_TRUE(platform::WriteStringToFile(path, other));
  EXPECT_EQ(Run("verify out " + pub_, &out), 1);
  EXPECT_NE(out.find("1.0.0.2/version.xml: packageblocks is not one SHA-256 per 4 MiB block of packagesize"),
            std::string::npos)
      << out;
  // Without the list (a document from before blocks) only the signature
  // tells.
  other = doc;
  other.erase(other.find("<packageblocks>"), other.find("</packageblocks>\r\n") + 18 - other.find("<packageblocks>"));
  ASSERT_TRUE(platform::WriteStringToFile(path, other));
  EXPECT_EQ(Run("verify out " + pub_, &out), 1);
  EXPECT_EQ(out.find("blocks"), std::string::npos) << out;
  EXPECT_NE(out.find("signature does not verify"), std::string::npos) << out;
}

// A release is signed unless --unsigned asks otherwise, and never with a key
// other users may read.
TEST_F(Release3, SignedUnlessAskedOtherwiseAndNeverWithAKeyOthersCanRead) {
  std::string out;
  EXPECT_EQ(Run("release builds plain http://127.0.0.1:1/base", &out), 1);
  EXPECT_NE(out.find("refusing to publish an unsigned release"), std::string::npos) << out;
  EXPECT_NE(out.find("--unsigned"), std::string::npos) << out;
  EXPECT_EQ(Run("release builds plain http://127.0.0.1:1/base --key k.key --unsigned", &out), 1);
  EXPECT_FALSE(platform::Exists(dir_ / "plain"));
  ASSERT_EQ(Run("release builds plain http://127.0.0.1:1/base --unsigned", &out), 0) << out;
  EXPECT_TRUE(platform::Exists(dir_ / "plain/latest-version.xml"));
  EXPECT_FALSE(platform::Exists(dir_ / "plain/latest-version.xml.sig"));
  EXPECT_EQ(Value(Text(dir_ / "plain/1.0.0.1/version.xml"), "fromversion"), "");

  ASSERT_TRUE(platform::WriteStringToFile(dir_ / "open.key", Text(dir_ / "k.key")));
  ASSERT_TRUE(testkit::OpenToOthers(dir_ / "open.key", false));
  EXPECT_EQ(Run("release builds open http://127.0.0.1:1/base --key open.key", &out), 1);
  EXPECT_NE(out.find("open.key is open to other users"), std::string::npos) << out;
  EXPECT_FALSE(platform::Exists(dir_ / "open/latest-version.xml"));
#ifndef _WIN32
  // Mended as the message says, the key signs.
  EXPECT_NE(out.find("Fix it with: chmod 600 open.key"), std::string::npos) << out;
  ASSERT_EQ(chmod((dir_ / "open.key").c_str(), 0600), 0);
  ASSERT_EQ(Run("release builds open http://127.0.0.1:1/base --key open.key", &out), 0) << out;
  EXPECT_EQ(Run("verify open " + pub_, &out), 0) << out;
#endif
}

// Mirrors are signed with the rest; a release that would send players back
// is refused unless forced.
TEST_F(Release3, MirrorsAreSignedAndTheNewestMovesBackOnlyWithForce) {
  std::string out;
  ASSERT_EQ(Run("release builds mirrored http://127.0.0.1:1/base --key k.key --mirror http://127.0.0.2/copy "
                "--mirror https://127.0.0.3/",
                &out),
            0)
      << out;
  EXPECT_EQ(Run("verify mirrored " + pub_, &out), 0) << out;
  for (const std::string from : {"1.0.0.1", "1.0.0.2"}) {
    const std::string doc = Text(dir_ / ("mirrored/" + from + "/version.xml"));
    const std::string delta = Value(doc, "packageurl"), full = Value(doc, "fullpackageurl");
    const std::string base = "http://127.0.0.1:1/base/";
    ASSERT_EQ(delta.rfind(base, 0), 0u) << delta;
    std::vector<std::string> mirrors;
    for (size_t at = doc.find("<mirrorurl>"); at != std::string::npos; at = doc.find("<mirrorurl>", at + 1))
      mirrors.push_back(doc.substr(at + 11, doc.find("</mirrorurl>", at) - at - 11));
    EXPECT_EQ(mirrors, (std::vector<std::string>{"http://127.0.0.2/copy/" + delta.substr(base.size()),
                                                 "http://127.0.0.2/copy/" + full.substr(base.size()),
                                                 "https://127.0.0.3/" + delta.substr(base.size()),
                                                 "https://127.0.0.3/" + full.substr(base.size())}))
        << doc;
  }
  EXPECT_EQ(Run("release builds other http://127.0.0.1:1/base --unsigned --mirror ftp://127.0.0.2/", &out), 1);
  EXPECT_NE(out.find("--mirror takes an http:// or https:// address"), std::string::npos) << out;
  EXPECT_FALSE(platform::Exists(dir_ / "other"));

  testkit::RemoveTree(dir_ / "builds/1.0.0.3");
  const std::string latest = Text(dir_ / "out/latest-version.xml");
  EXPECT_EQ(Run("release builds out http://127.0.0.1:1/base --key k.key", &out), 1);
  EXPECT_NE(out.find("the tree's newest version is 1.0.0.3 and this publication's is 1.0.0.2"), std::string::npos)
      << out;
  EXPECT_EQ(Text(dir_ / "out/latest-version.xml"), latest);
  ASSERT_EQ(Run("release builds out http://127.0.0.1:1/base --key k.key --force", &out), 0) << out;
  EXPECT_EQ(Value(Text(dir_ / "out/latest-version.xml"), "lastversionnum"), "1.0.0.2");

  // What status makes of it.
  ASSERT_EQ(Run("status out", &out), 0) << out;
  EXPECT_EQ(out.rfind("newest 1.0.0.2  serial 2, expires ", 0), 0u) << out;
  EXPECT_NE(out.find("from 1.0.0.1: 1.0.0.1 -> 1.0.0.2, 1 package, "), std::string::npos) << out;
  EXPECT_NE(out.find("from 1.0.0.2: the newest version already"), std::string::npos) << out;
  EXPECT_EQ(Run("status missing", &out), 1);
}

TEST_F(Release3, SummaryNamesWholeEnginePackagesAndTheVersionStoreIsLeftOut) {
  EXPECT_NE(summary_.find("1.0.0.1 -> 1.0.0.2  delta"), std::string::npos) << summary_;
  EXPECT_NE(summary_.find("(1 patched, 0 whole, 0 differenced, 0 deleted)"), std::string::npos) << summary_;
  EXPECT_NE(summary_.find("1.0.0.3: engine package System/B.u sent whole: the composed package is not byte-identical"),
            std::string::npos)
      << summary_;
  EXPECT_NE(summary_.find("dovra_version.ini left out"), std::string::npos) << summary_;
  EXPECT_EQ(Text(dir_ / "out/latest-version.xml").find("dovra"), std::string::npos);
}

// A release published ahead of its day carries its time, signed, and keeps
// it through a refresh; a time that is not one is refused.
TEST_F(Release3, AvailableFromIsSignedAndSurvivesARefresh) {
  std::string out;
  ASSERT_EQ(Run("release builds out http://127.0.0.1:1/base --key k.key --available-from 2026-12-12T18:00:00Z", &out),
            0)
      << out;
  EXPECT_EQ(Value(Text(dir_ / "out/latest-version.xml"), "availablefrom"), "2026-12-12T18:00:00Z");
  EXPECT_EQ(Run("verify out " + pub_, &out), 0) << out;
  ASSERT_EQ(Run("refresh out --key k.key", &out), 0) << out;
  EXPECT_EQ(Value(Text(dir_ / "out/latest-version.xml"), "availablefrom"), "2026-12-12T18:00:00Z");
  EXPECT_EQ(Run("verify out " + pub_, &out), 0) << out;
  // Published again without it: at once.
  ASSERT_EQ(Run("release builds out http://127.0.0.1:1/base --key k.key", &out), 0) << out;
  EXPECT_EQ(Text(dir_ / "out/latest-version.xml").find("availablefrom"), std::string::npos);

  EXPECT_EQ(Run("release builds other http://127.0.0.1:1/base --key k.key --available-from 2026-12-12", &out), 1);
  EXPECT_NE(out.find("--available-from takes a UTC time of the form YYYY-MM-DDTHH:MM:SSZ, not 2026-12-12"),
            std::string::npos)
      << out;
  EXPECT_FALSE(platform::Exists(dir_ / "other"));
  EXPECT_EQ(Run("refresh out --key k.key --available-from 2026-12-12T18:00:00Z", &out), 1);
  EXPECT_NE(out.find("--available-from are for publish release"), std::string::npos) << out;
}

// A client several versions behind gets the newest in one download when the
// direct delta is cheaper than the steps; --direct 0 publishes the chain.
TEST_F(Release3, DirectDeltasNameTheCheaperRoute) {
  const std::string name = "update_1.0.0.1_to_1.0.0.3" + std::string(platform::kExeSuffix);
  const std::string doc = Text(dir_ / "out/1.0.0.1/version.xml");
  EXPECT_EQ(Value(doc, "versionnum"), "1.0.0.3") << summary_;
  EXPECT_NE(Value(doc, "packageurl").find("/" + name), std::string::npos) << doc;
  EXPECT_NE(Value(doc, "fullpackageurl").find("/full_1.0.0.1_to_1.0.0.3"), std::string::npos) << doc;
  const uint64_t direct = Text(Local(Value(doc, "packageurl"))).size();
  EXPECT_NE(summary_.find("1.0.0.1: direct delta " + std::to_string(direct) + " bytes named (chain of 2 steps "),
            std::string::npos)
      << summary_;
  // The previous version's own step is direct already: no second package.
  EXPECT_EQ(summary_.find("1.0.0.2: direct delta"), std::string::npos) << summary_;
  EXPECT_EQ(Value(Text(dir_ / "out/1.0.0.2/version.xml"), "versionnum"), "1.0.0.3");

  std::string out;
  ASSERT_EQ(Run("release builds chain http://127.0.0.1:1/base --key k.key --direct 0", &out), 0) << out;
  EXPECT_EQ(Value(Text(dir_ / "chain/1.0.0.1/version.xml"), "versionnum"), "1.0.0.2");
  EXPECT_EQ(Value(Text(dir_ / "chain/1.0.0.1/version.xml"), "updateself"), "false");
  EXPECT_EQ(out.find("direct delta"), std::string::npos) << out;
  EXPECT_EQ(Run("release builds chain http://127.0.0.1:1/base --key k.key --direct many", &out), 1);
  EXPECT_NE(out.find("--direct takes a number of versions, 0 to 100"), std::string::npos) << out;
}

// Packages for the other target's players take that target's programs, and
// a program of the wrong kind is refused before anything is written.
TEST_F(Release3, TargetTakesThatTargetsProgramsAndRefusesAMismatch) {
  const std::string own = publisher::OwnTarget();
  const std::string other = own == "native" ? "win32" : "native";
  std::string out;
  // This build's own programs handed in as the other target's.
  ASSERT_TRUE(platform::MakeDirectories(dir_ / "tools"));
  const std::string other_suffix = other == "win32" ? ".exe" : "";
  for (const char* program : {"delta_setup", "Gleaner"})
    ASSERT_TRUE(platform::CopyFileOver(BuiltProgram(program), dir_ / ("tools/" + std::string(program) + other_suffix)));
  EXPECT_EQ(Run("release builds wrong http://127.0.0.1:1/base --key k.key --target " + other + " --tools tools", &out),
            1);
  EXPECT_NE(out.find("is a " + own + " program, not a " + other + " one: give the " + other +
                     " build's directory with --tools DIR"),
            std::string::npos)
      << out;
  EXPECT_FALSE(platform::Exists(dir_ / "wrong/latest-version.xml"));
  if (own != "win64") {
    EXPECT_EQ(Run("release builds wrong http://127.0.0.1:1/base --key k.key --target win64", &out), 1);
    EXPECT_NE(out.find("--target takes win32 or native, not win64"), std::string::npos) << out;
  }
  // The own target named: the same packages as without it.
  ASSERT_EQ(Run("release builds same http://127.0.0.1:1/base --key k.key --target " + own, &out), 0) << out;
  EXPECT_EQ(Value(Text(dir_ / "same/1.0.0.2/version.xml"), "packagesha256"),
            Value(Text(dir_ / "out/1.0.0.2/version.xml"), "packagesha256"));
}

TEST(ReleaseBuilder, ProgramTargetReadsTheHeader) {
  EXPECT_EQ(publisher::ProgramTarget(std::string("\x7f" "ELF\x02\x01", 6)), "native");
  std::string pe(0x200, '\0');
  pe[0] = 'M';
  pe[1] = 'Z';
  pe[0x3C] = static_cast<char>(0x80);
  pe.replace(0x80, 4, std::string("PE\0\0", 4));
  pe[0x84] = 0x4C;
  pe[0x85] = 0x01;
  EXPECT_EQ(publisher::ProgramTarget(pe), "win32");
  pe[0x84] = 0x64;
  pe[0x85] = static_cast<char>(0x86);
  EXPECT_EQ(publisher::ProgramTarget(pe), "win64");
  pe[0x84] = 0x00;
  EXPECT_EQ(publisher::ProgramTarget(pe), "");
  // A header offset past the bytes, or no header there.
  pe[0x3C] = static_cast<char>(0xFE);
  pe[0x3D] = static_cast<char>(0x01);
  EXPECT_EQ(publisher::ProgramTarget(pe), "");
  pe[0x3C] = static_cast<char>(0xFF);
  pe[0x3D] = static_cast<char>(0xFF);
  pe[0x3E] = static_cast<char>(0xFF);
  pe[0x3F] = static_cast<char>(0xFF);
  EXPECT_EQ(publisher::ProgramTarget(pe), "");
  EXPECT_EQ(publisher::ProgramTarget("MZ"), "");
  EXPECT_EQ(publisher::ProgramTarget("#!/bin/sh\n"), "");
  std::string own;
  ASSERT_TRUE(platform::ReadFileToString(BuiltProgram("delta_setup"), &own));
  EXPECT_EQ(publisher::ProgramTarget(own), publisher::OwnTarget());
}

TEST_F(Release3, NewsIsNewestFirstAndEscaped) {
  const std::string news = Text(dir_ / "out/news.html");
  const size_t v3 = news.find("<h2>1.0.0.3</h2>"), v2 = news.find("<h2>1.0.0.2</h2>"), v1 = news.find("<h2>1.0.0.1</h2>");
  ASSERT_NE(v3, std::string::npos);
  EXPECT_LT(v3, v2);
  EXPECT_LT(v2, v1);
  EXPECT_NE(news.find("First &lt;release&gt; &amp; more"), std::string::npos) << news;
  EXPECT_EQ(news.find("<release>"), std::string::npos);
  // Signed with the release's key, over its exact bytes.
  PublisherKey key{};
  ASSERT_TRUE(DecodePublicKey(pub_, &key));
  EXPECT_TRUE(VerifyDetached(key, news, Text(dir_ / "out/news.html.sig")));
}

// A release staged to a share, halted, and replaced by a newer version built
// from good files: the installs held at the last good version step straight
// to the replacement (those with the bad one step from it), and later
// releases keep that step.
TEST_F(Release3, StagedReleaseHaltedAndReplacedPastTheBadVersion) {
  const auto latest = [&] { return Text(dir_ / "out/latest-version.xml"); };
  const auto step_to = [&](const std::string& from) {
    return Value(Text(dir_ / ("out/" + from + "/version.xml")), "versionnum");
  };
  auto good_build = [&](const std::string& version) {
    Package(version, "A.u", 'b', false);
    Package(version, "B.u", 'c', true);
    File(version, "Quillfen", "launcher 2");
  };
  std::string out;
  // Refused before anything is written: no tree to hold installs at, or no
  // percent.
  EXPECT_EQ(Run("release builds fresh http://127.0.0.1:1/base --key k.key --rollout 10", &out), 1);
  EXPECT_NE(out.find("--rollout needs a tree with a newest version already"), std::string::npos) << out;
  EXPECT_FALSE(platform::Exists(dir_ / "fresh/latest-version.xml"));
  EXPECT_EQ(Run("release builds out http://127.0.0.1:1/base --key k.key --rollout 101", &out), 1);
  EXPECT_EQ(Run("rollout out 50 --key k.key", &out), 1);
  EXPECT_NE(out.find("went out to every install"), std::string::npos) << out;

  // 1.0.0.4 (bad) to 10%, the others held at the tree's newest.
  Package("1.0.0.4", "A.u", 'x', false);
  Package("1.0.0.4", "B.u", 'c', true);
  File("1.0.0.4", "Quillfen", "launcher 2");
  ASSERT_EQ(Run("release builds out http://127.0.0.1:1/base --key k.key --rollout 10", &out), 0) << out;
  EXPECT_NE(out.find("rollout 10% of 1.0.0.4, the others held at 1.0.0.3"), std::string::npos) << out;
  EXPECT_EQ(Value(latest(), "lastversionnum"), "1.0.0.4");
  EXPECT_EQ(Value(latest(), "rollout"), "10");
  EXPECT_EQ(Value(latest(), "heldversionnum"), "1.0.0.3");
  EXPECT_EQ(step_to("1.0.0.3"), "1.0.0.4");
  EXPECT_EQ(Run("verify out " + pub_, &out), 0) << out;

  // Halted: the rollout alone changes, under the next serial everywhere.
  const std::string serial = Value(latest(), "serial");
  ASSERT_EQ(Run("rollout out 0 --key k.key", &out), 0) << out;
  EXPECT_EQ(Value(latest(), "rollout"), "0");
  EXPECT_EQ(Value(latest(), "heldversionnum"), "1.0.0.3");
  EXPECT_EQ(Value(latest(), "lastversionnum"), "1.0.0.4");
  const std::string next = std::to_string(std::stoi(serial) + 1);
  EXPECT_EQ(Value(latest(), "serial"), next);
  EXPECT_EQ(Value(Text(dir_ / "out/1.0.0.3/version.xml"), "serial"), next);
  EXPECT_EQ(Run("verify out " + pub_, &out), 0) << out;

  // 1.0.0.5 from the good files, staged: the installs held back from the
  // bad version stay at the good one, never the bad one.
  good_build("1.0.0.5");
  ASSERT_EQ(Run("release builds out http://127.0.0.1:1/base --key k.key --rollout 20", &out), 0) << out;
  EXPECT_EQ(Value(latest(), "heldversionnum"), "1.0.0.3");
  EXPECT_EQ(step_to("1.0.0.3"), "1.0.0.5");
  // Then to every install.
  ASSERT_EQ(Run("release builds out http://127.0.0.1:1/base --key k.key", &out), 0) << out;
  EXPECT_EQ(Value(latest(), "lastversionnum"), "1.0.0.5");
  EXPECT_EQ(latest().find("rollout"), std::string::npos);
  EXPECT_EQ(latest().find("heldversionnum"), std::string::npos);
  // Out to every install: 1.0.0.2 gets its direct delta (cheaper than its
  // chain), the others step as before.
  EXPECT_EQ(step_to("1.0.0.2"), "1.0.0.5");
  EXPECT_EQ(step_to("1.0.0.3"), "1.0.0.5");
  EXPECT_EQ(step_to("1.0.0.4"), "1.0.0.5");
  EXPECT_NE(out.find("1.0.0.3 -> 1.0.0.5  delta"), std::string::npos) << out;
  EXPECT_NE(out.find("1.0.0.4 -> 1.0.0.5  delta"), std::string::npos) << out;
  EXPECT_EQ(Run("verify out " + pub_, &out), 0) << out;

  // The next release staged holds installs at 1.0.0.5 and keeps the step
  // around the bad version.
  good_build("1.0.0.6");
  File("1.0.0.6", "data/new.txt", "six");
  ASSERT_EQ(Run("release builds out http://127.0.0.1:1/base --key k.key --rollout 50", &out), 0) << out;
  EXPECT_EQ(Value(latest(), "heldversionnum"), "1.0.0.5");
  EXPECT_EQ(step_to("1.0.0.3"), "1.0.0.5");
  EXPECT_EQ(step_to("1.0.0.5"), "1.0.0.6");
  // Published again at another share, the held version stays.
  ASSERT_EQ(Run("release builds out http://127.0.0.1:1/base --key k.key --rollout 100", &out), 0) << out;
  EXPECT_EQ(Value(latest(), "heldversionnum"), "1.0.0.5");
  EXPECT_EQ(Run("verify out " + pub_, &out), 0) << out;
}

TEST_F(Release3, SignWritesTheSignatureOfAnyFile) {
  const std::string page = "<p>hand-written news</p>\n";
  ASSERT_TRUE(platform::WriteStringToFile(dir_ / "page.html", page));
  std::string out;
  ASSERT_EQ(Run("sign page.html --key k.key", &out), 0) << out;
  PublisherKey key{};
  ASSERT_TRUE(DecodePublicKey(pub_, &key));
  EXPECT_EQ(Text(dir_ / "page.html"), page);
  EXPECT_TRUE(VerifyDetached(key, page, Text(dir_ / "page.html.sig")));
  EXPECT_NE(Run("sign page.html", &out), 0);
  EXPECT_NE(Run("sign missing.html --key k.key", &out), 0);
}

TEST(ReleaseBuilder, RefusesADirectoryThatIsNotAVersion) {
  testkit::TempDir dir;
  platform::MakeDirectories(dir / "builds/1.0.0.1");
  platform::MakeDirectories(dir / "builds/latest");
  std::vector<std::string> lines;
  std::string error;
  EXPECT_FALSE(publisher::BuildRelease(dir / "builds", dir / "out", "http://x/", BuiltProgram("delta_setup"),
                                       BuiltProgram("Gleaner"), Dated({}), &lines, &error));
  EXPECT_NE(error.find("latest"), std::string::npos) << error;
}

// The sample setup program's payload: a path Windows would misread is
// refused like one that leaves the target directory.
TEST(SamplePackage, RefusesPathsWindowsWouldMisread) {
  for (const std::string path : {"data/ok.txt", "../evil.txt", "data/NUL", "con.txt", "data/readme.txt.",
                                 "System/QUILLF~1", "data/a /b.txt"}) {
    sample_package::Payload p;
    p.version = "1.0.0.2";
    p.files.push_back({path, "x"});
    sample_package::Payload back;
    EXPECT_EQ(sample_package::Detach(sample_package::Attach(kProgram, p), &back), path == "data/ok.txt") << path;
  }
}

// A build holding a file the setup program would refuse is refused before
// anything is published. Windows cannot make the device names and the names
// with trailing dots: there only the short alias is tried.
TEST(ReleaseBuilder, RefusesAFileNameWindowsWouldMisread) {
  std::vector<std::string> names = {"DATA_~1.TXT"};
#ifndef _WIN32
  names.insert(names.end(), {"System/nul.u", "CON", "data/readme.txt.", "LPT1.log"});
#endif
  for (const std::string& name : names) {
    testkit::TempDir dir;
    const std::string file = dir / ("builds/1.0.0.2/" + name);
    platform::MakeDirectories(platform::DirName(file));
    ASSERT_TRUE(platform::WriteStringToFile(file, "x")) << name;
    platform::MakeDirectories(dir / "builds/1.0.0.1");
    std::vector<std::string> lines;
    std::string error;
    EXPECT_FALSE(publisher::BuildRelease(dir / "builds", dir / "out", "http://x/", BuiltProgram("delta_setup"),
                                         BuiltProgram("Gleaner"), Dated({}), &lines, &error))
        << name;
    EXPECT_NE(error.find("a file name the setup program refuses: " + name), std::string::npos) << error;
    EXPECT_FALSE(platform::Exists(dir / "out/latest-version.xml")) << name;
  }
}

}  // namespace

namespace {

// A full package beside the first package: its elements after the others,
// its file checked by verify.
TEST(FullPackageTree, ElementsAfterTheOthersAndCheckedByVerify) {
  testkit::TempDir dir;
  const std::string tree = dir / "tree";
  publisher::Description d = Chain();
  d.packages[0].full.present = true;
  const SigningSeed seed = NewSeed();
  std::vector<std::string> lines;
  std::string error;
  ASSERT_TRUE(publisher::PublishTree(d, kProgram, tree, Dated({seed}), &lines, &error)) << error;
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_NE(lines[1].find("full_1.0.0.1_to_1.0.0.2"), std::string::npos) << lines[1];
  const std::string name = "full_1.0.0.1_to_1.0.0.2" + std::string(platform::kExeSuffix);
  const std::string doc = Read(tree + "/1.0.0.1/version.xml");
  const size_t sha = doc.find("<packagesha256>"), url = doc.find("<fullpackageurl>http://127.0.0.1:1/packages/" + name);
  ASSERT_NE(url, std::string::npos) << doc;
  EXPECT_LT(sha, url);
  EXPECT_LT(url, doc.find("<fullpackagemd5>"));
  EXPECT_LT(doc.find("<fullpackagemd5>"), doc.find("<fullpackagesize>"));
  EXPECT_LT(doc.find("<fullpackagesize>"), doc.find("<fullpackagesha256>"));
  EXPECT_EQ(Read(tree + "/1.0.0.2/version.xml").find("fullpackage"), std::string::npos);
  std::vector<std::string> problems;
  EXPECT_TRUE(publisher::VerifyTree(tree, KeyOf(seed), &problems)) << problems.front();

  // The full package changed after publishing (same size).
  std::string bytes = Read(tree + "/packages/" + name);
  bytes[bytes.size() - 1] ^= 1;
  ASSERT_TRUE(platform::WriteStringToFile(tree + "/packages/" + name, bytes));
  problems.clear();
  EXPECT_FALSE(publisher::VerifyTree(tree, KeyOf(seed), &problems));
  EXPECT_EQ(problems, (std::vector<std::string>{"packages/" + name + ": SHA-1 differs from fullpackagemd5",
                                                "packages/" + name + ": SHA-256 differs from fullpackagesha256"}));
}

}  // namespace

namespace {

// What a publication does to the files of its tree, in order: "write NAME"
// for each file opened for writing, "rename NAME" for each file renamed
// into NAME, NAME relative to the tree with '/'. A name containing
// `fail_write` cannot be opened for writing.
struct WriteRecorder {
  static std::string& Root() {
    static std::string root;
    return root;
  }
  static std::string& FailWrite() {
    static std::string fail;
    return fail;
  }
  static std::vector<std::string>& Events() {
    static std::vector<std::string> events;
    return events;
  }
  static std::string Relative(const platform::FileName& name) {
    std::string n = name.ToNarrow(), root = Root();
    for (std::string* s : {&n, &root})
      std::replace(s->begin(), s->end(), '\\', '/');
    return n.rfind(root, 0) == 0 ? n.substr(root.size()) : std::string();
  }
  static platform::Status Open(const platform::FileName& name, const platform::FileOpenOptions& o,
                               platform::NativeFile* out) {
    const std::string rel = Relative(name);
    if (o.disposition != platform::FileDisposition::kReadExisting && !rel.empty()) {
      Events().push_back("write " + rel);
      if (!FailWrite().empty() && rel.find(FailWrite()) != std::string::npos) return platform::Status::kRetryable;
    }
    return platform::RealFileCalls().open(name, o, out);
  }
  static bool Move(const platform::FileName& from, const platform::FileName& to) {
    if (!Relative(to).empty()) Events().push_back("rename " + Relative(to));
    return platform::RealFileCalls().move_file(from, to);
  }

  explicit WriteRecorder(const std::string& tree, const std::string& fail_write = std::string()) {
    Root() = platform::JoinPath(tree, "");
    FailWrite() = fail_write;
    Events().clear();
    platform::FileCalls().open = &Open;
    platform::FileCalls().move_file = &Move;
  }
  // The renamed names, in order.
  std::vector<std::string> Renamed() const {
    std::vector<std::string> out;
    for (const std::string& e : Events())
      if (e.rfind("rename ", 0) == 0) out.push_back(e.substr(7));
    return out;
  }

  platform::ScopedFileCallsOverride restore;
};

// Every write of a publication goes to a temporary that is renamed; the
// documents follow every package, latest-version.xml follows everything, its
// signature just before it; the tree keeps no temporary.
void ExpectSafeOrder(const WriteRecorder& r) {
  for (const std::string& e : WriteRecorder::Events()) {
    if (e.rfind("write ", 0) != 0) continue;
    const std::string name = platform::BaseName(e.substr(6));
    EXPECT_TRUE(name[0] == '.' && name.find(".tmp-") != std::string::npos) << "written in place: " << e;
  }
  const std::vector<std::string> renamed = r.Renamed();
  ASSERT_GE(renamed.size(), 2u);
  EXPECT_EQ(renamed[renamed.size() - 2], "latest-version.xml.sig");
  EXPECT_EQ(renamed.back(), "latest-version.xml");
  int last_package = -1, first_document = static_cast<int>(renamed.size());
  for (int i = 0; i < static_cast<int>(renamed.size()); ++i) {
    // Stored content (packages, the per-file store) before any document.
    if (renamed[i].rfind("packages/", 0) == 0 || renamed[i].rfind("files/", 0) == 0) last_package = i;
    else first_document = std::min(first_document, i);
  }
  EXPECT_LT(last_package, first_document);
}

std::vector<std::string> Temporaries(const std::string& tree) {
  std::vector<std::string> found;
  std::error_code ec;
  for (auto it = std::filesystem::recursive_directory_iterator(tree, ec);
       !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
    if (it->path().filename().string().find(".tmp-") != std::string::npos) found.push_back(it->path().string());
  }
  return found;
}

publisher::Publication Next(const std::string& tree, SigningSeeds seeds) {
  publisher::Publication pub;
  pub.seeds = std::move(seeds);
  std::string error;
  EXPECT_TRUE(publisher::NextPublication(tree, publisher::kDefaultValidDays, &pub, &error)) << error;
  return pub;
}

TEST(SafePublishing, AChainIsWrittenThroughTemporariesPackagesFirstAndRepublishedWithoutRewritingThem) {
  testkit::TempDir dir;
  const std::string tree = dir / "tree";
  const SigningSeed seed = NewSeed();
  publisher::Description d = Chain();
  d.packages[0].full.present = true;
  std::vector<std::string> lines;
  std::string error;
  {
    WriteRecorder r(tree);
    ASSERT_TRUE(publisher::PublishTree(d, kProgram, tree, Next(tree, {seed}), &lines, &error)) << error;
    ExpectSafeOrder(r);
    // Three packages; two version.xml and latest-version.xml, each with its signature.
    EXPECT_EQ(r.Renamed().size(), 3u + 6);
  }
  EXPECT_TRUE(Temporaries(tree).empty()) << Temporaries(tree).front();
  {
    // The same chain again: the packages hold their bytes already.
    WriteRecorder r(tree);
    ASSERT_TRUE(publisher::PublishTree(d, kProgram, tree, Next(tree, {seed}), &lines, &error)) << error;
    ExpectSafeOrder(r);
    for (const std::string& e : WriteRecorder::Events())
      EXPECT_EQ(e.find("packages/"), std::string::npos) << "rewritten: " << e;
  }
  std::vector<std::string> problems;
  EXPECT_TRUE(publisher::VerifyTree(tree, KeyOf(seed), &problems)) << problems.front();
  EXPECT_NE(Read(tree + "/latest-version.xml").find("<serial>2</serial>"), std::string::npos);
}

TEST(SafePublishing, TheNewestVersionMovesBackwardsOnlyWithForce) {
  testkit::TempDir dir;
  const std::string tree = dir / "tree";
  std::vector<std::string> lines;
  std::string error;
  ASSERT_TRUE(publisher::PublishTree(Chain(), kProgram, tree, Next(tree, {}), &lines, &error)) << error;
  const std::string before = Read(tree + "/latest-version.xml");
  publisher::Description older = Chain();
  older.latest = "1.0.0.2";
  older.packages.pop_back();
  older.packages[0].files[0].data = "changed\n";
  const std::string package = tree + "/packages/update_1.0.0.1_to_1.0.0.2" + platform::kExeSuffix;
  const std::string package_before = Read(package);
  EXPECT_FALSE(publisher::PublishTree(older, kProgram, tree, Next(tree, {}), &lines, &error));
  EXPECT_NE(error.find("the tree's newest version is 1.0.0.3 and this publication's is 1.0.0.2"), std::string::npos)
      << error;
  EXPECT_NE(error.find("--force"), std::string::npos) << error;
  EXPECT_EQ(Read(tree + "/latest-version.xml"), before);
  EXPECT_EQ(Read(package), package_before);  // refused before anything is written

  // Nor over a newest version that is no version text.
  ASSERT_TRUE(platform::WriteStringToFile(tree + "/latest-version.xml", "<lastversionnum>next</lastversionnum>\r\n"));
  EXPECT_FALSE(publisher::PublishTree(Chain(), kProgram, tree, Next(tree, {}), &lines, &error));
  EXPECT_NE(error.find("cannot tell whether 1.0.0.3 is older than the tree's newest version next"), std::string::npos)
      << error;
  ASSERT_TRUE(platform::WriteStringToFile(tree + "/latest-version.xml", before));

  publisher::Publication forced = Next(tree, {});
  forced.force = true;
  ASSERT_TRUE(publisher::PublishTree(older, kProgram, tree, forced, &lines, &error)) << error;
  EXPECT_NE(Read(tree + "/latest-version.xml").find("<lastversionnum>1.0.0.2<"), std::string::npos);
  EXPECT_NE(Read(package), package_before);
}

TEST(SafePublishing, AVersionDocumentThatCannotBeWrittenLeavesLatestVersionAsItWas) {
  testkit::TempDir dir;
  const std::string tree = dir / "tree";
  const SigningSeed seed = NewSeed();
  std::vector<std::string> lines;
  std::string error;
  ASSERT_TRUE(publisher::PublishTree(Chain(), kProgram, tree, Next(tree, {seed}), &lines, &error)) << error;
  const std::string latest = Read(tree + "/latest-version.xml"), sig = Read(tree + "/latest-version.xml.sig");
  const std::string info = Read(tree + "/1.0.0.2/version.xml");
  {
    WriteRecorder r(tree, "1.0.0.2/.version.xml.tmp-");
    EXPECT_FALSE(publisher::PublishTree(Chain(), kProgram, tree, Next(tree, {seed}), &lines, &error));
    EXPECT_NE(error.find("version.xml"), std::string::npos) << error;
  }
  EXPECT_EQ(Read(tree + "/latest-version.xml"), latest);
  EXPECT_EQ(Read(tree + "/latest-version.xml.sig"), sig);
  EXPECT_EQ(Read(tree + "/1.0.0.2/version.xml"), info);
  EXPECT_TRUE(Temporaries(tree).empty()) << Temporaries(tree).front();
}

// A small release: three versions of a client without engine packages.
bool SmallRelease(const testkit::TempDir& dir, const publisher::Publication& pub, std::string* error) {
  for (const auto& [version, text] :
       {std::pair<std::string, std::string>{"1.0.0.1", "one"}, {"1.0.0.2", "two"}, {"1.0.0.3", "three"}}) {
    platform::MakeDirectories(dir / ("builds/" + version + "/data"));
    platform::WriteStringToFile(dir / ("builds/" + version + "/data/a.txt"), text + std::string(200, '.'));
  }
  std::vector<std::string> lines;
  return publisher::BuildRelease(dir / "builds", dir / "out", "http://127.0.0.1:1/base/", BuiltProgram("delta_setup"),
                                 BuiltProgram("Gleaner"), pub, &lines, error);
}

TEST(SafePublishing, AReleaseKeepsItsPackagesAndRefusesOneWithOtherBytes) {
  testkit::TempDir dir;
  const std::string tree = dir / "out";
  const SigningSeed seed = NewSeed();
  std::string error;
  {
    WriteRecorder r(tree);
    ASSERT_TRUE(SmallRelease(dir, Next(tree, {seed}), &error)) << error;
    ExpectSafeOrder(r);
    const std::vector<std::string> renamed = r.Renamed();
    EXPECT_EQ(renamed[renamed.size() - 3], "news.html");
  }
  EXPECT_TRUE(Temporaries(tree).empty()) << Temporaries(tree).front();
  {
    WriteRecorder r(tree);
    ASSERT_TRUE(SmallRelease(dir, Next(tree, {seed}), &error)) << error;
    for (const std::string& e : WriteRecorder::Events())
      EXPECT_EQ(e.find("packages/"), std::string::npos) << "rewritten: " << e;
  }
  std::vector<std::string> problems;
  EXPECT_TRUE(publisher::VerifyTree(tree, KeyOf(seed), &problems)) << problems.front();

  // A file at a package's address that is not the package stays as it is,
  // and the publication stops before its documents.
  std::string doc = Read(tree + "/1.0.0.1/version.xml");
  const size_t at = doc.find("packages/", doc.find("<packageurl>"));
  const std::string rel = doc.substr(at, doc.find("</packageurl>") - at);
  const std::string package = tree + "/" + rel;
  std::string bytes = Read(package);
  bytes[bytes.size() / 2] ^= 1;
  ASSERT_TRUE(platform::WriteStringToFile(package, bytes));
  const std::string latest = Read(tree + "/latest-version.xml");
  EXPECT_FALSE(SmallRelease(dir, Next(tree, {seed}), &error));
  EXPECT_NE(error.find("exists with other bytes"), std::string::npos) << error;
  EXPECT_NE(error.find("never rewritten"), std::string::npos) << error;
  EXPECT_EQ(Read(package), bytes);
  EXPECT_EQ(Read(tree + "/latest-version.xml"), latest);
  EXPECT_EQ(Read(tree + "/1.0.0.1/version.xml"), doc);
}

// The lines of `publish status` that start with `prefix`.
std::vector<std::string> LinesStarting(const std::vector<std::string>& lines, const std::string& prefix) {
  std::vector<std::string> out;
  for (const std::string& l : lines)
    if (l.rfind(prefix, 0) == 0) out.push_back(l);
  return out;
}

TEST(TreeStatus, NewestDatesChannelsAndTheRouteFromEachVersion) {
  testkit::TempDir dir;
  const std::string tree = dir / "tree";
  publisher::Description d = Chain();
  d.packages[0].full.present = true;
  std::vector<std::string> lines;
  std::string error;
  ASSERT_TRUE(publisher::PublishTree(d, kProgram, tree, Next(tree, {NewSeed()}), &lines, &error)) << error;
  const std::string exe = platform::kExeSuffix;
  const int64_t a = platform::FileSize(tree + "/packages/update_1.0.0.1_to_1.0.0.2" + exe);
  const int64_t b = platform::FileSize(tree + "/packages/update_1.0.0.2_to_1.0.0.3" + exe);
  const int64_t full = platform::FileSize(tree + "/packages/full_1.0.0.1_to_1.0.0.2" + exe);
  ASSERT_GT(a, 0);
  // Elements others may add to latest-version.xml, and a channel.
  std::string latest = Read(tree + "/latest-version.xml");
  ASSERT_TRUE(platform::WriteStringToFile(tree + "/latest-version.xml",
                                          latest + "<heldversionnum>1.0.0.2</heldversionnum>\r\n<rollout>25</rollout>\r\n"));
  ASSERT_TRUE(platform::MakeDirectories(tree + "/beta"));
  ASSERT_TRUE(platform::WriteStringToFile(tree + "/beta/latest-version.xml",
                                          "<lastversionnum>1.0.0.4</lastversionnum>\r\n<rollout>5</rollout>\r\n"));

  lines.clear();
  ASSERT_TRUE(publisher::TreeStatus(tree, &lines, &error)) << error;
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines[0].rfind("newest 1.0.0.3  serial 1, expires ", 0), 0u) << lines[0];
  EXPECT_NE(lines[0].find("(in 7 days)"), std::string::npos) << lines[0];
  EXPECT_EQ(LinesStarting(lines, "heldversionnum"), std::vector<std::string>{"heldversionnum 1.0.0.2"});
  EXPECT_EQ(LinesStarting(lines, "rollout"), std::vector<std::string>{"rollout 25"});
  const std::vector<std::string> channel = LinesStarting(lines, "channel ");
  ASSERT_EQ(channel.size(), 1u);
  EXPECT_EQ(channel[0].rfind("channel beta: newest 1.0.0.4  serial (none), expires (never", 0), 0u) << channel[0];
  EXPECT_NE(channel[0].find(", rollout 5"), std::string::npos) << channel[0];
  EXPECT_EQ(LinesStarting(lines, "from "),
            (std::vector<std::string>{
                "from 1.0.0.1: 1.0.0.1 -> 1.0.0.2 -> 1.0.0.3, 2 packages, " + std::to_string(a + b) + " bytes",
                "from 1.0.0.2: 1.0.0.2 -> 1.0.0.3, 1 package, " + std::to_string(b) + " bytes"}));
  EXPECT_EQ(LinesStarting(lines, "  1.0.0.1 -> 1.0.0.2"),
            std::vector<std::string>{"  1.0.0.1 -> 1.0.0.2: update_1.0.0.1_to_1.0.0.2" + exe + " " + std::to_string(a) +
                                     " bytes; full fallback full_1.0.0.1_to_1.0.0.2" + exe + " " +
                                     std::to_string(full) + " bytes"});
  EXPECT_EQ(LinesStarting(lines, "  1.0.0.2 -> 1.0.0.3").size(), 2u);  // once on each route

  // Unsigned: sizes from the files in the tree; a route that breaks off.
  const std::string plain = dir / "plain";
  ASSERT_TRUE(publisher::PublishTree(Chain(), kProgram, plain, Next(plain, {}), &lines, &error)) << error;
  ASSERT_TRUE(platform::RemoveFile(plain + "/packages/update_1.0.0.2_to_1.0.0.3" + exe));
  lines.clear();
  ASSERT_TRUE(publisher::TreeStatus(plain, &lines, &error)) << error;
  EXPECT_EQ(lines[0], "newest 1.0.0.3  serial (none), expires (never: an undated tree)");
  EXPECT_EQ(LinesStarting(lines, "from 1.0.0.2"),
            std::vector<std::string>{"from 1.0.0.2: 1.0.0.2 -> 1.0.0.3, 1 package, at least 0 bytes"});
  EXPECT_NE(LinesStarting(lines, "  1.0.0.1 -> 1.0.0.2")[0].find(std::to_string(a) + " bytes; no full fallback"),
            std::string::npos);
  ASSERT_TRUE(platform::RemoveFile(plain + "/1.0.0.2/version.xml"));
  lines.clear();
  ASSERT_TRUE(publisher::TreeStatus(plain, &lines, &error)) << error;
  EXPECT_EQ(LinesStarting(lines, "from "),
            std::vector<std::string>{
                "from 1.0.0.1: 1.0.0.1 -> 1.0.0.2, does not reach 1.0.0.3: stops at 1.0.0.2: no 1.0.0.2/version.xml"});

  EXPECT_FALSE(publisher::TreeStatus(dir / "none", &lines, &error));
  EXPECT_NE(error.find("no readable latest-version.xml"), std::string::npos) << error;
}

// Three versions: a file every version shares, one that changes each time,
// one only the last has, and a version store the setup program writes.
bool StoreRelease(const testkit::TempDir& dir, const publisher::Publication& pub, std::vector<std::string>* lines,
                  std::string* error) {
  for (const auto& [version, text] :
       {std::pair<std::string, std::string>{"1.0.0.1", "one"}, {"1.0.0.2", "two"}, {"1.0.0.3", "three"}}) {
    platform::MakeDirectories(dir / ("builds/" + version + "/System"));
    platform::WriteStringToFile(dir / ("builds/" + version + "/System/shared.u"), std::string(5000, 's'));
    platform::WriteStringToFile(dir / ("builds/" + version + "/data a.txt"), text + std::string(300, '.'));
    platform::WriteStringToFile(dir / ("builds/" + version + "/dovra_version.ini"), "[version]\n");
  }
  platform::WriteStringToFile(dir / "builds/1.0.0.3/System/new.bin", "new");
  return publisher::BuildRelease(dir / "builds", dir / "out", "http://127.0.0.1:1/base/", BuiltProgram("delta_setup"),
                                 BuiltProgram("Gleaner"), pub, lines, error);
}

std::vector<std::string> StoreNames(const std::string& tree) {
  std::vector<platform::DirEntry> entries;
  platform::ListDirectory(tree + "/files", &entries);
  std::vector<std::string> names;
  for (const platform::DirEntry& e : entries)
    if (e.name != "." && e.name != "..") names.push_back(e.name);
  std::sort(names.begin(), names.end());
  return names;
}

TEST(FileStore, EachDistinctFileOnceAndASignedManifestPerVersion) {
  testkit::TempDir dir;
  const std::string tree = dir / "out";
  const SigningSeed seed = NewSeed();
  std::vector<std::string> lines;
  std::string error;
  {
    WriteRecorder r(tree);
    ASSERT_TRUE(StoreRelease(dir, Next(tree, {seed}), &lines, &error)) << error;
    ExpectSafeOrder(r);
    // Every manifest before the version documents that lead to it.
    const std::vector<std::string> renamed = r.Renamed();
    const auto first_info = std::find(renamed.begin(), renamed.end(), "1.0.0.1/version.xml");
    for (const char* v : {"1.0.0.1", "1.0.0.2", "1.0.0.3"})
      EXPECT_LT(std::find(renamed.begin(), renamed.end(), std::string(v) + "/files.txt"), first_info) << v;
  }
  EXPECT_NE(std::find(lines.begin(), lines.end(), "file store: 5 distinct files in 3 versions, 5 new (" +
                                                      std::to_string([&] {
                                                        uint64_t n = 0;
                                                        for (const std::string& f : StoreNames(tree))
                                                          n += platform::FileSize(tree + "/files/" + f);
                                                        return n;
                                                      }()) +
                                                      " bytes stored)"),
            lines.end());
  // shared.u once, three data a.txt, new.bin: five store files.
  EXPECT_EQ(StoreNames(tree).size(), 5u);
  for (const char* v : {"1.0.0.1", "1.0.0.2", "1.0.0.3"}) {
    const std::string text = Read(tree + "/" + v + "/files.txt");
    EXPECT_TRUE(VerifyDetached(KeyOf(seed), text, Read(tree + "/" + v + "/files.txt.sig"))) << v;
    release::FileManifest m;
    ASSERT_TRUE(release::ParseFileManifest(text, &m, &error)) << error;
    EXPECT_EQ(m.version, v);
    std::vector<std::string> paths;
    for (const release::ManifestFile& f : m.files) {
      paths.push_back(f.path);
      const std::string raw = Read(dir / ("builds/" + std::string(v) + "/" + f.path));
      EXPECT_EQ(f.sha256, delta_package::Sha256Of(raw));
      EXPECT_EQ(f.size, raw.size());
      const std::string stored = Read(tree + "/" + release::StoredFileAddress(f.sha256));
      EXPECT_EQ(f.stored, stored.size());
      std::string back;
      ASSERT_TRUE(delta_package::Uncompress(stored, f.size, &back));
      EXPECT_EQ(back, raw);
    }
    // The version store is the setup program's: never listed.
    std::vector<std::string> want = {"System/shared.u", "data a.txt"};
    if (std::string(v) == "1.0.0.3") want.insert(want.begin(), "System/new.bin");
    EXPECT_EQ(paths, want) << v;
  }
  // The shared file is compressed: it costs less than it holds.
  EXPECT_LT(platform::FileSize(tree + "/files/" + delta_package::Sha256Of(std::string(5000, 's'))), 200);
  std::vector<std::string> problems;
  EXPECT_TRUE(publisher::VerifyTree(tree, KeyOf(seed), &problems)) << problems.front();

  // Published again: no store file is written, each is kept as it is.
  {
    WriteRecorder r(tree);
    lines.clear();
    ASSERT_TRUE(StoreRelease(dir, Next(tree, {seed}), &lines, &error)) << error;
    ExpectSafeOrder(r);
    for (const std::string& e : WriteRecorder::Events()) EXPECT_EQ(e.find("files/"), std::string::npos) << e;
  }
  EXPECT_NE(std::find(lines.begin(), lines.end(), "file store: 5 distinct files in 3 versions, 0 new (0 bytes stored)"),
            lines.end());

  // A refresh with another key re-signs the file lists too: the tree
  // verifies with the new key alone.
  const SigningSeed rotated = NewSeed();
  lines.clear();
  ASSERT_TRUE(publisher::RefreshTree(tree, Next(tree, {rotated}), &lines, &error)) << error;
  EXPECT_NE(std::find(lines.begin(), lines.end(), "3 files.txt re-signed"), lines.end());
  problems.clear();
  EXPECT_TRUE(publisher::VerifyTree(tree, KeyOf(rotated), &problems)) << problems.front();
}

TEST(FileStore, VerifyFindsEachFaultAndAStoreFileWithOtherBytesStopsThePublication) {
  testkit::TempDir dir;
  const std::string tree = dir / "out";
  const SigningSeed seed = NewSeed();
  std::vector<std::string> lines;
  std::string error;
  ASSERT_TRUE(StoreRelease(dir, Next(tree, {seed}), &lines, &error)) << error;
  const std::string shared = "files/" + delta_package::Sha256Of(std::string(5000, 's'));
  const std::string neu = "files/" + delta_package::Sha256Of("new");
  const std::string a3 = "files/" + delta_package::Sha256Of("three" + std::string(300, '.'));
  // Other bytes, compressed as the store keeps them; one file gone; one
  // that does not inflate; a manifest changed after signing.
  const std::string other = delta_package::Compress(std::string(5000, 't'));
  ASSERT_TRUE(platform::WriteStringToFile(tree + "/" + shared, other));
  ASSERT_TRUE(platform::RemoveFile(tree + "/" + neu));
  std::string damaged = Read(tree + "/" + a3);
  damaged[damaged.size() / 2] ^= 0x40;
  ASSERT_TRUE(platform::WriteStringToFile(tree + "/" + a3, damaged));
  std::string manifest = Read(tree + "/1.0.0.1/files.txt");
  const std::string signed_manifest = manifest;
  manifest.replace(manifest.find("System/shared.u"), 15, "System/shared.v");
  ASSERT_TRUE(platform::WriteStringToFile(tree + "/1.0.0.1/files.txt", manifest));

  std::vector<std::string> problems;
  EXPECT_FALSE(publisher::VerifyTree(tree, KeyOf(seed), &problems));
  auto has = [&](const std::string& what) {
    return std::any_of(problems.begin(), problems.end(),
                       [&](const std::string& p) { return p.find(what) != std::string::npos; });
  };
  EXPECT_TRUE(has("1.0.0.1/files.txt: signature does not verify")) << testing::PrintToString(problems);
  EXPECT_TRUE(has(neu + ": missing (1.0.0.3/files.txt lists it as System/new.bin)")) << testing::PrintToString(problems);
  EXPECT_TRUE(has(a3 + ": ")) << testing::PrintToString(problems);
  EXPECT_TRUE(has(shared + ": ")) << testing::PrintToString(problems);
  EXPECT_EQ(problems.size(), 4u) << testing::PrintToString(problems);

  // A release over it keeps the store file with other bytes and stops
  // before any document changes.
  ASSERT_TRUE(platform::WriteStringToFile(tree + "/1.0.0.1/files.txt", signed_manifest));
  const std::string latest = Read(tree + "/latest-version.xml");
  EXPECT_FALSE(StoreRelease(dir, Next(tree, {seed}), &lines, &error));
  EXPECT_NE(error.find(shared.substr(6) + " exists and inflates to other bytes"), std::string::npos) << error;
  EXPECT_EQ(Read(tree + "/" + shared), other);
  EXPECT_EQ(Read(tree + "/latest-version.xml"), latest);
  EXPECT_EQ(Read(tree + "/1.0.0.1/files.txt"), signed_manifest);
}

}  // namespace
