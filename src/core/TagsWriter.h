// Writes tag records into Meridex tag sets: one candidate into a fresh tag
// set, and a finished song's result into the host's tags.
#pragma once

#include "core/NimbrelSong.h"
#include "meridex/Tags.h"
#include "nimbrel/SongInfo.h"

class CTagsWriter {
 public:
  // Fills `out` (a fresh tag set built with the song's temporary folder)
  // from one candidate, its cover picture included.
  static void WriteCandidate(const Nimbrel::SongInfo& candidate, Meridex::CTags& out);
  // Writes the finished song's final tags into `out`: the song's copy of the
  // host's tags with every changed field replaced. Fields whose result equals
  // what was read from the file stay exactly as the file has them.
  static void WriteResult(const CNimbrelSong& song, Meridex::CTags& out);
};
