#include "nimbrel/CString.h"

#include <gtest/gtest.h>

#include <cwctype>
#include <locale>
#include <map>
#include <stdexcept>
#include <string>

namespace {

// The count and the text after replacing `from` by `to` in `text`.
std::wstring Replaced(CString text, const wchar_t* from, const wchar_t* to) {
  const int count = text.Replace(from, to);
  return std::to_wstring(count) + L":" + text.str();
}

}  // namespace

TEST(CString, Construction) {
  EXPECT_TRUE(CString(static_cast<const wchar_t*>(nullptr)).IsEmpty());
  EXPECT_EQ(CString(L"abcdef", 3), L"abc");
  EXPECT_TRUE(CString(L"abc", -2).IsEmpty());
  EXPECT_TRUE(CString(static_cast<const wchar_t*>(nullptr), 4).IsEmpty());
  EXPECT_TRUE(CString(L'x', -1).IsEmpty());
  const CString s(std::wstring(L"a\0b", 3));
  EXPECT_EQ(s[2], L'b');  // past the embedded null
  EXPECT_THROW(s.GetAt(3), std::out_of_range);
  EXPECT_THROW(s.GetAt(-1), std::out_of_range);
}

TEST(CString, FindAndReverseFind) {
  const CString s(L"abcabc");
  EXPECT_EQ(s.Find(L'c', 3), 5);
  EXPECT_EQ(s.Find(L'c', 100), -1);
  EXPECT_EQ(s.Find(L'a', -1), -1);
  EXPECT_EQ(s.Find(L"bc", 2), 4);
  EXPECT_EQ(s.Find(L"bc", -3), -1);
  EXPECT_EQ(s.Find(L"bc", 7), -1);
  EXPECT_EQ(s.Find(L"", 6), 6);
  EXPECT_EQ(s.Find(static_cast<const wchar_t*>(nullptr)), -1);
  EXPECT_EQ(s.ReverseFind(L'a'), 3);
  EXPECT_EQ(CString().ReverseFind(L'a'), -1);
  EXPECT_EQ(s.FindOneOf(L"xc"), 2);
  EXPECT_EQ(s.FindOneOf(nullptr), -1);
}

TEST(CString, SubstringsClampOutOfRange) {
  const CString s(L"hello");
  struct {
    CString got;
    const wchar_t* want;
  } cases[] = {
      {s.Left(2), L"he"},     {s.Left(0), L""},        {s.Left(-3), L""},        {s.Left(99), L"hello"},
      {s.Right(2), L"lo"},    {s.Right(-1), L""},      {s.Right(99), L"hello"},  {s.Mid(3), L"lo"},
      {s.Mid(-2), L"hello"},  {s.Mid(5), L""},         {s.Mid(9), L""},          {s.Mid(1, 3), L"ell"},
      {s.Mid(1, -1), L""},    {s.Mid(-4, 2), L"he"},   {s.Mid(3, 99), L"lo"},    {s.Mid(9, 2), L""},
  };
  for (const auto& c : cases) EXPECT_EQ(c.got, c.want);
}

TEST(CString, TrimVariants) {
  // U+3000 and U+2003 are spaces whatever locale the process runs in; NBSP is not.
  CString s(L" \t\n\u3000\u2003 a b \r\n\u3000");
  EXPECT_EQ(CString(s).TrimLeft(), L"a b \r\n\u3000");
  EXPECT_EQ(CString(s).TrimRight(), L" \t\n\u3000\u2003 a b");
  EXPECT_EQ(s.Trim(), L"a b");
  EXPECT_EQ(CString(L"\u00A0x\u00A0").Trim(), L"\u00A0x\u00A0");
  EXPECT_EQ(CString(L" \t ").Trim(), L"");
  EXPECT_EQ(CString(L"xxaxx").Trim(L'x'), L"a");
  EXPECT_EQ(CString(L"<-a->").Trim(L"<>-"), L"a");
  EXPECT_EQ(CString(L"<-a->").TrimLeft(L"<-"), L"a->");
  EXPECT_EQ(CString(L"<-a->").TrimRight(static_cast<const wchar_t*>(nullptr)), L"<-a->");
}

TEST(CString, ReplaceRemoveInsertDelete) {
  EXPECT_EQ(Replaced(L"aaaa", L"aa", L"b"), L"2:bb");
  EXPECT_EQ(Replaced(L"aaa", L"aa", L"b"), L"1:ba");      // matches do not overlap
  EXPECT_EQ(Replaced(L"aaa", L"a", L"aa"), L"3:aaaaaa");  // replacement text is not searched again
  EXPECT_EQ(Replaced(L"aaa", L"", L"x"), L"0:aaa");
  EXPECT_EQ(Replaced(L"aaa", nullptr, L"x"), L"0:aaa");
  EXPECT_EQ(Replaced(L"aaaaaa", L"aaa", nullptr), L"2:");
  CString s(L"abcab");
  EXPECT_EQ(s.Replace(s.GetString(), L"<"), 1);  // `from` points into the string itself
  EXPECT_EQ(s, L"<");
  s = L"ab";
  EXPECT_EQ(s.Replace(L"b", s.GetString()), 1);
  EXPECT_EQ(s, L"aab");
  EXPECT_EQ(s.Replace(L'a', L'z'), 2);
  EXPECT_EQ(s, L"zzb");

  CString big(std::wstring(1 << 20, L'a'));  // would shift the tail a million times in place
  EXPECT_EQ(big.Replace(L"a", L"bc"), 1 << 20);
  EXPECT_EQ(big.GetLength(), 2 << 20);
  EXPECT_EQ(big.Mid((2 << 20) - 3), L"cbc");

  s = L"a.b.c";
  EXPECT_EQ(s.Remove(L'.'), 2);
  EXPECT_EQ(s, L"abc");
  EXPECT_EQ(s.Insert(-5, L"<"), 4);
  EXPECT_EQ(s.Insert(99, L">"), 5);
  EXPECT_EQ(s.Insert(2, nullptr), 5);
  EXPECT_EQ(s, L"<abc>");
  EXPECT_EQ(s.Delete(1, 2), 3);
  EXPECT_EQ(s, L"<c>");
  EXPECT_EQ(s.Delete(-1), 2);  // negative index counts from 0
  EXPECT_EQ(s.Delete(1, 99), 1);
  EXPECT_EQ(s.Delete(5), 1);
  EXPECT_EQ(s.Delete(0, -1), 1);
  EXPECT_EQ(s, L"c");
}

TEST(CString, CaseMappingIsUnicodeAndIgnoresTheProcessLocale) {
  const CString mixed(L"Stra\u00DFe \u00E9t\u00E9 \u03B1\u03B2\u03C2 \u0131i \U00010428");
  const CString upper(L"STRA\u00DFE \u00C9T\u00C9 \u0391\u0392\u03A3 II \U00010400");
  const CString lower(L"stra\u00DFe \u00E9t\u00E9 \u03B1\u03B2\u03C2 \u0131i \U00010428");
  auto check = [&] {
    EXPECT_EQ(CString(mixed).MakeUpper(), upper);
    EXPECT_EQ(CString(L"STRA\u00DFE \u00C9T\u00C9 \u0391\u0392\u03C2 \u0131I \U00010400").MakeLower(), lower);
    EXPECT_EQ(CString(L"I").MakeLower(), L"i");  // not dotless, whatever the locale
    EXPECT_EQ(CString(L"\u00C9t\u00E9").CompareNoCase(L"\u00E9T\u00C9"), 0);
    EXPECT_EQ(CString(L"\u0391\u0392\u03A3").CompareNoCase(L"\u03B1\u03B2\u03C3"), 0);
  };
  // Setting the global locale sets the C locale too; that of "C" leaves é alone.
  const std::locale saved = std::locale::global(std::locale::classic());
  ASSERT_EQ(std::towupper(L'\u00E9'), static_cast<std::wint_t>(L'\u00E9'));
  check();
  for (const char* name : {"tr_TR.UTF-8", "tr_TR.utf8", "C.UTF-8"}) {
    try {
      std::locale::global(std::locale(name));
    } catch (const std::runtime_error&) {
      continue;  // not installed
    }
    check();
  }
  std::locale::global(saved);
}

// One fold for every case-insensitive comparison: final sigma, dotless and
// dotted i, the Kelvin sign and long s are their ordinary letters.
TEST(CString, CompareNoCaseFoldsSpecialLettersLikeTheirPlainOnes) {
  EXPECT_STREQ(nimbrel::case_detail::kUnicodeVersion, "15.0.0");
  for (const auto& [a, b] : {std::pair{L"\u03C2", L"\u03C3"}, {L"\u03C2", L"\u03A3"}, {L"\u0131", L"i"},
                             {L"\u0131", L"I"}, {L"\u0130", L"i"}, {L"\u212A", L"k"}, {L"\u212A", L"K"},
                             {L"\u017F", L"s"}, {L"\u00B5", L"\u03BC"}, {L"\u1E9E", L"\u00DF"}}) {
    EXPECT_EQ(CString(a).CompareNoCase(b), 0) << static_cast<int>(a[0]);
    EXPECT_EQ(CString(b).CompareNoCase(a), 0) << static_cast<int>(a[0]);
  }
  EXPECT_EQ(CString(L"\u212A\u0130").MakeLower(), L"ki");  // simple mappings: one character each
  EXPECT_EQ(CString(L"\u03C2\u0131\u017F\u00DF").MakeUpper(), L"\u03A3IS\u00DF");
  EXPECT_NE(CString(L"\u00E9").CompareNoCase(L"e"), 0);
}

TEST(CString, CompareAndOperatorsUseContentInBothDirections) {
  const CString a(L"apple"), b(L"banana");
  EXPECT_TRUE(L"apple" == a);
  EXPECT_TRUE(a != L"Apple");
  EXPECT_FALSE(a == static_cast<const wchar_t*>(nullptr));
  EXPECT_TRUE(CString() == static_cast<const wchar_t*>(nullptr));
  // Content, not buffer addresses: copies living anywhere order the same way.
  for (int i = 0; i < 2; ++i) {
    const CString x = i ? a : b, y = i ? b : a;
    EXPECT_EQ(x < y, i == 1);
    EXPECT_EQ(x > y, i == 0);
    EXPECT_EQ(x <= y, i == 1);
    EXPECT_EQ(x >= y, i == 0);
  }
  EXPECT_TRUE(L"b" > a);
  EXPECT_TRUE(a >= L"apple");
  std::map<CString, int> order{{b, 2}, {a, 1}};
  EXPECT_EQ(order.begin()->first, a);

  CString s = L'<' + a + L'-' + b;
  s += L"|";
  s += static_cast<const wchar_t*>(nullptr);
  EXPECT_EQ(s, L"<apple-banana|");
  EXPECT_EQ(L"<" + a + L">", L"<apple>");
  EXPECT_LT(CString(L"abc").CompareNoCase(L"ABD"), 0);
  EXPECT_GT(CString(L"abcd").CompareNoCase(L"ABC"), 0);
  EXPECT_LT(CString(L"ab").CompareNoCase(L"ABC"), 0);
  EXPECT_GT(CString(L"b").CompareNoCase(nullptr), 0);
  EXPECT_EQ(CString().CompareNoCase(nullptr), 0);
  EXPECT_EQ(CString(L"b").Compare(L"a"), 1);
  EXPECT_EQ(CString(L"B").Compare(L"a"), -1);
  EXPECT_EQ(CString().Compare(nullptr), 0);
}

TEST(CString, FormatAndAppendFormat) {
  CString s(L"v");
  s.Format(L"%s=%d", s, 7);  // the argument may be the string being formatted
  EXPECT_EQ(s, L"v=7");
  s.AppendFormat(L" [%-4s] %s %.1f", s, "\xC3\xA9", 0.25);
  EXPECT_EQ(s, L"v=7 [v=7 ] \u00E9 0.2");
  s.Format(nullptr);
  EXPECT_TRUE(s.IsEmpty());
}
