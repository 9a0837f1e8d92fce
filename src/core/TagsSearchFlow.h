// The searches of one song: the basic-tags chain (known results, the
// "musicbrainz" source, the tag-cache server, every other source by least
// busy) and the lyrics chain, with the callbacks through which the engines
// hand back candidates and answers.
#pragma once

#include <cstdint>

#include "core/SearchContext.h"

class CTagsSearchFlow {
 public:
  // `context` is the tagging object the songs belong to; it outlives every
  // search it starts.
  explicit CTagsSearchFlow(ISearchContext& context) : context_(context) {}

  // Runs the basic-tags chain for the song until it counts as found, the
  // chain is exhausted, the song is removed or a stop is requested. Never
  // throws. Does not mark the song's part done: the job's end does.
  void SearchBasicTags(std::uint32_t songId);
  // The same for lyrics.
  void SearchLyrics(std::uint32_t songId);

 private:
  ISearchContext& context_;
};
