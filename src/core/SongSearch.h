// One song's search as its steps share it: the song, its id, the options and
// the loaded sources the search started with, and whether the search may go
// on. A step says how it ended with a StepOutcome; the chain goes on to the
// next step only after kNotFound.
#pragma once

#include <boost/shared_ptr.hpp>
#include <cstdint>
#include <optional>
#include <set>
#include <string>

#include "core/LoadedSources.h"
#include "core/NimbrelSong.h"
#include "core/SearchContext.h"
#include "nimbrel/NimbrelSettings.h"

// How one step of a song's search ended.
enum class StepOutcome {
  kFound,     // the song now has enough answers by the success criterion
  kCovered,   // every loaded source has answered for this title already
  kNotFound,  // not found yet: the next step may try
  kGivenUp,   // the tag-cache server kept the song waiting past its limit
  kStopped,   // the host stopped the run
  kRemoved,   // the song left its tagging object
};

class SongSearch {
 public:
  // Takes the song under `songId` as it is now and the names of the sources
  // of `sourceKind` loaded now; the options are read once, here.
  SongSearch(ISearchContext& context, std::uint32_t songId, std::int32_t sourceKind)
      : context_(context),
        songId_(songId),
        song_(context.FindSong(songId)),
        options_(context.Options()),
        loaded_(LoadedSourceNames(sourceKind)) {}

  // kStopped or kRemoved when the search must end there; nothing while it
  // may go on. Removal is seen through the tagging object's song map.
  std::optional<StepOutcome> Interrupted() const {
    if (context_.StopRequested()) return StepOutcome::kStopped;
    if (Removed()) return StepOutcome::kRemoved;
    return std::nullopt;
  }
  // Whether the song is no longer the one its tagging object keeps under
  // the id (a stop plays no part).
  bool Removed() const { return !song_ || context_.FindSong(songId_) != song_; }

  // Only while the song was found at the start.
  CNimbrelSong& Song() const { return *song_; }
  std::uint32_t Id() const { return songId_; }
  const NimbrelOptions& Options() const { return options_; }
  const std::set<std::wstring>& Loaded() const { return loaded_; }

  // The success criteria over the loaded sources.
  bool Failed() const {
    return song_->IsFailed(options_.SearchBasicTags, options_.SearchCover, options_.SuccessCriterion, loaded_);
  }
  bool LyricsFailed() const { return song_->IsLyricsFailed(options_.SuccessCriterion, loaded_); }
  // How the search stands now: interrupted, else found or not by the
  // basic-tags criterion (Outcome) or the lyrics one (LyricsOutcome).
  StepOutcome Outcome() const {
    if (const auto end = Interrupted()) return *end;
    return Failed() ? StepOutcome::kNotFound : StepOutcome::kFound;
  }
  StepOutcome LyricsOutcome() const {
    if (const auto end = Interrupted()) return *end;
    return LyricsFailed() ? StepOutcome::kNotFound : StepOutcome::kFound;
  }
  // Whether every loaded source is among `names` (true when none is loaded).
  bool AllLoadedAmong(const std::set<std::wstring>& names) const {
    return CountLoaded(names, loaded_) >= loaded_.size();
  }

 private:
  ISearchContext& context_;
  const std::uint32_t songId_;
  const boost::shared_ptr<CNimbrelSong> song_;
  const NimbrelOptions options_;
  const std::set<std::wstring> loaded_;
};
