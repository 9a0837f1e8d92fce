// `--fix-spelling`: the source's spelling of the artist and title.
#pragma once

#include <string>
#include <vector>

#include "TaggedFile.h"

namespace nimbrel_tag {

// The file's artist and title are the search keys, so the library keeps
// them as they are. Asked to, this writes the chosen candidate's spelling
// where it differs from the file's only in letter case, blanks,
// punctuation or accents ("the lanterns" -> "The Lanterns"); a different
// word is never written.
class SpellingFix : public GroupHook {
 public:
  bool Decide(std::vector<TaggedFile>& files) override;

  // True when `a` and `b` differ, but only in case, blanks, punctuation or accents.
  static bool OnlySpellingDiffers(const std::wstring& a, const std::wstring& b);
  // Gives `tags` the artists and the title of `candidate` where only their spelling differs.
  static void Apply(Meridex::CTags& tags, const Meridex::CTags& candidate);
  // The candidate the output follows: of the best score among those that
  // name the output's album; null when there is none.
  static const Meridex::CTags* Chosen(const TaggedFile& file);
};

}  // namespace nimbrel_tag
