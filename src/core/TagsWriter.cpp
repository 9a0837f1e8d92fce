#include "core/TagsWriter.h"

#include <string>
#include <vector>

#include "core/PictureCopy.h"
#include "core/RecordFields.h"
#include "covers/CoverCache.h"
#include "meridex/PictureTag.h"
#include "platform/File.h"

using Nimbrel::SongInfo;

namespace {

// A number as the text a tag holds; empty for 0 and below.
CString NumberText(std::int64_t value) { return value > 0 ? CString(std::to_wstring(value)) : CString(); }

bool IsUnknownAlbum(const std::wstring& album) { return album == Nimbrel::AlbumInfo::kUnknown; }

// The picture type of a front cover (ID3v2 and FLAC).
constexpr int kFrontCover = 3;

}  // namespace

CString CTagsWriter::PictureMimeType(const CString& path) {
  const std::wstring& text = path.str();
  const std::size_t dot = text.rfind(L'.');
  std::wstring extension = dot == std::wstring::npos ? std::wstring() : text.substr(dot + 1);
  if (extension.find_first_of(L"/\\") != std::wstring::npos) extension.clear();
  if (extension == L"jpg" || extension == L"jpe") extension = L"jpeg";
  return CString(L"image/" + extension);
}

bool CTagsWriter::AddPicture(const std::wstring& coverFile, Meridex::CTags& out, const CCoverCache& covers) {
  if (coverFile.empty()) return false;
  // The copy keeps the file's extension, so the type is read from the file.
  Meridex::CPictureTag picture;
  if (!CPictureCopy::Make(CString(coverFile), PictureMimeType(CString(coverFile)), picture,
                          const_cast<CCoverCache*>(&covers), kFrontCover)) {
    return false;
  }
  return out.AddPicture(picture);
}

bool CTagsWriter::PutCover(const std::wstring& coverFile, const Meridex::CPictureTag& ownCover, Meridex::CTags& out,
                           const CCoverCache& covers) {
  if (coverFile.empty()) return false;
  const int front = out.GetFrontCoverIndex();
  Meridex::CPictureTag own;
  const bool replacing = !ownCover.IsEmpty() && out.GetPicture(front, own);
  // The cached cover of an earlier run is the file's picture again; told by
  // size and content, without extracting the file's picture.
  if (replacing && own.HasSameContent(Meridex::CPictureTag(CString(coverFile), CString(), kFrontCover, CString(), false)))
    return false;
  // A found cover is a front cover, whatever the picture it replaces was called.
  Meridex::CPictureTag picture;
  if (!CPictureCopy::Make(CString(coverFile), PictureMimeType(CString(coverFile)), picture,
                          const_cast<CCoverCache*>(&covers), kFrontCover,
                          replacing ? own.GetDescription() : CString())) {
    return false;
  }
  if (!replacing) return out.AddPicture(picture);
  // In the front cover's place; the file's other pictures (back cover, band
  // photo, ...) stay as they are, in their order.
  std::vector<Meridex::CPictureTag> pictures;
  for (int i = 0; i < out.GetPictureCount(); ++i) {
    Meridex::CPictureTag other;
    if (out.GetPicture(i, other)) pictures.push_back(i == front ? picture : other);
  }
  out.RemoveAllPictures();
  for (const Meridex::CPictureTag& p : pictures) out.AddPicture(p);
  return true;
}

void CTagsWriter::WriteCandidate(const SongInfo& candidate, Meridex::CTags& out) {
  WriteCandidate(candidate, out, CCoverCache::Instance());
}

void CTagsWriter::WriteResult(const CNimbrelSong& song, Meridex::CTags& out) {
  WriteResult(song, out, CCoverCache::Instance());
}

void CTagsWriter::WriteCandidate(const SongInfo& candidate, Meridex::CTags& out, const CCoverCache& covers) {
  const Nimbrel::AlbumInfo& album = candidate.albumInfo;
  const Nimbrel::TrackInfo& track = candidate.trackInfo;
  out.AddArtist(CString(album.artist), false);
  out.SetTitle(CString(track.title));
  out.SetAlbum(IsUnknownAlbum(album.album) ? CString() : CString(album.album));
  out.SetGenre(CString(album.genre));
  out.SetYear(NumberText(album.year));
  out.SetTrackNumber(NumberText(track.trackNumber));
  out.AddComposer(CString(track.composer), false);
  out.SetComment(CString(track.comment));
  out.SetCopyright(CString(track.copyright));
  out.SetEncodedBy(CString(track.encodedBy));
  out.SetOriginalArtist(CString(track.originalArtist));
  WriteRecordFields(candidate, SongInfo(), out);
  // In memory only: lets the host compare the candidate's take with its file's.
  if (track.lengthMs > 0) out.SetLengthMs(static_cast<int>(track.lengthMs));
  // Not a tag: tells the host which source found the candidate.
  out.SetSource(CString(candidate.source));
  AddPicture(candidate.coverInfo.coverFile, out, covers);
}

void CTagsWriter::WriteResult(const CNimbrelSong& song, Meridex::CTags& out, const CCoverCache& covers) {
  out = song.Tags();
  const SongInfo input = song.Input();
  const SongInfo result = song.Result();
  bool written = false;
  // A text is written only when it is set and differs from what the file gave.
  auto changed = [](const std::wstring& found, const std::wstring& read) { return !found.empty() && found != read; };
  auto setText = [&](const std::wstring& found, const std::wstring& read, void (Meridex::CTags::*set)(const CString&)) {
    if (!changed(found, read)) return;
    (out.*set)(CString(found));
    written = true;
  };
  auto setNumber = [&](std::int64_t found, std::int64_t read, void (Meridex::CTags::*set)(const CString&)) {
    if (found <= 0 || found == read) return;
    (out.*set)(NumberText(found));
    written = true;
  };

  if (changed(result.albumInfo.artist, input.albumInfo.artist)) {
    out.RemoveAllArtists();
    out.AddArtist(CString(result.albumInfo.artist), false);
    written = true;
  }
  setText(result.trackInfo.title, input.trackInfo.title, &Meridex::CTags::SetTitle);
  if (!IsUnknownAlbum(result.albumInfo.album)) {
    setText(result.albumInfo.album, input.albumInfo.album, &Meridex::CTags::SetAlbum);
  }
  setText(result.albumInfo.genre, input.albumInfo.genre, &Meridex::CTags::SetGenre);
  setNumber(result.albumInfo.year, input.albumInfo.year, &Meridex::CTags::SetYear);
  setNumber(result.trackInfo.trackNumber, input.trackInfo.trackNumber, &Meridex::CTags::SetTrackNumber);
  written = WriteRecordFields(result, input, out) || written;
  if (changed(result.trackInfo.composer, input.trackInfo.composer)) {
    out.RemoveAllComposers();
    out.AddComposer(CString(result.trackInfo.composer), false);
    written = true;
  }
  setText(result.trackInfo.comment, input.trackInfo.comment, &Meridex::CTags::SetComment);
  setText(result.trackInfo.copyright, input.trackInfo.copyright, &Meridex::CTags::SetCopyright);
  setText(result.trackInfo.encodedBy, input.trackInfo.encodedBy, &Meridex::CTags::SetEncodedBy);
  setText(result.trackInfo.originalArtist, input.trackInfo.originalArtist, &Meridex::CTags::SetOriginalArtist);
  setText(song.Lyrics(), song.InputLyrics(), &Meridex::CTags::SetLyrics);
  // The file's own picture, kept because nothing better was found, is in
  // the tags already (the input's cover part names no file).
  if (result.coverInfo.coverFile != input.coverInfo.coverFile) {
    written = PutCover(result.coverInfo.coverFile, song.OwnCover(), out, covers) || written;
  }
  // The address of an earlier source goes only with values it no longer describes.
  if (written && song.CandidateCount() > 0) out.SetUrl(CString());
}
