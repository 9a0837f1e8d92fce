// The string difference by which found titles, lyrics and cache keys are
// matched to a song: a weighted edit distance whose costs depend on the
// classes of the characters involved (letter, digit, blank, punctuation), with
// a discount for edits inside a bracketed part of both strings.
//
// Value object; const operations are safe from any number of threads.
#pragma once

#include <limits>
#include <string>
#include <vector>

namespace nimbrel {

class StringComparer {
 public:
  explicit StringComparer(float bracketWeight = 0.1f, bool caseSensitive = false);

  // A string trimmed, case-folded (unless case-sensitive), classified and
  // bracket-marked once, for comparing one text against many.
  class Prepared {
   public:
    Prepared() = default;
    // The normalised text: trimmed and, unless case-sensitive, upper-cased.
    // Two strings differ by 0 exactly when their normalised texts are equal.
    const std::wstring& Normalised() const { return text_; }

   private:
    friend class StringComparer;
    std::wstring text_;
    std::vector<unsigned char> classes_;  // class index per character
    std::vector<unsigned char> marked_;   // 1 inside the bracketed part
  };

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
  float bracketWeight_;
  bool caseSensitive_;
};

}  // namespace nimbrel
