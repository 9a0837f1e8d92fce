// The rule by which a found value replaces what a file holds, one per
// overwrite policy, shared by the merge of one song and by the agreement of
// the songs of one album: 1 fills only what the file lacks, 2 takes every
// found value, 3 replaces a file's value only when two sources agree.
//
// Support is counted in sources, not in records: one source's answer is one
// vote however many candidates or songs carry it.
#pragma once

#include <set>
#include <string>

class CMergeRule {
 public:
  explicit CMergeRule(int overwritePolicy);

  // False for a policy that merges nothing.
  bool Valid() const { return weight_ > 0; }
  // What a file's own value weighs against found ones; also the factor a
  // found cover's size must beat the file's by.
  double Weight() const { return weight_; }
  // Whether a found value backed by `votes` distinct sources replaces the
  // file's value; `present` tells whether the file has a value of its own.
  bool Wins(int votes, bool present) const {
    return Valid() && static_cast<double>(votes) > (present ? 1.0 : 0.0) * weight_;
  }
  bool Wins(const std::set<std::wstring>& sources, bool present) const {
    return Wins(static_cast<int>(sources.size()), present);
  }
  // Whether a found cover of `foundBytes` replaces the file's own of
  // `ownBytes` (0 when the file has none).
  bool CoverWins(double foundBytes, double ownBytes) const { return Valid() && foundBytes > ownBytes * weight_; }

 private:
  double weight_ = 0;
};
