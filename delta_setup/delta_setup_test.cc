// Release packages through the real programs: publish release builds them,
// the delta setup program installs them.
#include <algorithm>
#include <filesystem>
#include <functional>
#include <map>
#include <random>

#ifndef _WIN32
#include <unistd.h>
#endif

#include "delta_setup/delta_format.h"
#include "delta_setup/delta_install.h"
#include "gtest/gtest.h"
#include "platform/file.h"
#include "platform/ini.h"
#include "platform/path.h"
#include "platform/process.h"
#include "publisher/pkgtool/package_tool.h"
#include "testing/testing.h"

namespace {

using testkit::BuiltProgram;
using testkit::TempDir;
using Tree = std::map<std::string, std::string>;  // relative path ('/') -> bytes

class Random {
 public:
  explicit Random(unsigned seed) : gen_(seed) {}
  int Below(int n) { return n <= 0 ? 0 : std::uniform_int_distribution<int>(0, n - 1)(gen_); }
  bool Chance(int percent) { return Below(100) < percent; }
  std::string Bytes(int n) {
    std::string s(static_cast<size_t>(n), '\0');
    for (char& c : s) c = static_cast<char>(Below(256));
    return s;
  }

 private:
  std::mt19937 gen_;
};

// An engine package: a few exports with data, as pkgtool builds them.
struct Package {
  std::vector<std::string> data;  // one export per entry
};

std::string BuildEngineFile(const Package& p) {
  pkgtool::PackageModel m;
  m.Imports.push_back({m.NameSlot(L"Core"), m.NameSlot(L"Class"), 0, m.NameSlot(L"Texture")});
  for (size_t i = 0; i < p.data.size(); ++i)
    m.Exports.push_back({-1, 0, 0, m.NameSlot(L"Obj" + std::to_wstring(i)), 0,
                         std::vector<BYTE>(p.data[i].begin(), p.data[i].end())});
  const std::vector<BYTE> bytes = pkgtool::BuildPackage(m);
  return std::string(bytes.begin(), bytes.end());
}

struct Client {
  std::map<std::string, Package> engine;  // path -> package
  Tree other;
  Tree Files() const {
    Tree t = other;
    for (const auto& [path, p] : engine) t[path] = BuildEngineFile(p);
    return t;
  }
};

Client RandomClient(Random& r) {
  Client c;
  for (int i = 0, n = 2 + r.Below(3); i < n; ++i) {
    Package p;
    for (int k = 0, m = 2 + r.Below(6); k < m; ++k) p.data.push_back(r.Bytes(50 + r.Below(3000)));
    c.engine["System/Pkg" + std::to_string(i) + ".u"] = p;
  }
  c.other["Quillfen.ini"] = "[main]\n";
  for (int i = 0, n = 1 + r.Below(4); i < n; ++i) c.other["data/file" + std::to_string(i) + ".txt"] = r.Bytes(r.Below(400));
  return c;
}

Client Edit(Client c, Random& r) {
  for (auto& [path, p] : c.engine) {
    for (std::string& d : p.data) {
      if (r.Chance(20) && !d.empty()) d[r.Below(static_cast<int>(d.size()))] ^= 0x5A;
      if (r.Chance(10)) d += r.Bytes(r.Below(100));
    }
    if (r.Chance(20)) p.data.push_back(r.Bytes(100));
  }
  if (r.Chance(40)) c.engine.erase(c.engine.begin());
  if (r.Chance(40)) c.engine["System/New" + std::to_string(r.Below(1000)) + ".u"] = Package{{r.Bytes(500)}};
  if (r.Chance(50) && !c.other.empty()) c.other.erase(std::prev(c.other.end()));
  if (r.Chance(50)) c.other["data/added" + std::to_string(r.Below(1000)) + ".txt"] = r.Bytes(r.Below(300));
  for (auto& [path, bytes] : c.other)
    if (r.Chance(30)) bytes += "changed";
  return c;
}

void WriteTree(const std::string& dir, const Tree& t) {
  for (const auto& [path, bytes] : t) {
    std::string native = path;
    for (char& ch : native)
      if (ch == '/') ch = platform::kPathSep;
    const std::string full = platform::JoinPath(dir, native);
    platform::MakeDirectories(platform::DirName(full));
    ASSERT_TRUE(platform::WriteStringToFile(full, bytes));
  }
}

// Every file below `dir`, the setup program's own staging and journal too.
Tree ReadTree(const std::string& dir) {
  Tree t;
  std::error_code ec;
  for (auto it = std::filesystem::recursive_directory_iterator(dir, ec);
       !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
    if (it->is_directory()) continue;
    std::string rel = std::filesystem::relative(it->path(), dir).generic_string();
    platform::ReadFileToString(it->path().string(), &t[rel]);
  }
  return t;
}

// Two trees compared by path and content; a difference is reported by its
// paths and sizes, not by the bytes (the files are binary and large).
::testing::AssertionResult SameTree(const Tree& actual, const Tree& expected) {
  std::string diff;
  for (const auto& [path, bytes] : actual) {
    auto it = expected.find(path);
    if (it == expected.end()) diff += "\n  unexpected " + path + " (" + std::to_string(bytes.size()) + " bytes)";
    else if (it->second != bytes)
      diff += "\n  differs " + path + " (" + std::to_string(bytes.size()) + " bytes, expected " +
              std::to_string(it->second.size()) + ")";
  }
  for (const auto& [path, bytes] : expected)
    if (!actual.count(path)) diff += "\n  missing " + path + " (" + std::to_string(bytes.size()) + " bytes)";
  if (diff.empty()) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "the trees differ:" << diff;
}

Tree Installed(Tree files, const std::string& version) {
  files[delta_package::kVersionStore] = "[version]\r\nClientVersion=" + version + "\r\n";
  return files;
}

struct Outcome {
  int code = -1000;
  std::string output;
};

Outcome RunProgram(const std::string& line, const std::string& output_file) {
  Outcome r;
  auto p = platform::StartProcess(line, std::string(), output_file);
  EXPECT_TRUE(p && p->Wait());
  if (p) r.code = p->ExitCode();
  platform::ReadFileToString(output_file, &r.output);
  return r;
}

Outcome RunSetup(const std::string& package, const std::string& install_dir, const std::string& scratch) {
  platform::MakeExecutable(package);
  return RunProgram(platform::QuoteArgument(package) + " /USERNAME=Renewel /D=" + install_dir, scratch + "setup.out");
}

// A release built from client versions 1.0.0.1, 1.0.0.2, ...
class Release {
 public:
  // `options` for publish release; the steps one by one unless told.
  explicit Release(const std::vector<Tree>& versions, const std::string& options = "--direct 0") {
    for (size_t i = 0; i < versions.size(); ++i) WriteTree(dir_ / ("builds/" + Version(i)), versions[i]);
    const Outcome r = RunProgram(platform::QuoteArgument(BuiltProgram("publish")) + " release " +
                                 platform::QuoteArgument(dir_ / "builds") + " " + platform::QuoteArgument(dir_ / "out") +
                                 " http://127.0.0.1:1/ --unsigned " + options,
                             dir_ / "publish.out");
    EXPECT_EQ(r.code, 0) << r.output;
    summary_ = r.output;
  }
  static std::string Version(size_t i) { return "1.0.0." + std::to_string(i + 1); }
  // The delta (or full) package <i>/version.xml names (the step i -> i+1,
  // or a direct one), as a local path.
  std::string Package(size_t from, bool full) const {
    std::string doc;
    platform::ReadFileToString(dir_ / ("out/" + Version(from) + "/version.xml"), &doc);
    const std::string element = full ? "<fullpackageurl>" : "<packageurl>";
    const size_t at = doc.find(element);
    EXPECT_NE(at, std::string::npos);
    const size_t start = doc.find("packages/", at), end = doc.find('<', at + 1);
    std::string rel = doc.substr(start, end - start);
    for (char& ch : rel)
      if (ch == '/') ch = platform::kPathSep;
    return dir_ / ("out" + std::string(1, platform::kPathSep) + rel);
  }
  delta_package::Manifest ManifestOf(const std::string& package) const {
    std::string bytes, payload, error;
    platform::ReadFileToString(package, &bytes);
    EXPECT_TRUE(delta_package::Detach(bytes, nullptr, &payload));
    delta_package::Manifest m;
    uint64_t size = 0;
    EXPECT_TRUE(delta_package::ParseManifest(payload, &m, &size, &error)) << error;
    return m;
  }
  const std::string& summary() const { return summary_; }
  const TempDir& dir() const { return dir_; }

 private:
  TempDir dir_;
  std::string summary_;
};

// Random clients and edits: the chain of deltas and the chain of full
// packages give the same tree, the last version's files and nothing else.
TEST(DeltaSetup, DeltasAndFullPackagesGiveTheSameTree) {
  pkgtool::InstallServices();
  int patched = 0, differenced = 0, deleted = 0;
  for (unsigned seed = 1; seed <= 5; ++seed) {
    Random r(seed);
    std::vector<Client> clients{RandomClient(r)};
    clients.push_back(Edit(clients.back(), r));
    clients.push_back(Edit(clients.back(), r));
    std::vector<Tree> trees;
    for (const Client& c : clients) trees.push_back(c.Files());
    Release release(trees);
    TempDir by_delta, by_full;
    WriteTree(by_delta.Path(), Installed(trees[0], "1.0.0.1"));
    WriteTree(by_full.Path(), Installed(trees[0], "1.0.0.1"));
    for (size_t step = 0; step + 1 < trees.size(); ++step) {
      const std::string delta = release.Package(step, false);
      const delta_package::Manifest m = release.ManifestOf(delta);
      patched += static_cast<int>(m.patches.size());
      differenced += static_cast<int>(m.bdiffs.size());
      deleted += static_cast<int>(m.deletes.size());
      const Outcome a = RunSetup(delta, by_delta.Path(), release.dir().Path());
      ASSERT_EQ(a.code, 0) << "seed " << seed << " step " << step << ": " << a.output;
      const Outcome b = RunSetup(release.Package(step, true), by_full.Path(), release.dir().Path());
      ASSERT_EQ(b.code, 0) << "seed " << seed << " step " << step << ": " << b.output;
      EXPECT_TRUE(SameTree(ReadTree(by_delta.Path()), Installed(trees[step + 1], Release::Version(step + 1))))
          << "seed " << seed << " step " << step;
      EXPECT_TRUE(SameTree(ReadTree(by_full.Path()), ReadTree(by_delta.Path()))) << "seed " << seed << " step " << step;
    }
    // The direct delta (and its full package) from the first version gives
    // the same tree in one step.
    if (seed <= 2) {
      Release direct(trees, "--direct 5");
      for (const bool full : {false, true}) {
        TempDir one_step;
        WriteTree(one_step.Path(), Installed(trees[0], "1.0.0.1"));
        const std::string package = direct.Package(0, full);
        ASSERT_NE(package.find("_1.0.0.1_to_1.0.0.3"), std::string::npos) << package << direct.summary();
        const Outcome o = RunSetup(package, one_step.Path(), direct.dir().Path());
        ASSERT_EQ(o.code, 0) << "seed " << seed << ": " << o.output;
        EXPECT_TRUE(SameTree(ReadTree(one_step.Path()), ReadTree(by_delta.Path()))) << "seed " << seed;
      }
    }
  }
  // The fixture reaches difference files, binary differences and deletions.
  EXPECT_GT(patched, 5);
  EXPECT_GT(differenced, 0);
  EXPECT_GT(deleted, 0);
}

// Changed files that are not engine packages go as binary differences when
// those are smaller, and install byte-identical; a small file goes whole.
TEST(DeltaSetup, ChangedFilesGoAsBinaryDifferencesAndInstallByteIdentical) {
  Random r(11);
  Tree v1;
  v1["data/movie.bin"] = r.Bytes(5 << 20);
  v1["bin/tool.exe"] = r.Bytes(300000);
  v1["data/readme.txt"] = "one\n";
  Tree v2 = v1;
  v2["data/movie.bin"][2000000] ^= 1;
  v2["bin/tool.exe"].insert(1000, r.Bytes(100));
  v2["bin/tool.exe"].erase(200000, 5000);
  v2["data/readme.txt"] = "two\n";
  Release release({v1, v2});
  EXPECT_NE(release.summary().find("(0 patched, 1 whole, 2 differenced, 0 deleted)"), std::string::npos)
      << release.summary();
  const std::string delta = release.Package(0, false);
  const delta_package::Manifest m = release.ManifestOf(delta);
  ASSERT_EQ(m.bdiffs.size(), 2u);
  EXPECT_FALSE(m.has_gleaner);
  for (const auto& [path, blob] : m.bdiffs) EXPECT_LT(blob.size, 10u * 1024) << path;
  std::string bytes, payload;
  platform::ReadFileToString(delta, &bytes);
  ASSERT_TRUE(delta_package::Detach(bytes, nullptr, &payload));
  EXPECT_LT(payload.size(), 20u * 1024);

  TempDir install;
  WriteTree(install.Path(), Installed(v1, "1.0.0.1"));
  Outcome o = RunSetup(delta, install.Path(), release.dir().Path());
  ASSERT_EQ(o.code, 0) << o.output;
  EXPECT_TRUE(SameTree(ReadTree(install.Path()), Installed(v2, "1.0.0.2")));

  // A locally changed input is refused before anything is written.
  TempDir changed;
  Tree local = Installed(v1, "1.0.0.1");
  local["bin/tool.exe"][5] ^= 1;
  WriteTree(changed.Path(), local);
  o = RunSetup(delta, changed.Path(), release.dir().Path());
  EXPECT_EQ(o.code, delta_install::kInputMismatch) << o.output;
  EXPECT_NE(o.output.find("bin/tool.exe: changed locally"), std::string::npos) << o.output;
  EXPECT_TRUE(SameTree(ReadTree(changed.Path()), local));
}

// The manifest's binary difference lines: numbers, paths, and each with its
// input and output; never in a full package.
TEST(DeltaManifest, BinaryDifferenceLinesAreChecked) {
  const std::string sha(64, 'A'), head = "RNWL-DELTA 1\nversion 2\nfrom 1\n";
  const std::string in = "input " + sha + " a\n", out = "output " + sha + " - a\n";
  auto refusal = [](const std::string& text) {
    delta_package::Manifest m;
    uint64_t size = 0;
    std::string error;
    return delta_package::ParseManifest(text, &m, &size, &error) ? std::string("accepted") : error;
  };
  delta_package::Manifest m;
  uint64_t size = 0;
  std::string error;
  const std::string good = head + in + out + "bdiff 7 10 a\nend\n";
  ASSERT_TRUE(delta_package::ParseManifest(good + "blobs", &m, &size, &error)) << error;
  ASSERT_EQ(m.bdiffs.size(), 1u);
  EXPECT_EQ(m.bdiffs[0].first, "a");
  EXPECT_EQ(m.bdiffs[0].second.offset, 7u);
  EXPECT_EQ(m.bdiffs[0].second.size, 10u);
  EXPECT_EQ(size, good.size());
  EXPECT_EQ(refusal(head + out + "bdiff 0 10 a\nend\n"), "no input digest for a");
  EXPECT_EQ(refusal("RNWL-DELTA 1\nversion 2\n" + out + "bdiff 0 10 a\nend\n"), "a full package with inputs");
  EXPECT_EQ(refusal(head + in + out + "bdiff 0 10 a\nwhole 10 5 5 a\nend\n"), "two sources for a");
  EXPECT_EQ(refusal(head + in + "bdiff 0 10 a\nend\n"), "outputs and their sources differ");
  EXPECT_EQ(refusal(head + in + out + "bdiff x 10 a\nend\n"), "bad bdiff line");
  EXPECT_EQ(refusal(head + in + out + "bdiff 0 1000000000000000000 a\nend\n"), "bad bdiff line");
  EXPECT_EQ(refusal(head + in + out + "bdiff 0 -1 a\nend\n"), "bad bdiff line");
  EXPECT_EQ(refusal(head + in + out + "bdiff 0 10 ../a\nend\n"), "refused path: ../a");
  // A payload written with one reads back the same.
  delta_package::PayloadWriter w("2", "1");
  w.AddInput("data/x.bin", sha);
  w.AddOutput("data/x.bin", sha, false);
  w.AddWhole("data/y.txt", "y");
  w.AddOutput("data/y.txt", sha, false);
  w.AddBinaryDiff("data/x.bin", "DIFF");
  const std::string payload = w.Payload();
  ASSERT_TRUE(delta_package::ParseManifest(payload, &m, &size, &error)) << error;
  ASSERT_EQ(m.bdiffs.size(), 1u);
  EXPECT_EQ(payload.substr(static_cast<size_t>(size + m.bdiffs[0].second.offset), 4), "DIFF");
}

// A small release with patched engine packages, a file sent as a binary
// difference, a file sent whole and a deleted file.
class OneStep : public ::testing::Test {
 protected:
  void SetUp() override {
    pkgtool::InstallServices();
    Client c;
    c.engine["System/Core.u"] = Package{{std::string(4000, 'a'), std::string(3000, 'b')}};
    c.engine["System/Engine.u"] = Package{{std::string(2000, 'c')}};
    c.other["data/readme.txt"] = "one\n";
    c.other["data/gone.txt"] = "to be removed\n";
    c.other["data/media.bin"] = Random(7).Bytes(64 * 1024);
    Client d = c;
    d.other["data/media.bin"][40000] ^= 1;
    d.engine["System/Core.u"].data[1][100] = 'B';
    d.engine["System/Engine.u"].data.push_back("new object");
    d.other["data/readme.txt"] = "two\n";
    d.other.erase("data/gone.txt");
    old_ = c.Files();
    new_ = d.Files();
    release_ = std::make_unique<Release>(std::vector<Tree>{old_, new_});
    delta_ = release_->Package(0, false);
    ASSERT_EQ(release_->ManifestOf(delta_).patches.size(), 2u) << release_->summary();
    ASSERT_EQ(release_->ManifestOf(delta_).bdiffs.size(), 1u) << release_->summary();
    install_ = platform::JoinPath(install_root_ / "client", "");
    WriteTree(install_, Installed(old_, "1.0.0.1"));
  }
  Tree OldTree() const { return Installed(old_, "1.0.0.1"); }
  Tree NewTree() const { return Installed(new_, "1.0.0.2"); }

  Tree old_, new_;
  std::unique_ptr<Release> release_;
  std::string delta_;
  TempDir install_root_;
  std::string install_;
};

TEST_F(OneStep, InstallsAndASecondRunFindsItInPlace) {
  Outcome r = RunSetup(delta_, install_, install_root_.Path());
  ASSERT_EQ(r.code, 0) << r.output;
  EXPECT_TRUE(SameTree(ReadTree(install_), NewTree()));
  EXPECT_FALSE(platform::Exists(platform::JoinPath(install_, "data/gone.txt")));
  const delta_package::Manifest m = release_->ManifestOf(delta_);
  ASSERT_GT(m.outputs.size(), 1u);
  ASSERT_EQ(m.deletes.size(), 1u);
  // Whole lines, whatever the line ends (Windows' text output writes CR LF).
  auto lines = [](std::string text) {
    text.erase(std::remove(text.begin(), text.end(), '\r'), text.end());
    return "\n" + text;
  };
  EXPECT_NE(lines(r.output).find("\ndelta_setup: installed version 1.0.0.2 (" + std::to_string(m.outputs.size()) +
                                 " files written, 1 removed)\n"),
            std::string::npos)
      << r.output;
  r = RunSetup(delta_, install_, install_root_.Path());
  EXPECT_EQ(r.code, 0) << r.output;
  EXPECT_NE(lines(r.output).find("\ndelta_setup: version 1.0.0.2 is already installed\n"), std::string::npos)
      << r.output;
  EXPECT_TRUE(SameTree(ReadTree(install_), NewTree()));
}

// The install directory may be named relative to the working directory; the
// staging directory is gone afterwards.
TEST_F(OneStep, InstallsIntoADirectoryNamedRelatively) {
  platform::MakeExecutable(delta_);
  const std::string out = install_root_ / "setup.out";
  auto p = platform::StartProcess(platform::QuoteArgument(delta_) + " /USERNAME=Renewel /D=client", install_root_.Path(),
                                  out);
  ASSERT_TRUE(p && p->Wait());
  std::string output;
  platform::ReadFileToString(out, &output);
  ASSERT_EQ(p->ExitCode(), 0) << output;
  EXPECT_TRUE(SameTree(ReadTree(install_), NewTree()));
  EXPECT_FALSE(platform::Exists(install_ + delta_package::kStagingDir));
  EXPECT_FALSE(platform::Exists(install_ + delta_package::kJournal));
}

TEST_F(OneStep, ALocallyChangedEnginePackageIsRefusedBeforeAnythingIsWritten) {
  std::string core;
  ASSERT_TRUE(platform::ReadFileToString(install_ + "System/Core.u", &core));
  core[core.size() / 2] ^= 1;
  ASSERT_TRUE(platform::WriteStringToFile(install_ + "System/Core.u", core));
  const Tree before = ReadTree(install_);
  const Outcome r = RunSetup(delta_, install_, install_root_.Path());
  EXPECT_EQ(r.code, delta_install::kInputMismatch) << r.output;
  EXPECT_NE(r.output.find("System/Core.u: changed locally"), std::string::npos) << r.output;
  EXPECT_TRUE(SameTree(ReadTree(install_), before));
  // The full package is the way out.
  const Outcome full = RunSetup(release_->Package(0, true), install_, install_root_.Path());
  EXPECT_EQ(full.code, 0) << full.output;
  EXPECT_TRUE(SameTree(ReadTree(install_), NewTree()));
}

TEST_F(OneStep, AMissingEnginePackageIsRefusedToo) {
  ASSERT_TRUE(platform::RemoveFile(install_ + "System/Engine.u"));
  const Tree before = ReadTree(install_);
  const Outcome r = RunSetup(delta_, install_, install_root_.Path());
  EXPECT_EQ(r.code, delta_install::kInputMismatch) << r.output;
  EXPECT_NE(r.output.find("System/Engine.u: missing"), std::string::npos) << r.output;
  EXPECT_TRUE(SameTree(ReadTree(install_), before));
}

// The package with its payload replaced; the program part stays.
std::string Repack(const std::string& package, const std::string& payload, const std::string& dest) {
  std::string bytes, program;
  platform::ReadFileToString(package, &bytes);
  EXPECT_TRUE(delta_package::Detach(bytes, &program, nullptr));
  EXPECT_TRUE(platform::WriteStringToFile(dest, delta_package::Attach(program, payload)));
  return dest;
}

TEST_F(OneStep, ADamagedDifferenceFileFailsInGleanerAndLeavesTheInstallUntouched) {
  std::string bytes, payload, error;
  platform::ReadFileToString(delta_, &bytes);
  ASSERT_TRUE(delta_package::Detach(bytes, nullptr, &payload));
  delta_package::Manifest m;
  uint64_t manifest_size = 0;
  ASSERT_TRUE(delta_package::ParseManifest(payload, &m, &manifest_size, &error));
  // The name count of the first difference file (after version, flags and
  // GUID) becomes huge: Gleaner reads past the end of the file.
  const size_t at = static_cast<size_t>(manifest_size + m.patches[0].second.offset) + 24;
  for (int i = 0; i < 4; ++i) payload[at + i] = '\x7F';
  const std::string damaged = Repack(delta_, payload, install_root_ / "damaged");
  const Outcome r = RunSetup(damaged, install_, install_root_.Path());
  EXPECT_EQ(r.code, delta_install::kGleanerFailed) << r.output;
  EXPECT_NE(r.output.find(m.patches[0].first + ": the patch tool failed"), std::string::npos) << r.output;
  EXPECT_TRUE(SameTree(ReadTree(install_), OldTree()));
}

TEST_F(OneStep, ADamagedBinaryDifferenceIsRefusedAndLeavesTheInstallUntouched) {
  std::string bytes, payload, error;
  platform::ReadFileToString(delta_, &bytes);
  ASSERT_TRUE(delta_package::Detach(bytes, nullptr, &payload));
  delta_package::Manifest m;
  uint64_t manifest_size = 0;
  ASSERT_TRUE(delta_package::ParseManifest(payload, &m, &manifest_size, &error));
  ASSERT_EQ(m.bdiffs.size(), 1u);
  const auto& [path, blob] = m.bdiffs[0];
  // A bit of the new file's digest in the header: the result is refused.
  std::string damaged = payload;
  damaged[static_cast<size_t>(manifest_size + blob.offset) + 60] ^= 1;
  Outcome r = RunSetup(Repack(delta_, damaged, install_root_ / "damaged"), install_, install_root_.Path());
  EXPECT_EQ(r.code, delta_install::kOutputMismatch) << r.output;
  EXPECT_NE(r.output.find(path + ": binary difference: the result's SHA-256 is not the header's"), std::string::npos)
      << r.output;
  EXPECT_TRUE(SameTree(ReadTree(install_), OldTree()));
  // Its size reaching past the payload's end (offsets count from the
  // manifest's end, so the longer line moves nothing).
  const std::string line = "bdiff " + std::to_string(blob.offset) + " " + std::to_string(blob.size) + " ";
  const size_t at = payload.find(line);
  ASSERT_NE(at, std::string::npos);
  damaged = payload;
  damaged.replace(at, line.size(), "bdiff " + std::to_string(blob.offset) + " " + std::to_string(payload.size()) + " ");
  r = RunSetup(Repack(delta_, damaged, install_root_ / "outside"), install_, install_root_.Path());
  EXPECT_EQ(r.code, delta_install::kNoPayload) << r.output;
  EXPECT_NE(r.output.find("a blob lies outside the payload"), std::string::npos) << r.output;
  EXPECT_TRUE(SameTree(ReadTree(install_), OldTree()));
}

TEST_F(OneStep, AnOutputThatDisagreesWithTheManifestLeavesTheInstallUntouched) {
  delta_package::PayloadWriter w("1.0.0.2");
  w.AddWhole("data/readme.txt", "two\n");
  w.AddOutput("data/readme.txt", delta_package::Sha256Of("three\n"), false);
  const Outcome r = RunSetup(Repack(delta_, w.Payload(), install_root_ / "bad"), install_, install_root_.Path());
  EXPECT_EQ(r.code, delta_install::kOutputMismatch) << r.output;
  EXPECT_NE(r.output.find("data/readme.txt: the new file does not match"), std::string::npos) << r.output;
  EXPECT_TRUE(SameTree(ReadTree(install_), OldTree()));
}

TEST_F(OneStep, HostileManifestsAreRefusedWithNothingWritten) {
  TempDir outside;
  std::error_code ec;
  // A link inside the install that leads out of it; Windows lets only a
  // privileged user make one, and there the case is left out.
  std::filesystem::create_directory_symlink(outside.Path(), install_ + "link", ec);
  const bool have_link = !ec;
  if (!have_link) std::fprintf(stderr, "no link made (%s): that case is left out\n", ec.message().c_str());
  const Tree before = ReadTree(install_);
  std::vector<std::string> hostile = {
      "/tmp/evil.txt", "../evil.txt",       "data/../../evil.txt", "C:/evil.txt",         "data\\..\\evil.txt",
      "./evil.txt",    "data//evil.txt",    "dovra_version.ini",   ".delta-setup.journal", ".delta-setup/x/0.new",
      // Names Windows takes for another file or a device, and the setup
      // program's own names in another letter case or as short aliases.
      "CON", "System/NUL", "LPT1", "CONIN$", "data/aux.txt", "System/com3.log", "dovra_version.ini.",
      "data/readme.txt ", "DOVRA_~1.INI", ".DELTA-~1.JOU", "DOVRA_VERSION.INI", ".Delta-Setup.Journal",
      ".DELTA-SETUP/1/0.new"};
  if (have_link) hostile.push_back("link/evil.txt");
  for (const std::string& path : hostile) {
    for (int kind = 0; kind < 2; ++kind) {
      delta_package::PayloadWriter w("1.0.0.2");
      w.AddWhole("data/readme.txt", "two\n");
      w.AddOutput("data/readme.txt", delta_package::Sha256Of("two\n"), false);
      if (kind == 0) {
        w.AddWhole(path, "evil");
        w.AddOutput(path, delta_package::Sha256Of("evil"), false);
      } else {
        w.AddDelete(path);
      }
      const Outcome r = RunSetup(Repack(delta_, w.Payload(), install_root_ / "hostile"), install_, install_root_.Path());
      EXPECT_EQ(r.code, delta_install::kRefused) << path << ": " << r.output;
      EXPECT_NE(r.output.find("refused"), std::string::npos) << path << ": " << r.output;
      EXPECT_TRUE(SameTree(ReadTree(install_), before)) << path;
      EXPECT_TRUE(ReadTree(outside.Path()).empty()) << path;
    }
  }
  // A link that stays inside is fine.
  if (!have_link) return;
  std::filesystem::remove(install_ + "link", ec);
  std::filesystem::create_directory_symlink(install_ + "data", install_ + "link", ec);
  delta_package::PayloadWriter w("1.0.0.2");
  w.AddWhole("link/inside.txt", "fine");
  w.AddOutput("link/inside.txt", delta_package::Sha256Of("fine"), false);
  const Outcome r = RunSetup(Repack(delta_, w.Payload(), install_root_ / "inside"), install_, install_root_.Path());
  EXPECT_EQ(r.code, 0) << r.output;
  EXPECT_TRUE(platform::Exists(install_ + "data/inside.txt"));
}

// Killed at every step boundary, then run again: after the kill the client
// is the old version with its old files or holds a committed journal; the
// next run always ends at the new version with the new files.
TEST_F(OneStep, KilledAtEveryStepThenRunAgain) {
  std::string bytes, program, payload, paused_program;
  ASSERT_TRUE(platform::ReadFileToString(delta_, &bytes));
  ASSERT_TRUE(delta_package::Detach(bytes, &program, &payload));
  ASSERT_TRUE(platform::ReadFileToString(BuiltProgram("delta_setup_paused"), &paused_program));
  const std::string paused = install_root_ / "paused_package";
  ASSERT_TRUE(platform::WriteStringToFile(paused, delta_package::Attach(paused_program, payload)));
  platform::MakeExecutable(paused);
  const std::string journal = install_ + delta_package::kJournal;
  auto without_setup_files = [&](Tree t) {
    for (auto it = t.begin(); it != t.end();)
      it = it->first.rfind(".delta-setup", 0) == 0 ? t.erase(it) : std::next(it);
    return t;
  };
  int kills = 0, committed = 0;
  for (int step = 1; step < 100; ++step) {
    WriteTree(install_, OldTree());
    platform::RemoveFile(install_root_ / "delta-paused");
    ASSERT_TRUE(platform::WriteStringToFile(install_root_ / "delta-pause-at", std::to_string(step)));
    auto p = platform::StartProcess(platform::QuoteArgument(paused) + " /USERNAME=Renewel /D=" + install_,
                                    std::string(), install_root_ / "paused.out");
    ASSERT_TRUE(p);
    bool reached = false;
    for (int i = 0; i < 600 && !reached; ++i) {
      if (platform::Exists(install_root_ / "delta-paused")) reached = true;
      else if (p->WaitFor(100)) break;
    }
    if (!reached) {
      // Past the last step: the run completed.
      ASSERT_TRUE(p->WaitFor(60000));
      EXPECT_EQ(p->ExitCode(), 0);
      EXPECT_TRUE(SameTree(ReadTree(install_), NewTree()));
      break;
    }
    p->Kill();
    p->Wait();
    ++kills;
    const Tree after = ReadTree(install_);
    const std::string version =
        platform::ProfileString("version", "ClientVersion", "", install_ + delta_package::kVersionStore);
    std::string journal_text;
    const bool commit = platform::ReadFileToString(journal, &journal_text) &&
                        journal_text.rfind(std::string(delta_package::kJournalHeader) + "\n", 0) == 0;
    committed += commit;
    if (version == "1.0.0.2") {
      EXPECT_TRUE(SameTree(without_setup_files(after), NewTree())) << "step " << step;
    } else {
      EXPECT_EQ(version, "1.0.0.1") << "step " << step;
      if (!commit) {
        EXPECT_TRUE(SameTree(without_setup_files(after), OldTree())) << "step " << step;
      }
    }
    const Outcome again = RunSetup(delta_, install_, install_root_.Path());
    EXPECT_EQ(again.code, 0) << "step " << step << ": " << again.output;
    EXPECT_TRUE(SameTree(ReadTree(install_), NewTree())) << "step " << step;
  }
  // Staging, commit, 1 deletion, 3 renames, version, journal removal.
  EXPECT_GE(kills, 9);
  EXPECT_GE(committed, 5);
  platform::RemoveFile(install_root_ / "delta-pause-at");
}

// The install journal of the package `package`, as its setup program would
// write it once staged in the process directory `pid`.
delta_package::Journal JournalOf(const std::string& package, const std::string& pid) {
  std::string bytes, payload, error;
  platform::ReadFileToString(package, &bytes);
  EXPECT_TRUE(delta_package::Detach(bytes, nullptr, &payload));
  delta_package::Manifest m;
  uint64_t size = 0;
  EXPECT_TRUE(delta_package::ParseManifest(payload, &m, &size, &error)) << error;
  delta_package::Journal j;
  j.manifest_sha256 = delta_package::ManifestSha256(payload.substr(0, static_cast<size_t>(size)));
  j.version = m.version;
  j.from = m.from;
  j.deletes = m.deletes;
  for (size_t i = 0; i < m.outputs.size(); ++i)
    j.renames.push_back({std::string(delta_package::kStagingDir) + "/" + pid + "/" + std::to_string(i) + ".new",
                         m.outputs[i].sha256, m.outputs[i].path, m.outputs[i].executable});
  return j;
}

// The files of an install, without the setup program's staging and journal.
Tree InstalledFiles(const std::string& dir) {
  Tree t = ReadTree(dir);
  for (auto it = t.begin(); it != t.end();)
    it = it->first.rfind(".delta-setup", 0) == 0 ? t.erase(it) : std::next(it);
  return t;
}

bool HoldsAnywhere(const Tree& t, const std::string& bytes) {
  for (const auto& [path, b] : t)
    if (b == bytes) return true;
  return false;
}

// Journals another user could have planted, in the first format and the
// present one: none is carried out. The planted staged file would replace an
// engine package and a deletion would remove a file; the package installs as
// if they were not there, and they are gone afterwards.
TEST_F(OneStep, AJournalNotWrittenForThisPackageIsNeverCarriedOut) {
  const std::string planted = "planted program\n", sha = delta_package::Sha256Of(planted);
  const std::string staged = std::string(delta_package::kStagingDir) + "/999999/0.new";
  delta_package::Journal own = JournalOf(delta_, "999999");
  delta_package::Journal other = own;
  other.manifest_sha256 = delta_package::Sha256Of("another manifest");
  delta_package::Journal handmade = own;  // this package's name, other work
  handmade.deletes = {"data/readme.txt"};
  handmade.renames = {{staged, sha, "System/Engine.u", true}};
  other.deletes = handmade.deletes;
  other.renames = handmade.renames;
  const std::vector<std::pair<std::string, std::string>> journals = {
      {"first format", "commit\nversion 1.0.0.2\ndelete data/readme.txt\nrename " + staged + " " + sha +
                           " x System/Engine.u\nend\n"},
      {"another package's", delta_package::JournalText(other)},
      {"hand-made under this package's name", delta_package::JournalText(handmade)},
  };
  for (const auto& [what, text] : journals) {
    WriteTree(install_, OldTree());
    WriteTree(install_, {{staged, planted}, {delta_package::kJournal, text}});
    const Outcome r = RunSetup(delta_, install_, install_root_.Path());
    EXPECT_EQ(r.code, 0) << what << ": " << r.output;
    EXPECT_NE(r.output.find("discarding the install journal"), std::string::npos) << what << ": " << r.output;
    EXPECT_TRUE(SameTree(ReadTree(install_), NewTree())) << what;
  }
}

// A journal or staging directory that is not this user's own, or that
// others may change, is refused with its own exit code and left as it was,
// by the delta and by the full package alike.
TEST_F(OneStep, AJournalOrStagingOthersMayChangeIsRefusedAndLeftInPlace) {
  const std::string planted = "planted program\n";
  const std::string staging = install_ + delta_package::kStagingDir, journal = install_ + delta_package::kJournal;
  delta_package::Journal j = JournalOf(delta_, "999999");
  struct Case {
    std::string what, name;
    std::function<bool()> plant;
  };
  std::vector<Case> cases = {
      {"a journal others may change", delta_package::kJournal,
       [&] { return platform::WriteStringToFile(journal, delta_package::JournalText(j)) && testkit::OpenToOthers(journal, true); }},
      {"a staging directory others may change", delta_package::kStagingDir,
       [&] {
         return platform::MakeDirectories(staging + platform::kPathSep + "999999") &&
                platform::WriteStringToFile(install_ + testkit::NativePath(j.renames[0].staged), planted) &&
                testkit::OpenToOthers(staging, true);
       }},
  };
#ifndef _WIN32
  if (geteuid() == 0) {
    cases.push_back({"a journal of another user", delta_package::kJournal, [&] {
                       return platform::WriteStringToFile(journal, delta_package::JournalText(j)) &&
                              chown(journal.c_str(), 4242, 4242) == 0;
                     }});
  } else {
    std::fprintf(stderr, "not root: the journal of another user is left out\n");
  }
  TempDir outside;
  cases.push_back({"a staging directory that is a link", delta_package::kStagingDir, [&] {
                     std::error_code ec;
                     std::filesystem::create_directory_symlink(outside.Path(), staging, ec);
                     return !ec;
                   }});
#endif
  for (const Case& c : cases) {
    for (bool full : {false, true}) {
      testkit::RemoveTree(install_);
      WriteTree(install_, OldTree());
      ASSERT_TRUE(c.plant()) << c.what;
      const Tree before = ReadTree(install_);
      const Outcome r = RunSetup(release_->Package(0, full), install_, install_root_.Path());
      EXPECT_EQ(r.code, delta_install::kUntrusted) << c.what << ": " << r.output;
      EXPECT_NE(r.output.find(c.name + " "), std::string::npos) << c.what << ": " << r.output;
      EXPECT_NE(r.output.find("refused"), std::string::npos) << c.what << ": " << r.output;
      EXPECT_NE(r.output.find("left in place"), std::string::npos) << c.what << ": " << r.output;
      EXPECT_TRUE(SameTree(ReadTree(install_), before)) << c.what;
    }
  }
  testkit::RemoveTree(install_);
}

// The install in this process, with a hook after every rename and deletion
// it makes (through the platform's file calls).
struct InProcess {
  static std::function<void()>& Hook() {
    static std::function<void()> hook;
    return hook;
  }
  explicit InProcess(std::function<void()> hook) {
    Hook() = std::move(hook);
    platform::FileCalls().move_file = [](const platform::FileName& from, const platform::FileName& to) {
      const bool moved = platform::RealFileCalls().move_file(from, to);
      Hook()();
      return moved;
    };
    platform::FileCalls().delete_file = [](const platform::FileName& path) {
      const bool deleted = platform::RealFileCalls().delete_file(path);
      Hook()();
      return deleted;
    };
  }
  ~InProcess() { Hook() = nullptr; }
  platform::ScopedFileCallsOverride restore_;
};

// A staged file changed once the journal is committed (by another program,
// or a planted one in its place) is not installed: each is checked again
// before its rename. The full package mends the install.
TEST_F(OneStep, AStagedFileChangedAfterStagingIsNotInstalled) {
  const std::string tampered = "tampered\n";
  bool done = false;
  int result = -1;
  {
    InProcess in([&] {
      std::string text, error;
      delta_package::Journal j;
      if (done || !platform::ReadFileToString(install_ + delta_package::kJournal, &text) ||
          !delta_package::ParseJournal(text, &j, &error))
        return;
      for (const auto& r : j.renames)
        if (r.path == "data/readme.txt") done = platform::WriteStringToFile(install_ + testkit::NativePath(r.staged), tampered);
    });
    result = delta_install::Install(delta_, install_);
  }
  ASSERT_TRUE(done) << "the hook never saw a committed journal";
  EXPECT_EQ(result, delta_install::kJournalFailed);
  EXPECT_FALSE(HoldsAnywhere(InstalledFiles(install_), tampered));
  EXPECT_EQ(platform::ProfileString("version", "ClientVersion", "", install_ + delta_package::kVersionStore), "1.0.0.1");
  // Run again, it is still refused; the full package installs the version.
  const Outcome again = RunSetup(delta_, install_, install_root_.Path());
  EXPECT_EQ(again.code, delta_install::kJournalFailed) << again.output;
  EXPECT_NE(again.output.find("data/readme.txt: the staged file"), std::string::npos) << again.output;
  EXPECT_FALSE(HoldsAnywhere(InstalledFiles(install_), tampered));
  const Outcome full = RunSetup(release_->Package(0, true), install_, install_root_.Path());
  EXPECT_EQ(full.code, 0) << full.output;
  // The staging of the first run stays: its process, this one, still runs.
  EXPECT_TRUE(SameTree(InstalledFiles(install_), NewTree()));
}

// What the file calls saw, in order: flushes and renames by file name.
struct DiskLog {
  static DiskLog& Get() {
    static DiskLog log;
    return log;
  }
  std::map<platform::NativeFile, std::string> names;
  std::vector<std::string> flushed;  // names, in order
  std::vector<std::pair<size_t, std::string>> commits;  // flushes before it, the journal text
  bool fail_staged_flush = false;
};

platform::Status LoggedOpen(const platform::FileName& name, const platform::FileOpenOptions& o, platform::NativeFile* f) {
  const platform::Status e = platform::RealFileCalls().open(name, o, f);
  if (e == platform::Status::kOk) DiskLog::Get().names[*f] = name.ToNarrow();
  return e;
}

platform::Status LoggedFlush(platform::NativeFile f) {
  DiskLog& log = DiskLog::Get();
  const std::string name = log.names[f];
  if (log.fail_staged_flush && name.find(std::string(delta_package::kStagingDir) + platform::kPathSep) != std::string::npos)
    return platform::Status::kRetryable;
  const platform::Status e = platform::RealFileCalls().flush(f);
  if (e == platform::Status::kOk) log.flushed.push_back(name);
  return e;
}

bool LoggedMove(const platform::FileName& from, const platform::FileName& to) {
  DiskLog& log = DiskLog::Get();
  const std::string target = to.ToNarrow(), journal = delta_package::kJournal;
  std::string text;
  if (target.size() >= journal.size() && target.compare(target.size() - journal.size(), journal.size(), journal) == 0 &&
      platform::ReadFileToString(from, &text) && text.rfind(delta_package::kJournalHeader, 0) == 0)
    log.commits.emplace_back(log.flushed.size(), text);
  return platform::RealFileCalls().move_file(from, to);
}

// Every staged file, and the journal itself, reach the disk before the
// rename that commits the journal; a staged file that cannot be put on the
// disk stops the install before the commit.
TEST_F(OneStep, StagedFilesAndTheJournalReachTheDiskBeforeTheCommit) {
  DiskLog& log = DiskLog::Get();
  log = DiskLog();
  int result = -1;
  {
    platform::ScopedFileCallsOverride restore;
    platform::FileCalls().open = LoggedOpen;
    platform::FileCalls().flush = LoggedFlush;
    platform::FileCalls().move_file = LoggedMove;
    result = delta_install::Install(delta_, install_);
  }
  ASSERT_EQ(result, 0);
  EXPECT_TRUE(SameTree(ReadTree(install_), NewTree()));
  ASSERT_EQ(log.commits.size(), 1u);
  const std::vector<std::string> before(log.flushed.begin(), log.flushed.begin() + log.commits[0].first);
  auto flushed_before = [&](const std::string& rel) {
    const std::string path = install_ + testkit::NativePath(rel);
    return std::find(before.begin(), before.end(), path) != before.end();
  };
  std::string error;
  delta_package::Journal j;
  ASSERT_TRUE(delta_package::ParseJournal(log.commits[0].second, &j, &error)) << error;
  ASSERT_EQ(j.renames.size(), 4u);  // two patched, one binary difference, one whole
  for (const auto& r : j.renames) EXPECT_TRUE(flushed_before(r.staged)) << r.staged;
  EXPECT_TRUE(flushed_before(std::string(delta_package::kJournal) + ".tmp"));

  WriteTree(install_, OldTree());
  log = DiskLog();
  log.fail_staged_flush = true;
  {
    platform::ScopedFileCallsOverride restore;
    platform::FileCalls().open = LoggedOpen;
    platform::FileCalls().flush = LoggedFlush;
    platform::FileCalls().move_file = LoggedMove;
    result = delta_install::Install(delta_, install_);
  }
  EXPECT_EQ(result, delta_install::kWriteFailed);
  EXPECT_TRUE(log.commits.empty());
  EXPECT_TRUE(SameTree(ReadTree(install_), OldTree()));
}

// Killed while its patch tool runs: the tool ends with it, and the next run
// installs and leaves no staging directory behind. The package's patch tool
// is a stand-in that reports its process id and never finishes.
TEST_F(OneStep, AKilledRunTakesItsPatchToolAlongAndTheNextLeavesNoStaging) {
  std::string stall;
  ASSERT_TRUE(platform::ReadFileToString(BuiltProgram("stall_child"), &stall));
  delta_package::PayloadWriter w("1.0.0.2", "1.0.0.1");
  w.AddInput("System/Core.u", delta_package::Sha256Of(old_.at("System/Core.u")));
  w.SetGleaner(stall);
  w.AddPatch("System/Core.u", "never read");
  w.AddOutput("System/Core.u", delta_package::Sha256Of(new_.at("System/Core.u")), false);
  const std::string package = Repack(delta_, w.Payload(), install_root_ / "stalling");
  platform::MakeExecutable(package);
  auto p = platform::StartProcess(platform::QuoteArgument(package) + " /USERNAME=Renewel /D=" + install_,
                                  std::string(), install_root_ / "stalling.out");
  ASSERT_TRUE(p);
  const std::string stage = install_ + delta_package::kStagingDir + platform::kPathSep + std::to_string(p->Id());
  const std::string pid_file = platform::JoinPath(stage, "stall.pid");
  std::string pid_text;
  for (int i = 0; i < 300 && !platform::ReadFileToString(pid_file, &pid_text); ++i) ASSERT_FALSE(p->WaitFor(100));
  ASSERT_FALSE(pid_text.empty()) << "the patch tool never started";
  const uint32_t tool = static_cast<uint32_t>(std::stoul(pid_text));
  ASSERT_TRUE(platform::ProcessIsAlive(tool));
  p->Kill();
  ASSERT_TRUE(p->Wait());
  bool ended = false;
  for (int i = 0; i < 50 && !ended; ++i) {
    ended = !platform::ProcessIsAlive(tool);
    if (!ended) platform::SleepMs(100);
  }
  EXPECT_TRUE(ended) << "the patch tool outlived its setup program by 5 s";
  EXPECT_TRUE(platform::IsDirectory(stage));

  const Outcome again = RunSetup(delta_, install_, install_root_.Path());
  EXPECT_EQ(again.code, 0) << again.output;
  EXPECT_TRUE(SameTree(ReadTree(install_), NewTree()));
  EXPECT_FALSE(platform::Exists(install_ + delta_package::kStagingDir));
}

// Killed after random delays, in the middle of steps as well.
TEST_F(OneStep, KilledAtRandomInstantsThenRunAgain) {
  Random r(7);
  for (int round = 0; round < 12; ++round) {
    WriteTree(install_, OldTree());
    platform::MakeExecutable(delta_);
    auto p = platform::StartProcess(platform::QuoteArgument(delta_) + " /USERNAME=Renewel /D=" + install_,
                                    std::string(), install_root_ / "random.out");
    ASSERT_TRUE(p);
    p->WaitFor(r.Below(60));
    p->Kill();
    p->Wait();
    const std::string version =
        platform::ProfileString("version", "ClientVersion", "", install_ + delta_package::kVersionStore);
    EXPECT_TRUE(version == "1.0.0.1" || version == "1.0.0.2") << version;
    const Outcome again = RunSetup(delta_, install_, install_root_.Path());
    EXPECT_EQ(again.code, 0) << again.output;
    EXPECT_TRUE(SameTree(ReadTree(install_), NewTree())) << "round " << round;
    EXPECT_FALSE(platform::Exists(install_ + delta_package::kStagingDir)) << "round " << round;
  }
}

}  // namespace
