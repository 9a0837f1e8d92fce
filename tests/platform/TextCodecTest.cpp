#include "platform/TextCodec.h"

#include <gtest/gtest.h>

#include <random>

using namespace platform;

TEST(TextCodec, KnownEncodingsRandomRoundTripsAndLoneUtf16Surrogates) {
  const std::wstring known = L"a\u00E9\u20AC\U0001F600";
  EXPECT_EQ(ToUtf8(known), "a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80");
  EXPECT_EQ(ToUtf16Le(known), std::string("a\0\xE9\0\xAC\x20\x3D\xD8\x00\xDE", 10));
  EXPECT_EQ(ToCodePage(L"\u00E9", kCodePageUtf8), "\xC3\xA9");
  EXPECT_EQ(FromCodePage("\xC3\xA9", kCodePageAnsi), L"\u00C3\u00A9");

  // Characters of every UTF-8 length, surrogates excluded.
  const char32_t ranges[][2] = {{0x1, 0x7F}, {0x80, 0x7FF}, {0x800, 0xD7FF}, {0xE000, 0xFFFF}, {0x10000, 0x10FFFF}};
  std::mt19937 rng(1234);
  for (int i = 0; i < 2000; ++i) {
    std::wstring text(rng() % 40, L'\0');
    for (wchar_t& c : text) {
      const auto& r = ranges[rng() % 5];
      c = static_cast<wchar_t>(std::uniform_int_distribution<std::uint32_t>(r[0], r[1])(rng));
    }
    const std::string utf8 = ToUtf8(text), utf16 = ToUtf16Le(text);
    ASSERT_TRUE(IsValidUtf8(utf8));
    ASSERT_EQ(FromUtf8(utf8), text);
    ASSERT_EQ(utf16.size(), 2 * Utf16Length(text));
    ASSERT_EQ(FromUtf16Le(utf16), text);
  }
  // High surrogate before 'A', a lone low surrogate, a high surrogate at the end.
  const std::string bytes("\x00\xD8" "A\x00" "\x00\xDC" "\x3D\xD8", 8);
  const std::wstring text{static_cast<wchar_t>(0xD800), L'A', static_cast<wchar_t>(0xDC00), static_cast<wchar_t>(0xD83D)};
  EXPECT_EQ(FromUtf16Le(bytes), text);
  EXPECT_EQ(ToUtf16Le(text), bytes);
  EXPECT_EQ(Utf16Length(text), 4u);
  EXPECT_EQ(FromUtf16Le(std::string("A\0B", 3)), L"A");
}

TEST(TextCodec, InvalidUtf8BecomesOneReplacementPerMaximalSubpart) {
  const std::wstring r(1, L'\uFFFD');
  const std::pair<std::string, std::wstring> cases[] = {
      {"\x80", r},
      {"\xC0\xAF", r + r},                  // overlong lead byte, then a stray continuation
      {"\xE0\x80\xAF", r + r + r},          // overlong three-byte form
      {"\xED\xA0\x80", r + r + r},          // encoded surrogate
      {"\xF4\x90\x80\x80", r + r + r + r},  // above U+10FFFF
      {"\xF5\x80", r + r},
      {"\xE2\x82" "A", r + L"A"},           // truncated before more text
      {"\xF0\x9F\x98", r},                  // truncated at the end
      // The example of the Unicode standard's substitution practice.
      {"\x61\xF1\x80\x80\xE1\x80\xC2\x62\x80\x63\x80\xBF\x64", L"a" + r + r + r + L"b" + r + L"c" + r + r + L"d"},
  };
  for (const auto& [bytes, expected] : cases) {
    EXPECT_EQ(FromUtf8(bytes), expected) << testing::PrintToString(bytes);
    EXPECT_FALSE(IsValidUtf8(bytes)) << testing::PrintToString(bytes);
  }
  // Values that UTF-8 cannot carry are written as U+FFFD.
  EXPECT_EQ(ToUtf8(std::wstring{L'x', static_cast<wchar_t>(0xD800), static_cast<wchar_t>(0x110000)}),
            "x\xEF\xBF\xBD\xEF\xBF\xBD");
}

TEST(TextCodec, Windows1252) {
  std::string every(256, '\0');
  for (int i = 0; i < 256; ++i) every[i] = static_cast<char>(i);
  const std::wstring decoded = FromWindows1252(every);
  ASSERT_EQ(decoded.size(), 256u);
  EXPECT_EQ(ToWindows1252(decoded), every);
  EXPECT_EQ(decoded.substr(0x80, 4), L"\u20AC\u0081\u201A\u0192");
  EXPECT_EQ(decoded[0x9F], L'\u0178');
  for (int unassigned : {0x81, 0x8D, 0x8F, 0x90, 0x9D}) EXPECT_EQ(decoded[unassigned], unassigned);
  // Not in the code page: CJK, an emoji, and a C1 control whose byte holds another character.
  EXPECT_EQ(ToCodePage(L"a\u4E2D\U0001F600\u0080z", kCodePageAnsi), "a###z");
  // Decomposed letters are composed when the code page holds the result; a
  // mark that composes with nothing stays "#".
  EXPECT_EQ(ToCodePage(L"e\u0301A\u030AS\u030Cy\u0308c\u0327", kCodePageAnsi), "\xE9\xC5\x8A\xFF\xE7");
  EXPECT_EQ(ToWindows1252(L"q\u0301\u0301e"), "q##e");
  EXPECT_EQ(ToWindows1252(L"\u0301e"), "#e");  // a mark before its letter does not compose
}

TEST(TextCodec, NativeNamesRoundTripEveryByteString) {
  // Latin-1, a truncated sequence, an encoded surrogate, valid UTF-8 beside them.
  const std::string latin1 = "caf\xE9.txt";
  EXPECT_EQ(FromNativeName(latin1), L"caf\xDCE9.txt");
  EXPECT_EQ(FromNativeName("\xC3\xA9\xE2\x82"), L"\u00E9\xDCE2\xDC82");
  EXPECT_EQ(FromNativeName("\xED\xA0\x80"), L"\xDCED\xDCA0\xDC80");
  std::mt19937 rng(99);
  for (int i = 0; i < 3000; ++i) {
    std::string bytes(rng() % 12, '\0');
    for (char& b : bytes) b = static_cast<char>(rng() % 3 ? 0x80 + rng() % 0x80 : rng() % 0x80);
    ASSERT_EQ(ToNativeName(FromNativeName(bytes)), bytes) << testing::PrintToString(bytes);
    if (IsValidUtf8(bytes)) {
      ASSERT_EQ(FromNativeName(bytes), FromUtf8(bytes));
    }
  }
  // Logs never see a raw byte: UTF-8 shows an escaped byte as U+FFFD.
  EXPECT_EQ(ToUtf8(FromNativeName(latin1)), "caf\xEF\xBF\xBD.txt");
}
