#include "launcher/release/file_manifest.h"

#include <gtest/gtest.h>

#include <vector>

#include "delta_setup/delta_format.h"

namespace release {
namespace {

FileManifest Sample() {
  FileManifest m;
  m.version = "1.0.0.3";
  m.files.push_back({"Quillfen.exe", std::string(64, 'A'), 1000, 400, true});
  m.files.push_back({"System/Pack 1.u", std::string(64, 'B'), 0, 8, false});
  m.files.push_back({"System/Dovra.exe", std::string(64, 'C'), 5, 13, true});
  return m;
}

std::string Line(const std::string& file_line) {
  return "RNWL-FILES 1\nversion 1.0.0.3\n" + file_line + "\nend\n";
}

std::string Why(const std::string& text) {
  FileManifest m;
  std::string error;
  EXPECT_FALSE(ParseFileManifest(text, &m, &error)) << text;
  return error;
}

TEST(FileManifest, RoundTripsWithBlanksInPathsAndTheExactText) {
  const FileManifest m = Sample();
  const std::string text = WriteFileManifest(m);
  FileManifest back;
  std::string error;
  ASSERT_TRUE(ParseFileManifest(text, &back, &error)) << error;
  EXPECT_EQ(back, m);
  EXPECT_EQ(text.substr(0, 29), "RNWL-FILES 1\nversion 1.0.0.3\n");
  EXPECT_NE(text.find("\nfile " + std::string(64, 'B') + " 0 8 - System/Pack 1.u\n"), std::string::npos);
  EXPECT_EQ(text.substr(text.size() - 4), "end\n");
  // A version without files is a manifest too.
  FileManifest empty;
  empty.version = "2.0";
  ASSERT_TRUE(ParseFileManifest(WriteFileManifest(empty), &back, &error)) << error;
  EXPECT_EQ(back, empty);
  EXPECT_EQ(StoredFileAddress(std::string(64, 'A')), "files/" + std::string(64, 'A'));
}

TEST(FileManifest, StoredSizeBoundIsZlibsOwn) {
  // Incompressible bytes at the worst: what zlib makes stays within it.
  std::string noise;
  uint32_t x = 12345;
  for (int i = 0; i < 100000; ++i) {
    x = x * 1103515245u + 12345u;
    noise += static_cast<char>(x >> 24);
  }
  for (const std::string& data : {std::string(), std::string("a"), noise}) {
    const uint64_t stored = delta_package::Compress(data).size();
    EXPECT_LE(stored, MaxStoredSize(data.size())) << data.size();
  }
  EXPECT_EQ(MaxStoredSize(0), 13u);
}

TEST(FileManifest, MalformedStructureIsRefused) {
  const std::string a = std::string(64, 'A');
  const std::string good = Line("file " + a + " 10 12 - a.txt");
  FileManifest m;
  std::string error;
  ASSERT_TRUE(ParseFileManifest(good, &m, &error)) << error;
  EXPECT_EQ(Why(""), "the manifest does not end");
  EXPECT_EQ(Why("RNWL-FILES 2\nversion 1\nend\n"), "not a file manifest");
  EXPECT_EQ(Why("RNWL-FILES 1\nend\n"), "bad version line");
  EXPECT_EQ(Why("RNWL-FILES 1\nversion 1 2\nend\n"), "bad version line");
  EXPECT_EQ(Why("RNWL-FILES 1\nversion ../x\nend\n"), "bad version line");
  EXPECT_EQ(Why("RNWL-FILES 1\nversion 1\nversion 2\nend\n"), "unknown manifest line");
  EXPECT_EQ(Why(good.substr(0, good.size() - 1)), "a line without its line end");
  EXPECT_EQ(Why(good.substr(0, good.size() - 4)), "the manifest does not end");
  EXPECT_EQ(Why(good + "x"), "text after end");
  EXPECT_EQ(Why(good + "\n"), "text after end");
  EXPECT_EQ(Why(Line("file " + a + "  10 12 - a.txt")), "unknown manifest line");
  EXPECT_EQ(Why(Line("file " + a + " 10 12 - a.txt\r")), "refused path: a.txt\r");
  EXPECT_EQ(Why(Line("File " + a + " 10 12 - a.txt")), "unknown manifest line");
  EXPECT_EQ(Why(Line("file " + a + " 10 12 -")), "unknown manifest line");
}

TEST(FileManifest, EveryFieldIsChecked) {
  const std::string a = std::string(64, 'A');
  EXPECT_EQ(Why(Line("file " + std::string(64, 'a') + " 1 9 - f")), "bad digest for f");
  EXPECT_EQ(Why(Line("file " + a.substr(1) + " 1 9 - f")), "bad digest for f");
  EXPECT_EQ(Why(Line("file " + a + " -1 9 - f")), "bad size for f");
  EXPECT_EQ(Why(Line("file " + a + " +1 9 - f")), "bad size for f");
  EXPECT_EQ(Why(Line("file " + a + " 2147483649 9 - f")), "bad size for f");
  EXPECT_EQ(Why(Line("file " + a + " 99999999999999999999 9 - f")), "bad size for f");
  EXPECT_EQ(Why(Line("file " + a + " 1 15 - f")), "bad stored size for f");  // zlib makes at most 14 of 1
  EXPECT_EQ(Why(Line("file " + a + " 1 1e1 - f")), "bad stored size for f");
  EXPECT_EQ(Why(Line("file " + a + " 1 9 X f")), "bad mode for f");
  EXPECT_EQ(Why(Line("file " + a + " 1 9 xx f")), "bad mode for f");
  FileManifest m;
  std::string error;
  ASSERT_TRUE(ParseFileManifest(Line("file " + a + " 2147483648 9 x f"), &m, &error)) << error;
  EXPECT_EQ(m.files[0].size, 2147483648u);
  EXPECT_TRUE(m.files[0].executable);
}

TEST(FileManifest, PathsThatLeaveTheInstallOrMeanAnotherFileAreRefused) {
  const std::string a = std::string(64, 'A');
  for (const std::string& path : std::vector<std::string>{"/etc/passwd", "\\x", "C:/x", "c:x", "../x", "a/../../x", "a/..", "a//b", "./a", "a/", "a\\b", "CON",
        "System/nul.txt", "a.ini.", "DOVRA_~1.INI", "dovra_version.ini", "DOVRA_VERSION.INI", ".delta-setup/1/2.new",
        ".delta-setup.journal", std::string("a\x01"), std::string(701, 'p')}) {
    EXPECT_EQ(Why(Line("file " + a + " 1 9 - " + path)), "refused path: " + path) << path;
  }
  // At the bound, and the version store in a folder, are files like others.
  FileManifest m;
  std::string error;
  EXPECT_TRUE(ParseFileManifest(Line("file " + a + " 1 9 - " + std::string(700, 'p')), &m, &error)) << error;
  EXPECT_TRUE(ParseFileManifest(Line("file " + a + " 1 9 - System/dovra_version.ini"), &m, &error)) << error;
}

TEST(FileManifest, DuplicatesInAnyCaseAndTheBoundsAreRefused) {
  const std::string a = std::string(64, 'A');
  EXPECT_EQ(Why(Line("file " + a + " 1 9 - System/A.u\nfile " + a + " 1 9 - system/a.U")),
            "listed twice: system/a.U");
  // The count: one file more than the bound.
  std::string many = "RNWL-FILES 1\nversion 1\n";
  for (uint64_t i = 0; i <= kMaxManifestFiles; ++i) many += "file " + a + " 0 8 - " + std::to_string(i) + "\n";
  many += "end\n";
  EXPECT_EQ(Why(many), "more than " + std::to_string(kMaxManifestFiles) + " files");
  // The total: 513 files of 2 GiB exceed 1 TiB.
  std::string big = "RNWL-FILES 1\nversion 1\n";
  for (int i = 0; i < 513; ++i) big += "file " + a + " 2147483648 8 - " + std::to_string(i) + "\n";
  EXPECT_EQ(Why(big + "end\n"), "the files are larger than the bound together");
  std::string fits = "RNWL-FILES 1\nversion 1\n";
  for (int i = 0; i < 512; ++i) fits += "file " + a + " 2147483648 8 - " + std::to_string(i) + "\n";
  FileManifest m;
  std::string error;
  EXPECT_TRUE(ParseFileManifest(fits + "end\n", &m, &error)) << error;
  // The text itself.
  EXPECT_EQ(Why(std::string(kMaxManifestBytes + 1, 'x')),
            "the manifest is larger than " + std::to_string(kMaxManifestBytes) + " bytes");
}

// Fuzz-style: every truncation, and every single byte replaced by each of a
// few troublesome ones, is read without harm; what is taken is a manifest
// the writer writes back the same.
TEST(FileManifest, DamagedTextsAreReadSafely) {
  const std::string text = WriteFileManifest(Sample());
  FileManifest m;
  std::string error;
  for (size_t cut = 0; cut < text.size(); ++cut)
    EXPECT_FALSE(ParseFileManifest(text.substr(0, cut), &m, &error)) << cut;
  size_t taken = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    for (char c : {'\0', '\n', ' ', '/', '.', '9', 'x', '\xff'}) {
      std::string bad = text;
      if (bad[i] == c) continue;
      bad[i] = c;
      if (!ParseFileManifest(bad, &m, &error)) continue;
      ++taken;
      EXPECT_EQ(WriteFileManifest(m), bad) << i;
      for (const ManifestFile& f : m.files) EXPECT_LE(f.stored, MaxStoredSize(f.size));
    }
  }
  EXPECT_GT(taken, 0u);  // some replacements make another valid manifest
}

}  // namespace
}  // namespace release
