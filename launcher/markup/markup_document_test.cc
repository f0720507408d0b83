#include "launcher/markup/markup_document.h"

#include <gtest/gtest.h>

#include <string>

#include "launcher/markup/markup_text.h"

namespace {

TEST(MarkupDocumentTest, EmptyTextHasNoElements) {
  MarkupDocument doc;
  EXPECT_FALSE(doc.SetDoc(""));
  EXPECT_FALSE(doc.FindElem());
  EXPECT_NE(doc.GetReport().find("<no_root_element/>"), std::string::npos);
  EXPECT_FALSE(doc.SetDoc(static_cast<const char*>(nullptr)));
  EXPECT_TRUE(doc.CheckTable());
}

TEST(MarkupDocumentTest, DeclarationAndCommentBeforeRoot) {
  MarkupDocument doc;
  EXPECT_TRUE(doc.SetDoc("<?xml version=\"1.0\"?>\r\n<!-- made by hand -->\r\n<root>x</root>\r\n"));
  EXPECT_TRUE(doc.GetReport().empty());
  doc.ResetPos();
  ASSERT_TRUE(doc.FindElem());
  EXPECT_EQ(doc.GetTagName(), "root");
  EXPECT_EQ(doc.GetData(), "x");
}

TEST(MarkupDocumentTest, VersionDocumentNavigation) {
  MarkupDocument doc(
      "<info><lastversionnum>1.0.0.7</lastversionnum>"
      "<update><versionnum>1.0.0.6</versionnum><packageurl>http://h/p?a=1&amp;b=2</packageurl>"
      "<updateself>1</updateself></update></info>");
  ASSERT_TRUE(doc.FindElem("info"));
  ASSERT_TRUE(doc.IntoElem());
  EXPECT_FALSE(doc.FindElem("versionnum"));  // not at this level
  ASSERT_TRUE(doc.FindElem("lastversionnum"));
  EXPECT_EQ(doc.GetData(), "1.0.0.7");
  ASSERT_TRUE(doc.FindElem("update"));
  EXPECT_EQ(doc.GetData(), "");  // has child elements
  ASSERT_TRUE(doc.IntoElem());
  ASSERT_TRUE(doc.FindElem("packageurl"));
  EXPECT_EQ(doc.GetData(), "http://h/p?a=1&b=2");
  ASSERT_TRUE(doc.FindElem("updateself"));
  EXPECT_FALSE(doc.FindElem("updateself"));
  EXPECT_EQ(doc.GetTagName(), "updateself");  // failure leaves the cursor
  ASSERT_TRUE(doc.OutOfElem());
  EXPECT_EQ(doc.GetTagName(), "update");
  ASSERT_TRUE(doc.IntoElem());  // back to the remembered child
  EXPECT_EQ(doc.GetTagName(), "updateself");
  ASSERT_TRUE(doc.OutOfElem());
  ASSERT_TRUE(doc.OutOfElem());
  EXPECT_FALSE(doc.OutOfElem());
  doc.ResetMainPos();
  EXPECT_TRUE(doc.FindElem("info"));
  EXPECT_FALSE(MarkupDocument().IntoElem());
}

TEST(MarkupDocumentTest, NamesAreCaseSensitiveUnlessFlagged) {
  MarkupDocument doc("<Segments/>");
  EXPECT_FALSE(doc.FindElem("segments"));
  EXPECT_TRUE(doc.FindElem("Segments"));
  doc.SetDocFlags(MarkupDocument::kDocIgnoreCase);
  doc.ResetPos();
  EXPECT_TRUE(doc.FindElem("segments"));
  EXPECT_TRUE(doc.SetDoc("<A><b></B></a>"));
}

TEST(MarkupDocumentTest, TwoTopLevelElements) {
  MarkupDocument doc;
  EXPECT_FALSE(doc.SetDoc("<a/><b/>"));
  EXPECT_EQ(doc.GetReport(), "<root_has_sibling/>");
  ASSERT_TRUE(doc.FindElem());
  EXPECT_EQ(doc.GetTagName(), "a");
  ASSERT_TRUE(doc.FindElem());
  EXPECT_EQ(doc.GetTagName(), "b");
  EXPECT_FALSE(doc.FindElem());
}

TEST(MarkupDocumentTest, LoneEndTag) {
  MarkupDocument doc;
  EXPECT_FALSE(doc.SetDoc("<a>text</b>more</a>"));
  EXPECT_EQ(doc.GetReport(), "<lone_end_tag tagname=\"b\" offset=\"7\"/>");
  EXPECT_TRUE(doc.Element(0).flags & MarkupDocument::kElemIllFormed);
  ASSERT_TRUE(doc.FindElem("a"));
  EXPECT_TRUE(doc.Element(doc.MainPos()).flags & MarkupDocument::kElemParseError);
  EXPECT_EQ(doc.GetData(), "textmore");
  EXPECT_TRUE(doc.CheckTable());
}

TEST(MarkupDocumentTest, UnendedStartTagChildrenBecomeSiblings) {
  MarkupDocument doc;
  EXPECT_FALSE(doc.SetDoc("<r><p><x/><y>t</y></r>"));
  EXPECT_EQ(doc.GetReport(), "<unended_start_tag tagname=\"p\" offset=\"3\" offset2=\"18\"/>");
  EXPECT_TRUE(doc.CheckTable());
  ASSERT_TRUE(doc.FindElem("r"));
  ASSERT_TRUE(doc.IntoElem());
  ASSERT_TRUE(doc.FindElem());
  EXPECT_EQ(doc.GetTagName(), "p");
  EXPECT_TRUE(doc.Element(doc.MainPos()).flags & MarkupDocument::kElemUnended);
  EXPECT_EQ(doc.Element(doc.MainPos()).length, 3);
  ASSERT_TRUE(doc.FindElem());
  EXPECT_EQ(doc.GetTagName(), "x");
  ASSERT_TRUE(doc.FindElem());
  EXPECT_EQ(doc.GetData(), "t");

  // Still open at the end of the text.
  EXPECT_FALSE(doc.SetDoc("<r><a>"));
  EXPECT_NE(doc.GetReport().find("tagname=\"a\" offset=\"3\" offset2=\"6\""), std::string::npos);
  EXPECT_TRUE(doc.CheckTable());
  ASSERT_TRUE(doc.FindElem("r"));
  EXPECT_TRUE(doc.FindElem("a"));  // a follows r at the top level
}

TEST(MarkupDocumentTest, EndTagsAfterAMismatchAreCountedAgainstWhatIsStillOpen) {
  MarkupDocument doc;
  // </x> closes x past the unended a; the second </x> finds no x open.
  EXPECT_FALSE(doc.SetDoc("<r><x><a></x></x><A></a></r>"));
  EXPECT_EQ(doc.GetReport(),
            "<unended_start_tag tagname=\"a\" offset=\"6\" offset2=\"9\"/>"
            "<lone_end_tag tagname=\"x\" offset=\"13\"/>"
            "<lone_end_tag tagname=\"a\" offset=\"20\"/>"
            "<unended_start_tag tagname=\"A\" offset=\"17\" offset2=\"24\"/>");
  EXPECT_TRUE(doc.CheckTable());
  ASSERT_TRUE(doc.FindElem("r"));
  EXPECT_EQ(doc.Element(doc.MainPos()).length, 28);
  EXPECT_TRUE(doc.Element(doc.MainPos()).flags & MarkupDocument::kElemParseError);

  // The same names with the case ignored: </a> ends A.
  doc.SetDocFlags(MarkupDocument::kDocIgnoreCase);
  EXPECT_FALSE(doc.SetDoc("<r><x><a></x></x><A></a></r>"));
  EXPECT_EQ(doc.GetReport(),
            "<unended_start_tag tagname=\"a\" offset=\"6\" offset2=\"9\"/>"
            "<lone_end_tag tagname=\"x\" offset=\"13\"/>");
  EXPECT_TRUE(doc.CheckTable());
}

TEST(MarkupDocumentTest, TagSyntaxErrors) {
  struct Case {
    const char* text;
    const char* report;
  } cases[] = {
      {"<r>a < b</r>", "<first_tag_syntax offset=\"5\"/>"},
      {"<r><!x></r>", "<exclamation_tag_syntax offset=\"3\"/>"},
      {"<!DOCTYPEr><r/>", "<doctype_tag_syntax offset=\"0\"/>"},
      {"<r><!-x--></r>", "<comment_tag_syntax offset=\"3\"/>"},
      {"<r><![CDAT[x]]></r>", "<cdata_section_syntax offset=\"3\"/>"},
      {"<r/><!-- open", "<unterminated_tag_syntax offset=\"4\"/>"},
      {"<r/><?pi", "<unterminated_tag_syntax offset=\"4\"/>"},
      {"<r a=\"x>", "<unterminated_tag_syntax offset=\"0\"/><no_root_element/>"},
  };
  for (const Case& c : cases) {
    MarkupDocument doc;
    EXPECT_FALSE(doc.SetDoc(c.text)) << c.text;
    EXPECT_EQ(doc.GetReport(), c.report) << c.text;
    EXPECT_TRUE(doc.CheckTable()) << c.text;
  }
  MarkupDocument doc("<r>a < b</r>");
  ASSERT_TRUE(doc.FindElem());
  EXPECT_EQ(doc.GetData(), "a < b");
}

TEST(MarkupDocumentTest, OtherNodeKinds) {
  MarkupDocument doc;
  EXPECT_TRUE(doc.SetDoc(
      "<!DOCTYPE r [ <!ELEMENT r ANY> ]>\n<r><?pi x?>a<!-- c <x> -->b<![CDATA[<&amp;>]]>&lt;</r>"));
  ASSERT_TRUE(doc.FindElem("r"));
  EXPECT_EQ(doc.GetData(), "ab<&amp;><");
}

TEST(MarkupDocumentTest, DeepNestingNeitherRecursesNorGoesQuadratic) {
  const int kDepth = 1000000;
  std::string text;
  text.reserve(kDepth * 3 + 8);
  for (int i = 0; i < kDepth; ++i) text += "<a>";
  MarkupDocument doc;
  EXPECT_FALSE(doc.SetDoc(text));  // none of them is ended
  EXPECT_LE(doc.GetReport().size(), markup_text::kReportLimit);
  EXPECT_EQ(doc.ElementCount(), kDepth);
  EXPECT_TRUE(doc.CheckTable());

  for (int i = 0; i < kDepth; ++i) text += "</a>";
  EXPECT_TRUE(doc.SetDoc(text));
  int depth = 0;
  while (doc.FindElem("a")) {
    ++depth;
    doc.IntoElem();
  }
  EXPECT_EQ(depth, kDepth);

  // Unmatched end tags under a deep stack.
  text.assign(kDepth / 2 * 3, ' ');
  for (int i = 0; i < kDepth / 2; ++i) text.replace(i * 3, 3, "<a>");
  for (int i = 0; i < kDepth / 2; ++i) text += "</b>";
  EXPECT_FALSE(doc.SetDoc(text));
  EXPECT_TRUE(doc.CheckTable());
}

TEST(MarkupDocumentTest, TagsLongerThanTheirLengthFields) {
  // A start tag past 22 bits and an end tag past 10 bits are measured again
  // from the text instead of being cut short.
  std::string name(1100, 'n');
  std::string value(5 * 1024 * 1024, 'v');
  std::string text = "<r><" + name + " a=\"" + value + "\">data</" + name + "><z/></r>";
  MarkupDocument doc;
  ASSERT_TRUE(doc.SetDoc(text));
  ASSERT_TRUE(doc.FindElem());
  ASSERT_TRUE(doc.IntoElem());
  ASSERT_TRUE(doc.FindElem(name));
  EXPECT_EQ(doc.GetData(), "data");
  EXPECT_EQ(doc.GetAttrib("a").size(), value.size());
  ASSERT_TRUE(doc.SetAttrib("b", "1"));
  EXPECT_EQ(doc.GetAttrib("b"), "1");
  ASSERT_TRUE(doc.FindElem("z"));
  EXPECT_TRUE(doc.CheckTable());
}

// Walks to the element named `name` below the root and checks what a caller
// sees of it: its data, and where a first and a last child go.
void ExpectElementIntact(const std::string& before, const std::string& name, const std::string& after,
                         MarkupDocument* doc) {
  SCOPED_TRACE("element of " + std::to_string(name.size()) + " bytes' name");
  ASSERT_TRUE(doc->CheckTable());
  doc->ResetPos();
  ASSERT_TRUE(doc->FindElem("r"));
  ASSERT_TRUE(doc->IntoElem());
  ASSERT_TRUE(doc->FindElem(name));
  EXPECT_EQ(doc->GetData(), "data");
  ASSERT_TRUE(doc->IntoElem());
  ASSERT_TRUE(doc->InsertElem("first"));
  doc->ResetMainPos();
  ASSERT_TRUE(doc->AddElem("last"));
  EXPECT_TRUE(doc->GetDoc() == before + "<first/>\r\ndata<last/>\r\n" + after) << "the children landed elsewhere";
  ASSERT_TRUE(doc->OutOfElem());
  ASSERT_TRUE(doc->FindElem("z"));
  EXPECT_TRUE(doc->CheckTable());
  EXPECT_TRUE(MarkupDocument(doc->GetDoc().c_str()).IsWellFormed());
}

TEST(MarkupDocumentTest, EditsOfTagsLongerThanTheirLengthFields) {
  // Start tags of 4 MiB and more, and end tags of 1023 bytes and more, do not
  // fit their length fields. Attribute edits that shrink or grow them must
  // leave every later find and insert in place.
  const std::string big(5 * 1024 * 1024, 'v');
  const std::string longer(big.size() + 1000, 'w');
  const std::string just_fits(4 * 1024 * 1024 - 1000, 'u');  // the start tag fits again
  const std::string some(100, 's');
  const std::string t = "t";
  const std::string n(1100, 'n');
  struct Case {
    const char* what;
    std::string name, value_before, value_after;
  };
  const Case cases[] = {
      {"start tag shrinks below its field", t, big, "x"},
      {"start tag shrinks to just below its field", t, big, just_fits},
      {"start tag shrinks, still too long", t, longer, big},
      {"start tag grows past its field", t, "x", big},
      {"start tag grows, already too long", t, big, longer},
      {"end tag too long, start tag shrinks", n, some, "x"},
      {"end tag too long, start tag grows", n, "x", some},
      {"both too long, start tag shrinks", n, big, "x"},
      {"both too long, start tag grows", n, "x", big},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string head = "<r><" + c.name + " a=\"";
    const std::string tail = "\" b=\"1\">";
    const std::string after = "</" + c.name + ">\r\n<z/></r>";
    MarkupDocument doc;
    ASSERT_TRUE(doc.SetDoc(head + c.value_before + tail + "data" + after));
    doc.ResetPos();
    ASSERT_TRUE(doc.FindElem("r"));
    ASSERT_TRUE(doc.IntoElem());
    ASSERT_TRUE(doc.FindElem(c.name));
    ASSERT_TRUE(doc.SetAttrib("a", c.value_after));
    EXPECT_EQ(doc.GetAttrib("b"), "1");
    ExpectElementIntact(head + c.value_after + tail, c.name, after, &doc);
  }
}

TEST(MarkupDocumentTest, AttributesReadAndSet) {
  MarkupDocument doc("<item a='1' b=\"x&amp;y\" c=bare d>t</item>");
  ASSERT_TRUE(doc.FindElem());
  EXPECT_EQ(doc.GetAttrib("a"), "1");
  EXPECT_EQ(doc.GetAttrib("b"), "x&y");
  EXPECT_EQ(doc.GetAttrib("c"), "bare");
  EXPECT_EQ(doc.GetAttrib("d"), "");
  EXPECT_EQ(doc.GetAttrib("B"), "");

  ASSERT_TRUE(doc.SetAttrib("b", "say \"hi\""));
  EXPECT_EQ(doc.GetDoc(), "<item a='1' b=\"say &quot;hi&quot;\" c=bare d>t</item>");
  EXPECT_EQ(doc.GetAttrib("b"), "say \"hi\"");
  ASSERT_TRUE(doc.SetAttrib("c", 42));
  ASSERT_TRUE(doc.SetAttrib("d", -7));
  ASSERT_TRUE(doc.SetAttrib("e", "<'>"));
  EXPECT_EQ(doc.GetDoc(),
            "<item a='1' b=\"say &quot;hi&quot;\" c=\"42\" d=\"-7\" e=\"&lt;&apos;&gt;\">t</item>");
  EXPECT_EQ(doc.GetAttrib("e"), "<'>");
  EXPECT_EQ(doc.GetData(), "t");
  EXPECT_TRUE(doc.CheckTable());
  EXPECT_TRUE(doc.IsWellFormed());

  doc.SetDoc("<r><e/><f x=\"1\" /></r>");
  doc.FindElem();
  doc.IntoElem();
  doc.FindElem();
  ASSERT_TRUE(doc.SetAttrib("n", "v"));
  doc.FindElem();
  ASSERT_TRUE(doc.SetAttrib("y", "2"));
  EXPECT_EQ(doc.GetDoc(), "<r><e n=\"v\"/><f x=\"1\" y=\"2\" /></r>");
  EXPECT_TRUE(doc.CheckTable());
  EXPECT_FALSE(doc.SetAttrib("bad name", "v"));
  doc.ResetPos();
  EXPECT_FALSE(doc.SetAttrib("a", "v"));
}

TEST(MarkupDocumentTest, BuildsJournalShapedDocument) {
  MarkupDocument doc;
  ASSERT_TRUE(doc.AddElem("Download"));
  EXPECT_EQ(doc.GetDoc(), "<Download/>\r\n");
  ASSERT_TRUE(doc.SetAttrib("url", "http://h/p.exe?a=1&b=2"));
  ASSERT_TRUE(doc.IntoElem());
  ASSERT_TRUE(doc.AddElem("item"));
  EXPECT_EQ(doc.GetDoc(), "<Download url=\"http://h/p.exe?a=1&amp;b=2\">\r\n<item/>\r\n</Download>\r\n");
  ASSERT_TRUE(doc.SetAttrib("begin", 0));
  ASSERT_TRUE(doc.AddElem("item"));
  ASSERT_TRUE(doc.SetAttrib("begin", 100));
  doc.ResetMainPos();
  ASSERT_TRUE(doc.AddElem("item"));  // last child
  ASSERT_TRUE(doc.SetAttrib("begin", 200));
  doc.ResetMainPos();
  ASSERT_TRUE(doc.InsertElem("head", "a<b"));  // first child
  ASSERT_TRUE(doc.FindElem("item"));
  ASSERT_TRUE(doc.FindElem("item"));
  ASSERT_TRUE(doc.InsertElem("count", 3));
  EXPECT_EQ(doc.GetDoc(),
            "<Download url=\"http://h/p.exe?a=1&amp;b=2\">\r\n"
            "<head>a&lt;b</head>\r\n"
            "<item begin=\"0\"/>\r\n"
            "<count>3</count>\r\n"
            "<item begin=\"100\"/>\r\n"
            "<item begin=\"200\"/>\r\n"
            "</Download>\r\n");
  EXPECT_TRUE(doc.CheckTable());

  // The table built by the edits navigates like a parsed one.
  MarkupDocument reparsed(doc.GetDoc().c_str());
  EXPECT_TRUE(reparsed.IsWellFormed());
  for (MarkupDocument* d : {&doc, &reparsed}) {
    d->ResetPos();
    ASSERT_TRUE(d->FindElem("Download"));
    ASSERT_TRUE(d->IntoElem());
    ASSERT_TRUE(d->FindElem("head"));
    EXPECT_EQ(d->GetData(), "a<b");
    ASSERT_TRUE(d->FindElem("count"));
    EXPECT_EQ(d->GetData(), "3");
    ASSERT_TRUE(d->FindElem("item"));
    EXPECT_EQ(d->GetAttrib("begin"), "100");
  }
}

TEST(MarkupDocumentTest, EditsKeepUntouchedBytes) {
  const char* text = "<?xml version=\"1.0\"?>\n<!-- keep -->\n<r>\n\t<a  x = '1' ><b/></a>\n</r>\n";
  MarkupDocument doc(text);
  ASSERT_TRUE(doc.FindElem("r"));
  ASSERT_TRUE(doc.IntoElem());
  ASSERT_TRUE(doc.FindElem("a"));
  ASSERT_TRUE(doc.SetAttrib("x", "22"));
  ASSERT_TRUE(doc.AddElem("c"));
  EXPECT_EQ(doc.GetDoc(),
            "<?xml version=\"1.0\"?>\n<!-- keep -->\n<r>\n\t<a  x = '22' ><b/></a>\n<c/>\r\n</r>\n");
  EXPECT_TRUE(doc.CheckTable());
  // A lone start tag given a child gets its end tag.
  doc.SetDoc("<r><p><q/></r>");
  doc.FindElem();
  doc.IntoElem();
  doc.FindElem("p");
  doc.IntoElem();
  ASSERT_TRUE(doc.AddElem("n"));
  EXPECT_EQ(doc.GetDoc(), "<r><p>\r\n<n/>\r\n</p><q/></r>");
  EXPECT_TRUE(doc.CheckTable());
  EXPECT_TRUE(MarkupDocument(doc.GetDoc().c_str()).IsWellFormed());
}

TEST(MarkupDocumentTest, TopLevelAddsGoAfterTheLastLineOrBeforeTheFirstElement) {
  MarkupDocument doc("<a/>\n<!-- end -->\n");
  doc.ResetPos();
  ASSERT_TRUE(doc.AddElem("b"));
  EXPECT_EQ(doc.GetDoc(), "<a/>\n<b/>\r\n<!-- end -->\n");
  doc.ResetPos();
  ASSERT_TRUE(doc.InsertElem("z"));
  EXPECT_EQ(doc.GetDoc(), "<z/>\r\n<a/>\n<b/>\r\n<!-- end -->\n");
  EXPECT_TRUE(doc.CheckTable());
  doc.ResetPos();
  for (const char* name : {"z", "a", "b"}) {
    ASSERT_TRUE(doc.FindElem());
    EXPECT_EQ(doc.GetTagName(), name);
  }
  EXPECT_FALSE(doc.FindElem());
}

TEST(MarkupDocumentTest, AddRefusedInPiecewiseModeAndForBadNames) {
  MarkupDocument doc;
  EXPECT_FALSE(doc.AddElem(""));
  EXPECT_FALSE(doc.AddElem("a b"));
  doc.SetDocFlags(MarkupDocument::kDocWritePiecewise);
  EXPECT_FALSE(doc.AddElem("a"));
  EXPECT_EQ(doc.GetDoc(), "");
}

TEST(MarkupDocumentTest, CopyIsIndependent) {
  MarkupDocument a("<r><x/></r>");
  a.FindElem();
  a.IntoElem();
  MarkupDocument b = a;
  ASSERT_TRUE(b.FindElem("x"));
  b.SetAttrib("k", "v");
  EXPECT_EQ(a.GetDoc(), "<r><x/></r>");
  EXPECT_FALSE(a.FindElem("y"));
  EXPECT_TRUE(a.FindElem("x"));
  EXPECT_EQ(a.GetAttrib("k"), "");
  EXPECT_EQ(b.GetAttrib("k"), "v");
}

TEST(MarkupDocumentTest, SavedPositions) {
  MarkupDocument doc("<r><a/><b/></r>");
  doc.FindElem();
  doc.IntoElem();
  doc.FindElem("b");
  doc.SavePos("here");
  doc.ResetPos();
  ASSERT_TRUE(doc.RestorePos("here"));
  EXPECT_EQ(doc.GetTagName(), "b");
  doc.SetDoc("<r/>");
  EXPECT_FALSE(doc.RestorePos("here"));
}

}  // namespace
