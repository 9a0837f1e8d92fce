// One search of one song, queued in a worker pool of its tagging object.
//
// Running it runs the song's basic-tags or lyrics search. However it ends,
// run or dropped from the queue by a stop, its destruction ends the song's
// part (a song whose searches were all dropped is still finished) and, as a
// counted job of its object, calls the object's finishing step when it is
// the object's last live job.
#pragma once

#include <cstdint>

#include <boost/shared_ptr.hpp>

#include "core/NimbrelCore.h"
#include "core/NimbrelSong.h"
#include "threadpool/CountedJob.h"

class TagsSearchJob : public CCountedJob<CNimbrelCore> {
 public:
  // Counts itself on `core`'s job counters. Keeps `song` alive until it ends.
  TagsSearchJob(CNimbrelCore* core, std::uint32_t songId, boost::shared_ptr<CNimbrelSong> song,
                CNimbrelCore::SearchKind kind);
  ~TagsSearchJob() override;

  void Run() override;

 private:
  const std::uint32_t songId_;
  const boost::shared_ptr<CNimbrelSong> song_;
  const CNimbrelCore::SearchKind kind_;
};
