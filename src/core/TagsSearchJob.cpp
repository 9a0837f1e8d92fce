#include "core/TagsSearchJob.h"

#include <utility>

TagsSearchJob::TagsSearchJob(CNimbrelCore* core, std::uint32_t songId, boost::shared_ptr<CNimbrelSong> song,
                             CNimbrelCore::SearchKind kind)
    : CCountedJob(core, &CNimbrelCore::NimbrelingFinished, core->JobCounters()),
      songId_(songId),
      song_(std::move(song)),
      kind_(kind) {}

TagsSearchJob::~TagsSearchJob() {
  // Before the counted base goes: the finishing step must see this part ended.
  if (song_) owner->EndSongPart(kind_, *song_);
}

void TagsSearchJob::Run() { owner->RunSearch(kind_, songId_); }
