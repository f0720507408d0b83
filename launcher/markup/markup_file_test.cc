#include "launcher/markup/markup_file.h"

#include <gtest/gtest.h>

#include <string>

#include "launcher/markup/markup_document.h"
#include "launcher/markup/markup_text.h"
#include "platform/codepage.h"
#include "platform/file.h"
#include "testing/testing.h"

namespace {

using markup_file::CodePageOfName;

// `utf16` in the ANSI code page; empty when it cannot be represented there.
std::string Ansi(std::u16string_view utf16) {
  std::string s;
  bool lossy = false;
  if (!platform::FromUtf16(platform::AnsiCodePage(), utf16, &s, &lossy) || lossy) return "";
  return s;
}

std::string Utf16Bytes(std::u16string_view text, bool big_endian) {
  std::string out;
  for (char16_t u : text) {
    char lo = static_cast<char>(u & 0xFF), hi = static_cast<char>(u >> 8);
    out += big_endian ? hi : lo;
    out += big_endian ? lo : hi;
  }
  return out;
}

bool Has(const std::string& report, const std::string& event) {
  return report.find(event) != std::string::npos;
}

TEST(MarkupFileTest, NameTable) {
  EXPECT_EQ(markup_file::EncodingNameCount(), 365u);
  EXPECT_EQ(markup_file::EncodingCodePageCount(), 110u);
  EXPECT_EQ(CodePageOfName("UTF-8"), 65001u);
  EXPECT_EQ(CodePageOfName("utf-8"), 65001u);
  EXPECT_EQ(CodePageOfName("GB2312"), 936u);
  EXPECT_EQ(CodePageOfName("Shifft_JIS"), 932u);
  EXPECT_EQ(CodePageOfName("cp1256 "), 1256u);
  EXPECT_EQ(CodePageOfName("_iso-2022-jp$SIO"), 50222u);
  EXPECT_EQ(CodePageOfName("ISO_646.irv:1991"), 20127u);
  EXPECT_EQ(CodePageOfName("UTF-32"), 65005u);
  EXPECT_EQ(CodePageOfName("UTF-32BE"), 65005u);
  EXPECT_EQ(CodePageOfName("utf-32be"), 12001u);
  EXPECT_EQ(CodePageOfName(""), platform::AnsiCodePage());
  EXPECT_EQ(CodePageOfName("klingon"), 0u);
}

TEST(MarkupFileTest, DeclaredEncodings) {
  std::string name;
  EXPECT_TRUE(markup_file::FindDeclaredEncoding("<?xml version=\"1.0\" encoding='GBK' ?><r/>", &name));
  EXPECT_EQ(name, "GBK");
  EXPECT_TRUE(markup_file::FindDeclaredEncoding(
      "<html><head><META HTTP-EQUIV=\"Content-Type\" CONTENT=\"text/html; charset=big5\"></head>", &name));
  EXPECT_EQ(name, "big5");
  EXPECT_FALSE(markup_file::FindDeclaredEncoding("<?xml version=\"1.0\"?><r encoding='x'/>", &name));
  EXPECT_FALSE(markup_file::FindDeclaredEncoding("<meta name=\"x\" content=\"charset=big5\">", &name));
}

TEST(MarkupFileTest, ByteOrderMarksRoundTrip) {
  std::u16string text = u"<r a=\"\u00E9\">\u00FC&amp;x</r>\r\n";
  std::string ansi = Ansi(text);
  if (ansi.empty()) ansi = Ansi(u"<r a=\"e\">u&amp;x</r>\r\n"), text = u"<r a=\"e\">u&amp;x</r>\r\n";
  std::string utf8;
  bool lossy = false;
  ASSERT_TRUE(platform::FromUtf16(65001, text, &utf8, &lossy));
  struct Case {
    std::string bytes;
    int flag;
  } cases[] = {
      {"\xEF\xBB\xBF" + utf8, MarkupDocument::kDocUtf8Bom},
      {"\xFF\xFE" + Utf16Bytes(text, false), MarkupDocument::kDocUtf16Le},
      {"\xFE\xFF" + Utf16Bytes(text, true), MarkupDocument::kDocUtf16Be},
  };
  testkit::TempDir tmp;
  for (const Case& c : cases) {
    ASSERT_TRUE(platform::WriteStringToFile(tmp / "in.xml", c.bytes));
    MarkupDocument doc;
    ASSERT_TRUE(doc.Load(tmp / "in.xml")) << doc.GetReport();
    EXPECT_EQ(doc.GetDoc(), ansi);
    EXPECT_EQ(doc.GetDocFlags() & 0x85, c.flag);
    EXPECT_TRUE(Has(doc.GetReport(), "<bom/>"));
    EXPECT_EQ(Has(doc.GetReport(), "<endian_swap/>"), c.flag == MarkupDocument::kDocUtf16Be);
    ASSERT_TRUE(doc.Save(tmp / "out.xml"));
    std::string saved;
    ASSERT_TRUE(platform::ReadFileToString(tmp / "out.xml", &saved));
    EXPECT_EQ(saved, c.bytes);
    EXPECT_TRUE(Has(doc.GetReport(), "<write "));
  }
}

TEST(MarkupFileTest, JournalIsUtf8WithoutMarkAndComesBack) {
  MarkupDocument doc;
  ASSERT_TRUE(doc.AddElem("Download"));
  std::string name = Ansi(u"\u00E9t\u00E9.exe");
  if (name.empty()) name = "plain.exe";
  ASSERT_TRUE(doc.SetAttrib("localfile", name));
  ASSERT_TRUE(doc.IntoElem());
  ASSERT_TRUE(doc.AddElem("item"));
  ASSERT_TRUE(doc.SetAttrib("begin", 0));
  ASSERT_TRUE(doc.SetAttrib("end", 1048575));
  ASSERT_TRUE(doc.AddElem("item"));
  ASSERT_TRUE(doc.SetAttrib("begin", 1048576));
  ASSERT_TRUE(doc.SetAttrib("end", 2097151));

  testkit::TempDir tmp;
  std::string path = tmp / "Download.xml";
  ASSERT_TRUE(doc.Save(path));
  std::string saved;
  ASSERT_TRUE(platform::ReadFileToString(path, &saved));
  std::u16string wide;
  ASSERT_TRUE(platform::ToUtf16(platform::AnsiCodePage(), name, &wide));
  std::string name_utf8;
  bool lossy = false;
  ASSERT_TRUE(platform::FromUtf16(65001, wide, &name_utf8, &lossy));
  EXPECT_EQ(saved,
            "<Download localfile=\"" + name_utf8 + "\">\r\n"
            "<item begin=\"0\" end=\"1048575\"/>\r\n"
            "<item begin=\"1048576\" end=\"2097151\"/>\r\n"
            "</Download>\r\n");

  MarkupDocument again;
  ASSERT_TRUE(again.Load(path));
  EXPECT_EQ(again.GetDoc(), doc.GetDoc());
  EXPECT_TRUE(Has(again.GetReport(), "<utf8_detection/>"));
  ASSERT_TRUE(again.FindElem("Download"));
  EXPECT_EQ(again.GetAttrib("localfile"), name);
}

TEST(MarkupFileTest, ZeroBytesAreRemoved) {
  std::string text, report;
  int flags = 0;
  markup_file::DecodeFile(std::string("<r>a\0b\0</r>", 11), &text, &flags, &report);
  EXPECT_EQ(text, "<r>ab</r>");
  EXPECT_TRUE(Has(report, "<nulls_removed count=\"2\"/>")) << report;
  markup_file::DecodeFile(std::string("\xFF\xFE<\0\0\0r\0/\0>\0", 12), &text, &flags, &report);
  EXPECT_EQ(text, "<r/>");
}

TEST(MarkupFileTest, DeclaredEncodingIsConvertedBothWays) {
  std::string bytes = "<?xml version=\"1.0\" encoding=\"windows-1252\"?>\r\n<r>caf\xE9</r>";
  std::string ansi = Ansi(u"<?xml version=\"1.0\" encoding=\"windows-1252\"?>\r\n<r>caf\u00E9</r>");
  if (ansi.empty()) GTEST_SKIP() << "no e-acute in this code page";
  std::string text, report, back;
  int flags = 0;
  markup_file::DecodeFile(bytes, &text, &flags, &report);
  EXPECT_EQ(text, ansi);
  EXPECT_FALSE(Has(report, "utf8_detection"));
  markup_file::EncodeFile(text, flags, &back, &report);
  EXPECT_EQ(back, bytes);

  // Characters the declared code page lacks are reported.
  std::string wide_text = Ansi(u"<?xml version=\"1.0\" encoding=\"us-ascii\"?><r>\u00E9</r>");
  report.clear();
  markup_file::EncodeFile(wide_text, 0, &back, &report);
  if (platform::AnsiCodePage() != 20127) {
    EXPECT_TRUE(Has(report, "<conversion_loss/>")) << report;
  }
}

TEST(MarkupFileTest, Utf8DetectionFallsBackToAnsi) {
  std::string text, report;
  int flags = 0;
  markup_file::DecodeFile("<r>\xC3(</r>", &text, &flags, &report);  // not UTF-8
  EXPECT_TRUE(Has(report, "<utf8_detection/>"));
  EXPECT_TRUE(Has(report, "encoding=\"ANSI\""));
  markup_file::DecodeFile("<r>\xE4\xB8\xAD</r>", &text, &flags, &report);
  EXPECT_TRUE(Has(report, "encoding=\"UTF-8\""));
}

TEST(MarkupFileTest, FileErrors) {
  testkit::TempDir tmp;
  MarkupDocument doc("<r/>");
  EXPECT_FALSE(doc.Load(tmp / "missing.xml"));
  EXPECT_EQ(doc.GetReport().rfind("<file_error msg=\"", 0), 0u) << doc.GetReport();
  EXPECT_EQ(doc.GetDoc(), "<r/>");
  EXPECT_FALSE(doc.Save(tmp / "no/such/dir.xml"));
  EXPECT_TRUE(Has(doc.GetReport(), "<file_error msg=\""));
  ASSERT_TRUE(platform::WriteStringToFile(tmp / "bad.xml", "<a><b></a>"));
  EXPECT_FALSE(doc.Load(tmp / "bad.xml"));
  EXPECT_TRUE(Has(doc.GetReport(), "<read "));
  EXPECT_TRUE(Has(doc.GetReport(), "<unended_start_tag "));  // file events, then parse events
  EXPECT_LT(doc.GetReport().find("<read "), doc.GetReport().find("<unended_start_tag "));
}

TEST(MarkupTextTest, NamedAndNumericReferences) {
  EXPECT_EQ(markup_text::NamedReferenceCount(), 253u);
  EXPECT_EQ(markup_text::NamedReference("apos"), 39u);
  EXPECT_EQ(markup_text::NamedReference("Oslash"), 216u);
  EXPECT_EQ(markup_text::NamedReference("oslash"), 248u);
  EXPECT_EQ(markup_text::NamedReference("thetasym"), 977u);
  EXPECT_EQ(markup_text::NamedReference("diams"), 9830u);
  EXPECT_EQ(markup_text::NamedReference("nosuch"), 0u);

  auto dec = [](const char* s) { return MarkupDocument::UnescapeText(s); };
  EXPECT_EQ(dec("&lt;&amp;&gt;&apos;&quot;"), "<&>'\"");
  EXPECT_EQ(dec("&#65;&#x42;&#x63;"), "ABc");
  EXPECT_EQ(dec("&#0;&#;&#x;&nosuch;&amp"), "&#0;&#;&#x;&nosuch;&amp");
  EXPECT_EQ(dec("&#1114112;&#xD800;&&amp;"), "&#1114112;&#xD800;&&");
  EXPECT_EQ(dec("&abcdefghij;"), "&abcdefghij;");  // no ';' within 9 characters
  EXPECT_EQ(dec("&#00000065;"), "A");              // nine characters
  std::string e_acute = Ansi(u"\u00E9");
  if (!e_acute.empty()) {
    EXPECT_EQ(dec("&eacute;&#233;"), e_acute + e_acute);
  }
  if (Ansi(u"\u2660").empty()) {
    EXPECT_EQ(dec("&spades;"), "&spades;");  // no representation
  }
  EXPECT_EQ(MarkupDocument::EscapeText("<a&b>'\"", false), "&lt;a&amp;b&gt;'\"");
  EXPECT_EQ(MarkupDocument::EscapeText("<a&b>'\"", true), "&lt;a&amp;b&gt;&apos;&quot;");
}

TEST(MarkupTextTest, ReportStaysWithinItsLimit) {
  std::string text = "<r>";
  for (int i = 0; i < 500; ++i) text += "</x>";
  text += "</r>";
  MarkupDocument doc(text.c_str());
  EXPECT_LE(doc.GetReport().size(), markup_text::kReportLimit);
  EXPECT_GT(doc.GetReport().size(), markup_text::kReportLimit - 60);
  EXPECT_TRUE(MarkupDocument(doc.GetReport().c_str()).ElementCount() > 10);
}

}  // namespace
