#include "nimbrel/CString.h"

#include <gtest/gtest.h>

#include <clocale>
#include <cwctype>
#include <locale>
#include <map>
#include <stdexcept>
#include <string>

namespace {

// Switches the C and C++ global locales for one scope.
class GlobalLocale {
 public:
  explicit GlobalLocale(const char* name) : savedC_(std::setlocale(LC_ALL, nullptr)) {
    if (!std::setlocale(LC_ALL, name)) return;
    try {
      savedCpp_ = std::locale::global(std::locale(name));
    } catch (const std::runtime_error&) {
    }
    ok_ = true;
  }
  ~GlobalLocale() {
    std::setlocale(LC_ALL, savedC_.c_str());
    std::locale::global(savedCpp_);
  }
  bool ok() const { return ok_; }

 private:
  std::string savedC_;
  std::locale savedCpp_;
  bool ok_ = false;
};

}  // namespace

TEST(CString, Construction) {
  EXPECT_TRUE(CString(static_cast<const wchar_t*>(nullptr)).IsEmpty());
  EXPECT_EQ(CString(L"abcdef", 3), L"abc");
  EXPECT_TRUE(CString(L"abc", -2).IsEmpty());
  EXPECT_TRUE(CString(static_cast<const wchar_t*>(nullptr), 4).IsEmpty());
  EXPECT_EQ(CString(L'x', 3), L"xxx");
  EXPECT_TRUE(CString(L'x', -1).IsEmpty());
  const CString s(std::wstring(L"a\0b", 3));
  EXPECT_EQ(s.GetLength(), 3);
  EXPECT_EQ(s[2], L'b');
  EXPECT_THROW(s.GetAt(3), std::out_of_range);
  EXPECT_THROW(s.GetAt(-1), std::out_of_range);
}

TEST(CString, FindAndReverseFind) {
  const CString s(L"abcabc");
  EXPECT_EQ(s.Find(L'c'), 2);
  EXPECT_EQ(s.Find(L'c', 3), 5);
  EXPECT_EQ(s.Find(L'c', 6), -1);
  EXPECT_EQ(s.Find(L'c', 100), -1);
  EXPECT_EQ(s.Find(L'a', -1), -1);
  EXPECT_EQ(s.Find(L"bc", 2), 4);
  EXPECT_EQ(s.Find(L"bc", -3), -1);
  EXPECT_EQ(s.Find(L"bc", 7), -1);
  EXPECT_EQ(s.Find(L"", 6), 6);
  EXPECT_EQ(s.Find(static_cast<const wchar_t*>(nullptr)), -1);
  EXPECT_EQ(s.Find(L"abcabcx"), -1);
  EXPECT_EQ(s.ReverseFind(L'a'), 3);
  EXPECT_EQ(s.ReverseFind(L'z'), -1);
  EXPECT_EQ(CString().ReverseFind(L'a'), -1);
  EXPECT_EQ(s.FindOneOf(L"xc"), 2);
  EXPECT_EQ(s.FindOneOf(L""), -1);
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
  EXPECT_EQ(CString(L"xxaxx").TrimLeft(L'x'), L"axx");
  EXPECT_EQ(CString(L"xxaxx").TrimRight(L'x'), L"xxa");
  EXPECT_EQ(CString(L"<-a->").Trim(L"<>-"), L"a");
  EXPECT_EQ(CString(L"<-a->").TrimLeft(L"<-"), L"a->");
  EXPECT_EQ(CString(L"<-a->").TrimRight(L""), L"<-a->");
  EXPECT_EQ(CString(L"<-a->").TrimRight(static_cast<const wchar_t*>(nullptr)), L"<-a->");
}

TEST(CString, ReplaceRemoveInsertDelete) {
  CString s(L"aaaa");
  EXPECT_EQ(s.Replace(L"aa", L"b"), 2);
  EXPECT_EQ(s, L"bb");
  s = L"aaa";
  EXPECT_EQ(s.Replace(L"aa", L"b"), 1);  // matches do not overlap
  EXPECT_EQ(s, L"ba");
  s = L"aaa";
  EXPECT_EQ(s.Replace(L"a", L"aa"), 3);  // replacement text is not searched again
  EXPECT_EQ(s, L"aaaaaa");
  EXPECT_EQ(s.Replace(L"", L"x"), 0);
  EXPECT_EQ(s.Replace(nullptr, L"x"), 0);
  EXPECT_EQ(s.Replace(L"aaa", nullptr), 2);
  EXPECT_EQ(s, L"");
  s = L"abcab";
  EXPECT_EQ(s.Replace(s.GetString(), L"<"), 1);  // `from` points into the string itself
  EXPECT_EQ(s, L"<");
  s = L"ab";
  EXPECT_EQ(s.Replace(L"b", s.GetString()), 1);
  EXPECT_EQ(s, L"aab");
  EXPECT_EQ(s.Replace(L'a', L'z'), 2);
  EXPECT_EQ(s, L"zzb");
  EXPECT_EQ(s.Replace(L"q", L"r"), 0);

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
  };
  {
    GlobalLocale c("C");  // towupper of the C locale leaves é alone
    ASSERT_TRUE(c.ok());
    ASSERT_EQ(std::towupper(L'\u00E9'), static_cast<std::wint_t>(L'\u00E9'));
    check();
  }
  for (const char* name : {"tr_TR.UTF-8", "tr_TR.utf8", "C.UTF-8"}) {
    GlobalLocale other(name);
    if (other.ok()) check();
  }
}

TEST(CString, CompareAndCompareNoCase) {
  const CString s(L"\u00C9t\u00E9");
  EXPECT_EQ(s.CompareNoCase(L"\u00E9T\u00C9"), 0);
  EXPECT_EQ(CString(L"\u0391\u0392\u0393").CompareNoCase(L"\u03B1\u03B2\u03B3"), 0);
  EXPECT_EQ(CString(L"\u03A3").CompareNoCase(L"\u03C3"), 0);
  EXPECT_LT(CString(L"abc").CompareNoCase(L"ABD"), 0);
  EXPECT_GT(CString(L"abcd").CompareNoCase(L"ABC"), 0);
  EXPECT_LT(CString(L"ab").CompareNoCase(L"ABC"), 0);
  EXPECT_GT(CString(L"b").CompareNoCase(nullptr), 0);
  EXPECT_EQ(CString().CompareNoCase(nullptr), 0);
  EXPECT_EQ(CString(L"b").Compare(L"a"), 1);
  EXPECT_EQ(CString(L"B").Compare(L"a"), -1);
  EXPECT_EQ(CString(L"a").Compare(L"a"), 0);
  EXPECT_EQ(CString().Compare(nullptr), 0);
}

TEST(CString, OperatorsCompareContentInBothDirections) {
  const CString a(L"apple"), b(L"banana");
  EXPECT_TRUE(a == L"apple");
  EXPECT_TRUE(L"apple" == a);
  EXPECT_TRUE(a != L"Apple");
  EXPECT_TRUE(L"Apple" != a);
  EXPECT_TRUE(a == std::wstring(L"apple"));
  EXPECT_TRUE(a == CString(L"apple"));
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
  EXPECT_TRUE(a < L"b");
  EXPECT_TRUE(L"b" > a);
  EXPECT_TRUE(a >= L"apple");
  EXPECT_TRUE(L"apple" <= a);
  std::map<CString, int> order{{b, 2}, {a, 1}};
  EXPECT_EQ(order.begin()->first, a);

  CString s = a + L'-' + b;
  s += L"|";
  s += CString(L"x");
  s += L'!';
  s += static_cast<const wchar_t*>(nullptr);
  EXPECT_EQ(s, L"apple-banana|x!");
  EXPECT_EQ(L"<" + a + L">", L"<apple>");
  EXPECT_EQ(L'<' + a, L"<apple");
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
