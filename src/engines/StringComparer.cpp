#include "engines/StringComparer.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cwchar>
#include <memory>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "nimbrel/CString.h"
#include "platform/NoDestructor.h"

namespace nimbrel {
namespace {

// Character classes; the values index the cost table.
constexpr unsigned char kPunctuation = 0, kDigit = 1, kLetter = 2, kBlank = 3, kNone = 4;

// Edit costs by class of the first and of the second character; kNone stands
// for no character (deletion, insertion). Symmetric.
constexpr int kCost[5][5] = {
    {20, 25, 25, 10, 30},   // punctuation
    {25, 20, 60, 15, 20},   // digit
    {25, 60, 100, 70, 70},  // letter
    {10, 15, 70, 1, 5},     // blank
    {30, 20, 70, 5, 0},     // none
};

// Tested in this order: the nine is a blank on purpose, and everything not
// listed (controls, U+007F, all beyond ASCII) counts as a letter.
constexpr unsigned char ClassOf(char16_t u) {
  if ((u >= u'A' && u <= u'Z') || (u >= u'a' && u <= u'z')) return kLetter;
  if (u == 0x20 || u == 0x39 || u == 0x08 || u == 0x0B) return kBlank;
  if (u == 0) return kNone;
  if (u >= u'0' && u <= u'9') return kDigit;
  if ((u >= 0x21 && u <= 0x2F) || (u >= 0x3A && u <= 0x40) || (u >= 0x5B && u <= 0x60) || (u >= 0x7B && u <= 0x7E))
    return kPunctuation;
  return kLetter;
}

// Per ASCII unit: its key without mark (class * 2) in the low four bits, and
// 1 + the number of the pair kind ("(", "[", "{", "<") of an opening bracket
// in the high four.
struct AsciiUnits {
  unsigned char of[128];
  constexpr AsciiUnits() : of() {
    constexpr char16_t kOpening[4] = {u'(', u'[', u'{', u'<'};
    for (int u = 0; u < 128; ++u) {
      of[u] = static_cast<unsigned char>(ClassOf(static_cast<char16_t>(u)) * 2);
      for (int p = 0; p < 4; ++p)
        if (u == kOpening[p]) of[u] = static_cast<unsigned char>(of[u] | (p + 1) << 4);
    }
  }
};
constexpr AsciiUnits kAsciiUnits;

// A scratch array on the stack for short texts, on the heap beyond.
template <typename T, std::size_t N>
class Scratch {
 public:
  explicit Scratch(std::size_t size) {
    if (size > N) {
      heap_ = std::make_unique_for_overwrite<T[]>(size);
      data_ = heap_.get();
    }
  }
  Scratch(const Scratch&) = delete;
  Scratch& operator=(const Scratch&) = delete;
  T* get() { return data_; }

 private:
  T local_[N];
  std::unique_ptr<T[]> heap_;
  T* data_ = local_;
};

// Units of a text kept on the stack (about 250 characters); the table row too.
constexpr std::size_t kStackUnits = 512;
constexpr std::size_t kPad = 16;  // as Prepared::kPad: room for border columns

// The text without leading and trailing white space, as CString::Trim.
std::wstring_view Trimmed(const wchar_t* text) {
  if (!text) return {};
  std::size_t end = std::wcslen(text);
  std::size_t begin = 0;
  while (end > 0 && IsSpace(text[end - 1])) --end;
  while (begin < end && IsSpace(text[begin])) ++begin;
  return std::wstring_view(text + begin, end - begin);
}

// Writes the UTF-16 units of `text` and their keys (class * 2, plus 1 inside
// the bracketed part) to `units` and `keys`, each with room for 2 * size
// entries and kPad entries of room before and after, which are filled with
// keys of no mark. Returns the number of units.
//
// Upper-casing (of the case fold) works unit by unit, as in a UTF-16 build: characters beyond
// the BMP (surrogate pairs) keep their case. A value that is no Unicode scalar
// becomes U+FFFD, as in every UTF-16 conversion of the library.
//
// The bracketed part lies strictly between the brackets of the first pair
// kind found, "()", "[]", "{}", "<>" in this order: the first opening bracket
// and the first closing one after it.
std::size_t Encode(std::wstring_view text, bool caseSensitive, char16_t* units, unsigned char* keys) {
  static constexpr char16_t kClosing[4] = {u')', u']', u'}', u'>'};
  constexpr std::size_t kNowhere = static_cast<std::size_t>(-1);
  std::size_t opening[4] = {kNowhere, kNowhere, kNowhere, kNowhere};
  std::size_t n = 0;
  auto put = [&](char16_t u) {
    if (u < 128) {
      const unsigned char entry = kAsciiUnits.of[u];
      keys[n] = entry & 0x0F;
      if (entry > 0x0F && opening[(entry >> 4) - 1] == kNowhere) opening[(entry >> 4) - 1] = n;
    } else {
      keys[n] = kLetter * 2;
    }
    units[n++] = u;
  };
  for (const wchar_t wc : text) {
    const auto c = static_cast<std::uint32_t>(wc);
    if (c < 0x80) {
      put(static_cast<char16_t>(!caseSensitive && c >= 'a' && c <= 'z' ? c - 32 : c));
    } else if (c < 0x10000) {
      std::uint32_t u = c;
      if (!caseSensitive && (c < 0xD800 || c > 0xDFFF)) {
        // The upper case of the fold that CompareNoCase uses, so both agree
        // on which characters are equal (final sigma, dotless i, Kelvin sign).
        const auto upper = static_cast<std::uint32_t>(ToUpper(FoldCase(wc)));
        if (upper < 0x10000 && (upper < 0xD800 || upper > 0xDFFF)) u = upper;
      }
      put(static_cast<char16_t>(u));
    } else if (c <= 0x10FFFF) {
      put(static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10)));
      put(static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF)));
    } else {
      put(0xFFFD);
    }
  }
  for (int p = 0; p < 4; ++p) {
    if (opening[p] == kNowhere) continue;
    const char16_t* close = std::find(units + opening[p] + 1, units + n, kClosing[p]);
    if (close == units + n) continue;
    for (std::size_t k = opening[p] + 1; k < static_cast<std::size_t>(close - units); ++k) keys[k] |= 1;
    break;
  }
  std::fill(units - kPad, units, u'\0');
  std::fill(keys - kPad, keys, 0);
  std::fill(units + n, units + n + kPad, u'\0');
  std::fill(keys + n, keys + n + kPad, 0);
  return n;
}

// For each of `count` columns: the byte offset of the steps to take against
// the row's unit `unit` in the row's table of steps of `size` bytes: those for
// `equal` units, or those for the column's key.
void StepOffsets(char16_t unit, const char16_t* units, const unsigned char* keys, std::size_t count,
                 unsigned char equal, unsigned char size, unsigned char* out) {
  std::size_t k = 0;
#if defined(__SSE2__)
  const __m128i unit8 = _mm_set1_epi16(static_cast<short>(unit));
  const __m128i equal8 = _mm_set1_epi16(equal);
  const __m128i size8 = _mm_set1_epi16(size);
  for (; k + 8 <= count; k += 8) {
    const __m128i same = _mm_cmpeq_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(units + k)), unit8);
    const __m128i key8 =
        _mm_unpacklo_epi8(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(keys + k)), _mm_setzero_si128());
    const __m128i index = _mm_or_si128(_mm_and_si128(same, equal8), _mm_andnot_si128(same, key8));
    const __m128i offset = _mm_mullo_epi16(index, size8);
    _mm_storel_epi64(reinterpret_cast<__m128i*>(out + k), _mm_packus_epi16(offset, offset));
  }
#endif
  for (; k < count; ++k) out[k] = static_cast<unsigned char>((units[k] == unit ? equal : keys[k]) * size);
}

// Fills K rows of the table at once. Row r of the strip works on column
// t - r at step t, so the K cells of a step depend only on earlier steps:
// independent chains the processor overlaps, where a single row is one long
// chain of dependent additions. Every cell is computed exactly as in the
// plain row-by-row order.
//
// Column 0 and the columns outside the table take no special path: the
// values left of column 0 are infinite, and the units there carry keys of no
// mark, so a row's column-0 cell comes out as the one above plus the plain
// cost of deleting the row's unit, as the border rule has it.
//
// steps[r]: the steps for the unit of row r; offsets[r][j - 1]: which of them
// column j takes (see StepOffsets), from column 1 - K to m + K - 1. `row`
// holds the row above the strip on entry and its last row on return. Sums are
// formed in T and rounded to float.
template <int K, typename T, typename StepT>
void FillStrip(const StepT* const* steps, const unsigned char* const* offsets, float* row, std::size_t m) {
  constexpr T kEndless = std::numeric_limits<T>::infinity();
  T current[K];   // each row's value in its last column
  T previous[K];  // and in the one before
  for (int r = 0; r < K; ++r) current[r] = previous[r] = kEndless;
  T aboveLeft = kEndless;
  const std::ptrdiff_t stepCount = static_cast<std::ptrdiff_t>(m) + K;
  for (std::ptrdiff_t t = 0; t < stepCount; ++t) {
#pragma GCC unroll 16
    for (int r = K - 1; r >= 0; --r) {
      const std::ptrdiff_t j = t - r;
      T up, diagonal;
      if (r == 0) {
        diagonal = aboveLeft;
        aboveLeft = row[j];
        up = aboveLeft;
      } else {
        diagonal = previous[r - 1];
        up = current[r - 1];
      }
      const StepT& s =
          *reinterpret_cast<const StepT*>(reinterpret_cast<const unsigned char*>(steps[r]) + offsets[r][j - 1]);
      const T a = diagonal + s.replace, b = up + s.remove, c = current[r] + s.insert;
      const T ab = b < a ? b : a;
      const T value = static_cast<float>(c < ab ? c : ab);
      previous[r] = current[r];
      current[r] = value;
      if (r == K - 1) row[j] = static_cast<float>(value);
    }
  }
}

}  // namespace

StringComparer::StringComparer(float bracketWeight, bool caseSensitive)
    : bracketWeight_(std::isnan(bracketWeight) || bracketWeight < 0 ? 0.0f : bracketWeight),
      caseSensitive_(caseSensitive),
      exactDiscount_(true) {
  const double weight = bracketWeight_;
  for (int ka = 0; ka < kKeys; ++ka) {
    const int ca = ka / 2;
    for (int kb = 0; kb < kKeys; ++kb) {
      const int cb = kb / 2;
      const bool discount = (ka & 1) && (kb & 1);
      auto cost = [&](int c) {
        const double value = discount && c != 0 ? c * weight : static_cast<double>(c);
        if (static_cast<double>(static_cast<float>(value)) != value) exactDiscount_ = false;
        return value;
      };
      steps_[ka][kb] = {cost(kCost[ca][cb]), cost(kCost[ca][kNone]), cost(kCost[kNone][cb])};
    }
    steps_[ka][kEqual] = {0.0, static_cast<double>(kCost[ca][kNone]), static_cast<double>(kCost[kNone][ca])};
    for (int kb = 0; kb <= kKeys; ++kb) {
      const Step<double>& s = steps_[ka][kb];
      floatSteps_[ka][kb] = {static_cast<float>(s.replace), static_cast<float>(s.remove), static_cast<float>(s.insert)};
    }
  }
}

StringComparer::Prepared StringComparer::Prepare(const wchar_t* text) const {
  static_assert(kPad == Prepared::kPad);
  const std::wstring_view trimmed = Trimmed(text);
  Prepared prepared;
  const std::size_t room = trimmed.size() * 2 + 2 * kPad;
  prepared.units_.resize(room);
  prepared.keys_.resize(room);
  const std::size_t n = Encode(trimmed, caseSensitive_, prepared.units_.data() + kPad, prepared.keys_.data() + kPad);
  prepared.units_.resize(n + 2 * kPad);
  prepared.keys_.resize(n + 2 * kPad);
  // The normalised text is decoded from the units, so that equal texts mean
  // equal units: pairs are combined, lone surrogates stay as they are.
  const char16_t* units = prepared.units_.data() + kPad;
  prepared.text_.reserve(n);
  for (std::size_t i = 0; i < n; ++i) {
    const char32_t u = units[i];
    if (u >= 0xD800 && u <= 0xDBFF && i + 1 < n && units[i + 1] >= 0xDC00 && units[i + 1] <= 0xDFFF) {
      prepared.text_.push_back(static_cast<wchar_t>(0x10000 + ((u - 0xD800) << 10) + (units[i + 1] - 0xDC00)));
      ++i;
    } else {
      prepared.text_.push_back(static_cast<wchar_t>(u));
    }
  }
  return prepared;
}

float StringComparer::Difference(const wchar_t* a, const wchar_t* b) const {
  const std::wstring_view ta = Trimmed(a);
  const std::wstring_view tb = Trimmed(b);
  const std::size_t roomA = ta.size() * 2 + 2 * kPad, roomB = tb.size() * 2 + 2 * kPad;
  Scratch<char16_t, kStackUnits> unitsA(roomA), unitsB(roomB);
  Scratch<unsigned char, kStackUnits> keysA(roomA), keysB(roomB);
  const std::size_t n = Encode(ta, caseSensitive_, unitsA.get() + kPad, keysA.get() + kPad);
  const std::size_t m = Encode(tb, caseSensitive_, unitsB.get() + kPad, keysB.get() + kPad);
  return Compare(unitsA.get() + kPad, keysA.get() + kPad, n, unitsB.get() + kPad, keysB.get() + kPad, m,
                 std::numeric_limits<float>::infinity());
}

float StringComparer::Difference(const Prepared& a, const Prepared& b, float limit) const {
  // A moved-from text has lost its room too: it counts as the empty one.
  // Never destroyed: matching may still run while the process exits.
  static platform::NoDestructor<Prepared> kEmpty;
  const Prepared& x = a.units_.size() < 2 * kPad || a.keys_.size() != a.units_.size() ? *kEmpty : a;
  const Prepared& y = b.units_.size() < 2 * kPad || b.keys_.size() != b.units_.size() ? *kEmpty : b;
  return Compare(x.units_.data() + kPad, x.keys_.data() + kPad, x.units_.size() - 2 * kPad, y.units_.data() + kPad,
                 y.keys_.data() + kPad, y.units_.size() - 2 * kPad, limit);
}

float StringComparer::Compare(const char16_t* unitsA, const unsigned char* keysA, std::size_t n, const char16_t* unitsB,
                              const unsigned char* keysB, std::size_t m, float limit) const {
  // The table and its transpose hold the same values (costs are symmetric);
  // the longer text runs along the row, where the strips work best.
  if (n > m) {
    std::swap(unitsA, unitsB);
    std::swap(keysA, keysB);
    std::swap(n, m);
  }
  Scratch<float, kStackUnits> row(m + 1 + 2 * kPad);
  return Fill(unitsA, keysA, n, unitsB, keysB, m, row.get() + kPad, limit);
}

// Each cell is the float nearest to a sum formed in double precision of a
// float and a cost. Where that cost is itself a float, the float sum gives
// the same result: rounding the exact sum to double and then to float equals
// rounding it to float directly, since a double holds more than twice the
// digits of a float. Costs that are not floats are discounted ones, which
// occur only between marked units of both texts, so all strips but those with
// marked rows against a text with marks run in single precision.
float StringComparer::Fill(const char16_t* unitsA, const unsigned char* keysA, std::size_t n, const char16_t* unitsB,
                           const unsigned char* keysB, std::size_t m, float* row, float limit) const {
  std::fill(row - kPad, row, std::numeric_limits<float>::infinity());
  std::fill(row + m + 1, row + m + 1 + kPad, std::numeric_limits<float>::infinity());
  row[0] = 0.0f;
  for (std::size_t j = 1; j <= m; ++j) row[j] = row[j - 1] + floatSteps_[keysB[j - 1]][kEqual].insert;

  const bool columnsMarked =
      !exactDiscount_ && std::any_of(keysB, keysB + m, [](unsigned char key) { return (key & 1) != 0; });

  // Costs are never negative, so no cell is below the smallest of the row
  // above it: once a whole row reaches the limit, so does the result.
  const bool limited = limit < std::numeric_limits<float>::infinity();
  auto smallest = [&] { return *std::min_element(row, row + m + 1); };

  constexpr int kStrip = 4;
  static_assert(kPad >= kStrip + 6, "room for the columns StepOffsets reads");
  static_assert(sizeof(Step<double>) * kEqual <= 255, "offsets fit a byte");
  const std::size_t stride = m + 2 * kPad;
  Scratch<unsigned char, kStrip*(kStackUnits + 2 * kPad)> offsetRoom(kStrip * stride);
  const Step<double>* steps[kStrip];
  const Step<float>* floatSteps[kStrip];
  const unsigned char* offsets[kStrip];
  // Readies rows first to first + K - 1 and fills them.
  auto fill = [&]<int K>(std::size_t first) {
    bool exact = true;
    for (int r = 0; r < K; ++r) {
      const unsigned char key = keysA[first + r];
      steps[r] = steps_[key];
      floatSteps[r] = floatSteps_[key];
      if (columnsMarked && (key & 1)) exact = false;
    }
    // Columns 1 - K to m + K - 1, rounded up to whole blocks within the room.
    const std::size_t count = (m + 2 * K - 1 + 7) / 8 * 8;
    for (int r = 0; r < K; ++r) {
      unsigned char* out = offsetRoom.get() + r * stride;
      StepOffsets(unitsA[first + r], unitsB - K, keysB - K, count, kEqual,
                  exact ? sizeof(Step<float>) : sizeof(Step<double>), out);
      offsets[r] = out + K;
    }
    if (exact)
      FillStrip<K, float>(floatSteps, offsets, row, m);
    else
      FillStrip<K, double>(steps, offsets, row, m);
  };
  std::size_t i = 0;
  for (; i + kStrip <= n; i += kStrip) {
    fill.template operator()<kStrip>(i);
    if (limited && smallest() >= limit) return smallest();
  }
  switch (n - i) {
    case 1:
      fill.template operator()<1>(i);
      break;
    case 2:
      fill.template operator()<2>(i);
      break;
    case 3:
      fill.template operator()<3>(i);
      break;
    default:
      break;
  }
  return row[m];
}

}  // namespace nimbrel
