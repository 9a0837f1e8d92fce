// Writes tag records into Meridex tag sets: one candidate into a fresh tag
// set, and a finished song's result into the host's tags.
//
// A record's cover file becomes a picture through a copy in the cover
// cache's temporary folder (CPictureCopy: the cache's own files may be
// trimmed while the host still holds the tags, and the copy goes with the
// last tag set holding it). Its MIME type is "image/" and the copy's
// extension, "jpg" and "jpe" read as "jpeg" (compared exactly, so "JPG"
// stays "JPG").
#pragma once

#include "core/NimbrelSong.h"
#include "meridex/Tags.h"
#include "nimbrel/CString.h"
#include "nimbrel/SongInfo.h"

class CCoverCache;

class CTagsWriter {
 public:
  // Fills `out` (a fresh tag set built with the song's temporary folder)
  // from one candidate, its cover picture included.
  static void WriteCandidate(const Nimbrel::SongInfo& candidate, Meridex::CTags& out);
  // Writes the finished song's final tags into `out`: the song's copy of the
  // host's tags with every changed field replaced. Fields whose result equals
  // what was read from the file stay exactly as the file has them, so a
  // search that changed nothing leaves the tags as they were. A found cover
  // takes the place of the file's front cover (see
  // Meridex::CTags::GetFrontCoverIndex), as a front cover (type 3), or is
  // added as one when the file has none; the file's other pictures stay.
  // Nothing changes when it is the file's own or holds the same bytes. The URL is emptied only when candidates exist and a field
  // was written.
  static void WriteResult(const CNimbrelSong& song, Meridex::CTags& out);

  // The same with the pictures resolved through `covers`.
  static void WriteCandidate(const Nimbrel::SongInfo& candidate, Meridex::CTags& out, const CCoverCache& covers);
  static void WriteResult(const CNimbrelSong& song, Meridex::CTags& out, const CCoverCache& covers);

  // The MIME type of a picture file: "image/" + the text after the last
  // dot, empty when that text holds a slash or backslash; "jpg" and "jpe"
  // give "jpeg".
  static CString PictureMimeType(const CString& path);

 private:
  // Adds the picture of `coverFile` to `out`; true when one was added.
  static bool AddPicture(const std::wstring& coverFile, Meridex::CTags& out, const CCoverCache& covers);
  // Puts the found cover `coverFile` in place of the file's own front cover
  // `ownCover`, as a front cover with the replaced one's description; adds it
  // as a front cover when the file had none. Nothing when both hold the
  // same bytes. True when `out` changed.
  static bool PutCover(const std::wstring& coverFile, const Meridex::CPictureTag& ownCover, Meridex::CTags& out,
                       const CCoverCache& covers);
};
