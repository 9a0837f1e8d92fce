#include "foundation/XmlNode.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

// Readable failure output for CString values.
void PrintTo(const CString& s, std::ostream* os) { *os << testing::PrintToString(s.str()); }

namespace {

const wchar_t* const kSources =
    L"<?xml version=\"1.0\" encoding=\"iso-8859-1\" ?>\n"
    L"<SourcesInfo>\n"
    L"\t<General>\n"
    L"\t\t<DLL Name=\"Alpha\" >\n"
    L"\t\t\t<DLLLocales>\n"
    L"\t\t\t\t<DLLLocale>en</DLLLocale>\n"
    L"\t\t\t\t<DLLLocale>de</DLLLocale>\n"
    L"\t\t\t</DLLLocales>\n"
    L"\t\t\t<Priority>5</Priority>\n"
    L"\t\t</DLL>\n"
    L"\t\t<DLL Name=\"Beta\" >\n"
    L"\t\t\t<DLLLocales/>\n"
    L"\t\t\t<Priority>0</Priority>\n"
    L"\t\t</DLL>\n"
    L"\t</General>\n"
    L"\t<Lyrics/>\n"
    L"\t<ArtistInfo/>\n"
    L"</SourcesInfo>";

TEST(XmlNodeTest, ElementTextsAndTextOptions) {
  const struct {
    const wchar_t* text;
    const wchar_t* value;
  } cases[] = {
      {L"<a>x\\<y</a>", L"x<y"},            // an escaped "<" does not end the text
      {L"<a>x\\\\</a>", L"x\\"},            // an escaped backslash
      {L"<a>1&amp;2</a>", L"1&2"},
      {L"<a>&#65;&amp</a>", L"&#65;&amp"},  // numeric and incomplete references stay
      {L"<a>  x  </a>", L"  x  "},          // spaces are kept by default
      {L"<!-- c --><a>v</a>", L"v"},        // a top-level comment leaves no trace
      {L"junk <?xml version=\"1.0\"?>\n<a>v</a>", L"v"},  // a plain node ignores instructions
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.text);
    XmlNode node;
    XmlParseOptions opt;
    EXPECT_EQ(node.Load(c.text, &opt), c.text + std::wcslen(c.text));
    EXPECT_EQ(node.name, L"a");
    EXPECT_EQ(node.value, c.value);
    EXPECT_TRUE(node.children.empty());
    EXPECT_FALSE(opt.ErrorOccurred);
  }
  XmlNode node;
  ASSERT_TRUE(node.Load(L"<a>1&amp;2</a>"));
  EXPECT_EQ(node.GetText(), L"1&amp;2");
  XmlWriteOptions raw;
  raw.ReferenceValue = false;
  EXPECT_EQ(node.GetText(&raw), L"1&2");

  XmlParseOptions opt;
  opt.EscapeChar = 0;
  opt.TrimValue = true;
  opt.EntityValue = false;
  ASSERT_TRUE(node.Load(L"<a x=\" a\\b \"> x\\y&amp; </a>", &opt));
  EXPECT_EQ(node.value, L"x\\y&amp;");
  EXPECT_STREQ(node.GetAttributeValue(L"x"), L"a\\b");
}

TEST(XmlNodeTest, Attributes) {
  XmlNode node;
  ASSERT_TRUE(node.Load(L"<a x=\"1\" y='two words' z=3 w = \"q\\\"q\" e=\"&lt;&amp;\" n />"));
  const wchar_t* expected[][2] = {{L"x", L"1"}, {L"y", L"two words"}, {L"z", L"3"},
                                  {L"w", L"q\"q"}, {L"e", L"<&"}, {L"n", L""}};
  ASSERT_EQ(node.attributes.size(), std::size(expected));
  for (std::size_t i = 0; i < std::size(expected); ++i) {
    EXPECT_EQ(node.attributes[i]->name, expected[i][0]);
    EXPECT_EQ(node.attributes[i]->value, expected[i][1]);
    EXPECT_EQ(node.attributes[i]->parent, &node);
  }
  EXPECT_EQ(node.GetAttributeValue(L"missing"), nullptr);
  EXPECT_EQ(node.FindAttribute(L"X"), nullptr);
}

TEST(XmlNodeTest, ErrorsRecordCodeMessageAndPositionOnce) {
  const struct {
    const wchar_t* text;
    int code;
    const wchar_t* message;
    int position;
  } cases[] = {
      {L"<a / >", 1, L"Element must be closed.", 4},
      {L"<a>text", 2, L"a must be closed with </a>", 3},
      {L"<a><b/></a", 2, L"it must be closed with </a>", 9},
      {L"<a><b/>text", 2, L"it must be closed with </a>", 7},
      {L"<a></b>", 3, L"'<a> ... </b>' is not wel-formed.", 5},
      {L"<a xyz>", 4, L"<a> attribute has error ", 3},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.text);
    XmlNode node;
    XmlParseOptions opt;
    EXPECT_EQ(node.Load(c.text, &opt), nullptr);
    EXPECT_TRUE(opt.ErrorOccurred);
    EXPECT_EQ(opt.ErrorCode, c.code);
    EXPECT_EQ(opt.ErrorMessage, c.message);
    EXPECT_EQ(opt.ErrorPosition, c.text + c.position);
    // A later error leaves the first one recorded.
    EXPECT_EQ(node.Load(c.code == 1 ? L"<a></b>" : L"<a / >", &opt), nullptr);
    EXPECT_EQ(opt.ErrorCode, c.code);
    EXPECT_EQ(opt.ErrorPosition, c.text + c.position);
  }
}

TEST(XmlNodeTest, UnfinishedTextsFailWithoutError) {
  for (const wchar_t* text : {L"", L"no tag", L"<a", L"<a ", L"<a x=\"1\"", L"<a x=", L"<a x=\"1>",
                              L"<!-- x", L"<?pi", L"<a><![CDATA[x", L"<!-- only -->"}) {
    SCOPED_TRACE(testing::Message() << text);
    XmlNode node;
    XmlParseOptions opt;
    EXPECT_EQ(node.Load(text, &opt), nullptr);
    EXPECT_FALSE(opt.ErrorOccurred);
  }
}

TEST(XmlNodeTest, LenientStructure) {
  XmlNode node;
  XmlParseOptions opt;
  // Missing closing tag at the end.
  ASSERT_TRUE(node.Load(L"<a><b/>", &opt));
  EXPECT_NE(node.FindChild(L"b"), nullptr);
  // Mismatched closing tags are tolerated with ForceParse.
  opt.ForceParse = true;
  ASSERT_TRUE(node.Load(L"<a><b>x</c></a>", &opt));
  ASSERT_NE(node.FindChild(L"b"), nullptr);
  EXPECT_EQ(node.FindChild(L"b")->value, L"x");
  EXPECT_FALSE(opt.ErrorOccurred);
  // Loading again replaces everything, the text included.
  ASSERT_TRUE(node.Load(L"<c/>", &opt));
  EXPECT_EQ(node.name, L"c");
  EXPECT_TRUE(node.value.IsEmpty());
  EXPECT_TRUE(node.children.empty());
}

TEST(XmlNodeTest, CommentsCDataAndInstructions) {
  XmlNode node;
  ASSERT_TRUE(node.Load(L"<a><!--c-->text<![CDATA[<x>]]></a>"));
  ASSERT_EQ(node.GetChildCount(), 2);
  EXPECT_EQ(node.GetChild(0)->type, kXmlComment);
  EXPECT_EQ(node.GetChild(0)->name, L"#COMMENT");
  EXPECT_EQ(node.GetChild(1)->type, kXmlCData);
  EXPECT_EQ(node.GetChild(1)->value, L"<x>");
  EXPECT_EQ(node.value, L"text");  // the comment ended a nameless child; the text went to a
  EXPECT_EQ(node.GetText(), L"<x>text");
  XmlWriteOptions flat;
  flat.NewLine = false;
  // The text is written after the children.
  EXPECT_EQ(node.GetXml(&flat), L"<a><!--c--><![CDATA[<x>]]>text</a>");
  const wchar_t* text = L"<?xml version=\"1.0\"?>\n<!-- head -->\n<r a='1'><b/></r>\n<!-- tail -->";
  XmlDocument doc;
  ASSERT_TRUE(doc.Load(text));
  ASSERT_EQ(doc.GetChildCount(), 4);
  EXPECT_EQ(doc.GetChild(0)->type, kXmlProcessingInstruction);
  EXPECT_STREQ(doc.GetChild(0)->GetAttributeValue(L"version"), L"1.0");
  EXPECT_EQ(doc.GetChild(1)->value, L" head ");
  EXPECT_EQ(doc.GetChild(2)->name, L"r");
  EXPECT_EQ(doc.GetChild(2)->document, &doc);
  EXPECT_EQ(doc.GetChild(3)->value, L" tail ");
  EXPECT_FALSE(doc.parseOptions.ErrorOccurred);

  XmlNode plain;
  ASSERT_TRUE(plain.Load(text));
  EXPECT_EQ(plain.name, L"r");
  EXPECT_EQ(plain.GetChildCount(), 1);
}

TEST(XmlNodeTest, WritesSourcesDocumentExactly) {
  XmlDocument doc;
  XmlNode* decl = doc.AppendChildElement(L"xml");
  decl->type = kXmlProcessingInstruction;
  decl->AppendAttribute(L"version", L"1.0");
  decl->AppendAttribute(L"encoding", L"iso-8859-1");
  XmlNode* root = doc.AppendChildElement(L"SourcesInfo");
  XmlNode* general = root->AppendChildElement(L"General");
  XmlNode* alpha = general->AppendChildElement(L"DLL");
  alpha->AppendAttribute(L"Name", L"Alpha");
  XmlNode* locales = alpha->AppendChildElement(L"DLLLocales");
  locales->AppendChildElement(L"DLLLocale", L"en");
  locales->AppendChildElement(L"DLLLocale", L"de");
  alpha->AppendChildElement(L"Priority", L"5");
  XmlNode* beta = general->AppendChildElement(L"DLL");
  beta->AppendAttribute(L"Name", L"Beta");
  beta->AppendChildElement(L"DLLLocales");
  beta->AppendChildElement(L"Priority", L"0");
  root->AppendChildElement(L"Lyrics");
  root->AppendChildElement(L"ArtistInfo");
  EXPECT_EQ(beta->document, &doc);

  XmlWriteOptions opt;
  opt.ReferenceValue = false;
  EXPECT_EQ(doc.GetXml(&opt), kSources);
  EXPECT_EQ(opt.TabBase, 0);

  // Round trip: trimmed texts give the same document back.
  XmlDocument again;
  again.parseOptions.TrimValue = true;
  ASSERT_TRUE(again.Load(kSources));
  EXPECT_EQ(again.GetXml(&opt), kSources);

  // Read as the plug-in registry reads it: lines joined, default options.
  std::wstring joined = kSources;
  std::erase(joined, L'\n');
  XmlNode plain;
  ASSERT_TRUE(plain.Load(joined.c_str()));
  XmlNode* kind = plain.FindChild(L"General");
  ASSERT_NE(kind, nullptr);
  EXPECT_EQ(kind->GetChildren(L"DLL").size(), 2u);
  XmlNode* dll = kind->FindChildWithAttribute(L"DLL", L"Name", L"ALPHA");
  ASSERT_NE(dll, nullptr);
  EXPECT_EQ(dll->GetChildText(L"Priority"), L"5");
  EXPECT_EQ(dll->GetChildText(L"Missing"), L"");
  ASSERT_NE(dll->FindChild(L"DLLLocales"), nullptr);
  EXPECT_EQ(dll->FindChild(L"DLLLocales")->GetChild(1)->GetText(), L"de");
  EXPECT_EQ(dll->GetChild(-1), nullptr);
  EXPECT_EQ(dll->GetChild(2), nullptr);
}

TEST(XmlNodeTest, WriterOptionsAndEntityTable) {
  XmlNode node(L"e", L"a<b & \"c\"");
  node.AppendAttribute(L"q", L"it's");
  XmlWriteOptions opt;
  opt.NewLine = false;
  EXPECT_EQ(node.GetXml(&opt), L"<e q=\"it&apos;s\" >a&lt;b &amp; &quot;c&quot;</e>");
  opt.Quote = '\'';
  opt.ReferenceValue = false;
  EXPECT_EQ(node.GetXml(&opt), L"<e q='it's' >a<b & \"c\"</e>");

  XmlNode tree(L"r", L"v");
  tree.AppendChildElement(L"c");
  XmlWriteOptions indented;
  indented.TabBase = 1;
  EXPECT_EQ(tree.GetXml(&indented), L"\n\t<r>\n\t\t<c/>\n\t\tv\n\t</r>");
  EXPECT_EQ(indented.TabBase, 1);
  const XmlEntityTable& table = StandardXmlEntityTable();
  EXPECT_EQ(table.Decode(L"&lt;&gt;&quot;&apos;&amp;&amp&AMP;&#65;"), L"<>\"'&&amp&AMP;&#65;");
  EXPECT_EQ(table.Encode(L"<>\"'&x"), L"&lt;&gt;&quot;&apos;&amp;x");
  XmlEntityTable odd{{L'x', L""}, {L'y', L"&y;"}};
  EXPECT_EQ(odd.Decode(L"a&y;b"), L"ayb");
}

TEST(XmlNodeTest, NestingIsBounded) {
  std::wstring deep;
  for (int i = 0; i < 100000; ++i) deep += L"<a>";
  XmlNode node;
  XmlParseOptions opt;
  EXPECT_EQ(node.Load(deep.c_str(), &opt), nullptr);
  EXPECT_EQ(opt.ErrorCode, kXmlErrorNestedTooDeeply);
  EXPECT_EQ(opt.ErrorMessage, L"<a> is nested too deeply");

  for (int levels : {kXmlMaxDepth, kXmlMaxDepth + 1}) {
    std::wstring text;
    for (int i = 0; i < levels; ++i) text += L"<a>";
    for (int i = 0; i < levels; ++i) text += L"</a>";
    XmlParseOptions o;
    EXPECT_EQ(node.Load(text.c_str(), &o) != nullptr, levels == kXmlMaxDepth) << levels;
  }
}

TEST(XmlNodeTest, DeepBuiltTreeWritesAndDies) {
  auto root = XmlNode::CreateNode(L"a");
  XmlNode* leaf = root.get();
  for (int i = 0; i < 200000; ++i) leaf = leaf->AppendChildElement(L"a");
  leaf->value = L"x";
  XmlWriteOptions opt;
  opt.NewLine = false;
  EXPECT_EQ(root->GetXml(&opt).GetLength(), 200001 * 7 + 1);
  EXPECT_EQ(root->GetText(), L"x");
  root.reset();
}

}  // namespace
