// The tagging interface a host obtains from NewNimbrelInstance.
#pragma once

#include <vector>

#include "nimbrel/CString.h"
#include "nimbrel/NimbrelSettings.h"

namespace Meridex {
class CTags;
}

// A tagging object. The host hands it songs, polls for finished ones and
// collects their tags. Every operation may be called from any host thread.
// The object was allocated inside the library: destroy it with delete
// through this interface.
class INimbrel {
 public:
  // Stops the searches of this object and waits for its workers.
  virtual ~INimbrel() = default;
  // Replaces this object's options; takes effect for songs added afterwards.
  virtual void SetOptions(const NimbrelOptions& options) = 0;
  // Accepts a song (at least artist and title) for tagging; the tags are
  // copied. Returns the song id, or 0 when the song is not accepted.
  virtual unsigned AddSong(Meridex::CTags& tags, bool highPriority) = 0;
  // Forgets a song; its searches end without result.
  virtual void RemoveSong(unsigned songId) = 0;
  // Writes the merged tags of a finished song into `out`. False when the
  // song is unknown or not finished.
  virtual bool GetSongTags(unsigned songId, Meridex::CTags& out, bool removeSong) = 0;
  // Every candidate found for a finished song, one tag set each.
  virtual bool GetSongResults(unsigned songId, std::vector<Meridex::CTags>& out, bool removeSong) = 0;
  // Abandons the run: pending searches are dropped, running ones stopped.
  virtual void StopTagging() = 0;
  // Number of this object's search jobs not yet gone; 0 once its run (and
  // the run's finishing step) is over. Other objects' jobs do not count.
  virtual unsigned GetPendingJobCount() = 0;
  // Finds a cover picture for an album; true when a picture file is at `outPath`.
  virtual bool GetCover(const CString& artist, const CString& album, const CString& asin, CString& outPath,
                        bool abortable, bool thumbnail) = 0;
  // Writes to `finished` those of `ids` whose songs are finished; returns their number.
  virtual unsigned GetFinishedSongs(const std::vector<unsigned>& ids, std::vector<unsigned>& finished) = 0;
};
