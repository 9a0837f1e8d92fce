// A score a person can read for one candidate a source found for a file.
#pragma once

#include <string>
#include <vector>

#include "meridex/Tags.h"

namespace nimbrel_tag {

struct CandidateScore {
  int score = 0;                     // 0-100, 100: matches and is complete
  std::vector<std::string> reasons;  // why it is not 100: "title differs", "no year"
};

// Scores `candidate` against the file it was found for. The file's artist
// and title were the search keys, so a difference there weighs most: 15
// points for the title plus up to 25 by the share of characters that need
// an edit, 10 plus up to 20 for the artist (letter case and blanks aside:
// "lantern  song" is "Lantern Song"); a candidate that
// names another album than the file's loses 10; a length more than 5 s from
// the file's loses 15; missing album, year, track number and genre lose 10, 5,
// 5 and 2; a year or track number other than the file's loses 10 each.
CandidateScore ScoreCandidate(const Meridex::CTags& file, const Meridex::CTags& candidate);

// The fields among album, year and track number that both hold and in
// which they differ ("album", "year", "track"): a year is its first four
// characters ("2001-05-03" is 2001), a track number the one before "/"
// ("3/12" is 3).
std::vector<std::string> Disagreements(const Meridex::CTags& file, const Meridex::CTags& candidate);

// How alike two texts are, 0.0 to 1.0: 1 - edit distance / longer length,
// letter case and runs of blanks aside. Two empty texts are alike.
double Likeness(const std::wstring& a, const std::wstring& b);

}  // namespace nimbrel_tag
