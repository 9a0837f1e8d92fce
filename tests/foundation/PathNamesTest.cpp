#include "foundation/PathNames.h"

#include <gtest/gtest.h>

#include "platform/TextCodec.h"

namespace {

struct Row {
  const wchar_t *in, *arg, *out;
};
std::string U8(const wchar_t* s) { return platform::ToUtf8(s); }

TEST(PathNames, AppendPathComponentAndMakePath) {
  for (const Row& c : std::initializer_list<Row>{{L"a/", L"/b", L"a/b"}, {L"a", L"b", L"a/b"}, {L"a/", L"b", L"a/b"},
                                                 {L"a", L"/b", L"a/b"}, {L"", L"b", L"b"}, {L"a", L"", L"a/"}}) {
    CString folder(c.in);
    AppendPathComponent(folder, c.arg);
    EXPECT_EQ(folder, c.out) << U8(c.in) << " + " << U8(c.arg);
  }
  EXPECT_EQ(MakePath(nullptr, L"name", L"jpg"), L"name.jpg");
  EXPECT_EQ(MakePath(L"f/", L"/name", nullptr), L"f/name");
}

TEST(PathNames, MakeValidFileName) {
  for (const Row& c : std::initializer_list<Row>{{L"AC/DC: Who?", nullptr, L"AC_DC_ Who_"},
                                                 {L"Tom & Jerry", nullptr, L"Tom and Jerry"},
                                                 {L"*?\\~/<>|\":&", nullptr, L"__________and"},
                                                 {L"Björk – Jóga", nullptr, L"Björk – Jóga"}}) {
    CString name(c.in);
    MakeValidFileName(name);
    EXPECT_EQ(name, c.out) << U8(c.in);
  }
}

TEST(PathNames, ParentTitleAndName) {
  EXPECT_EQ(GetParentFolder(GetParentFolder(L"W/General/Example.so")), L"W/");
  for (const Row& c : std::initializer_list<Row>{{L"W/General//", nullptr, L"W/"}, {L"/a", nullptr, L"/"},
                                                 {L"Alpha//", nullptr, L"Alpha"}, {L"", nullptr, L""},
                                                 {L"Ærø/ünï", nullptr, L"Ærø/"}})
    EXPECT_EQ(GetParentFolder(c.in), c.out) << U8(c.in);
  // Rows: path, title, name.
  for (const Row& c : std::initializer_list<Row>{{L"/w/General/Alpha.so", L"Alpha", L"Alpha.so"},
                                                 {L"Alpha", L"Alpha", L"Alpha"},
                                                 {L"Alpha.so", L"Alpha", L"Alpha.so"},
                                                 {L"w/my.d/Alpha", L"Alpha", L"Alpha"},  // not an extension
                                                 {L"a.tar.gz", L"a.tar", L"a.tar.gz"},
                                                 {L"Ærø/ünï.jpg", L"ünï", L"ünï.jpg"}}) {
    EXPECT_EQ(GetFileTitleOf(c.in), c.arg) << U8(c.in);
    EXPECT_EQ(GetFileNameOf(c.in), c.out) << U8(c.in);
  }
}

}  // namespace
