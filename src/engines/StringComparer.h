// The string difference by which found titles, lyrics and cache keys are
// matched to a song: a weighted edit distance whose costs depend on the
// classes of the characters involved (letter, digit, blank, punctuation), with
// a discount for edits inside a bracketed part of both strings.
//
// Value object; const operations are safe from any number of threads.
#pragma once

#include <cstddef>
#include <limits>
#include <string>
#include <vector>

namespace nimbrel {

class StringComparer {
 public:
  // A negative or NaN weight counts as 0, so that no difference is negative.
  explicit StringComparer(float bracketWeight = 0.1f, bool caseSensitive = false);

  // A string trimmed, case-folded (unless case-sensitive), classified and
  // bracket-marked once, for comparing one text against many.
  class Prepared {
   public:
    Prepared() = default;
    // The normalised text: trimmed and, unless case-sensitive, case-folded
    // and upper-cased unit by unit as UTF-16 text is (characters beyond U+FFFF keep their
    // case). With a positive bracket weight, two strings differ by 0 exactly
    // when their normalised texts are equal.
    const std::wstring& Normalised() const { return text_; }

   private:
    friend class StringComparer;
    // Room before and after the units for the table's border columns.
    static constexpr std::size_t kPad = 16;
    std::wstring text_;
    std::u16string units_ = std::u16string(2 * kPad, u'\0');                  // the text in UTF-16 code units
    std::vector<unsigned char> keys_ = std::vector<unsigned char>(2 * kPad);  // per unit
  };

  // Null counts as the empty string. A prepared string is compared by this
  // comparer or by any other of the same case sensitivity.
  Prepared Prepare(const wchar_t* text) const;

  // The difference of `a` (first) against `b` (second); 0 for equal strings
  // after normalisation, never negative. Null counts as the empty string.
  float Difference(const wchar_t* a, const wchar_t* b) const;

  // The same for prepared strings. When the result would not be below
  // `limit`, the computation may stop early and return any value >= `limit`;
  // below `limit` the result is exact.
  float Difference(const Prepared& a, const Prepared& b,
                   float limit = std::numeric_limits<float>::infinity()) const;

  float bracketWeight() const { return bracketWeight_; }
  bool caseSensitive() const { return caseSensitive_; }

 private:
  // The edit costs of one cell of the table: replacing, deleting the unit of
  // the first text, inserting the unit of the second.
  template <typename T>
  struct Step {
    T replace, remove, insert;
  };
  // A unit's key: class index * 2, plus 1 inside the bracketed part.
  static constexpr int kKeys = 10;
  static constexpr int kEqual = kKeys;  // the steps for a pair of equal units

  // The difference of `n` units against `m` units, both with Prepared::kPad
  // entries of room before and after, filled with keys of no mark.
  float Compare(const char16_t* unitsA, const unsigned char* keysA, std::size_t n, const char16_t* unitsB,
                const unsigned char* keysB, std::size_t m, float limit) const;
  // The same with n <= m, the table rows kept in `row` (room for m + 1 + 2 * kPad).
  float Fill(const char16_t* unitsA, const unsigned char* keysA, std::size_t n, const char16_t* unitsB,
             const unsigned char* keysB, std::size_t m, float* row, float limit) const;

  float bracketWeight_;
  bool caseSensitive_;
  bool exactDiscount_;  // every discounted cost is a float (see Fill)
  // By key of the first unit, then of the second or kEqual.
  Step<double> steps_[kKeys][kKeys + 1];
  Step<float> floatSteps_[kKeys][kKeys + 1];
};

}  // namespace nimbrel
