// The tags of one media file, held in memory, read from and saved to the file.
#pragma once

#include <memory>
#include <vector>

#include "meridex/Export.h"
#include "meridex/FileResult.h"
#include "meridex/PictureTag.h"
#include "nimbrel/CString.h"

namespace Meridex {

// A tag set: texts, several artists and composers, and pictures.
//
// Getters return true when the value is present and not empty, and then fill
// the out-string (left untouched otherwise). Setting an empty text removes
// the value. Year and track number are kept as text, exactly as given.
//
// A text field may hold several values (Vorbis comments and ID3v2.4 keep
// lists, such as two genres): the single-value getters give the first one,
// GetValues all of them. A single-value setter given the value that is
// already first keeps the others; any other value replaces them all.
//
// A tag set read from a file remembers what the file held. Saving it back
// into that file writes only the fields whose values changed since, each
// to where it was read from (the same frame, language and description, the
// same Vorbis field name); everything else in the file stays as it was.
//
// Copies are deep for every text; pictures are handles, so a copy shares them
// (see CPictureTag). A moved-from tag set is empty and fully usable.
// The state lives behind a pointer so that the object's layout stays the same
// across the library boundary whatever is added later.
//
// A tag set is tied to a media file by ReadFile; one that was never read
// from a file is a plain in-memory value. Files are recognised by content:
// MP3 (ID3v2.3/2.4; APE, else ID3v1 read when there is no ID3v2 tag), FLAC,
// MP4/M4A, Ogg Vorbis, Opus, WAV, AIFF and WMA/ASF.
//
// One object must not be used from several threads at once; distinct objects
// may be, even when they share pictures.
class MERIDEX_EXPORT CTags {
 public:
  // The text fields, for the list accessors.
  // Track and disc numbers are texts such as "7" or "7/14" (the total after
  // the slash), whichever way a format stores the total. The identifiers
  // are MusicBrainz ids: the recording, the release and its release group.
  enum class Field { kTitle, kAlbum, kGenre, kYear, kTrackNumber, kComment, kOriginalArtist, kCopyright,
                     kEncodedBy, kLyrics, kUrl, kDiscNumber, kAlbumArtist, kOriginalDate, kRecordingId,
                     kReleaseId, kReleaseGroupId };

  CTags();
  // `tempFolder`: where this tag set may place temporary files, such as
  // pictures extracted from a media file.
  explicit CTags(const CString& tempFolder);
  CTags(const CTags& other);
  CTags& operator=(const CTags& other);
  CTags(CTags&& other) noexcept;
  CTags& operator=(CTags&& other) noexcept;
  ~CTags();

  CString GetTempFolder() const;

  // Replaces every value and picture of this tag set with the tags of the
  // media file at `path` and ties the set to that file (GetFilePath). Each
  // picture in the file is handed out as a picture that Meridex owns,
  // flagged for deletion; it is copied into the temporary folder
  // (GetTempFolder(), or the user's private "nimbrel-<uid>/" folder below the
  // system's temporary folder when that is empty; either is created 0700
  // when missing and refused, already here, when it is a link, another
  // user's, or writable by others) only when its path is first asked for,
  // and the copy goes with its last handle unless the flag is cleared. On
  // failure the tag set is unchanged and the message says why.
  FileResult ReadFile(const CString& path);

  // Writes the values and pictures of this tag set into the media file at
  // `path`, replacing the values it holds for these fields (absent values
  // are removed) and keeping everything else in the file: the audio and any
  // tag fields Meridex does not know. Saved into the file it was read from,
  // only what changed since is written (see above). The new content is
  // written to a new file in the same folder, made durable, given the
  // original's owner, group, extended attributes (ACLs included) and
  // permissions (and its access and modification times with
  // `keepModificationTime`) and renamed over the original in one step. A
  // file with several names (hard links), or one whose owner or attributes a
  // new file could not be given, is written in place instead, after a
  // durable copy of its old content is put beside it, so that every name
  // sees the new tags. A file that changed since it was read, or that
  // another program holds open for writing, is left alone, and so is one
  // whose content TagLib would garble or drop (encrypted or grouped ID3v2
  // frames, ID3v2.2 frames 2.4 has no place for, several FLAC comment
  // blocks, ID3v2.4, Vorbis comment or MP4 text that is not the UTF-8 it
  // claims). On any failure,
  // including a full disk, a folder that may not be written or a file that
  // may not be written (read-only files are refused), the original is
  // untouched, the temporary file is removed and the message says why.
  FileResult SaveFile(const CString& path, bool keepModificationTime = false) const;

  // The file this tag set was read from; empty when it is not tied to a file.
  CString GetFilePath() const;

  // Artists, in the order added.
  int GetArtistCount() const;
  bool GetArtist(int index, CString& artist) const;
  // The first artist that is not blank, with surrounding blanks trimmed.
  bool GetFirstValidArtist(CString& artist) const;
  // Adds an artist at the end. Empty text is not added; with `skipIfPresent`
  // an artist already present (ignoring case) is not added either. True when
  // added.
  bool AddArtist(const CString& artist, bool skipIfPresent);
  void RemoveAllArtists();

  // Composers, with the same rules as artists.
  int GetComposerCount() const;
  bool GetComposer(int index, CString& composer) const;
  bool AddComposer(const CString& composer, bool skipIfPresent);
  void RemoveAllComposers();

  bool GetTitle(CString& title) const;
  void SetTitle(const CString& title);
  bool GetAlbum(CString& album) const;
  void SetAlbum(const CString& album);
  bool GetGenre(CString& genre) const;
  void SetGenre(const CString& genre);
  bool GetYear(CString& year) const;
  void SetYear(const CString& year);
  bool GetTrackNumber(CString& trackNumber) const;
  void SetTrackNumber(const CString& trackNumber);
  bool GetComment(CString& comment) const;
  void SetComment(const CString& comment);
  bool GetOriginalArtist(CString& originalArtist) const;
  void SetOriginalArtist(const CString& originalArtist);
  bool GetCopyright(CString& copyright) const;
  void SetCopyright(const CString& copyright);
  bool GetEncodedBy(CString& encodedBy) const;
  void SetEncodedBy(const CString& encodedBy);
  bool GetLyrics(CString& lyrics) const;
  void SetLyrics(const CString& lyrics);
  bool GetUrl(CString& url) const;
  void SetUrl(const CString& url);
  bool GetDiscNumber(CString& discNumber) const;
  void SetDiscNumber(const CString& discNumber);
  bool GetAlbumArtist(CString& albumArtist) const;
  void SetAlbumArtist(const CString& albumArtist);
  bool GetOriginalDate(CString& originalDate) const;
  void SetOriginalDate(const CString& originalDate);
  bool GetRecordingId(CString& recordingId) const;
  void SetRecordingId(const CString& recordingId);
  bool GetReleaseId(CString& releaseId) const;
  void SetReleaseId(const CString& releaseId);
  bool GetReleaseGroupId(CString& releaseGroupId) const;
  void SetReleaseGroupId(const CString& releaseGroupId);

  // The length of the audio in milliseconds, as ReadFile found it (0 when
  // unknown). Kept in memory only: saving never writes it.
  int GetLengthMs() const;
  void SetLengthMs(int lengthMs);

  // Every value of a text field, in order; empty when absent.
  std::vector<CString> GetValues(Field field) const;
  // Replaces every value of a text field; empty texts are left out.
  void SetValues(Field field, const std::vector<CString>& values);

  // Where the values of this tag set came from, such as the name of the
  // source that found them. Kept in memory only: never read from or saved
  // to a media file.
  bool GetSource(CString& source) const;
  void SetSource(const CString& source);

  // Pictures, in the order added. GetPicture gives a handle sharing the
  // record; false when `index` is out of range.
  int GetPictureCount() const;
  bool GetPicture(int index, CPictureTag& picture) const;
  // The index of "the" cover: the first front cover (type 3); when no
  // picture has a type (all 0, "other"), the first picture; else -1. A
  // back cover or a band photo is never the cover.
  int GetFrontCoverIndex() const;
  // Holds a handle to `picture`; an empty picture is not added. True when added.
  // A picture whose file lies inside this tag set's temporary folder counts
  // from then on as Meridex's own temporary file (see CPictureTag).
  bool AddPicture(const CPictureTag& picture);
  // Releases this tag set's handles; a file marked for deletion goes when
  // no other handle remains.
  void RemoveAllPictures();

 private:
  friend class TagsAccess;
  struct Impl;
  // The state for reading; an empty one when moved from.
  const Impl& State() const;
  // The state for writing; created again when moved from.
  Impl& MutableState();

  std::unique_ptr<Impl> impl_;
};

}  // namespace Meridex
