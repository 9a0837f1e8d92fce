// `--interactive`: a person chooses when the result is doubtful.
#pragma once

#include <cstdio>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "TagOptions.h"
#include "TaggedFile.h"

namespace nimbrel_tag {

// Asks per album (the files of one folder in a group; a single song is an
// album of one) when its best candidate scores below --min-score or its
// candidates name different albums. Shows the candidates grouped by
// source, album and year, with the tracks they match, their score and why
// it is not 100 %, and reads a number (that candidate, for every file it
// matches), "s" (skip: write nothing), "a" (apply what was found as it is),
// or any other text to search again: an album name, or "artist - title"
// for a single song, or a MusicBrainz id or page address (a release for an
// album, a release or recording for a single song), which the sources that
// know MusicBrainz ids look up. The answer holds for the whole album.
class InteractiveChooser : public GroupHook {
 public:
  // Searches the files again with their tags as the edit leaves them; false when interrupted.
  using Search = std::function<bool(std::vector<TaggedFile>&, const std::function<void(Meridex::CTags&)>&)>;
  // True when the run is to stop (Ctrl-C).
  using Interrupted = std::function<bool()>;

  InteractiveChooser(const TagOptions& options, Search search, Interrupted interrupted, int in, std::FILE* out);

  bool Decide(std::vector<TaggedFile>& files) override;

  struct Choice {
    std::string source, album, year;
    int tracks = 0;  // files it has a candidate for
    int score = 0;   // their mean score
    std::vector<std::string> reasons;
  };
  // The album's candidates, best first.
  static std::vector<Choice> Choices(const std::vector<TaggedFile>& album);
  // The file's tags with the candidate's album, year, track, genre, composer,
  // copyright, address and front cover, as `policy` allows (1: only where
  // the file has none); the artist and title stay unless `fixSpelling`.
  static Meridex::CTags WithCandidate(const Meridex::CTags& input, const Meridex::CTags& candidate, int policy,
                                      bool fixSpelling);

 private:
  // False when interrupted or the input ended.
  bool Ask(std::vector<TaggedFile>& album);
  std::optional<std::string> ReadLine();

  const TagOptions& options_;
  Search search_;
  Interrupted interrupted_;
  int in_;
  std::FILE* out_;
  bool ended_ = false;  // the input ended: nothing more is asked, doubtful albums are skipped
  std::string pending_;
};

}  // namespace nimbrel_tag
