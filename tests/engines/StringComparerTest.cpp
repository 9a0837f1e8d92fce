#include "engines/StringComparer.h"

#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "nimbrel/CString.h"
#include "support/ReferenceDifference.h"

namespace nimbrel {
namespace {

TEST(StringComparerTest, Examples) {
  const StringComparer c;
  EXPECT_EQ(c.Difference(L"Yesterday", L"yesterday "), 0.0f);
  EXPECT_EQ(c.Difference(L"Song 1", L"Song 2"), 20.0f);
  EXPECT_EQ(c.Difference(L"Song", L"Songs"), 70.0f);
  EXPECT_EQ(c.Difference(L"Love Me", L"Love  Me"), 5.0f);
  EXPECT_EQ(c.Difference(L"Track9", L"Track 9"), 5.0f);
  EXPECT_EQ(c.Difference(L"Hello (Live)", L"Hello (Demo)"), 38.0f);
  // Without the discount the brackets still help: letters are replaced by
  // punctuation (25) in a shifted alignment, so less than four letters (380).
  EXPECT_EQ(StringComparer(1.0f).Difference(L"Hello (Live)", L"Hello (Demo)"), 335.0f);
  EXPECT_EQ(c.Difference(L"Hello Live", L"Hello Demo"), 380.0f);
  EXPECT_EQ(c.Difference(L"", L""), 0.0f);
  EXPECT_EQ(c.Difference(L"", L"AB"), 140.0f);
  EXPECT_EQ(c.Difference(L"Song", L"Sing"), 100.0f);
  EXPECT_EQ(StringComparer(0.1f, true).Difference(L"Song", L"song"), 100.0f);
  EXPECT_EQ(c.Difference(nullptr, L" AB\t"), 140.0f);  // null is empty
  EXPECT_EQ(c.Difference(L"\v \t", nullptr), 0.0f);
}

// The matching folds case as CompareNoCase does: equal for one means equal
// for the other (final sigma, dotless and dotted i, Kelvin sign, long s).
TEST(StringComparerTest, FoldsCaseLikeCompareNoCase) {
  const StringComparer c;
  const wchar_t* const texts[] = {L"\u03C3", L"\u03C2", L"\u03A3", L"i", L"I", L"\u0131", L"\u0130", L"k",
                                  L"\u212A", L"K", L"s", L"\u017F", L"\u00DF", L"\u1E9E", L"\u00E9", L"e"};
  for (const wchar_t* a : texts) {
    for (const wchar_t* b : texts) {
      EXPECT_EQ(c.Difference(a, b) == 0.0f, CString(a).CompareNoCase(b) == 0)
          << static_cast<int>(a[0]) << " " << static_cast<int>(b[0]);
    }
  }
  EXPECT_EQ(c.Difference(L"\u212Aelvin \u0131\u03C2", L"KELVIN I\u03A3"), 0.0f);
}

// Controls and characters beyond the BMP count as UTF-16 units.
TEST(StringComparerTest, ControlAndNonBmpCharacters) {
  const StringComparer c;
  EXPECT_EQ(c.Difference(L"A\bB", L"AB"), 5.0f);   // backspace is a blank
  EXPECT_EQ(c.Difference(L"A\tB", L"AB"), 70.0f);  // an inner tab is a letter
  EXPECT_EQ(c.Difference(L"9", L""), 5.0f);
  EXPECT_EQ(c.Difference(L"\U0001F600", L""), 140.0f);            // two surrogates
  EXPECT_EQ(c.Difference(L"\U0001F600", L"\U0001F601"), 100.0f);  // same high surrogate
  EXPECT_EQ(c.Difference(L"\U00010428", L"\U00010400"), 100.0f);  // no case folding beyond the BMP
  const wchar_t invalid[] = {static_cast<wchar_t>(0x110000), 0};
  EXPECT_EQ(c.Difference(invalid, L"\xFFFD"), 0.0f);
  const wchar_t pair[] = {0xD83D, 0xDE00, 0};
  EXPECT_EQ(c.Prepare(pair).Normalised(), L"\U0001F600");
}

TEST(StringComparerTest, BracketMarks) {
  const StringComparer free(0.0f);  // edits between marks of both texts cost nothing
  EXPECT_EQ(free.Difference(L"Hello (Live)", L"Hello (Demo)"), 0.0f);
  EXPECT_GT(free.Difference(L"Hello (Live", L"Hello (Demo"), 0.0f);  // unpaired
  EXPECT_GT(free.Difference(L"A)B(C", L"A)D(E"), 0.0f);              // closing before opening
  EXPECT_EQ(free.Difference(L"((A)B)", L"((C)B)"), 0.0f);            // nested: the first closing
  EXPECT_GT(free.Difference(L"((A)B)", L"((A)D)"), 0.0f);            // bracket ends the marks
  EXPECT_EQ(free.Difference(L"[A] (B", L"[C] (B"), 0.0f);            // "(" alone: "[]" decides
  EXPECT_GT(free.Difference(L"(A) [B]", L"(A) [C]"), 0.0f);          // "()" comes first
  EXPECT_GT(free.Difference(L"<A> {B}", L"<C> {B}"), 0.0f);          // "{}" before "<>"
  EXPECT_EQ(free.Difference(L"<A> {B", L"<C> {B"), 0.0f);
  EXPECT_GT(free.Difference(L"Hello (Live)", L"Hello Demo"), 0.0f);  // marks in one text only
}

TEST(StringComparerTest, PreparedAndLongTexts) {
  const StringComparer c;
  EXPECT_EQ(c.Prepare(L"  a b\t").Normalised(), L"A B");
  EXPECT_EQ(c.Difference(c.Prepare(nullptr), c.Prepare(L"AB")), 140.0f);
  StringComparer::Prepared moved = c.Prepare(L"AB");
  const StringComparer::Prepared taken = std::move(moved);
  EXPECT_EQ(c.Difference(moved, taken), 140.0f);  // NOLINT(bugprone-use-after-move): counts as empty

  std::wstring a;
  while (a.size() < 10000) a += L"Song (Live) 9 ";
  std::wstring b = a;
  b[5000] = L'X';  // was a letter
  EXPECT_EQ(c.Difference(a.c_str(), b.c_str()), 100.0f);
  // 715 times "Song (Live) 9 " deleted, less the trimmed last blank.
  EXPECT_EQ(c.Difference(a.c_str(), L""), 715 * 640 - 5.0f);
  EXPECT_EQ(c.Difference(L"", a.c_str()), 715 * 640 - 5.0f);
  EXPECT_GE(c.Difference(c.Prepare(a.c_str()), c.Prepare(L"x"), 100.0f), 100.0f);
}

std::wstring RandomText(std::mt19937& rng, std::size_t maxLength) {
  static const std::vector<wchar_t> kAlphabet = {
      L'(',  L')', L'[',  L']', L'{', L'}',   L'<',    L'>',    L'(',    L')',    L'0',   L'1',
      L'5',  L'8', L'9',  L'9', L' ', L' ',   L'\b',   L'\v',   L'\t',   L'!',    L'-',   L'.',
      L'\'', L'&', L'~',  L'`', L'@', L'A',   L'B',    L'Z',    L'a',    L'b',    L'z',   0xE9,
      0xC9,  0xDF, 0x3A9, 0x7F, 0x01, 0xFFFD, 0x1F600, 0x1F601, 0x10428, 0x10400, 0xD800, 0x110000};
  std::wstring text(std::uniform_int_distribution<std::size_t>(0, maxLength)(rng), L' ');
  for (auto& c : text) c = kAlphabet[rng() % kAlphabet.size()];
  return text;
}

// A few edits of `text`, so that pairs share most of their characters.
std::wstring Mutated(std::mt19937& rng, std::wstring text) {
  for (int e = static_cast<int>(rng() % 5); e > 0; --e) {
    const std::size_t at = std::uniform_int_distribution<std::size_t>(0, text.size())(rng);
    text.replace(at, std::min<std::size_t>(text.size() - at, rng() % 3), RandomText(rng, 2));
  }
  return text;
}

TEST(StringComparerTest, MatchesThePlainTableBitForBit) {
  std::mt19937 rng(20240611);
  for (const float weight : {0.1f, 1.0f, 0.37f, 0.0f}) {
    for (const bool caseSensitive : {false, true}) {
      const StringComparer comparer(weight, caseSensitive);
      const testing_support::ReferenceDifference reference{weight, caseSensitive};
      for (int k = 0; k < 1500; ++k) {
        const std::wstring a = RandomText(rng, k % 500 == 0 ? 700 : k % 10 == 0 ? 90 : 30);  // some beyond the stack
        const std::wstring b = k % 2 ? RandomText(rng, 30) : Mutated(rng, a);
        const auto expected = std::bit_cast<std::uint32_t>(reference(a.c_str(), b.c_str()));
        const float actual = comparer.Difference(a.c_str(), b.c_str());
        ASSERT_EQ(std::bit_cast<std::uint32_t>(actual), expected)
            << "weight " << weight << " case " << caseSensitive << " pair " << k;
        const auto pa = comparer.Prepare(a.c_str()), pb = comparer.Prepare(b.c_str());
        ASSERT_EQ(std::bit_cast<std::uint32_t>(comparer.Difference(pa, pb)), expected);
        if (weight > 0) {
          ASSERT_EQ(actual == 0.0f, pa.Normalised() == pb.Normalised());
        }
        const float limit = static_cast<float>(rng() % 400);
        const float limited = comparer.Difference(pa, pb, limit);
        if (actual < limit)
          ASSERT_EQ(std::bit_cast<std::uint32_t>(limited), expected);
        else
          ASSERT_GE(limited, limit);
      }
    }
  }
}

}  // namespace
}  // namespace nimbrel
