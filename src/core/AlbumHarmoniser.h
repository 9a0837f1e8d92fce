// Makes the finished songs of one album of one artist agree on the album's
// spelling, genre, year and cover.
//
// Only what sources found counts: the candidates of the songs that name the
// album, each source one vote per value however many songs carry its
// answer. A file's own values are never handed to another song, and a song
// takes the album's value by the same rule its own merge used (CMergeRule),
// so under policy 3 a file's own value changes only when two sources agree.
// Track numbers are each song's own and are left alone.
#pragma once

#include <vector>

#include <boost/shared_ptr.hpp>

#include "core/NimbrelSong.h"

class CAlbumHarmoniser {
 public:
  // `songs`: the finished songs of one album, in the order they were added.
  // `basic` and `cover`: what the run searched for.
  static void Harmonise(const std::vector<boost::shared_ptr<CNimbrelSong>>& songs, bool basic, bool cover,
                        int overwritePolicy);
};
