// The tags of one media file, held in memory.
#pragma once

#include <memory>

#include "meridex/Export.h"
#include "meridex/PictureTag.h"
#include "nimbrel/CString.h"

namespace Meridex {

// A tag set: texts, several artists and composers, and pictures.
//
// Getters return true when the value is present and not empty, and then fill
// the out-string (left untouched otherwise). Setting an empty text removes
// the value. Year and track number are kept as text, exactly as given.
//
// Copies are deep for every text; pictures are handles, so a copy shares them
// (see CPictureTag). A moved-from tag set is empty and fully usable.
// The state lives behind a pointer so that the object's layout stays the same
// across the library boundary whatever is added later.
//
// One object must not be used from several threads at once; distinct objects
// may be, even when they share pictures.
class MERIDEX_EXPORT CTags {
 public:
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

  // Pictures, in the order added. GetPicture gives a handle sharing the
  // record; false when `index` is out of range.
  int GetPictureCount() const;
  bool GetPicture(int index, CPictureTag& picture) const;
  // Holds a handle to `picture`; an empty picture is not added. True when added.
  bool AddPicture(const CPictureTag& picture);
  // Releases this tag set's handles; a file marked for deletion goes when
  // no other handle remains.
  void RemoveAllPictures();

 private:
  struct Impl;
  // The state for reading; an empty one when moved from.
  const Impl& State() const;
  // The state for writing; created again when moved from.
  Impl& MutableState();

  std::unique_ptr<Impl> impl_;
};

}  // namespace Meridex
