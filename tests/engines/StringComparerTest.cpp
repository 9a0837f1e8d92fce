#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "engines/StringComparer.h"
#include "nimbrel/CString.h"
#include "platform/TextCodec.h"

namespace nimbrel {
namespace {

// The difference computed the plain way: a full table, every cost looked up
// and weighted cell by cell.
struct Reference {
  float operator()(const wchar_t* a, const wchar_t* b) const {
    const std::u16string x = Units(a), y = Units(b);
    const std::vector<bool> mx = Marks(x), my = Marks(y);
    static constexpr int kCost[5][5] = {
        {20, 25, 25, 10, 30}, {25, 20, 60, 15, 20}, {25, 60, 100, 70, 70}, {10, 15, 70, 1, 5}, {30, 20, 70, 5, 0}};
    std::vector<std::vector<float>> d(x.size() + 1, std::vector<float>(y.size() + 1));
    for (std::size_t i = 1; i <= x.size(); ++i)
      d[i][0] = static_cast<float>(double(d[i - 1][0]) + kCost[Class(x[i - 1])][4]);
    for (std::size_t j = 1; j <= y.size(); ++j)
      d[0][j] = static_cast<float>(double(d[0][j - 1]) + kCost[4][Class(y[j - 1])]);
    for (std::size_t i = 1; i <= x.size(); ++i) {
      for (std::size_t j = 1; j <= y.size(); ++j) {
        const int cx = Class(x[i - 1]), cy = Class(y[j - 1]);
        const bool same = x[i - 1] == y[j - 1];
        const double w = !same && mx[i - 1] && my[j - 1] ? double(weight) : 1.0;
        const double replace = same ? 0.0 : kCost[cx][cy] * w;
        d[i][j] =
            static_cast<float>(std::min({double(d[i - 1][j - 1]) + replace, double(d[i - 1][j]) + kCost[cx][4] * w,
                                         double(d[i][j - 1]) + kCost[4][cy] * w}));
      }
    }
    return d[x.size()][y.size()];
  }

  std::u16string Units(const wchar_t* s) const {
    CString text(s);
    text.Trim();
    const std::string bytes = platform::ToUtf16Le(text.str());
    std::u16string units;
    for (std::size_t i = 0; i + 1 < bytes.size(); i += 2) {
      auto u =
          static_cast<char16_t>(static_cast<unsigned char>(bytes[i]) | static_cast<unsigned char>(bytes[i + 1]) << 8);
      if (!caseSensitive && (u < 0xD800 || u > 0xDFFF)) u = static_cast<char16_t>(ToUpper(u));
      units.push_back(u);
    }
    return units;
  }
  static int Class(char16_t c) {
    if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z')) return 2;
    if (c == 0x20 || c == 0x39 || c == 0x08 || c == 0x0B) return 3;
    if (c == 0) return 4;
    if (c >= '0' && c <= '9') return 1;
    if ((c >= 0x21 && c <= 0x2F) || (c >= 0x3A && c <= 0x40) || (c >= 0x5B && c <= 0x60) || (c >= 0x7B && c <= 0x7E))
      return 0;
    return 2;
  }
  static std::vector<bool> Marks(const std::u16string& s) {
    std::vector<bool> marks(s.size());
    for (const char16_t* pair : {u"()", u"[]", u"{}", u"<>"}) {
      const std::size_t open = s.find(pair[0]);
      const std::size_t close = open == s.npos ? s.npos : s.find(pair[1], open);
      if (close == s.npos) continue;
      for (std::size_t k = open + 1; k < close; ++k) marks[k] = true;
      break;
    }
    return marks;
  }

  float weight;
  bool caseSensitive;
};

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
      const Reference reference{weight, caseSensitive};
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
