// The fields of a song's record beyond title, album, genre, year and track
// number: disc number, track and disc totals, album artist, original date,
// the MusicBrainz ids and the audio's length. How they are read from a tag
// set, carried from the chosen candidate into the result, and written.
#pragma once

#include "meridex/Tags.h"
#include "nimbrel/SongInfo.h"

// Fills those fields of `info` from `tags` (length as Meridex read it).
void ReadRecordFields(const Meridex::CTags& tags, Nimbrel::SongInfo& info);

// Carries those fields of `best` into `result`, whose album is `best`'s.
// The album's own fields (album artist, totals, original date, release ids)
// go with the album: taken when `albumTaken` (the result's album came from
// `best`), else only where the result has none; when the album changed
// (`albumChanged`), none of the file's is kept. The track's (disc number,
// recording id) go with the track number: taken when `trackTaken`.
void MergeRecordFields(const Nimbrel::SongInfo& best, bool albumTaken, bool albumChanged, bool trackTaken,
                       Nimbrel::SongInfo& result);

// Writes into `out` what `result` holds of those fields and `input` (what
// the file gave) did not: the track number with its total ("7/14"), the
// disc number with its total, the rest as texts. When the album changed,
// release and recording ids that `result` does not renew are removed: they
// name the file's old album. True when anything was written.
bool WriteRecordFields(const Nimbrel::SongInfo& result, const Nimbrel::SongInfo& input, Meridex::CTags& out);
