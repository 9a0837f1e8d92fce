#include "nimbrel/StringFormat.h"

#include <gtest/gtest.h>

#include <cstdlib>

#include <clocale>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>

#include "nimbrel/CString.h"

using nimbrel::FormatWide;

namespace {

struct Case {
  std::wstring got;
  std::wstring want;
};

void ExpectAll(std::initializer_list<Case> cases) {
  int i = 0;
  for (const Case& c : cases) EXPECT_EQ(c.got, c.want) << "case " << i++;
}

std::wstring Hex(std::uint64_t v) {  // %p's expected text
  std::wstring s(sizeof(void*) * 2, L'0');
  for (std::size_t i = s.size(); v != 0; v >>= 4) s[--i] = L"0123456789ABCDEF"[v & 15];
  return s;
}

enum class Color : std::uint8_t { kBlue = 7 };

}  // namespace

TEST(StringFormat, IntegersFollowTheWindowsDataModel) {
  ExpectAll({
      {FormatWide(L"%d", 0x100000005LL), L"5"},  // no modifier: 32 bits
      {FormatWide(L"%ld", 0x100000005LL), L"5"},
      {FormatWide(L"%d", 4294967295u), L"-1"},
      {FormatWide(L"%u", -1), L"4294967295"},
      {FormatWide(L"%I64d", INT64_MIN), L"-9223372036854775808"},
      {FormatWide(L"%lld|%jd|%I64u", -2LL, INT64_MAX, UINT64_MAX),
       L"-2|9223372036854775807|18446744073709551615"},
      {FormatWide(L"%zu|%Iu|%I32u", SIZE_MAX, SIZE_MAX, SIZE_MAX),
       std::to_wstring(SIZE_MAX) + L"|" + std::to_wstring(SIZE_MAX) + L"|4294967295"},
      {FormatWide(L"%hd|%hu|%hhd|%hhu", 70000, -1, 200, 300), L"4464|65535|-56|44"},
      {FormatWide(L"%x|%X|%o|%llx", -1, 255, 8, -1LL), L"ffffffff|FF|10|ffffffffffffffff"},
      {FormatWide(L"%d|%d|%d|%u|%d", true, 'A', Color::kBlue, L'\u00E9', char(-23)), L"1|65|7|233|-23"},
      // Flags, width and precision.
      {FormatWide(L"%04d|%+d|% d|%+u|%+ d", -5, 5, 5, 5, 5), L"-005|+5| 5|5|+5"},
      {FormatWide(L"%-5d|%5d|%-05d|", 42, 42, 42), L"42   |   42|42   |"},
      {FormatWide(L"%05.3d|%.0d|%.0x|%.5d", 7, 0, 0, -42), L"  007|||-00042"},
      {FormatWide(L"%#x|%#X|%#x|%#o|%#o|%#.0o", 255, 255, 0, 8, 0, 0), L"0xff|0XFF|0|010|0|0"},
      {FormatWide(L"%#08x|%08X", 255, 0xABC), L"0x0000ff|00000ABC"},
      {FormatWide(L"%*d|%-*d|%*d|", 5, 42, 3, 1, -3, 1), L"   42|1  |1  |"},
      {FormatWide(L"%.*d|%.*d", 4, 7, -1, 0), L"0007|0"},  // negative precision = none
  });
}

TEST(StringFormat, FloatingPoint) {
  const double inf = std::numeric_limits<double>::infinity();
  ExpectAll({
      {FormatWide(L"%5.1f|%f|%.0f|%#.0f", 3.14159, 0.5, 2.5, 1.0), L"  3.1|0.500000|2|1."},
      {FormatWide(L"%010.2f|%-8.1f|%+.1f|% .1f", -3.5, 2.25, 1.0, 1.0), L"-000003.50|2.2     |+1.0| 1.0"},
      {FormatWide(L"%f|%5.1F|%e", inf, -inf, std::nan("")), L"inf| -INF|nan"},
      {FormatWide(L"%Lf|%f|%.1f", 1.5L, 1.25f, 3), L"1.500000|1.250000|3.0"},  // integers convert by value
      {FormatWide(L"%d|%d|%d|%u", 2.9, -2.9, std::nan(""), 1e300), L"2|-2|0|4294967295"},
  });
}

// Numbers use "." whatever locale the host installed.
TEST(StringFormat, DecimalPointIgnoresTheProcessLocale) {
  const std::string saved = std::setlocale(LC_ALL, nullptr);
  const char* comma = nullptr;
  for (const char* name : {"de_DE.UTF-8", "de_DE.utf8", "fr_FR.UTF-8", "fr_FR.utf8", "ru_RU.UTF-8"}) {
    if (std::setlocale(LC_ALL, name)) {
      comma = name;
      break;
    }
  }
  if (!comma && std::getenv("NIMBREL_REQUIRE_COMMA_LOCALE")) FAIL() << "the comma locale was not found";
  if (!comma) GTEST_SKIP() << "no locale with a decimal comma is installed";
  char probe[16];
  std::snprintf(probe, sizeof probe, "%.1f", 1.5);
  const std::wstring got = FormatWide(L"%.1f|%g|%s", 1.5, 0.25, 2.5);
  std::setlocale(LC_ALL, saved.c_str());
  EXPECT_STREQ(probe, "1,5") << comma;  // the locale really does use a comma
  EXPECT_EQ(got, L"1.5|0.25|2.5");
}

TEST(StringFormat, CharactersStringsAndPointers) {
  const wchar_t* nw = nullptr;
  const char* nn = nullptr;
  const int* np = nullptr;
  const CString cs(L"cs");
  const std::wstring ws(L"ws");
  const wchar_t* wp = L"wp";
  const std::string embedded("a\0b", 3);
  const std::wstring pad(20 - Hex(0).size(), L' ');
  ExpectAll({
      {FormatWide(L"%c%c%lc%wc", L'A', 0x1F600, L'\u00DF', L'z'), L"A\U0001F600\u00DFz"},
      {FormatWide(L"%hc|%C|%C|%hC|%lC", 'A', char(0x80), char(0xE9), 0x81, L'\u0416'),
       L"A|\u20AC|\u00E9|\u0081|\u0416"},
      {FormatWide(L"[%c][%3c][%-3c][%03c]", 0, 0, L'x', L'y'), L"[][   ][x  ][  y]"},  // 0 appends nothing
      {FormatWide(L"%c|%c|%hc|%c", L"xyz", "\xC3\xA9t\xC3\xA9", "\xE9t\xE9", L""), L"x|\u00E9|\u00E9|"},
      {FormatWide(L"%s %s %s %s %s", cs, ws, wp, std::wstring_view(L"sv"), std::string("ns")), L"cs ws wp sv ns"},
      {FormatWide(L"%s|%S|%hs|%ls|%ws", "caf\xC3\xA9", L"w", "n", "n", L"w"), L"caf\u00E9|w|n|n|w"},
      {FormatWide(L"%s|%s|%S", "caf\xE9", "\x80\x81\x9F", "\xC3"), L"caf\u00E9|\u20AC\u0081\u0178|\u00C3"},
      // Not UTF-8 (surrogate, overlong, beyond U+10FFFF): every byte read as Windows-1252.
      {FormatWide(L"%s|%s|%s", "\xED\xA0\x80", "\xC0\x80", "\xF4\x90\x80\x80"),
       L"\u00ED\u00A0\u20AC|\u00C0\u20AC|\u00F4\u0090\u20AC\u20AC"},
      {FormatWide(L"%s|%s|%3s|", L"\U0001F600", "\xF0\x9F\x98\x80\xE2\x82\xAC", L"\U0001F600"),
       L"\U0001F600|\U0001F600\u20AC|  \U0001F600|"},
      {FormatWide(L"%s", embedded), std::wstring(L"a\0b", 3)},
      {FormatWide(L"%-5s|%5s|%05s|%.3s|%-4.2s|", L"ab", L"ab", L"ab", L"abcdef", L"abc"),
       L"ab   |   ab|   ab|abc|ab  |"},
      {FormatWide(L"%.2s|%4.3s|", "\xC3\xA9\xC3\xA8\xE2\x82\xAC", "\xE9\xE8\x80\x80"),
       L"\u00E9\u00E8| \u00E9\u00E8\u20AC|"},
      // Pointers, and null and non-string arguments for %s.
      {FormatWide(L"%p|%p|%p", reinterpret_cast<const void*>(0xBEEF), nullptr, 0x2A),
       Hex(0xBEEF) + L"|" + Hex(0) + L"|" + Hex(0x2A)},
      {FormatWide(L"%20p|%-20p|", 0xAB, 0xAB), pad + Hex(0xAB) + L"|" + Hex(0xAB) + pad + L"|"},
      {FormatWide(L"%s|%s|%hs|%s|%s|%s", nw, nn, nn, nullptr, np, 0), L"(null)|(null)|(null)|(null)|(null)|(null)"},
      {FormatWide(L"%.2s|%8s", nw, nn), L"(n|  (null)"},
      {FormatWide(L"%s|%s|%s|%5s", 42, -7LL, 2.5, 1u), L"42|-7|2.5|    1"},
      {FormatWide(L"%s", reinterpret_cast<const void*>(0x1234)), Hex(0x1234)},
      {FormatWide(L"[%c]", nw), L"[]"},
  });
}

TEST(StringFormat, MissingExtraUnknownAndNullFormat) {
  int n = 0;
  ExpectAll({
      {FormatWide(L"%d|%s|%f|%c|%p|%x", 1), L"1||0.000000||" + Hex(0) + L"|0"},  // missing: 0 or empty
      {FormatWide(L"%*d|%.*f", 3), L"  0|0"},  // width 3 given; value, precision and value missing
      {FormatWide(L"%d", 1, 2, L"extra"), L"1"},
      {FormatWide(L"100%%|%5%|%"), L"100%|%|%"},
      {FormatWide(L"x%-08.3l"), L"x%-08.3l"},  // unfinished conversion at the end
      {FormatWide(L"%y%d|%5k%d|%*k%d", 7, 8, 9), L"%y7|%5k8|%*k9"},  // unknown: literal, uses no argument
      {FormatWide(L"%1$d", 5), L"%1$d"},
      {FormatWide(L"%n%d|%hhn", &n, 5, &n), L"5|"},  // %n takes its argument but writes nothing
  });
  EXPECT_EQ(n, 0);

  std::wstring out = L"keep:";
  nimbrel::AppendFormatted(out, nullptr, nullptr, 0);
  EXPECT_EQ(out, L"keep:");
  const nimbrel::FormatArg args[] = {nimbrel::FormatArg(3), nimbrel::FormatArg(L"x")};
  nimbrel::AppendFormatted(out, L"%d%s", args, 2);
  nimbrel::AppendFormatted(out, L"%d%s", nullptr, 2);  // no argument array: all missing
  EXPECT_EQ(out, L"keep:3x0");
}

TEST(StringFormat, HugeWidthAndPrecisionAreClamped) {
  const std::size_t kMax = nimbrel::format_detail::kMaxFormatWidth;
  const std::wstring w = FormatWide(L"%999999999d", 1);
  ASSERT_EQ(w.size(), kMax);
  EXPECT_EQ(w.back(), L'1');
  const std::wstring p = FormatWide(L"%.999999999d", -1);
  ASSERT_EQ(p.size(), kMax + 1);
  EXPECT_EQ(p.substr(0, 3), L"-00");
  EXPECT_EQ(FormatWide(L"%-*s|", INT32_MIN, L"a").size(), kMax + 1);  // |INT_MIN| without overflow
  const std::wstring f = FormatWide(L"%.4294967296f", 1.0);  // digits past INT_MAX
  ASSERT_EQ(f.size(), kMax + 2);
  EXPECT_EQ(f.substr(0, 4), L"1.00");
  EXPECT_EQ(FormatWide(L"%.*s", 1 << 30, L"abc"), L"abc");
}

