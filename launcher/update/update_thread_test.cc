// The update engine run by the real launcher, without its window, against a
// real HTTP server serving a tree made by the publisher tool.
#include "launcher/update/update_thread.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <sstream>

#include "delta_setup/delta_format.h"
#include "launcher/log/logger.h"
#include "launcher/release/file_manifest.h"
#include "launcher/release/rollout.h"
#include "launcher/release/signature.h"
#include "launcher/release/text.h"
#include "launcher/release/version_documents.h"
#include "launcher/update/digest.h"
#include "launcher/update/install_path.h"
#include "launcher/update/update_control.h"
#include "platform/env.h"
#include "platform/file.h"
#include "platform/ini.h"
#include "platform/path.h"
#include "platform/process.h"
#include "testing/client_install.h"
#include "testing/fault_server.h"
#include "testing/file_faults.h"
#include "testing/nginx_server.h"
#include "testing/testing.h"
#include "testing/write_watch.h"
#include "win_dl_net/data_sink.h"
#include "win_dl_net/file_fetch.h"
#include "win_dl_net/segment_policy.h"

namespace {

using platform::kPathSep;
using testkit::BuiltProgram;

const std::string& kLauncher = testkit::kLauncherFile;

TEST(UpdateThreadTest, SetupCommandLineAndPackageName) {
  EXPECT_EQ(SetupCommandLine("C:\\g\\update\\p.exe", "C:\\g\\"), "C:\\g\\update\\p.exe /USERNAME=Renewel /D=C:\\g\\");
  EXPECT_EQ(SetupCommandLine("C:\\My Games\\update\\p.exe", "C:\\My Games\\"),
            "\"C:\\My Games\\update\\p.exe\" /USERNAME=Renewel /D=C:\\My Games\\");
  EXPECT_EQ(PackageFileName("http://h/dir/pkg.exe"), "pkg.exe");
  EXPECT_EQ(PackageFileName("http://h/dir\\pkg.exe"), "pkg.exe");
  EXPECT_EQ(PackageFileName("pkg.exe"), "pkg.exe");
}

// A client install with the launcher in temp/, as the player's launcher leaves
// it, and a server tree published from a description.
class UpdateFlowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!NginxServer::Available()) GTEST_SKIP() << "nginx is not installed";
    ASSERT_TRUE(client_.AddLauncher("temp"));
    ASSERT_TRUE(client_.AddVersionLibrary());
    ASSERT_TRUE(server_.Start(tree_));
  }

  void SetClient(const std::string& version, const std::string& url) { client_.SetClient(version, url); }
  std::string ClientVersion() { return client_.ClientVersion(); }

  // Publishes `body` (package lines) with latest version `latest` into
  // `out` (the served tree by default), signed with `key_file` when given.
  void Publish(const std::string& latest, const std::string& body, const std::string& key_file = std::string(),
               const std::string& out = std::string()) {
    ASSERT_TRUE(client_.Publish(server_.Url(""), latest, body, key_file, out));
  }

  // Serves `content` as data/big.bin of the one package 1.0.0.1 -> 1.0.0.2,
  // from a server limited to `rate` ("300k"), with the client at 1.0.0.1.
  void ServeBigPackage(const std::string& content, const std::string& rate) {
    ASSERT_TRUE(platform::WriteStringToFile(client_.Scratch("big.bin"), content));
    server_.Stop();
    ASSERT_TRUE(server_.Start(tree_, "limit_rate " + rate + ";"));
    Publish("1.0.0.2", "package 1.0.0.1 1.0.0.2\n file data/big.bin " + client_.Scratch("big.bin") + "\n");
    SetClient("1.0.0.1", server_.Url(""));
  }

  // A new publisher key in the scratch file `name`; its public key text.
  std::string MakeKey(const std::string& name) { return client_.MakeKey(name); }
  std::string KeyFile(const std::string& name) const { return client_.Scratch(name); }
  // Gives the launcher's resource library the publisher key string 803.
  void SetClientKey(const std::string& text) {
    ASSERT_TRUE(platform::SetProfileString("strings", "803", text, temp_ + "Quillfen.ini"));
  }
  // Whether any package was asked for.
  bool AnyPackageRequested() const {
    for (const auto& l : server_.AccessLog()) {
      if (l.uri.find("/packages/") != std::string::npos) return true;
    }
    return false;
  }
  std::string DocPath(const std::string& relative) const {
    std::string p = tree_ + relative;
    for (char& c : p) {
      if (c == '/') c = kPathSep;
    }
    return p;
  }
  // Replaces the text of <element> in a served document.
  void ReplaceElement(const std::string& doc_path, const std::string& element, const std::string& value) {
    std::string doc;
    ASSERT_TRUE(platform::ReadFileToString(doc_path, &doc));
    const std::string open = "<" + element + ">";
    size_t a = doc.find(open), b = doc.find("</" + element + ">");
    ASSERT_NE(a, std::string::npos) << element;
    ASSERT_LT(a, b);
    doc.replace(a + open.size(), b - a - open.size(), value);
    ASSERT_TRUE(platform::WriteStringToFile(doc_path, doc));
  }
  size_t Count(const std::string& text) const { return client_.Count(text); }

  // Runs the temp copy with "-c update" until it ends.
  std::unique_ptr<platform::Process> StartEngine() {
    return platform::StartProcess(platform::QuoteArgument(temp_ + kLauncher) + " -c update", install_);
  }
  void RunEngine() {
    auto p = StartEngine();
    ASSERT_NE(p, nullptr);
    ASSERT_TRUE(p->WaitFor(120000)) << Log();
    EXPECT_EQ(p->ExitCode(), 0);
  }

  std::string Log() const { return client_.Log(); }
  std::string FinalState() const { return client_.FinalState(); }
  bool Requested(const std::string& suffix) const {
    for (const auto& l : server_.AccessLog()) {
      if (l.uri.size() >= suffix.size() && l.uri.compare(l.uri.size() - suffix.size(), suffix.size(), suffix) == 0)
        return true;
    }
    return false;
  }
  // Each text must appear after the one before it.
  ::testing::AssertionResult InOrder(const std::vector<std::string>& texts) const { return client_.InOrder(texts); }

  testkit::ClientInstall client_;
  const std::string install_ = client_.Path();
  const std::string temp_ = client_ / "temp" + kPathSep;
  const std::string tree_ = client_.Tree();
  NginxServer server_;
};

TEST_F(UpdateFlowTest, UpToDateAndNewerAskForNoVersionInfo) {
  Publish("1.0.0.8", "");
  SetClient("1.0.0.8", server_.Url(""));
  RunEngine();
  EXPECT_EQ(FinalState(), "5");
  SetClient("1.0.0.9", server_.Url(""));
  RunEngine();
  EXPECT_EQ(FinalState(), "5");
  // latest-version.xml, and nothing else, twice.
  const auto requests = server_.AccessLog();
  EXPECT_EQ(requests.size(), 2u);
  for (const auto& l : requests) EXPECT_EQ(l.uri, "/latest-version.xml");
}

TEST_F(UpdateFlowTest, ChainOfTwoPackages) {
  Publish("1.0.0.3",
          "package 1.0.0.1 1.0.0.2\n text data/one.txt first\n"
          "package 1.0.0.2 1.0.0.3\n text data/two.txt second\n");
  SetClient("1.0.0.1", server_.Url(""));
  RunEngine();
  EXPECT_EQ(ClientVersion(), "1.0.0.3");
  EXPECT_EQ(FinalState(), "5");
  EXPECT_TRUE(platform::Exists(install_ + "data" + kPathSep + "two.txt"));
  EXPECT_TRUE(InOrder({"latest-version:1.0.0.3,mLocalVersion:1.0.0.1", "Download version.xml file succes",
                       "destversion:1.0.0.2,localversion:1.0.0.1", "Download package address:",
                       "update package md5 check success", "setup package successed",
                       "latest-version:1.0.0.3,mLocalVersion:1.0.0.2", "destversion:1.0.0.3,localversion:1.0.0.2",
                       "setup package successed", "latest-version:1.0.0.3,mLocalVersion:1.0.0.3",
                       "download thread tun return", "update ended: 5"}));
  // Each package went once its step was confirmed: update/ keeps no package.
  EXPECT_EQ(Count("installed package removed:"), 2u);
  std::vector<platform::DirEntry> kept;
  ASSERT_TRUE(platform::ListDirectory(install_ + "update", &kept));
  for (const platform::DirEntry& e : kept) {
    if (e.name != "." && e.name != "..") ADD_FAILURE() << "update/ still holds " << e.name;
  }
  // Without a key: one warning per pass, and nothing signed is asked for.
  EXPECT_EQ(Count("the update channel is not signed: no publisher key (resource string 803)"), 3u);
  EXPECT_FALSE(Requested(".sig"));
}

const char kUnsignedWarning[] = "the update channel is not signed";

TEST_F(UpdateFlowTest, SignedChainOfTwoPackages) {
  const std::string key = MakeKey("publisher.key");
  ASSERT_EQ(key.size(), 44u);
  Publish("1.0.0.3",
          "package 1.0.0.1 1.0.0.2\n text data/one.txt first\n"
          "package 1.0.0.2 1.0.0.3\n text data/two.txt second\n",
          KeyFile("publisher.key"));
  SetClientKey(key);
  SetClient("1.0.0.1", server_.Url(""));
  RunEngine();
  EXPECT_EQ(FinalState(), "5") << Log();
  EXPECT_EQ(ClientVersion(), "1.0.0.3");
  EXPECT_TRUE(platform::Exists(install_ + "data" + kPathSep + "two.txt"));
  EXPECT_TRUE(InOrder({"signature of latest-version.xml verified", "latest-version:1.0.0.3,mLocalVersion:1.0.0.1",
                       "Download version.xml file succes", "signature of version.xml verified",
                       "destversion:1.0.0.2,localversion:1.0.0.1", "update package md5 check success",
                       "update package sha256 check success", "setup package successed",
                       "signature of latest-version.xml verified", "signature of version.xml verified",
                       "destversion:1.0.0.3,localversion:1.0.0.2", "update package sha256 check success",
                       "setup package successed", "signature of latest-version.xml verified",
                       "latest-version:1.0.0.3,mLocalVersion:1.0.0.3", "update ended: 5"}));
  EXPECT_EQ(Count(kUnsignedWarning), 0u);
  EXPECT_TRUE(Requested("/1.0.0.2/version.xml.sig"));
}

// An attacker who can change what the server sends (but has no key) swaps
// the package address and its SHA-1 for their own package.
TEST_F(UpdateFlowTest, VersionXmlChangedAfterSigningIsRefused) {
  const std::string key = MakeKey("publisher.key");
  Publish("1.0.0.2", "package 1.0.0.1 1.0.0.2\n text data/one.txt first\n", KeyFile("publisher.key"));
  // The attacker's package, with the correct SHA-1 of its bytes.
  const std::string evil_tree = client_.Scratch("evil") + kPathSep;
  Publish("1.0.0.2", "package 1.0.0.1 1.0.0.2\n text evil.txt owned\n", std::string(), evil_tree);
  const std::string name = std::string("update_1.0.0.1_to_1.0.0.2") + platform::kExeSuffix;
  ASSERT_TRUE(platform::CopyFileOver(evil_tree + "packages" + kPathSep + name,
                                     tree_ + "packages" + kPathSep + "evil" + platform::kExeSuffix));
  DigestContext sha1;
  ASSERT_TRUE(sha1.HashFile(evil_tree + "packages" + kPathSep + name));
  sha1.Final();
  ReplaceElement(DocPath("1.0.0.1/version.xml"), "packageurl",
                 server_.Url("packages/evil" + std::string(platform::kExeSuffix)));
  ReplaceElement(DocPath("1.0.0.1/version.xml"), "packagemd5", sha1.DigestText());

  SetClientKey(key);
  SetClient("1.0.0.1", server_.Url(""));
  RunEngine();
  EXPECT_EQ(FinalState(), "8") << Log();
  EXPECT_NE(Log().find("ERROR:"), std::string::npos);
  EXPECT_NE(Log().find("signature of version.xml does not verify with the publisher key,url:" +
                       server_.Url("1.0.0.1/version.xml.sig")),
            std::string::npos)
      << Log();
  EXPECT_FALSE(AnyPackageRequested());
  EXPECT_EQ(ClientVersion(), "1.0.0.1");
  EXPECT_FALSE(platform::Exists(install_ + "evil.txt"));

  // The same tree without a key installs the attacker's package: the
  // signature is what stopped it.
  SetClientKey("");
  RunEngine();
  EXPECT_TRUE(platform::Exists(install_ + "evil.txt"));
}

// Writes `text` at the served `relative` path, signed with the key file
// `key_file` (the publisher's own signing, for documents the tool would not
// write: expired or undated ones).
void SignAs(const std::string& key_file, const std::string& path, const std::string& text) {
  std::string seed_text, error;
  SigningSeed seed{};
  ASSERT_TRUE(platform::ReadFileToString(key_file, &seed_text) && DecodeSeedFile(seed_text, &seed));
  ASSERT_TRUE(release::WriteDocumentFile(path, text, SigningSeeds{seed}, &error)) << error;
}

// A signed channel takes only fresh documents: a latest-version.xml older
// than one this install has seen (the freeze), one past its expiry, an
// undated one, and a version.xml of another publication than the latest
// (mix and match) are refused before any package is asked for.
TEST_F(UpdateFlowTest, StaleAndReplayedDocumentsAreRefused) {
  const std::string key = MakeKey("publisher.key");
  ASSERT_FALSE(key.empty());
  const std::string body = "package 1.0.0.1 1.0.0.2\n text data/one.txt first\n";
  auto read = [&](const std::string& rel) {
    std::string s;
    EXPECT_TRUE(platform::ReadFileToString(DocPath(rel), &s)) << rel;
    return s;
  };
  auto run = [&](const std::string& version) {
    testkit::RemoveTree(install_ + "log");
    server_.ClearAccessLog();
    SetClient(version, server_.Url(""));
    RunEngine();
  };
  SetClientKey(key);

  // Two publications of the same tree, serials 1 and 2. The install, up to
  // date, has seen serial 2 and keeps it.
  Publish("1.0.0.2", body, KeyFile("publisher.key"));
  const std::string old_latest = read("latest-version.xml"), old_latest_sig = read("latest-version.xml.sig");
  const std::string old_info = read("1.0.0.1/version.xml"), old_info_sig = read("1.0.0.1/version.xml.sig");
  EXPECT_NE(old_latest.find("<serial>1</serial>"), std::string::npos) << old_latest;
  Publish("1.0.0.2", body, KeyFile("publisher.key"));
  EXPECT_NE(read("latest-version.xml").find("<serial>2</serial>"), std::string::npos);
  EXPECT_NE(read("1.0.0.1/version.xml").find("<serial>2</serial>"), std::string::npos);
  run("1.0.0.2");
  ASSERT_EQ(FinalState(), "5") << Log();
  std::string kept;
  ASSERT_TRUE(platform::ReadFileToString(install_ + "update-serial.txt", &kept));
  EXPECT_EQ(kept, "2");

  // The older latest-version.xml replayed: the freeze is refused, also for an
  // install that is behind it.
  const std::string fresh_latest = read("latest-version.xml"), fresh_latest_sig = read("latest-version.xml.sig");
  ASSERT_TRUE(platform::WriteStringToFile(DocPath("latest-version.xml"), old_latest));
  ASSERT_TRUE(platform::WriteStringToFile(DocPath("latest-version.xml.sig"), old_latest_sig));
  run("1.0.0.1");
  EXPECT_EQ(FinalState(), "3") << Log();
  EXPECT_NE(Log().find("latest-version.xml serial 1 is older than serial 2 already seen, update refused"),
            std::string::npos)
      << Log();
  EXPECT_FALSE(Requested("/1.0.0.1/version.xml"));
  EXPECT_EQ(ClientVersion(), "1.0.0.1");

  // The fresh latest with the older version.xml of the same step.
  ASSERT_TRUE(platform::WriteStringToFile(DocPath("latest-version.xml"), fresh_latest));
  ASSERT_TRUE(platform::WriteStringToFile(DocPath("latest-version.xml.sig"), fresh_latest_sig));
  ASSERT_TRUE(platform::WriteStringToFile(DocPath("1.0.0.1/version.xml"), old_info));
  ASSERT_TRUE(platform::WriteStringToFile(DocPath("1.0.0.1/version.xml.sig"), old_info_sig));
  run("1.0.0.1");
  EXPECT_EQ(FinalState(), "8") << Log();
  EXPECT_NE(Log().find("version.xml serial 1 does not match latest-version.xml serial 2"), std::string::npos) << Log();
  EXPECT_FALSE(AnyPackageRequested());

  // Signed by the publisher but expired: more than a day past its expiry is
  // refused, less is taken (clocks run slow or fast). Undated is refused.
  const int64_t now = platform::CurrentEnv().NowSeconds();
  struct Dated {
    std::string extra;
    const char* state;
    std::string line;
  };
  const std::string expired = release::FormatUtcTime(now - 25 * 3600);
  for (const Dated& d : {Dated{"<serial>3</serial>\r\n<expires>" + expired + "</expires>\r\n", "3",
                               "latest-version.xml expired at " + expired + ", update refused"},
                         Dated{"<serial>3</serial>\r\n<expires>" + release::FormatUtcTime(now - 23 * 3600) +
                                   "</expires>\r\n",
                               "5", ""},
                         Dated{"", "3", "latest-version.xml carries no readable serial and expiry, update refused"},
                         Dated{"<serial>3</serial>\r\n<expires>tomorrow</expires>\r\n", "3",
                               "latest-version.xml carries no readable serial and expiry, update refused"}}) {
    SCOPED_TRACE(d.extra);
    SignAs(KeyFile("publisher.key"), DocPath("latest-version.xml"),
           "<lastversionnum>1.0.0.2</lastversionnum>\r\n" + d.extra);
    run("1.0.0.2");
    EXPECT_EQ(FinalState(), d.state) << Log();
    if (!d.line.empty()) {
      EXPECT_NE(Log().find(d.line), std::string::npos) << Log();
    }
  }
  // The refused documents never lowered nor raised the kept serial past
  // what was accepted.
  ASSERT_TRUE(platform::ReadFileToString(install_ + "update-serial.txt", &kept));
  EXPECT_EQ(kept, "3");
}

// A release published ahead of its day: before availablefrom the launcher
// installs the steps to versions already out, fetches and checks the one
// that reaches the newest and keeps it; once the time has come it installs
// what it kept without asking for the package again.
TEST_F(UpdateFlowTest, PreloadBeforeReleaseDayInstallsFromTheKeptPackage) {
  const std::string key = MakeKey("publisher.key");
  Publish("1.0.0.3",
          "package 1.0.0.1 1.0.0.2\n text data/one.txt first\n"
          "package 1.0.0.2 1.0.0.3\n text data/two.txt second\n",
          KeyFile("publisher.key"));
  SetClientKey(key);
  std::string published;
  ASSERT_TRUE(platform::ReadFileToString(DocPath("latest-version.xml"), &published));
  release::LatestVersion latest;
  ASSERT_TRUE(release::ParseLatestVersion(published, &latest));
  auto available_from = [&](const std::string& when) {
    latest.availablefrom = when;
    SignAs(KeyFile("publisher.key"), DocPath("latest-version.xml"), release::WriteLatestVersion(latest));
  };
  auto run = [&](const std::string& version) {
    testkit::RemoveTree(install_ + "log");
    server_.ClearAccessLog();
    SetClient(version, server_.Url(""));
    RunEngine();
  };
  const int64_t now = platform::CurrentEnv().NowSeconds();
  const std::string kept = install_ + "update" + kPathSep + "update_1.0.0.2_to_1.0.0.3" + platform::kExeSuffix;

  available_from(release::FormatUtcTime(now + 3600));
  run("1.0.0.1");
  EXPECT_EQ(FinalState(), "17") << Log();
  EXPECT_EQ(ClientVersion(), "1.0.0.2");  // the version already out
  EXPECT_TRUE(platform::Exists(kept));
  EXPECT_FALSE(platform::Exists(install_ + "data" + kPathSep + "two.txt"));
  EXPECT_TRUE(InOrder({"destversion:1.0.0.3,localversion:1.0.0.2", "update package sha256 check success",
                       "version 1.0.0.3 pre-loaded, installs from " + *latest.availablefrom, "update ended: 17"}));
  EXPECT_TRUE(Requested("update_1.0.0.2_to_1.0.0.3" + std::string(platform::kExeSuffix)));

  // Another start before the day: the kept package is found, not fetched.
  run("1.0.0.2");
  EXPECT_EQ(FinalState(), "17") << Log();
  EXPECT_NE(Log().find("version 1.0.0.3 is pre-loaded and installs from"), std::string::npos) << Log();
  EXPECT_FALSE(AnyPackageRequested());

  // The day has come: installed from what was kept, documents checked as always.
  available_from(release::FormatUtcTime(now - 60));
  run("1.0.0.2");
  EXPECT_EQ(FinalState(), "5") << Log();
  EXPECT_EQ(ClientVersion(), "1.0.0.3");
  EXPECT_TRUE(platform::Exists(install_ + "data" + kPathSep + "two.txt"));
  EXPECT_NE(Log().find("installing the kept package, no download:" + kept), std::string::npos) << Log();
  EXPECT_TRUE(Requested("/1.0.0.2/version.xml.sig"));
  EXPECT_FALSE(AnyPackageRequested());
  EXPECT_FALSE(platform::Exists(kept));

  // A time that is not one ends the pass before any step.
  available_from("next friday");
  run("1.0.0.2");
  EXPECT_EQ(FinalState(), "3") << Log();
  EXPECT_NE(Log().find("latest-version.xml carries an unreadable availablefrom next friday"), std::string::npos);
  EXPECT_FALSE(Requested("/1.0.0.2/version.xml"));
}

// A publisher rotates keys: the tree signed with the old key and the new one
// serves installs that know either; then installs list both, and the tree
// drops the old key.
TEST_F(UpdateFlowTest, KeysRotateWithoutABreak) {
  const std::string old_key = MakeKey("old.key"), new_key = MakeKey("new.key");
  ASSERT_FALSE(old_key.empty() || new_key.empty());
  const std::string body = "package 1.0.0.1 1.0.0.2\n text data/one.txt first\n";
  ASSERT_TRUE(client_.PublishWith(server_.Url(""), "1.0.0.2", body,
                                  {"--key", KeyFile("old.key"), "--key", KeyFile("new.key")}));
  std::string sig;
  ASSERT_TRUE(platform::ReadFileToString(DocPath("latest-version.xml.sig"), &sig));
  EXPECT_EQ(std::count(sig.begin(), sig.end(), '\n'), 2);
  struct Step {
    std::string keys;
    const char* signer;  // null: both
    const char* state;
  };
  for (const Step& s : {Step{old_key, nullptr, "5"}, Step{new_key, nullptr, "5"},
                        Step{old_key + ", " + new_key, "new.key", "5"}, Step{old_key, "new.key", "3"}}) {
    SCOPED_TRACE(s.keys);
    if (s.signer) Publish("1.0.0.2", body, KeyFile(s.signer));
    testkit::RemoveTree(install_ + "log");
    platform::RemoveFile(install_ + "update-serial.txt");
    SetClientKey(s.keys);
    SetClient("1.0.0.1", server_.Url(""));
    RunEngine();
    EXPECT_EQ(FinalState(), s.state) << Log();
    EXPECT_EQ(ClientVersion(), std::string(s.state) == "5" ? "1.0.0.2" : "1.0.0.1");
  }
}

TEST_F(UpdateFlowTest, SignaturesThatDoNotServe) {
  const std::string key = MakeKey("publisher.key");
  ASSERT_FALSE(MakeKey("other.key").empty());
  const std::string body = "package 1.0.0.1 1.0.0.2\n text data/one.txt first\n";
  struct Case {
    const char* what;
    std::function<void()> damage;
    const char* state;
    const char* line;
  };
  const std::vector<Case> cases = {
      {"no latest-version.xml.sig", [&] { platform::RemoveFile(DocPath("latest-version.xml.sig")); }, "3",
       "signature of latest-version.xml not available,url:"},
      {"no version.xml.sig", [&] { platform::RemoveFile(DocPath("1.0.0.1/version.xml.sig")); }, "8",
       "signature of version.xml not available,url:"},
      {"signed by another key", [&] { Publish("1.0.0.2", body, KeyFile("other.key")); }, "3",
       "signature of latest-version.xml does not verify with the publisher key"},
      {"version.xml signed by another key",
       [&] {
         std::string good, good_sig;
         ASSERT_TRUE(platform::ReadFileToString(DocPath("latest-version.xml"), &good));
         ASSERT_TRUE(platform::ReadFileToString(DocPath("latest-version.xml.sig"), &good_sig));
         Publish("1.0.0.2", body, KeyFile("other.key"));
         ASSERT_TRUE(platform::WriteStringToFile(DocPath("latest-version.xml"), good));
         ASSERT_TRUE(platform::WriteStringToFile(DocPath("latest-version.xml.sig"), good_sig));
       },
       "8", "signature of version.xml does not verify with the publisher key"},
      {"a .sig that is not base64",
       [&] { ASSERT_TRUE(platform::WriteStringToFile(DocPath("latest-version.xml.sig"), "not a signature!\n")); },
       "3", "signature of latest-version.xml does not verify with the publisher key"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Publish("1.0.0.2", body, KeyFile("publisher.key"));
    c.damage();
    testkit::RemoveTree(install_ + "log");
    server_.ClearAccessLog();
    SetClientKey(key);
    SetClient("1.0.0.1", server_.Url(""));
    RunEngine();
    EXPECT_EQ(FinalState(), c.state) << Log();
    EXPECT_NE(Log().find(std::string("ERROR:")), std::string::npos);
    EXPECT_NE(Log().find(c.line), std::string::npos) << Log();
    EXPECT_FALSE(AnyPackageRequested());
    EXPECT_EQ(ClientVersion(), "1.0.0.1");
  }

  // A key string that does not decode: nothing is asked of any server.
  Publish("1.0.0.2", body, KeyFile("publisher.key"));
  for (const std::string& broken : {key.substr(0, 43), key + "A", std::string("not base64 at all"),
                                    key.substr(0, 40) + "====", std::string(44, '!'), key + ",", key + ";" + key}) {
    SCOPED_TRACE(broken);
    testkit::RemoveTree(install_ + "log");
    server_.ClearAccessLog();
    SetClientKey(broken);
    RunEngine();
    EXPECT_EQ(FinalState(), "2") << Log();
    EXPECT_NE(Log().find("publisher key (resource string 803) is not a list of base64 texts of 32 bytes, update refused"),
              std::string::npos);
    EXPECT_TRUE(server_.AccessLog().empty());
    EXPECT_EQ(Count(kUnsignedWarning), 0u);
  }
}

// A validly signed version.xml of another version served at this address.
TEST_F(UpdateFlowTest, SignedVersionXmlOfAnotherVersionIsRefused) {
  const std::string key = MakeKey("publisher.key");
  // 1.0.0.0's package would take 1.0.0.1 forward too: only fromversion
  // tells that the document is not for 1.0.0.1.
  Publish("1.0.0.5",
          "package 1.0.0.0 1.0.0.5\n text data/skip.txt skipped\n"
          "package 1.0.0.1 1.0.0.2\n text data/one.txt first\n",
          KeyFile("publisher.key"));
  for (const char* f : {"version.xml", "version.xml.sig"}) {
    ASSERT_TRUE(platform::CopyFileOver(DocPath(std::string("1.0.0.0/") + f), DocPath(std::string("1.0.0.1/") + f)));
  }
  SetClientKey(key);
  SetClient("1.0.0.1", server_.Url(""));
  RunEngine();
  EXPECT_EQ(FinalState(), "4") << Log();
  EXPECT_NE(Log().find("signed version.xml is published for version 1.0.0.0, not for the installed 1.0.0.1"),
            std::string::npos)
      << Log();
  EXPECT_FALSE(AnyPackageRequested());
  EXPECT_FALSE(platform::Exists(install_ + "data" + kPathSep + "skip.txt"));

  // Without the three elements (publisher told to leave one out); the tree's
  // newest version moves back, which the publisher does only when forced.
  ASSERT_TRUE(client_.PublishWith(server_.Url(""), "1.0.0.2", "package 1.0.0.1 1.0.0.2\n omit packagesha256\n",
                                  {"--key", KeyFile("publisher.key"), "--force"}));
  RunEngine();
  EXPECT_EQ(FinalState(), "4");
  EXPECT_NE(Log().find("signed version.xml lacks fromversion, packagesize or packagesha256"), std::string::npos);
  EXPECT_FALSE(AnyPackageRequested());
}

TEST_F(UpdateFlowTest, SignedPackageChecks) {
  const std::string key = MakeKey("publisher.key");
  SetClientKey(key);
  const std::string package = install_ + "update" + kPathSep + "update_1.0.0.1_to_1.0.0.2" + platform::kExeSuffix;

  // Blocks that do not fit the signed size (two for it, one given): the
  // document is refused before any byte is fetched.
  Publish("1.0.0.2", "package 1.0.0.1 1.0.0.2\n size 5000000\n", KeyFile("publisher.key"));
  SetClient("1.0.0.1", server_.Url(""));
  RunEngine();
  EXPECT_EQ(FinalState(), "4") << Log();
  EXPECT_NE(Log().find("signed version.xml has a packageblocks that is not one digest per block of packagesize "
                       "5000000"),
            std::string::npos)
      << Log();
  EXPECT_FALSE(AnyPackageRequested());

  // The server's package is larger than the signed size: no byte fetched.
  Publish("1.0.0.2", "package 1.0.0.1 1.0.0.2\n size 1000\n", KeyFile("publisher.key"));
  testkit::RemoveTree(install_ + "log");
  RunEngine();
  EXPECT_EQ(FinalState(), "16") << Log();
  EXPECT_NE(Log().find("differs from the signed packagesize 1000,url:"), std::string::npos) << Log();
  EXPECT_FALSE(platform::Exists(package));
  EXPECT_EQ(Count("current size:"), 0u);

  // A wrong SHA-256 with the right SHA-1.
  Publish("1.0.0.2", "package 1.0.0.1 1.0.0.2\n text data/one.txt first\n sha256 " + std::string(64, 'A') + "\n",
          KeyFile("publisher.key"));
  testkit::RemoveTree(install_ + "log");
  RunEngine();
  EXPECT_EQ(FinalState(), "15") << Log();
  EXPECT_TRUE(InOrder({"update package md5 check success", "update package sha256 check error,expected:" +
                                                                std::string(64, 'A') + ",got:"}));
  EXPECT_FALSE(platform::Exists(package));
  EXPECT_EQ(ClientVersion(), "1.0.0.1");
  EXPECT_FALSE(platform::Exists(install_ + "data" + kPathSep + "one.txt"));

  // The package replaced on the server after signing (same size).
  Publish("1.0.0.2", "package 1.0.0.1 1.0.0.2\n text data/one.txt first\n", KeyFile("publisher.key"));
  std::string bytes;
  const std::string served = tree_ + "packages" + kPathSep + "update_1.0.0.1_to_1.0.0.2" + platform::kExeSuffix;
  ASSERT_TRUE(platform::ReadFileToString(served, &bytes));
  bytes[bytes.size() - 1] ^= 0x20;
  ASSERT_TRUE(platform::WriteStringToFile(served, bytes));
  testkit::RemoveTree(install_ + "log");
  RunEngine();
  EXPECT_EQ(FinalState(), "15") << Log();
  EXPECT_FALSE(platform::Exists(package));
  EXPECT_EQ(ClientVersion(), "1.0.0.1");
  EXPECT_FALSE(platform::Exists(install_ + "data" + kPathSep + "one.txt"));
}

TEST_F(UpdateFlowTest, VersionDocumentOverOneMebibyteIsAFailedFetch) {
  const std::string head = "<lastversionnum>1.0.0.1</lastversionnum>";
  SetClient("1.0.0.1", server_.Url(""));
  // Exactly 1 MiB is read.
  ASSERT_TRUE(platform::WriteStringToFile(tree_ + "latest-version.xml", head + std::string(1048576 - head.size(), ' ')));
  RunEngine();
  EXPECT_EQ(FinalState(), "5") << Log();
  // One byte more is not.
  ASSERT_TRUE(platform::WriteStringToFile(tree_ + "latest-version.xml", head + std::string(1048577 - head.size(), ' ')));
  RunEngine();
  EXPECT_EQ(FinalState(), "3") << Log();
  EXPECT_TRUE(InOrder({"version document larger than 1048576 bytes refused,url:" + server_.Url("latest-version.xml"),
                       "DownloadPackage latest-version error"}));
}

TEST_F(UpdateFlowTest, SelfUpdateInTheMiddleRestartsTheInstalledLauncher) {
  std::string stand_in = BuiltProgram("recorder");
  Publish("1.0.0.3",
          "package 1.0.0.1 1.0.0.2\n updateself true\n file " + kLauncher + " " + stand_in +
              "\npackage 1.0.0.2 1.0.0.3\n");
  SetClient("1.0.0.1", server_.Url(""));
  RunEngine();
  EXPECT_EQ(ClientVersion(), "1.0.0.2");
  // The restarted launcher is not waited for: give it time to record itself.
  std::string started;
  for (int i = 0; i < 400 && started.find("end") == std::string::npos; ++i) {
    platform::ReadFileToString(install_ + kLauncher + ".started.txt", &started);
    if (started.find("end") == std::string::npos) platform::SleepMs(50);
  }
  EXPECT_NE(started.find("arg=-r\narg=Restart\nend"), std::string::npos) << started;
  EXPECT_EQ(FinalState(), "none");  // the process ended through the restart
}

TEST_F(UpdateFlowTest, SelfUpdateAsTheLastPackageDoesNotRestart) {
  // The installed launcher is a recorder, so a restart would leave its record.
  Publish("1.0.0.2", "package 1.0.0.1 1.0.0.2\n updateself true\n file " + kLauncher + " " +
                         BuiltProgram("recorder") + "\n");
  SetClient("1.0.0.1", server_.Url(""));
  RunEngine();
  EXPECT_EQ(ClientVersion(), "1.0.0.2");
  EXPECT_EQ(FinalState(), "5");
  ASSERT_TRUE(platform::Exists(install_ + kLauncher));
  platform::SleepMs(1000);  // a restarted recorder records at once
  EXPECT_FALSE(platform::Exists(install_ + kLauncher + ".started.txt"));
}

// Package addresses longer than the path limit (signed mirror addresses are):
// the job names its file from the address cut to 259 bytes, and the engine
// checks, runs and deletes exactly that file.
TEST_F(UpdateFlowTest, LongPackageAddressChecksTheFileTheJobWrote) {
  // The server answers the long address from a short directory (Windows
  // makes no directory path that long).
  server_.Stop();
  ASSERT_TRUE(server_.Start(tree_, "rewrite \"^/s+/cut-here\\.exe/p+/(.*)$\" /long/$1 last;"));
  Publish("1.0.0.2", "package 1.0.0.1 1.0.0.2\n text marker.txt long\n");
  const std::string name = "update_1.0.0.1_to_1.0.0.2" + std::string(platform::kExeSuffix);
  const std::string base = server_.Url("");
  // The cut falls right after a directory named like a program, so the job's
  // file is that name and the setup program can run on every system.
  const std::string dir_name = "cut-here.exe";
  const std::string first(259 - base.size() - 1 - dir_name.size(), 's');
  const std::string url = base + first + "/" + dir_name + "/" + std::string(40, 'p') + "/" + name;
  ASSERT_EQ(url.substr(0, 259), base + first + "/" + dir_name);
  ASSERT_GE(url.size(), 300u);
  const std::string served = tree_ + "long";
  ASSERT_TRUE(platform::MakeDirectories(served));
  ASSERT_TRUE(platform::CopyFileOver(tree_ + "packages" + kPathSep + name, served + kPathSep + name));
  std::string doc;
  const std::string info = tree_ + "1.0.0.1" + kPathSep + "version.xml";
  ASSERT_TRUE(platform::ReadFileToString(info, &doc));
  size_t a = doc.find("<packageurl>") + 12, b = doc.find("</packageurl>");
  ASSERT_LT(a, b);
  doc.replace(a, b - a, url);
  ASSERT_TRUE(platform::WriteStringToFile(info, doc));

  SetClient("1.0.0.1", server_.Url(""));
  RunEngine();
  EXPECT_EQ(FinalState(), "5") << Log();
  EXPECT_EQ(ClientVersion(), "1.0.0.2");
  EXPECT_TRUE(platform::Exists(install_ + "marker.txt"));
  // The job's own file is the one that goes once the install is confirmed.
  EXPECT_FALSE(platform::Exists(install_ + "update" + kPathSep + dir_name));
  EXPECT_EQ(Count("installed package removed:" + install_ + "update" + kPathSep + dir_name), 1u) << Log();

  // A damaged copy on the server: the job's own file is the one deleted.
  std::string bytes;
  ASSERT_TRUE(platform::ReadFileToString(served + kPathSep + name, &bytes));
  bytes[bytes.size() / 2] ^= 0x55;
  ASSERT_TRUE(platform::WriteStringToFile(served + kPathSep + name, bytes));
  platform::RemoveFile(install_ + "update" + kPathSep + dir_name);
  platform::RemoveFile(install_ + "Download.xml");
  platform::RemoveFile(temp_ + "Download.xml");
  SetClient("1.0.0.1", server_.Url(""));
  RunEngine();
  EXPECT_EQ(FinalState(), "15");
  EXPECT_FALSE(platform::Exists(install_ + "update" + kPathSep + dir_name));
}

// A setup program may be a script: its interpreter opens the held package
// by the name the kernel hands it, after the start, so the package stays held
// until the setup program has ended.
TEST_F(UpdateFlowTest, ASetupProgramThatIsAScriptRuns) {
  if (std::string(platform::kExeSuffix) == ".exe") GTEST_SKIP() << "a \"#!\" script is no program on Windows";
  Publish("1.0.0.2", "package 1.0.0.1 1.0.0.2\n text marker.txt unused\n");
  const std::string script =
      "#!/bin/sh\n"
      "for a in \"$@\"; do case \"$a\" in /D=*) d=\"${a#/D=}\";; esac; done\n"
      "sleep 0.3\n"
      "echo ran > \"$d/script-ran.txt\"\n"
      "sed -i 's/^ClientVersion=[0-9.]*/ClientVersion=1.0.0.2/' \"$d/dovra_version.ini\"\n";
  ASSERT_TRUE(platform::WriteStringToFile(DocPath("packages/update_1.0.0.1_to_1.0.0.2"), script));
  DigestContext digest;
  digest.Update(script.data(), script.size());
  digest.Final();
  ReplaceElement(DocPath("1.0.0.1/version.xml"), "packagemd5", digest.DigestText());
  SetClient("1.0.0.1", server_.Url(""));
  RunEngine();
  EXPECT_EQ(FinalState(), "5") << Log();
  EXPECT_EQ(ClientVersion(), "1.0.0.2");
  EXPECT_TRUE(platform::Exists(install_ + "script-ran.txt"));
}

TEST_F(UpdateFlowTest, VersionDocumentsThatDoNotServe) {
  // Children out of order: updateself before packagemd5 is not found.
  ASSERT_TRUE(platform::MakeDirectories(tree_ + "1.0.0.1"));
  ASSERT_TRUE(platform::WriteStringToFile(tree_ + "latest-version.xml", "<lastversionnum>1.0.0.2</lastversionnum>"));
  ASSERT_TRUE(platform::WriteStringToFile(
      tree_ + "1.0.0.1" + kPathSep + "version.xml",
      "<version><versionnum>1.0.0.2</versionnum><packageurl>x</packageurl><updateself>false</updateself>"
      "<packagemd5>00</packagemd5></version>"));
  SetClient("1.0.0.1", server_.Url(""));
  RunEngine();
  EXPECT_EQ(FinalState(), "4");

  // Element names are case-sensitive.
  ASSERT_TRUE(platform::WriteStringToFile(
      tree_ + "1.0.0.1" + kPathSep + "version.xml",
      "<version><VersionNum>1.0.0.2</VersionNum><packageurl>x</packageurl><packagemd5>00</packagemd5>"
      "<updateself>false</updateself></version>"));
  RunEngine();
  EXPECT_EQ(FinalState(), "4");

  // A wrong root in latest-version.xml: the comparison fails and the pass goes
  // on to version.xml of the installed version.
  ASSERT_TRUE(platform::WriteStringToFile(tree_ + "latest-version.xml", "<latest>1.0.0.2</latest>"));
  RunEngine();
  EXPECT_NE(Log().find("the version's format error"), std::string::npos);
  EXPECT_EQ(FinalState(), "4");

  // No server tree at all.
  SetClient("1.0.0.1", server_.Url("nowhere/"));
  RunEngine();
  EXPECT_EQ(FinalState(), "3");
}

TEST_F(UpdateFlowTest, PackageFaults) {
  Publish("1.0.0.2", "package 1.0.0.1 1.0.0.2\n cancel\n");
  SetClient("1.0.0.1", server_.Url(""));
  RunEngine();
  EXPECT_EQ(FinalState(), "9");
  EXPECT_NE(Log().find("setup update package error,may be canceled"), std::string::npos);
  EXPECT_EQ(ClientVersion(), "1.0.0.1");
}

TEST_F(UpdateFlowTest, DigestMismatchDeletesTheCompletePackage) {
  Publish("1.0.0.2", "package 1.0.0.1 1.0.0.2\n");
  // Publish the real digest in lower case: it never matches.
  std::string doc;
  ASSERT_TRUE(platform::ReadFileToString(tree_ + "1.0.0.1" + kPathSep + "version.xml", &doc));
  size_t a = doc.find("<packagemd5>") + 12, b = doc.find("</packagemd5>");
  for (size_t i = a; i < b; ++i) doc[i] = static_cast<char>(std::tolower(static_cast<unsigned char>(doc[i])));
  ASSERT_TRUE(platform::WriteStringToFile(tree_ + "1.0.0.1" + kPathSep + "version.xml", doc));
  SetClient("1.0.0.1", server_.Url(""));
  RunEngine();
  EXPECT_EQ(FinalState(), "15");
  EXPECT_NE(Log().find("update package md5 check error"), std::string::npos);
  std::string package = install_ + "update" + kPathSep + "update_1.0.0.1_to_1.0.0.2" + platform::kExeSuffix;
  EXPECT_FALSE(platform::Exists(package));
}

TEST_F(UpdateFlowTest, MissingPackageAndChainThatDoesNotAdvance) {
  Publish("1.0.0.3", "package 1.0.0.1 1.0.0.2\npackage 1.0.0.2 1.0.0.2\n");
  platform::RemoveFile(tree_ + "packages" + kPathSep + "update_1.0.0.1_to_1.0.0.2" + platform::kExeSuffix);
  SetClient("1.0.0.1", server_.Url(""));
  RunEngine();
  EXPECT_EQ(FinalState(), "16");
  EXPECT_NE(Log().find("SegmentPolicy init error"), std::string::npos);

  SetClient("1.0.0.2", server_.Url(""));
  RunEngine();
  EXPECT_EQ(FinalState(), "4");
  EXPECT_NE(Log().find("the update chain does not advance"), std::string::npos);
}

// A package that runs but leaves the version (the sample setup told to act
// as cancelled) with a full package of the same step named as the fallback.
const std::string kDelta = "update_1.0.0.1_to_1.0.0.2" + std::string(platform::kExeSuffix);
const std::string kFull = "full_1.0.0.1_to_1.0.0.2" + std::string(platform::kExeSuffix);
const char kFallingBack[] = "update package left the version at 1.0.0.1, falling back to the full package:";
const char kCancelledBody[] = "package 1.0.0.1 1.0.0.2\n cancel\n text data/one.txt first\n";

class FullPackageTest : public UpdateFlowTest {
 protected:
  // A run from 1.0.0.1 with nothing left of the one before: no log, no
  // package, no journal, an empty access log.
  void RunFresh() {
    testkit::RemoveTree(install_ + "log");
    testkit::RemoveTree(install_ + "update");
    platform::RemoveFile(temp_ + "Download.xml");
    platform::RemoveFile(install_ + "data" + kPathSep + "one.txt");
    server_.ClearAccessLog();
    SetClient("1.0.0.1", server_.Url(""));
    RunEngine();
  }
  std::string FullUrl() const { return server_.Url("packages/" + kFull); }
};

TEST_F(FullPackageTest, PackageThatLeavesTheVersionFallsBackToTheFullPackage) {
  Publish("1.0.0.2", std::string(kCancelledBody) + " fullpackage\n");
  RunFresh();
  EXPECT_EQ(FinalState(), "5") << Log();
  EXPECT_EQ(ClientVersion(), "1.0.0.2");
  EXPECT_TRUE(platform::Exists(install_ + "data" + kPathSep + "one.txt"));
  EXPECT_TRUE(Requested("/packages/" + kDelta));
  EXPECT_TRUE(Requested("/packages/" + kFull));
  EXPECT_TRUE(InOrder({"Download package address:" + server_.Url("packages/" + kDelta),
                       "update package md5 check success", kFallingBack + FullUrl(),
                       "Download package address:" + FullUrl(), "update package md5 check success",
                       "setup package successed", "latest-version:1.0.0.2,mLocalVersion:1.0.0.2", "update ended: 5"}));
  EXPECT_EQ(Count(kFallingBack), 1u);
  EXPECT_EQ(Count("setup update package error"), 0u);
  // An INFO line: the fallback is no failure.
  const std::string log = Log();
  const size_t at = log.find(kFallingBack);
  ASSERT_NE(at, std::string::npos);
  const size_t line = log.rfind('\n', at) + 1;
  EXPECT_NE(log.substr(line, at - line).find("] INFO:"), std::string::npos) << log.substr(line, at - line);

  // Found by name wherever they stand, with other elements around them.
  const std::string info = DocPath("1.0.0.1/version.xml");
  std::string doc;
  ASSERT_TRUE(platform::ReadFileToString(info, &doc));
  const size_t a = doc.find("<fullpackagemd5>"), b = doc.find("</fullpackagemd5>") + 17;
  ASSERT_LT(a, b);
  const std::string md5 = doc.substr(a, b - a);
  doc.erase(a, b - a);
  doc.insert(doc.find("<versionnum>"), md5 + "<mirrorurl>http://127.0.0.1:1/x</mirrorurl>");
  doc.insert(doc.find("<fullpackageurl>"), "<mirrorurl>http://127.0.0.1:1/y</mirrorurl>");
  ASSERT_TRUE(platform::WriteStringToFile(info, doc));
  RunFresh();
  EXPECT_EQ(FinalState(), "5") << Log();
  EXPECT_EQ(ClientVersion(), "1.0.0.2");
  EXPECT_EQ(Count(kFallingBack), 1u);
}

TEST_F(FullPackageTest, SignedFallback) {
  const std::string key = MakeKey("publisher.key");
  SetClientKey(key);
  Publish("1.0.0.2", std::string(kCancelledBody) + " fullpackage\n", KeyFile("publisher.key"));
  RunFresh();
  EXPECT_EQ(FinalState(), "5") << Log();
  EXPECT_EQ(ClientVersion(), "1.0.0.2");
  EXPECT_TRUE(Requested("/packages/" + kFull));
  EXPECT_TRUE(InOrder({"signature of version.xml verified", "update package sha256 check success", kFallingBack,
                       "Download package address:" + FullUrl(), "update package md5 check success",
                       "update package sha256 check success", "setup package successed", "update ended: 5"}));
}

// How the pass ends when the fallback does not save it, or is not taken.
TEST_F(FullPackageTest, FallbackFaults) {
  const std::string key = MakeKey("publisher.key");
  struct Case {
    const char* what;
    std::string body;
    bool is_signed;
    const char* state;
    std::string line;      // an ERROR line of the end
    bool falls_back;       // the INFO line and a request for the full package
  };
  const std::vector<Case> cases = {
      {"no fallback named", kCancelledBody, false, "9", "setup update package error,may be canceled", false},
      {"the full package leaves the version too", std::string(kCancelledBody) + " fullpackage cancel\n", false, "9",
       "setup update package error,may be canceled", true},
      {"the full package fails its SHA-1",
       std::string(kCancelledBody) + " fullpackage digest 0000000000000000000000000000000000000000\n", false, "15",
       "update package md5 check error", true},
      {"fullpackageurl without fullpackagemd5", std::string(kCancelledBody) + " fullpackage omit fullpackagemd5\n",
       false, "4", "version.xml names fullpackageurl without fullpackagemd5", false},
      {"signed: the full package fails its SHA-256",
       std::string(kCancelledBody) + " fullpackage sha256 " + std::string(64, 'A') + "\n", true, "15",
       "update package sha256 check error,expected:" + std::string(64, 'A'), true},
      {"signed: the full package is not the signed size", std::string(kCancelledBody) + " fullpackage size 1000\n",
       true, "16", "differs from the signed packagesize 1000,url:" + FullUrl(), true},
      {"signed: no fullpackagesize", std::string(kCancelledBody) + " fullpackage omit fullpackagesize\n", true, "4",
       "signed version.xml names fullpackageurl without fullpackagesize or fullpackagesha256", false},
      {"signed: no fullpackagesha256", std::string(kCancelledBody) + " fullpackage omit fullpackagesha256\n", true,
       "4", "signed version.xml names fullpackageurl without fullpackagesize or fullpackagesha256", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    testkit::RemoveTree(tree_);
    ASSERT_TRUE(platform::MakeDirectories(tree_));
    Publish("1.0.0.2", c.body, c.is_signed ? KeyFile("publisher.key") : std::string());
    SetClientKey(c.is_signed ? key : std::string());
    RunFresh();
    EXPECT_EQ(FinalState(), c.state) << Log();
    EXPECT_EQ(ClientVersion(), "1.0.0.1");
    EXPECT_NE(Log().find("ERROR:"), std::string::npos);
    if (c.falls_back) {
      EXPECT_TRUE(InOrder({kFallingBack + FullUrl(), c.line})) << Log();
      EXPECT_TRUE(Requested("/packages/" + kFull));
    } else {
      EXPECT_NE(Log().find(c.line), std::string::npos) << Log();
      EXPECT_EQ(Count(kFallingBack), 0u);
      EXPECT_FALSE(Requested("/packages/" + kFull));
    }
  }
}

// A delta the server does not have, or whose bytes fail their digest, gives
// way to the full package of the step (a WARN line says why); without one
// named the pass ends as before.
TEST_F(FullPackageTest, ADeltaThatCannotBeHadGivesWayToTheFullPackage) {
  const std::string delta_ok = "package 1.0.0.1 1.0.0.2\n text data/one.txt first\n";
  const std::string cannot = "update package cannot be had (";
  struct Case {
    const char* what;
    std::string body;
    bool remove_delta;
    std::string reason;  // the state text in the WARN line
    const char* state;   // without a fallback named
  };
  for (const Case& c : {Case{"not found", delta_ok, true, UpdateStateText(PackageFailed), "16"},
                        Case{"fails its SHA-1", delta_ok + " digest 0000000000000000000000000000000000000000\n",
                             false, UpdateStateText(DigestMismatch), "15"}}) {
    SCOPED_TRACE(c.what);
    for (const bool named : {true, false}) {
      testkit::RemoveTree(tree_);
      ASSERT_TRUE(platform::MakeDirectories(tree_));
      Publish("1.0.0.2", c.body + (named ? " fullpackage\n" : ""));
      if (c.remove_delta) {
        ASSERT_TRUE(platform::RemoveFile(DocPath("packages/" + kDelta)));
      }
      RunFresh();
      if (!named) {
        EXPECT_EQ(FinalState(), c.state) << Log();
        EXPECT_EQ(ClientVersion(), "1.0.0.1");
        EXPECT_EQ(Count(cannot), 0u);
        continue;
      }
      EXPECT_EQ(FinalState(), "5") << Log();
      EXPECT_EQ(ClientVersion(), "1.0.0.2");
      EXPECT_TRUE(InOrder({"Download package address:" + server_.Url("packages/" + kDelta),
                           cannot + c.reason + "), falling back to the full package:" + FullUrl(),
                           "Download package address:" + FullUrl(), "setup package successed", "update ended: 5"}))
          << Log();
      const std::string log = Log();
      const size_t at = log.find(cannot), line = log.rfind('\n', at) + 1;
      EXPECT_NE(log.substr(line, at - line).find("] WARN:"), std::string::npos) << log.substr(line, at - line);
      EXPECT_EQ(Count(cannot), 1u);
      // Nothing of either package is left behind.
      EXPECT_FALSE(platform::Exists(install_ + "update" + kPathSep + kDelta));
      EXPECT_FALSE(platform::Exists(install_ + "update" + kPathSep + kFull));
    }
  }
}

TEST_F(UpdateFlowTest, KilledDuringTheDownloadThenRunAgain) {
  std::string big = testkit::Pattern(6 * 1024 * 1024);
  ServeBigPackage(big, "300k");
  auto first = StartEngine();
  ASSERT_NE(first, nullptr);
  bool downloading = false;
  for (int i = 0; i < 600 && !downloading; ++i) {
    downloading = Log().find("current size:") != std::string::npos;
    if (!downloading) platform::SleepMs(50);
  }
  ASSERT_TRUE(downloading) << Log();
  first->Kill();
  first->Wait();
  EXPECT_EQ(ClientVersion(), "1.0.0.1");

  server_.Stop();
  ASSERT_TRUE(server_.Start(tree_));
  Publish("1.0.0.2", "package 1.0.0.1 1.0.0.2\n file data/big.bin " + client_.Scratch("big.bin") + "\n");
  SetClient("1.0.0.1", server_.Url(""));
  RunEngine();
  EXPECT_EQ(FinalState(), "5");
  EXPECT_EQ(ClientVersion(), "1.0.0.2");
  std::string installed;
  ASSERT_TRUE(platform::ReadFileToString(install_ + "data" + kPathSep + "big.bin", &installed));
  EXPECT_TRUE(installed == big);
}

// A signed version.xml's packageblocks reach the download job: a block
// served corrupt once is fetched again and the package installs; without
// the list the same fault ends in a digest mismatch.
TEST_F(UpdateFlowTest, SignedBlocksMendABlockServedCorrupt) {
  if (!FaultServer::Available()) GTEST_SKIP() << "no in-process server on this target";
  SetClientKey(MakeKey("publisher.key"));
  const std::string body = "package 1.0.0.1 1.0.0.2\n text data/one.txt first\n";
  Publish("1.0.0.2", body, KeyFile("publisher.key"));
  const std::string name = "update_1.0.0.1_to_1.0.0.2" + std::string(platform::kExeSuffix);
  std::string package;
  ASSERT_TRUE(platform::ReadFileToString(tree_ + "packages" + kPathSep + name, &package));
  // The documents from nginx, the package from a server that corrupts the
  // first reply of range 1 (the package is one block).
  FaultServer packages;
  ASSERT_TRUE(packages.Start(package));
  const uint32_t range1 = SegmentPolicy::Layout(static_cast<uint32_t>(package.size()))[1].isp;
  int corrupted = 0;
  packages.SetScript([&](const FaultServer::Request& r) {
    return r.has_range && r.start == range1 && corrupted++ == 0 ? FaultServer::Fault::kCorrupt
                                                                 : FaultServer::Fault::kNone;
  });
  ASSERT_TRUE(client_.PublishWith(packages.Url(""), "1.0.0.2", body, {"--key", KeyFile("publisher.key")}));
  ASSERT_NE(platform::ReadFileToString(DocPath("1.0.0.1/version.xml"), &package) ? package.find("<packageblocks>")
                                                                                   : std::string::npos,
            std::string::npos);
  SetClient("1.0.0.1", server_.Url(""));
  RunEngine();
  EXPECT_EQ(FinalState(), "5") << Log();
  EXPECT_EQ(ClientVersion(), "1.0.0.2");
  EXPECT_NE(Log().find("block 0 (bytes 0-"), std::string::npos) << Log();
  // The size query, the four ranges and the block once more.
  EXPECT_EQ(packages.Requests().size(), 6u);

  // A document without the list (published before blocks) still installs
  // when nothing is corrupt, and the corrupt reply is found by the whole
  // package's digest instead.
  ASSERT_TRUE(client_.PublishWith(packages.Url(""), "1.0.0.2", body + " omit packageblocks\n",
                                  {"--key", KeyFile("publisher.key")}));
  ASSERT_TRUE(platform::ReadFileToString(DocPath("1.0.0.1/version.xml"), &package));
  ASSERT_EQ(package.find("packageblocks"), std::string::npos) << package;
  corrupted = 1;  // no fault
  SetClient("1.0.0.1", server_.Url(""));
  RunEngine();
  EXPECT_EQ(FinalState(), "5") << Log();
  EXPECT_EQ(ClientVersion(), "1.0.0.2");
  corrupted = 0;
  SetClient("1.0.0.1", server_.Url(""));
  RunEngine();
  EXPECT_EQ(FinalState(), "15") << Log();
  EXPECT_EQ(ClientVersion(), "1.0.0.1");
}

// version.xml may name further addresses of the package with mirrorurl
// elements, anywhere among its children.
class MirrorFlowTest : public UpdateFlowTest {
 protected:
  void SetUp() override {
    UpdateFlowTest::SetUp();
    if (IsSkipped()) return;
    if (!FaultServer::Available()) GTEST_SKIP() << "no in-process server on this target";
    // A package of 1 MiB, so that each of its four ranges has room to break.
    std::string big = testkit::Pattern(1 << 20);
    ASSERT_TRUE(platform::WriteStringToFile(client_.Scratch("big.bin"), big));
    Publish("1.0.0.2", "package 1.0.0.1 1.0.0.2\n file data/big.bin " + client_.Scratch("big.bin") + "\n");
    name_ = std::string("update_1.0.0.1_to_1.0.0.2") + platform::kExeSuffix;
    ASSERT_TRUE(platform::ReadFileToString(tree_ + "packages" + kPathSep + name_, &package_));
    SetClient("1.0.0.1", server_.Url(""));
  }
  // Points packageurl at `primary` and puts `before` in front of packageurl
  // and `after` behind the last element.
  void Rewrite(const std::string& primary, const std::string& before, const std::string& after) {
    const std::string path = tree_ + "1.0.0.1" + kPathSep + "version.xml";
    ReplaceElement(path, "packageurl", primary);
    std::string doc;
    ASSERT_TRUE(platform::ReadFileToString(path, &doc));
    doc.insert(doc.find("<packageurl>"), before);
    doc.insert(doc.find("</version>"), after);
    ASSERT_TRUE(platform::WriteStringToFile(path, doc));
  }
  static std::string Mirror(const std::string& url) { return "<mirrorurl>" + url + "</mirrorurl>\r\n"; }
  // Whether `text` stands on a WARN line of the log.
  bool Warned(const std::string& text) const {
    std::string log = Log();
    size_t at = log.find(text);
    if (at == std::string::npos) return false;
    size_t line = log.rfind('\n', at);
    size_t start = line == std::string::npos ? 0 : line + 1;
    return log.substr(start, at - start).find("WARN:") != std::string::npos;
  }

  std::string name_, package_;
};

TEST_F(MirrorFlowTest, RangesContinueFromAMirrorWhenThePrimaryBreaks) {
  // The primary answers the size, gives each range 20000 bytes, breaks off
  // and then answers 503: each range goes on from the mirror (the served
  // tree) at its position. A mirror of another file name is left out.
  FaultServer primary;
  ASSERT_TRUE(primary.Start(package_));
  std::map<uint32_t, int> seen;
  std::mutex mutex;
  const uint32_t quarter = static_cast<uint32_t>(package_.size() / 4);
  primary.SetScript([&](const FaultServer::Request& r) {
    std::lock_guard<std::mutex> lock(mutex);
    if (r.index == 0) return FaultServer::Fault::kNone;
    return seen[std::min(r.start / quarter, 3u)]++ == 0 ? FaultServer::Fault::kStall
                                                          : FaultServer::Fault::kServerError;
  });
  const std::string other = server_.Url("packages/other" + std::string(platform::kExeSuffix));
  Rewrite(primary.Url("packages/" + name_), Mirror(other), Mirror(server_.Url("packages/" + name_)));
  server_.ClearAccessLog();
  RunEngine();
  EXPECT_EQ(FinalState(), "5") << Log();
  EXPECT_EQ(ClientVersion(), "1.0.0.2");
  std::string installed;
  ASSERT_TRUE(platform::ReadFileToString(install_ + "data" + kPathSep + "big.bin", &installed));
  EXPECT_TRUE(installed == testkit::Pattern(1 << 20));
  // A mirror of another file (the fallback's, say) is not this download's:
  // passed over without a word, and never asked.
  EXPECT_EQ(Log().find("mirror ignored"), std::string::npos) << Log();
  for (const auto& l : server_.AccessLog()) EXPECT_NE(l.uri, "/packages/other" + std::string(platform::kExeSuffix));
  // The mirror was asked for exactly the rest of each range.
  std::vector<std::string> ranges;
  for (const auto& l : server_.AccessLog()) {
    if (l.uri == "/packages/" + name_) ranges.push_back(l.range);
  }
  std::sort(ranges.begin(), ranges.end());
  std::vector<std::string> expected;
  for (const SegmentInfo& s : SegmentPolicy::Layout(static_cast<uint32_t>(package_.size()))) {
    expected.push_back("bytes=" + std::to_string(s.isp + 20000) + "-" + std::to_string(s.ep));
  }
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(ranges, expected);
  EXPECT_FALSE(Requested("/packages/other" + std::string(platform::kExeSuffix)));
}

TEST_F(MirrorFlowTest, MirrorServingOtherBytesEndsInADigestMismatch) {
  // The primary refuses every range; the only mirror serves bytes of the
  // same size that are not the package.
  FaultServer primary, mirror;
  ASSERT_TRUE(primary.Start(package_));
  ASSERT_TRUE(mirror.Start(testkit::Pattern(package_.size())));
  primary.SetScript([](const FaultServer::Request& r) {
    return r.index == 0 ? FaultServer::Fault::kNone : FaultServer::Fault::kNotFound;
  });
  Rewrite(primary.Url("packages/" + name_), "", Mirror(mirror.Url("elsewhere/" + name_)));
  RunEngine();
  EXPECT_EQ(FinalState(), "15") << Log();
  EXPECT_NE(Log().find("update package md5 check error"), std::string::npos);
  EXPECT_EQ(ClientVersion(), "1.0.0.1");
  EXPECT_EQ(mirror.Requests().size(), 4u);
}

}  // namespace

namespace {

// The running executable, as the code under test sees it: the temp copy of
// the install's launcher.
class InstalledLauncher : public platform::EnvWrapper {
 public:
  std::string ExecutablePath() override { return path; }
  std::string path;
};

// The engine run inside this test program: the running executable is the
// install's temp launcher, no restart, the log in the install's log folder.
class EngineInThisProcess {
 public:
  void Enter(const std::string& launcher, const std::string& log_dir) {
    installed_.path = launcher;
    use_installed_ = std::make_unique<platform::ScopedEnv>(&installed_);
    UpdateControl::SetRestartLauncher(nullptr);
    Logger::Instance().Init("engine", log_dir, Logger::kToFile, 200, 1000000);
  }
  void Leave() { use_installed_.reset(); }
  // The running executable from now on.
  void SetLauncher(const std::string& launcher) { installed_.path = launcher; }

 private:
  InstalledLauncher installed_;
  std::unique_ptr<platform::ScopedEnv> use_installed_;
};

// Waits, bounded, for the engine thread of this process to end.
bool WaitForEngineEnd(int ms) {
  for (int waited = 0; waited < ms; waited += 20) {
    if (IsFinalState(UpdateControl::Instance().GetState()) && !UpdateControl::Instance().Engine()->IsRunning())
      return true;
    platform::SleepMs(20);
  }
  return false;
}

// The engine inside this test program, so the window's view of it (progress,
// cancel) can be observed.
class InProcessEngineTest : public UpdateFlowTest {
 protected:
  void SetUp() override {
    UpdateFlowTest::SetUp();
    if (IsSkipped()) return;
    engine_.Enter(temp_ + kLauncher, install_ + "log" + kPathSep);
  }
  void TearDown() override { engine_.Leave(); }

  EngineInThisProcess engine_;

  // Starts the engine thread of this process from the checking state.
  static bool StartInProcess() {
    UpdateControl::Instance().SetState(Checking);
    return UpdateControl::Instance().Start();
  }
};

TEST_F(InProcessEngineTest, ProgressClimbsTo70WhileDownloadingAnd100AtTheEnd) {
  // A package of a few megabytes behind a slow link: the download lasts
  // several of the job's one-second progress updates.
  std::string big = testkit::Pattern(6 * 1024 * 1024);
  ServeBigPackage(big, "300k");

  UpdateControl& control = UpdateControl::Instance();
  ASSERT_TRUE(StartInProcess());
  float during = 0, highest = 0;
  for (int i = 0; i < 3000 && !IsFinalState(control.GetState()); ++i) {
    float p = control.GetProgress();
    EXPECT_LE(p, 100.0f);
    if (control.GetState() == Downloading && p > 0) during = p;
    if (control.GetState() != UpToDate && control.GetState() != Succeeded) highest = std::max(highest, p);
    platform::SleepMs(20);
  }
  ASSERT_TRUE(WaitForEngineEnd(60000));
  EXPECT_EQ(control.GetState(), UpToDate);
  EXPECT_GT(during, 0.0f);
  EXPECT_LE(highest, 70.0f);
  EXPECT_EQ(control.GetProgress(), 100.0f);
  EXPECT_EQ(ClientVersion(), "1.0.0.2");
}

// The window's cancel while the engine waits for a version document or holds
// "Update successful": the engine ends at once and starts no further step.
class CancelledEngineTest : public InProcessEngineTest {
 protected:
  // Every version document after the first waits kSlowReplyMs for its reply.
  static constexpr int kSlowReplyMs = 5000;
  void ServeSlowDocuments() {
    server_.Stop();
    ASSERT_TRUE(server_.Start(tree_, "location ~ \"version\\.xml$\" { limit_req zone=slow burst=10; }",
                              "limit_req_zone $server_port zone=slow:1m rate=" +
                                  std::to_string(60000 / kSlowReplyMs) + "r/m;"));
  }
  // Cancels as the window does and checks that the engine thread has ended
  // within 2 s, in the window's state.
  void CancelAndExpectPromptEnd() {
    UpdateControl& control = UpdateControl::Instance();
    control.Stop(UnexpectedError);
    EXPECT_TRUE(testkit::EndsWithin(2000, [&] { control.Engine()->Wait(); })) << Log();
    EXPECT_EQ(control.GetState(), UnexpectedError);
  }
  size_t Requests(const std::string& uri) const {
    size_t n = 0;
    for (const auto& l : server_.AccessLog()) n += l.uri == uri;
    return n;
  }
  bool WaitForState(int32_t state, int ms) {
    for (int waited = 0; waited < ms; waited += 10) {
      if (UpdateControl::Instance().GetState() == state) return true;
      platform::SleepMs(10);
    }
    return false;
  }
};

// The engine reaches nothing of the program but what it is handed: a host
// of its own gets every state report and the lock around the setup program,
// the install directory it is given is the one updated, and the program's
// own control object hears nothing.
class RecordingHost : public EngineHost {
 public:
  void SetState(int32_t state) override {
    std::lock_guard<std::mutex> hold(mutex_);
    states_.push_back(state);
  }
  void Stop(int32_t state) override {
    std::lock_guard<std::mutex> hold(mutex_);
    states_.push_back(state);
    stopped_ = state;
  }
  void Lock() override { ++locks_; }
  void Unlock() override {}
  std::vector<int32_t> States() {
    std::lock_guard<std::mutex> hold(mutex_);
    return states_;
  }
  int32_t Stopped() {
    std::lock_guard<std::mutex> hold(mutex_);
    return stopped_;
  }
  int Locks() const { return locks_; }

 private:
  std::mutex mutex_;
  std::vector<int32_t> states_;
  int32_t stopped_ = -1;
  std::atomic<int> locks_{0};
};

TEST_F(InProcessEngineTest, TheEngineReportsToTheHostItIsHanded) {
  Publish("1.0.0.2", "package 1.0.0.1 1.0.0.2\n text marker.txt handed\n");
  SetClient("1.0.0.1", server_.Url(""));
  // The process-wide paths point elsewhere: only the handed one may be used.
  engine_.SetLauncher(platform::JoinPath(testkit::TempDir().Path(), "temp") + kPathSep + kLauncher);
  UpdateControl::Instance().SetState(NotLatest);
  RecordingHost host;
  bool restarted = false;
  {
    UpdateThread engine(host, EngineSettings{std::string(), install_, [&restarted] { restarted = true; }, Deadlines()});
    for (int waited = 0; waited < 60000 && host.Stopped() < 0; waited += 20) platform::SleepMs(20);
    engine.ThreadObject::Wait();
  }
  EXPECT_EQ(host.Stopped(), UpToDate) << Log();
  EXPECT_EQ(host.States(), (std::vector<int32_t>{Checking, FetchingInfo, ParsingInfo, Downloading, Installing,
                                                 Succeeded, Checking, UpToDate}));
  EXPECT_EQ(host.Locks(), 1);
  EXPECT_FALSE(restarted);
  EXPECT_EQ(ClientVersion(), "1.0.0.2");
  EXPECT_TRUE(platform::Exists(install_ + "marker.txt"));
  EXPECT_EQ(UpdateControl::Instance().GetState(), NotLatest);
}

TEST_F(CancelledEngineTest, WhileLatestVersionIsFetched) {
  ServeSlowDocuments();
  Publish("1.0.0.2", "package 1.0.0.1 1.0.0.2\n text marker.txt x\n");
  SetClient("1.0.0.1", server_.Url(""));
  {
    // Takes the zone's one immediate answer: the engine's request waits.
    FileFetch first(server_.Url("latest-version.xml"));
    MemorySink sink;
    ASSERT_EQ(first.SigleFetch(sink), FetchResult::kComplete);
  }
  UpdateControl& control = UpdateControl::Instance();
  ASSERT_TRUE(StartInProcess());
  for (int i = 0; i < 500 && Log().find("/latest-version.xml") == std::string::npos; ++i) platform::SleepMs(10);
  platform::SleepMs(300);
  ASSERT_EQ(control.GetState(), Checking);
  CancelAndExpectPromptEnd();
  EXPECT_EQ(Log().find("DownloadPackage latest-version error"), std::string::npos);
  // The reply comes later; the ended engine asks for nothing more.
  platform::SleepMs(kSlowReplyMs + 1000);
  EXPECT_EQ(Requests("/1.0.0.1/version.xml"), 0u);
}

TEST_F(CancelledEngineTest, WhileVersionInfoIsFetched) {
  ServeSlowDocuments();
  Publish("1.0.0.2", "package 1.0.0.1 1.0.0.2\n text marker.txt x\n");
  SetClient("1.0.0.1", server_.Url(""));
  ASSERT_TRUE(StartInProcess());
  ASSERT_TRUE(WaitForState(FetchingInfo, 10000)) << Log();
  platform::SleepMs(300);
  CancelAndExpectPromptEnd();
  platform::SleepMs(kSlowReplyMs + 1000);
  for (const auto& l : server_.AccessLog()) EXPECT_EQ(l.uri.find("/packages/"), std::string::npos) << l.uri;
  EXPECT_EQ(ClientVersion(), "1.0.0.1");
}

TEST_F(CancelledEngineTest, DuringTheHoldOfUpdateSuccessful) {
  Publish("1.0.0.3",
          "package 1.0.0.1 1.0.0.2\n text one.txt x\n"
          "package 1.0.0.2 1.0.0.3\n text two.txt y\n");
  SetClient("1.0.0.1", server_.Url(""));
  ASSERT_TRUE(StartInProcess());
  ASSERT_TRUE(WaitForState(Succeeded, 30000)) << Log();
  CancelAndExpectPromptEnd();
  platform::SleepMs(1500);
  EXPECT_EQ(ClientVersion(), "1.0.0.2");
  // The next pass never began.
  EXPECT_EQ(Requests("/latest-version.xml"), 1u);
  EXPECT_FALSE(platform::Exists(install_ + "two.txt"));
}

// The window's view of a fallback: Downloading and Installing again, the bar
// following the second download; a cancel during it ends the engine at once.
TEST_F(CancelledEngineTest, DuringTheFallbackDownload) {
  ASSERT_TRUE(platform::WriteStringToFile(client_.Scratch("big.bin"), testkit::Pattern(3 * 1024 * 1024)));
  server_.Stop();
  ASSERT_TRUE(server_.Start(tree_, "location /packages/full_ { limit_rate 200k; }"));
  Publish("1.0.0.2", "package 1.0.0.1 1.0.0.2\n cancel\n file data/big.bin " + client_.Scratch("big.bin") + "\n fullpackage\n");
  SetClient("1.0.0.1", server_.Url(""));

  UpdateControl& control = UpdateControl::Instance();
  ASSERT_TRUE(StartInProcess());
  std::vector<int32_t> states;
  float second = 0;
  bool fell_back = false;
  for (int i = 0; i < 3000 && !IsFinalState(control.GetState()); ++i) {
    const int32_t s = control.GetState();
    if (states.empty() || states.back() != s) states.push_back(s);
    fell_back = fell_back || Log().find("falling back to the full package") != std::string::npos;
    if (fell_back && s == Downloading) {
      second = control.GetProgress();
      EXPECT_LE(second, 70.0f);
      if (second > 5) break;
    }
    platform::SleepMs(10);
  }
  ASSERT_TRUE(fell_back) << Log();
  ASSERT_GT(second, 5.0f) << Log();
  // The first package downloaded and ran, then the second download began.
  ASSERT_GE(states.size(), 3u);
  EXPECT_EQ(states.back(), Downloading);
  EXPECT_NE(std::find(states.begin(), states.end(), Installing), states.end());
  CancelAndExpectPromptEnd();
  EXPECT_EQ(ClientVersion(), "1.0.0.1");
  EXPECT_EQ(Log().find("setup update package error"), std::string::npos);
}

TEST_F(InProcessEngineTest, CancelDuringTheDownloadStopsTheJob) {
  std::string big(8 * 1024 * 1024, 'x');
  ServeBigPackage(big, "200k");

  UpdateControl& control = UpdateControl::Instance();
  ASSERT_TRUE(StartInProcess());
  for (int i = 0; i < 1500 && (control.GetState() != Downloading || control.GetProgress() <= 0); ++i) {
    platform::SleepMs(20);
  }
  ASSERT_EQ(control.GetState(), Downloading) << Log();
  control.Stop(UnexpectedError);
  ASSERT_TRUE(WaitForEngineEnd(30000));
  int32_t final_state = control.GetState();
  EXPECT_TRUE(final_state == UnexpectedError || final_state == DigestMismatch) << final_state;
  EXPECT_EQ(ClientVersion(), "1.0.0.1");  // no setup program ran
  // The incomplete package stays for resuming.
  EXPECT_TRUE(platform::Exists(install_ + "update" + kPathSep + "update_1.0.0.1_to_1.0.0.2" + platform::kExeSuffix));
}

// The disk fails while the downloaded package is hashed: every read of it
// reports an I/O error. The check fails, no setup program runs, and the
// version stays.
TEST_F(InProcessEngineTest, AReadErrorWhileHashingFailsTheCheckAndRunsNoSetup) {
  ASSERT_TRUE(platform::WriteStringToFile(client_.Scratch("marker.txt"), "installed by the setup program"));
  Publish("1.0.0.2", "package 1.0.0.1 1.0.0.2\n file data/marker.txt " + client_.Scratch("marker.txt") + "\n");
  SetClient("1.0.0.1", server_.Url(""));
  const int64_t package_size = platform::FileSize(DocPath("packages/update_1.0.0.1_to_1.0.0.2") + platform::kExeSuffix);
  ASSERT_GT(package_size, 0);
  // The package is known by its size, under whatever name it is read: every
  // file of that size opened for reading fails its reads.
  testkit::FileFaults faulty(
      [package_size](const std::string&, const platform::FileOpenOptions& o, platform::NativeFile f) {
        int64_t size = -1;
        return o.disposition == platform::FileDisposition::kReadExisting &&
               platform::RealFileCalls().size(f, &size) == platform::Status::kOk && size == package_size;
      },
      nullptr, [](int) { return testkit::FileFaults::Outcome::kFail; });

  ASSERT_TRUE(StartInProcess());
  ASSERT_TRUE(WaitForEngineEnd(60000)) << Log();
  EXPECT_EQ(UpdateControl::Instance().GetState(), DigestMismatch) << Log();
  EXPECT_GT(faulty.Reads(), 0);
  EXPECT_NE(Log().find("update package md5 check error"), std::string::npos) << Log();
  EXPECT_EQ(Log().find("SegmentPolicy init error"), std::string::npos) << Log();
  EXPECT_FALSE(platform::Exists(install_ + "data" + kPathSep + "marker.txt"));
  EXPECT_EQ(ClientVersion(), "1.0.0.1");
}

// The deadlines of a pass, made small: a version document that trickles in
// ends the pass as a failed fetch, and a package server that answers busy for
// ever ends it in NetworkError, with the wait on it shown meanwhile.
class DeadlineEngineTest : public InProcessEngineTest {
 protected:
  void SetUp() override {
    InProcessEngineTest::SetUp();
    if (IsSkipped()) return;
    if (!FaultServer::Available()) GTEST_SKIP() << "no fault server on this target";
  }

  // Runs an engine of this process with `deadlines` until it stops in a
  // state, at most `ms` (then it is cancelled); *took is how long that took.
  // `watch` is called every 20 ms meanwhile.
  int32_t RunWith(const Deadlines& deadlines, int ms, long long* took,
                  const std::function<void(UpdateThread&, RecordingHost&)>& watch = nullptr) {
    RecordingHost host;
    EngineSettings settings{std::string(), install_, [] {}, deadlines};
    const auto began = std::chrono::steady_clock::now();
    {
      UpdateThread engine(host, settings);
      for (int waited = 0; waited < ms && host.Stopped() < 0; waited += 20) {
        if (watch) watch(engine, host);
        platform::SleepMs(20);
      }
      *took = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - began).count();
      engine.ThreadObject::Stop();
      engine.Stop();
      engine.ThreadObject::Wait();
    }
    return host.Stopped();
  }

  // The log line holding `text`, empty when there is none.
  std::string LogLine(const std::string& text) const {
    const std::string log = Log();
    const size_t at = log.find(text);
    if (at == std::string::npos) return std::string();
    const size_t begin = log.rfind('\n', at);
    const size_t end = log.find('\n', at);
    return log.substr(begin == std::string::npos ? 0 : begin + 1, end == std::string::npos ? end : end - begin - 1);
  }

  FaultServer fault_;
};

TEST_F(DeadlineEngineTest, ALatestVersionThatTricklesInIsAFailedFetch) {
  fault_.SetScript([](const FaultServer::Request&) { return FaultServer::Fault::kSlowDrip; });
  ASSERT_TRUE(fault_.Start("<lastversionnum>1.0.0.2</lastversionnum>\n"));
  SetClient("1.0.0.1", fault_.Url(""));
  Deadlines deadlines;
  deadlines.document_ms = 1000;
  long long took = 0;
  EXPECT_EQ(RunWith(deadlines, 20000, &took), LatestFetchFailed) << Log();
  EXPECT_LT(took, 4000);
  EXPECT_NE(LogLine("not received whole within 1000 ms,url:" + fault_.Url("latest-version.xml")), "") << Log();
  EXPECT_NE(LogLine("DownloadPackage latest-version error").find("ERROR"), std::string::npos) << Log();
}

TEST_F(DeadlineEngineTest, AVersionInfoThatTricklesInIsAFailedFetch) {
  fault_.SetScript([](const FaultServer::Request& r) {
    return r.index == 0 ? FaultServer::Fault::kNone : FaultServer::Fault::kSlowDrip;
  });
  ASSERT_TRUE(fault_.Start("<lastversionnum>1.0.0.2</lastversionnum>\n"));
  SetClient("1.0.0.1", fault_.Url(""));
  Deadlines deadlines;
  deadlines.document_ms = 1000;
  long long took = 0;
  EXPECT_EQ(RunWith(deadlines, 20000, &took), InfoFetchFailed) << Log();
  EXPECT_LT(took, 4000);
  EXPECT_NE(LogLine("not received whole within 1000 ms,url:" + fault_.Url("1.0.0.1/version.xml")), "") << Log();
  EXPECT_NE(LogLine("DownloadPackage version.xml error").find("ERROR"), std::string::npos) << Log();
}

// On release day the origin turns requests away: a version document answered
// busy is asked for again after the Retry-After, within the document's
// deadline; a server busy past it ends the pass as a failed fetch.
TEST_F(DeadlineEngineTest, ABusyAnswerToADocumentIsAskedAgainWithinItsDeadline) {
  fault_.SetRetryAfter("1");
  std::atomic<int> busy_left{2};
  fault_.SetScript([&](const FaultServer::Request&) {
    return busy_left-- > 0 ? FaultServer::Fault::kBusy : FaultServer::Fault::kNone;
  });
  ASSERT_TRUE(fault_.Start("<lastversionnum>1.0.0.1</lastversionnum>\n"));
  SetClient("1.0.0.1", fault_.Url(""));
  Deadlines deadlines;
  deadlines.document_ms = 15000;
  long long took = 0;
  EXPECT_EQ(RunWith(deadlines, 30000, &took), UpToDate) << Log();
  EXPECT_EQ(fault_.Requests().size(), 3u);
  EXPECT_NE(LogLine("server busy (status 503), asking again in"), "") << Log();
  // At least the second the server asked for, twice.
  EXPECT_GE(took, 2000);

  // Busy for ever: the deadline ends it.
  busy_left = 1000000;
  deadlines.document_ms = 3000;
  EXPECT_EQ(RunWith(deadlines, 30000, &took), LatestFetchFailed) << Log();
  EXPECT_LT(took, 6000);
}

// The size is answered, then every range is told to come back in a second,
// for ever. The pass ends in NetworkError at the stall limit with an ERROR
// line that says why, and meanwhile the status line tells of the busy server.
TEST_F(DeadlineEngineTest, APackageServerBusyForEverEndsThePassInNetworkError) {
  fault_.SetRetryAfter("1");
  fault_.SetScript([](const FaultServer::Request& r) {
    return r.index == 0 ? FaultServer::Fault::kNone : FaultServer::Fault::kBusy;
  });
  ASSERT_TRUE(fault_.Start(testkit::Pattern(100000)));
  // The documents from nginx, the package from the busy server.
  ASSERT_TRUE(client_.Publish(fault_.Url(""), "1.0.0.2", "package 1.0.0.1 1.0.0.2\n text marker.txt x\n"));
  SetClient("1.0.0.1", server_.Url(""));
  Deadlines deadlines;
  deadlines.stall_ms = 3000;
  std::set<std::string> shown;
  long long took = 0;
  const int32_t stopped = RunWith(deadlines, 20000, &took, [&](UpdateThread& engine, RecordingHost& host) {
    const std::vector<int32_t> states = host.States();
    if (!states.empty()) shown.insert(StatusText(states.back(), engine.BusyRetryMs()));
  });
  EXPECT_EQ(stopped, NetworkError) << Log();
  EXPECT_GE(took, 3000);
  EXPECT_LT(took, 10000);
  const std::string line = LogLine("no package progress for 3 s (server busy (status 503, Retry-After 1)), update stopped,url:" +
                                   fault_.Url("packages/update_1.0.0.1_to_1.0.0.2") + platform::kExeSuffix);
  EXPECT_NE(line.find("ERROR"), std::string::npos) << Log();
  bool busy_shown = false;
  for (const std::string& text : shown) busy_shown = busy_shown || text.rfind("server busy, retrying in ", 0) == 0;
  EXPECT_TRUE(busy_shown) << ::testing::PrintToString(shown);
  EXPECT_EQ(ClientVersion(), "1.0.0.1");
  EXPECT_TRUE(IsFinalState(NetworkError));
}

// A staged rollout of a signed tree, as the publisher tool writes and then
// changes it: installs outside the share walk the chain up to the held
// version and stop; raising the share past the install's bucket gives it the
// newest; 0 halts the release for an install that has not installed it and
// leaves one that has as it is.
TEST_F(UpdateFlowTest, RolloutHoldsInstallsOutsideItsShareUntilRaisedOrHalted) {
  const std::string key = MakeKey("publisher.key");
  SetClientKey(key);
  const std::string body =
      "rollout 0 1.0.0.2\n"
      "package 1.0.0.1 1.0.0.2\n text data/one.txt first\n"
      "package 1.0.0.2 1.0.0.3\n text data/two.txt second\n";
  Publish("1.0.0.3", body, KeyFile("publisher.key"));
  const std::string tree = tree_.substr(0, tree_.size() - 1);
  auto run = [&](const std::string& version) {
    testkit::RemoveTree(install_ + "log");
    server_.ClearAccessLog();
    SetClient(version, server_.Url(""));
    RunEngine();
  };

  // Held: the step to the held version is taken, the one past it is not
  // even asked for.
  run("1.0.0.1");
  EXPECT_EQ(FinalState(), "5") << Log();
  EXPECT_EQ(ClientVersion(), "1.0.0.2");
  EXPECT_FALSE(Requested("/1.0.0.2/version.xml"));
  EXPECT_TRUE(InOrder({"install identifier made:", "rollout of 1.0.0.3 at 0%, this install's bucket",
                       "held at 1.0.0.2", "setup package successed", "held at 1.0.0.2", "update ended: 5"}));
  std::string id;
  ASSERT_TRUE(platform::ReadFileToString(install_ + "install-id.txt", &id));
  ASSERT_TRUE(release::IsInstallId(id)) << id;
  const int bucket = release::RolloutBucket(id, "1.0.0.3");

  // At exactly the bucket the install is still outside; the identifier is
  // the one made before.
  ASSERT_EQ(client_.RunPublisher({"rollout", tree, std::to_string(bucket), "--key", KeyFile("publisher.key")}), 0);
  run("1.0.0.2");
  EXPECT_EQ(FinalState(), "5") << Log();
  EXPECT_EQ(ClientVersion(), "1.0.0.2");
  EXPECT_NE(Log().find("bucket " + std::to_string(bucket) + ": held at 1.0.0.2"), std::string::npos) << Log();
  EXPECT_EQ(Count("install identifier made:"), 0u);
  std::string id_again;
  ASSERT_TRUE(platform::ReadFileToString(install_ + "install-id.txt", &id_again));
  EXPECT_EQ(id_again, id);

  // One above it: in. The re-signed tree (a new serial on every document)
  // is taken.
  ASSERT_EQ(client_.RunPublisher({"rollout", tree, std::to_string(bucket + 1), "--key", KeyFile("publisher.key")}), 0);
  run("1.0.0.2");
  EXPECT_EQ(FinalState(), "5") << Log();
  EXPECT_EQ(ClientVersion(), "1.0.0.3");
  // Bucket 99 makes it 100%: the rollout is over and names no bucket.
  if (bucket + 1 < 100) {
    EXPECT_TRUE(InOrder({"bucket " + std::to_string(bucket) + ": in the rollout", "destversion:1.0.0.3"}));
  }

  // Halted: an install still at 1.0.0.1 walks to the held version (the
  // version.xml serials follow latest-version.xml's); one at the newest
  // stays there.
  ASSERT_EQ(client_.RunPublisher({"rollout", tree, "0", "--key", KeyFile("publisher.key")}), 0);
  run("1.0.0.1");
  EXPECT_EQ(FinalState(), "5") << Log();
  EXPECT_EQ(ClientVersion(), "1.0.0.2");
  run("1.0.0.3");
  EXPECT_EQ(FinalState(), "5") << Log();
  EXPECT_EQ(ClientVersion(), "1.0.0.3");
  EXPECT_NE(Log().find("installed version 1.0.0.3 is newer than 1.0.0.2, the newest of the default channel for this "
                       "install: the install is left as it is"),
            std::string::npos)
      << Log();
  for (const auto& l : server_.AccessLog()) EXPECT_EQ(l.uri.rfind("/latest-version.xml", 0), 0u) << l.uri;
}

// An unsigned tree may stage a release too. A held install never takes a
// step past the held version, even one its own version.xml names; a rollout
// that cannot be read, or that holds installs at a version newer than the
// newest, ends the check; 100 is every install.
TEST_F(UpdateFlowTest, HeldInstallsStopAtTheHeldVersionAndBadRolloutsAreRefused) {
  const std::string skip = "package 1.0.0.1 1.0.0.3\n text data/two.txt second\n";
  Publish("1.0.0.3", "rollout 0 1.0.0.2\n" + skip);
  SetClient("1.0.0.1", server_.Url(""));
  RunEngine();
  EXPECT_EQ(FinalState(), "5") << Log();
  EXPECT_EQ(ClientVersion(), "1.0.0.1");
  EXPECT_NE(Log().find("version.xml of 1.0.0.1 steps to 1.0.0.3, beyond the held version 1.0.0.2: not taken"),
            std::string::npos)
      << Log();
  EXPECT_FALSE(AnyPackageRequested());

  struct Case {
    const char* rollout;
    const char* state;
    const char* line;
  };
  for (const Case& c : {Case{"ten 1.0.0.2", "3", "latest-version.xml: rollout ten is not a percent 0 to 100"},
                        Case{"50 1.0.0.4", "3", "holds installs at 1.0.0.4, which is not a version up to 1.0.0.3"},
                        Case{"100 1.0.0.2", "5", "setup package successed"}}) {
    SCOPED_TRACE(c.rollout);
    testkit::RemoveTree(install_ + "log");
    Publish("1.0.0.3", std::string("rollout ") + c.rollout + "\n" + skip);
    SetClient("1.0.0.1", server_.Url(""));
    RunEngine();
    EXPECT_EQ(FinalState(), c.state) << Log();
    EXPECT_NE(Log().find(c.line), std::string::npos) << Log();
  }
  EXPECT_EQ(ClientVersion(), "1.0.0.3");
}

// Channels: the player's setting picks the tree under the root; each tree
// counts its own serials; moving is an ordinary update, never a downgrade;
// a setting that is no channel name is the default channel.
TEST_F(UpdateFlowTest, ChannelsAreTreesOfTheirOwnAndMovingNeverDowngrades) {
  const std::string key = MakeKey("publisher.key");
  SetClientKey(key);
  const std::string one = "package 1.0.0.1 1.0.0.2\n text data/one.txt first\n";
  // The default channel at serial 3, beta at serial 1, a version ahead.
  for (int i = 0; i < 3; ++i) Publish("1.0.0.2", one, KeyFile("publisher.key"));
  ASSERT_TRUE(client_.Publish(server_.Url("beta/"), "1.0.0.3",
                              one + "package 1.0.0.2 1.0.0.3\n text data/two.txt beta\n", KeyFile("publisher.key"),
                              tree_ + "beta"));
  const std::string ini = install_ + "renewel.ini";
  auto run = [&](const std::string& channel, const std::string& version) {
    testkit::RemoveTree(install_ + "log");
    server_.ClearAccessLog();
    ASSERT_TRUE(platform::SetProfileString("main", "Channel", channel, ini));
    SetClient(version, server_.Url(""));
    RunEngine();
  };

  run("", "1.0.0.1");
  EXPECT_EQ(FinalState(), "5") << Log();
  EXPECT_EQ(ClientVersion(), "1.0.0.2");

  // To beta: its serial 1 is below the default's 3, and is taken.
  run("beta", "1.0.0.2");
  EXPECT_EQ(FinalState(), "5") << Log();
  EXPECT_EQ(ClientVersion(), "1.0.0.3");
  EXPECT_TRUE(Requested("/beta/latest-version.xml"));
  EXPECT_TRUE(Requested("/beta/1.0.0.2/version.xml"));
  for (const auto& l : server_.AccessLog()) EXPECT_EQ(l.uri.rfind("/beta/", 0), 0u) << l.uri;
  std::string kept;
  ASSERT_TRUE(platform::ReadFileToString(install_ + "update-serial-beta.txt", &kept));
  EXPECT_EQ(kept, "1");
  ASSERT_TRUE(platform::ReadFileToString(install_ + "update-serial.txt", &kept));
  EXPECT_EQ(kept, "3");

  // Back to the default channel, behind the install: left as it is.
  run("", "1.0.0.3");
  EXPECT_EQ(FinalState(), "5") << Log();
  EXPECT_EQ(ClientVersion(), "1.0.0.3");
  EXPECT_NE(Log().find("installed version 1.0.0.3 is newer than 1.0.0.2, the newest of the default channel: the "
                       "install is left as it is"),
            std::string::npos)
      << Log();
  EXPECT_FALSE(AnyPackageRequested());

  // Not a channel name: the default channel, after an ERROR line.
  for (const char* bad : {"../beta", "be/ta", ".."}) {
    SCOPED_TRACE(bad);
    run(bad, "1.0.0.1");
    EXPECT_EQ(FinalState(), "5") << Log();
    EXPECT_NE(Log().find(std::string("update channel \"") + bad + "\" is not a channel name"), std::string::npos)
        << Log();
    EXPECT_TRUE(Requested("/latest-version.xml"));
    EXPECT_FALSE(Requested("/beta/latest-version.xml"));
    EXPECT_EQ(ClientVersion(), "1.0.0.2");
  }
}

// "-c repair": the newest version's file list and the per-file store, served
// by nginx beside a latest-version.xml; the client's files damaged.
class RepairTest : public UpdateFlowTest {
 protected:
  // Bytes that do not compress: their store file is as long as any other
  // such bytes of their length.
  static std::string Noise(size_t n, uint32_t seed) {
    std::string out(n, '\0');
    for (char& c : out) {
      seed = seed * 1103515245u + 12345u;
      c = static_cast<char>(seed >> 24);
    }
    return out;
  }
  void SetUp() override {
    UpdateFlowTest::SetUp();
    if (IsSkipped()) return;
    files_ = {{"data/a.bin", Noise(300000, 1)},
              {"data/b.bin", testkit::Pattern(200000)},
              {"System/c.u", Noise(100000, 2)},
              {"ok.txt", "fine\n"}};
  }
  // latest-version.xml naming 1.0.0.2, its file list and the store; both
  // documents signed with `key_file` when given.
  void PublishStore(const std::string& key_file = std::string()) {
    Publish("1.0.0.2", "", key_file);
    release::FileManifest list;
    list.version = "1.0.0.2";
    platform::MakeDirectories(DocPath("files"));
    for (const auto& [path, data] : files_) {
      const std::string stored = delta_package::Compress(data), sha = delta_package::Sha256Of(data);
      ASSERT_TRUE(platform::WriteStringToFile(DocPath(release::StoredFileAddress(sha)), stored));
      list.files.push_back({path, sha, data.size(), stored.size(), false});
    }
    platform::MakeDirectories(DocPath("1.0.0.2"));
    if (!key_file.empty()) {
      SignAs(key_file, DocPath("1.0.0.2/files.txt"), release::WriteFileManifest(list));
      return;
    }
    ASSERT_TRUE(platform::WriteStringToFile(DocPath("1.0.0.2/files.txt"), release::WriteFileManifest(list)));
  }
  std::string InstallFile(const std::string& path) const {
    std::string p = install_ + path;
    std::replace(p.begin(), p.end(), '/', kPathSep);
    return p;
  }
  void InstallFiles() {
    for (const auto& [path, data] : files_) {
      platform::MakeDirectories(platform::DirName(InstallFile(path)));
      ASSERT_TRUE(platform::WriteStringToFile(InstallFile(path), data));
    }
  }
  std::string Installed(const std::string& path) const {
    std::string data;
    return platform::ReadFileToString(InstallFile(path), &data) ? data : std::string("(missing)");
  }
  uint64_t Stored(const std::string& path) const {
    return delta_package::Compress(files_.at(path)).size();
  }
  std::string StoreUri(const std::string& path) const {
    return "/" + release::StoredFileAddress(delta_package::Sha256Of(files_.at(path)));
  }
  std::vector<std::string> StoreRequests() const {
    std::vector<std::string> out;
    for (const auto& l : server_.AccessLog())
      if (l.uri.rfind("/files/", 0) == 0) out.push_back(l.uri);
    std::sort(out.begin(), out.end());
    return out;
  }
  void RunRepair() {
    auto p = platform::StartProcess(platform::QuoteArgument(temp_ + kLauncher) + " -c repair", install_);
    ASSERT_NE(p, nullptr);
    ASSERT_TRUE(p->WaitFor(120000)) << Log();
    EXPECT_EQ(p->ExitCode(), 0);
  }

  std::map<std::string, std::string> files_;
};

TEST_F(RepairTest, ADamagedAndAMissingFileAreFetchedAloneThenTheUpdateGoesOn) {
  PublishStore();
  InstallFiles();
  std::string damaged = files_["data/a.bin"];
  damaged[150000] ^= 1;
  ASSERT_TRUE(platform::WriteStringToFile(InstallFile("data/a.bin"), damaged));
  ASSERT_TRUE(platform::RemoveFile(InstallFile("System/c.u")));
  SetClient("1.0.0.1", server_.Url(""));

  RunRepair();
  EXPECT_EQ(FinalState(), "5") << Log();
  EXPECT_EQ(ClientVersion(), "1.0.0.2");
  for (const auto& [path, data] : files_) EXPECT_TRUE(Installed(path) == data) << path;
  // Only the two files, each once, and no version.xml: the repair brought
  // the install to the newest version.
  std::vector<std::string> want = {StoreUri("data/a.bin"), StoreUri("System/c.u")};
  std::sort(want.begin(), want.end());
  EXPECT_EQ(StoreRequests(), want);
  EXPECT_FALSE(Requested("/version.xml"));
  EXPECT_TRUE(InOrder({"repair: 2 of 4 files differ, fetching " +
                           std::to_string(Stored("data/a.bin") + Stored("System/c.u")) + " bytes",
                       "repair: 2 files installed, 0 removed, version 1.0.0.2", "latest-version:1.0.0.2,mLocalVersion:1.0.0.2",
                       "update ended: 5"}));
  EXPECT_FALSE(platform::Exists(install_ + "update" + kPathSep + "repair_1.0.0.2.pkg"));

  // A whole install fetches nothing but the list; "-c update" not even that.
  server_.ClearAccessLog();
  RunRepair();
  EXPECT_EQ(FinalState(), "5");
  EXPECT_EQ(Count("repair: 0 of 4 files differ, fetching 0 bytes"), 1u);
  EXPECT_TRUE(StoreRequests().empty());
  EXPECT_TRUE(Requested("/1.0.0.2/files.txt"));
  server_.ClearAccessLog();
  RunEngine();
  EXPECT_EQ(FinalState(), "5");
  EXPECT_FALSE(Requested("files.txt"));
}

TEST_F(RepairTest, AStoreFileWithOtherBytesIsRefusedAndNothingIsInstalled) {
  PublishStore();
  InstallFiles();
  std::string damaged = files_["data/a.bin"];
  damaged[10] ^= 1;
  ASSERT_TRUE(platform::WriteStringToFile(InstallFile("data/a.bin"), damaged));
  ASSERT_TRUE(platform::RemoveFile(InstallFile("System/c.u")));
  // The store serves other bytes of the same stored length under c.u's name.
  const std::string other = delta_package::Compress(Noise(100000, 3));
  ASSERT_EQ(other.size(), Stored("System/c.u"));
  ASSERT_TRUE(platform::WriteStringToFile(DocPath(StoreUri("System/c.u").substr(1)), other));
  SetClient("1.0.0.1", server_.Url(""));

  RunRepair();
  EXPECT_EQ(FinalState(), "15") << Log();
  EXPECT_EQ(Count("repair: System/c.u from the store is not the listed file"), 1u) << Log();
  EXPECT_EQ(ClientVersion(), "1.0.0.1");
  EXPECT_TRUE(Installed("data/a.bin") == damaged);
  EXPECT_FALSE(platform::Exists(InstallFile("System/c.u")));
  EXPECT_FALSE(platform::Exists(install_ + ".delta-setup.journal"));

  // A list that names another version, or is damaged, is refused as well.
  ASSERT_TRUE(platform::WriteStringToFile(DocPath("1.0.0.2/files.txt"), "RNWL-FILES 1\nversion 1.0.0.3\nend\n"));
  RunRepair();
  EXPECT_EQ(FinalState(), "4") << Log();
  EXPECT_EQ(ClientVersion(), "1.0.0.1");
}

TEST_F(RepairTest, StartedInTheInstallDirectoryItRepairsFromTheTempCopyTheLaunchersOwnFilesToo) {
  ASSERT_TRUE(client_.AddLauncher());
  std::string library;
  ASSERT_TRUE(platform::ReadFileToString(install_ + testkit::kResourceFile, &library));
  files_[testkit::kResourceFile] = library;
  PublishStore();
  InstallFiles();
  std::string damaged = library;
  damaged[damaged.size() / 3] ^= 0x10;
  ASSERT_TRUE(platform::WriteStringToFile(install_ + testkit::kResourceFile, damaged));
  SetClient("1.0.0.2", server_.Url(""));

  auto p = platform::StartProcess(platform::QuoteArgument(install_ + kLauncher) + " -c repair", install_);
  ASSERT_NE(p, nullptr);
  ASSERT_TRUE(p->WaitFor(60000));
  ASSERT_TRUE(client_.WaitForLog("update ended:", 1, 120000)) << Log();
  EXPECT_EQ(FinalState(), "5") << Log();
  EXPECT_TRUE(InOrder({"nupdate: 3", "nupdate: 3", "repair: 1 of 5 files differ", "repair: 1 files installed"}));
  EXPECT_TRUE(Installed(testkit::kResourceFile) == library);
  EXPECT_EQ(StoreRequests(), std::vector<std::string>{StoreUri(testkit::kResourceFile)});
}

TEST_F(RepairTest, ASignedChannelTakesOnlyASignedFileList) {
  const std::string key = MakeKey("publisher.key");
  PublishStore(KeyFile("publisher.key"));
  SetClientKey(key);
  InstallFiles();
  ASSERT_TRUE(platform::RemoveFile(InstallFile("data/b.bin")));
  SetClient("1.0.0.2", server_.Url(""));
  // Changed after signing (a listed digest pointed at other bytes the
  // server holds): refused before any stored file is asked for.
  std::string list;
  ASSERT_TRUE(platform::ReadFileToString(DocPath("1.0.0.2/files.txt"), &list));
  const std::string b_sha = delta_package::Sha256Of(files_["data/b.bin"]);
  std::string changed = list;
  changed.replace(changed.find(b_sha), 64, delta_package::Sha256Of(files_["ok.txt"]));
  ASSERT_TRUE(platform::WriteStringToFile(DocPath("1.0.0.2/files.txt"), changed));
  RunRepair();
  EXPECT_EQ(FinalState(), "8") << Log();
  EXPECT_EQ(Count("signature of files.txt does not verify with the publisher key"), 1u) << Log();
  EXPECT_TRUE(StoreRequests().empty());
  EXPECT_FALSE(platform::Exists(InstallFile("data/b.bin")));

  ASSERT_TRUE(platform::WriteStringToFile(DocPath("1.0.0.2/files.txt"), list));
  server_.ClearAccessLog();
  RunRepair();
  EXPECT_EQ(FinalState(), "5") << Log();
  EXPECT_TRUE(InOrder({"signature of latest-version.xml verified", "signature of files.txt verified",
                       "repair: 1 of 4 files differ", "repair: 1 files installed"}));
  EXPECT_TRUE(Installed("data/b.bin") == files_["data/b.bin"]);
  EXPECT_EQ(StoreRequests(), std::vector<std::string>{StoreUri("data/b.bin")});
}

TEST_F(RepairTest, NothingIsRepairedToANewestVersionThatIsNotOutYet) {
  PublishStore();
  ASSERT_TRUE(platform::WriteStringToFile(DocPath("latest-version.xml"),
                                          "<lastversionnum>1.0.0.2</lastversionnum>\r\n"
                                          "<availablefrom>2099-01-01T00:00:00Z</availablefrom>\r\n"));
  InstallFiles();
  ASSERT_TRUE(platform::RemoveFile(InstallFile("data/b.bin")));
  SetClient("1.0.0.1", server_.Url(""));
  RunRepair();
  EXPECT_EQ(Count("repair: 1.0.0.2 is not out yet, nothing repaired"), 1u) << Log();
  EXPECT_FALSE(Requested("files.txt"));
  EXPECT_TRUE(StoreRequests().empty());
  EXPECT_EQ(ClientVersion(), "1.0.0.1");
  EXPECT_FALSE(platform::Exists(InstallFile("data/b.bin")));
}

// The window's repair: the engine of this process started afresh in repair
// mode once a run has ended.
class InProcessRepairTest : public RepairTest {
 protected:
  void SetUp() override {
    RepairTest::SetUp();
    if (IsSkipped()) return;
    engine_.Enter(temp_ + kLauncher, install_ + "log" + kPathSep);
  }
  void TearDown() override {
    UpdateControl::Instance().SetRepair(false);
    engine_.Leave();
  }
  EngineInThisProcess engine_;
};

TEST_F(InProcessRepairTest, ARepairStartsInTheSameProcessAfterAnUpdateThatEnded) {
  PublishStore();
  InstallFiles();
  std::string damaged = files_["data/b.bin"];
  damaged[1234] ^= 1;
  ASSERT_TRUE(platform::WriteStringToFile(InstallFile("data/b.bin"), damaged));
  SetClient("1.0.0.2", server_.Url(""));
  UpdateControl& control = UpdateControl::Instance();
  control.SetState(Checking);
  ASSERT_TRUE(control.Start());
  for (int i = 0; i < 3000 && !IsFinalState(control.GetState()); ++i) platform::SleepMs(20);
  EXPECT_EQ(control.GetState(), UpToDate) << Log();
  EXPECT_TRUE(Installed("data/b.bin") == damaged);  // an update checks no file

  // At once, as the window does: the first run's thread may still be ending.
  control.SetRepair(true);
  control.SetState(Checking);
  ASSERT_TRUE(control.Start());
  ASSERT_TRUE(WaitForEngineEnd(60000)) << Log();
  EXPECT_EQ(control.GetState(), UpToDate) << Log();
  EXPECT_TRUE(Installed("data/b.bin") == files_["data/b.bin"]);
  EXPECT_EQ(StoreRequests(), (std::vector<std::string>{StoreUri("data/b.bin")}));
}

// The route with the fewest bytes: the one version.xml names, or the files of
// the newest version that the install lacks, fetched from the store.
class RouteTest : public RepairTest {
 protected:
  using Files = std::map<std::string, std::string>;
  // The store's files of `files` and <version>/files.txt, signed.
  void StoreVersion(const std::string& version, const Files& files) {
    release::FileManifest list;
    list.version = version;
    platform::MakeDirectories(DocPath("files"));
    for (const auto& [path, data] : files) {
      const std::string stored = delta_package::Compress(data), sha = delta_package::Sha256Of(data);
      ASSERT_TRUE(platform::WriteStringToFile(DocPath(release::StoredFileAddress(sha)), stored));
      list.files.push_back({path, sha, data.size(), stored.size(), false});
    }
    platform::MakeDirectories(DocPath(version));
    SignAs(KeyFile("publisher.key"), DocPath(version + "/files.txt"), release::WriteFileManifest(list));
  }
  void InstallAs(const Files& files) {
    for (const auto& [path, data] : files) {
      platform::MakeDirectories(platform::DirName(InstallFile(path)));
      ASSERT_TRUE(platform::WriteStringToFile(InstallFile(path), data));
    }
  }
  std::string StoreUriOf(const std::string& data) const { return "/" + release::StoredFileAddress(delta_package::Sha256Of(data)); }
  size_t TimesAskedFor(const std::string& uri) const {
    size_t n = 0;
    for (const auto& l : server_.AccessLog()) n += l.uri == uri;
    return n;
  }
  // A step package carrying `n` bytes that do not compress.
  std::string NoiseStep(const std::string& from, const std::string& to, size_t n, uint32_t seed) {
    const std::string name = "noise-" + to + ".bin";
    EXPECT_TRUE(platform::WriteStringToFile(client_.Scratch(name), Noise(n, seed)));
    return "package " + from + " " + to + "\n file data/" + name + " " + client_.Scratch(name) + "\n";
  }
};

TEST_F(RouteTest, AChainDearerThanTheFilesThatDifferGivesWayToThePerFileRoute) {
  SetClientKey(MakeKey("publisher.key"));
  const Files v1 = {{"data/a.bin", Noise(200000, 1)}, {"ok.txt", "fine\n"}, {"old.txt", "retired in 1.0.0.3\n"}};
  Files v3 = v1;
  v3.erase("old.txt");
  v3["ok.txt"] = "better\n";
  v3["new.txt"] = "new in 1.0.0.3\n";
  Publish("1.0.0.3", NoiseStep("1.0.0.1", "1.0.0.2", 300000, 7) + NoiseStep("1.0.0.2", "1.0.0.3", 300000, 8),
          KeyFile("publisher.key"));
  StoreVersion("1.0.0.1", v1);
  StoreVersion("1.0.0.3", v3);
  InstallAs(v1);
  SetClient("1.0.0.1", server_.Url(""));

  RunEngine();
  EXPECT_EQ(FinalState(), "5") << Log();
  EXPECT_EQ(ClientVersion(), "1.0.0.3");
  for (const auto& [path, data] : v3) EXPECT_TRUE(Installed(path) == data) << path;
  EXPECT_FALSE(platform::Exists(InstallFile("old.txt")));  // as the chain would have removed it
  EXPECT_FALSE(AnyPackageRequested());
  std::vector<std::string> want = {StoreUriOf(v3.at("ok.txt")), StoreUriOf(v3.at("new.txt"))};
  std::sort(want.begin(), want.end());
  EXPECT_EQ(StoreRequests(), want);
  // The pass that chose the route read each list once.
  EXPECT_EQ(TimesAskedFor("/1.0.0.3/files.txt"), 1u);
  EXPECT_EQ(TimesAskedFor("/1.0.0.1/files.txt"), 1u);
  const uint64_t files_bytes =
      delta_package::Compress(v3.at("ok.txt")).size() + delta_package::Compress(v3.at("new.txt")).size();
  EXPECT_EQ(Count("route to 1.0.0.3: per-file " + std::to_string(files_bytes) + " bytes, the chain of 2 steps "), 1u)
      << Log();
  EXPECT_TRUE(InOrder({"bytes: taking the per-file route", "repair: 2 files installed, 1 removed, version 1.0.0.3",
                       "update ended: 5"}))
      << Log();
}

TEST_F(RouteTest, ADirectStepCheaperThanTheFilesIsTakenAndGivesWayToThemWhenItCannotBeHad) {
  SetClientKey(MakeKey("publisher.key"));
  // The one file that differs is larger than the step's whole package.
  const Files v1 = {{"data/a.bin", Noise(4000000, 1)}, {"ok.txt", "fine\n"}};
  Files v2 = v1;
  v2["data/a.bin"] = Noise(4000000, 2);
  Publish("1.0.0.2", "package 1.0.0.1 1.0.0.2\n text marker.txt x\n", KeyFile("publisher.key"));
  StoreVersion("1.0.0.1", v1);
  StoreVersion("1.0.0.2", v2);
  InstallAs(v1);
  SetClient("1.0.0.1", server_.Url(""));
  RunEngine();
  EXPECT_EQ(FinalState(), "5") << Log();
  EXPECT_EQ(ClientVersion(), "1.0.0.2");
  EXPECT_TRUE(AnyPackageRequested());
  EXPECT_TRUE(StoreRequests().empty());
  EXPECT_EQ(Count(" bytes: taking the direct step"), 1u) << Log();

  // The same step whose package the server no longer has: the files that
  // differ, not the end of the update.
  testkit::RemoveTree(install_ + "log");
  testkit::RemoveTree(DocPath("packages"));
  InstallAs(v1);
  SetClient("1.0.0.1", server_.Url(""));
  server_.ClearAccessLog();
  RunEngine();
  EXPECT_EQ(FinalState(), "5") << Log();
  EXPECT_EQ(ClientVersion(), "1.0.0.2");
  EXPECT_TRUE(Installed("data/a.bin") == v2.at("data/a.bin"));
  EXPECT_EQ(StoreRequests(), std::vector<std::string>{StoreUriOf(v2.at("data/a.bin"))});
  EXPECT_TRUE(InOrder({": taking the direct step", "] WARN:", "the package of the step failed (",
                       "), taking the per-file route from 1.0.0.1 to 1.0.0.2",
                       "repair: 1 files installed, 0 removed, version 1.0.0.2",
                       "update ended: 5"}))
      << Log();
}

}  // namespace
