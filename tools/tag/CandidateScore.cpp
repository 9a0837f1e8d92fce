#include "CandidateScore.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

#include "TagFields.h"

namespace nimbrel_tag {

namespace {

// As the library's matching: further apart than this, two takes differ.
constexpr int kLengthToleranceMs = 5000;

// Letter case and runs of blanks are not differences a person would see.
std::wstring Folded(const std::wstring& text) {
  std::wstring out;
  for (const wchar_t c : text) {
    if (nimbrel::IsSpace(c)) {
      if (!out.empty() && out.back() != L' ') out += L' ';
    } else {
      out += nimbrel::FoldCase(c);
    }
  }
  if (!out.empty() && out.back() == L' ') out.pop_back();
  return out;
}

std::wstring Trimmed(const std::wstring& text) {
  const auto begin = text.find_first_not_of(L" \t");
  if (begin == std::wstring::npos) return std::wstring();
  return text.substr(begin, text.find_last_not_of(L" \t") - begin + 1);
}

bool SameYear(const std::wstring& a, const std::wstring& b) { return Trimmed(a).substr(0, 4) == Trimmed(b).substr(0, 4); }

bool SameTrack(const std::wstring& a, const std::wstring& b) {
  auto number = [](const std::wstring& text) {
    std::wstring digits = Trimmed(text.substr(0, text.find(L'/')));
    while (digits.size() > 1 && digits[0] == L'0') digits.erase(0, 1);
    return digits;
  };
  return number(a) == number(b);
}

}  // namespace

std::vector<std::string> Disagreements(const Meridex::CTags& file, const Meridex::CTags& candidate) {
  std::vector<std::string> fields;
  for (const Field field : {Field::kAlbum, Field::kYear, Field::kTrack}) {
    const std::wstring mine = FieldValue(file, field), theirs = FieldValue(candidate, field);
    if (mine.empty() || theirs.empty()) continue;
    const bool same = field == Field::kYear    ? SameYear(mine, theirs)
                      : field == Field::kTrack ? SameTrack(mine, theirs)
                                               : SameValue(field, mine, theirs);
    if (!same) fields.push_back(FieldName(field));
  }
  return fields;
}

double Likeness(const std::wstring& a, const std::wstring& b) {
  const std::wstring x = Folded(a), y = Folded(b);
  if (x.empty() && y.empty()) return 1.0;
  // Levenshtein distance over two rows.
  std::vector<std::size_t> previous(y.size() + 1), current(y.size() + 1);
  for (std::size_t j = 0; j <= y.size(); ++j) previous[j] = j;
  for (std::size_t i = 1; i <= x.size(); ++i) {
    current[0] = i;
    for (std::size_t j = 1; j <= y.size(); ++j) {
      const std::size_t substitute = previous[j - 1] + (x[i - 1] == y[j - 1] ? 0 : 1);
      current[j] = std::min({previous[j] + 1, current[j - 1] + 1, substitute});
    }
    std::swap(previous, current);
  }
  return 1.0 - static_cast<double>(previous[y.size()]) / static_cast<double>(std::max(x.size(), y.size()));
}

CandidateScore ScoreCandidate(const Meridex::CTags& file, const Meridex::CTags& candidate) {
  CandidateScore result;
  double score = 100.0;
  // Any real difference in a search key costs a base amount, so that
  // "Part 1" for "Part 2" is never taken as confidently as an exact match.
  auto compare = [&](Field field, double base, double weight, const char* name) {
    const double like = Likeness(FieldValue(file, field), FieldValue(candidate, field));
    if (like >= 1.0) return;
    score -= base + weight * (1.0 - like);
    result.reasons.push_back(std::string(name) + (like >= 0.8 ? " spelt differently" : " differs"));
  };
  compare(Field::kTitle, 15.0, 25.0, "title");
  compare(Field::kArtist, 10.0, 20.0, "artist");
  if (FieldValue(candidate, Field::kAlbum).empty()) {
    score -= 10.0;
    result.reasons.push_back("no album");
  }
  for (const std::string& field : Disagreements(file, candidate)) {
    score -= 10.0;
    result.reasons.push_back((field == "track" ? std::string("track number") : field) + " differs from the file's");
  }
  auto require = [&](Field field, double weight, const char* reason) {
    if (!FieldValue(candidate, field).empty()) return;
    score -= weight;
    result.reasons.push_back(reason);
  };
  // Where both tell, a length other than the file's points to another take.
  const int fileLength = file.GetLengthMs(), length = candidate.GetLengthMs();
  if (fileLength > 0 && length > 0 && std::abs(fileLength - length) > kLengthToleranceMs) {
    score -= 15.0;
    result.reasons.push_back("length differs from the file's");
  }
  require(Field::kYear, 5.0, "no year");
  require(Field::kTrack, 5.0, "track number missing");
  require(Field::kGenre, 2.0, "no genre");
  result.score = std::clamp(static_cast<int>(std::lround(score)), 0, 100);
  return result;
}

}  // namespace nimbrel_tag
