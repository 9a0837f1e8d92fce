#include "core/RecordFields.h"

#include <cwctype>
#include <string>

using Nimbrel::SongInfo;

namespace {

// The number at the start of `text` (after blanks), 0 when none.
std::uint32_t Leading(const std::wstring& text, std::size_t from = 0) {
  std::size_t i = from;
  while (i < text.size() && std::iswspace(text[i])) ++i;
  std::uint64_t value = 0;
  for (; i < text.size() && text[i] >= L'0' && text[i] <= L'9' && value < 100000; ++i) value = value * 10 + (text[i] - L'0');
  return static_cast<std::uint32_t>(value);
}

// The total after the slash of "n/N", 0 when none.
std::uint32_t Total(const std::wstring& text) {
  const std::size_t slash = text.find(L'/');
  return slash == std::wstring::npos ? 0 : Leading(text, slash + 1);
}

std::wstring Get(const Meridex::CTags& tags, bool (Meridex::CTags::*getter)(CString&) const) {
  CString value;
  return (tags.*getter)(value) ? value.str() : std::wstring();
}

// "n/N", "n" or empty.
std::wstring NumberWithTotal(std::uint32_t number, std::uint32_t total) {
  if (number == 0) return std::wstring();
  return total > 0 ? std::to_wstring(number) + L"/" + std::to_wstring(total) : std::to_wstring(number);
}

bool SameAlbum(const std::wstring& a, const std::wstring& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (std::towlower(a[i]) != std::towlower(b[i])) return false;
  return true;
}

template <typename T>
void Take(const T& found, bool take, T& target) {
  if (found != T() && (take || target == T())) target = found;
}

}  // namespace

void ReadRecordFields(const Meridex::CTags& tags, SongInfo& info) {
  const std::wstring track = Get(tags, &Meridex::CTags::GetTrackNumber);
  const std::wstring disc = Get(tags, &Meridex::CTags::GetDiscNumber);
  info.albumInfo.trackTotal = Total(track);
  info.trackInfo.discNumber = Leading(disc);
  info.albumInfo.discTotal = Total(disc);
  info.trackInfo.lengthMs = static_cast<std::uint32_t>(tags.GetLengthMs());
  info.trackInfo.recordingId = Get(tags, &Meridex::CTags::GetRecordingId);
  info.albumInfo.albumArtist = Get(tags, &Meridex::CTags::GetAlbumArtist);
  info.albumInfo.originalDate = Get(tags, &Meridex::CTags::GetOriginalDate);
  info.albumInfo.releaseId = Get(tags, &Meridex::CTags::GetReleaseId);
  info.albumInfo.releaseGroupId = Get(tags, &Meridex::CTags::GetReleaseGroupId);
}

void MergeRecordFields(const SongInfo& best, bool albumTaken, bool albumChanged, bool trackTaken, SongInfo& result) {
  Nimbrel::AlbumInfo& album = result.albumInfo;
  if (albumChanged) {
    // The file's values described its old album: the found album's, or none.
    album.albumArtist = best.albumInfo.albumArtist;
    album.trackTotal = best.albumInfo.trackTotal;
    album.discTotal = best.albumInfo.discTotal;
    album.originalDate = best.albumInfo.originalDate;
    album.releaseId = best.albumInfo.releaseId;
    album.releaseGroupId = best.albumInfo.releaseGroupId;
    if (trackTaken) {
      result.trackInfo.discNumber = best.trackInfo.discNumber;
      result.trackInfo.recordingId = best.trackInfo.recordingId;
    }
    return;
  }
  Take(best.albumInfo.albumArtist, albumTaken, album.albumArtist);
  Take(best.albumInfo.trackTotal, albumTaken, album.trackTotal);
  Take(best.albumInfo.discTotal, albumTaken, album.discTotal);
  Take(best.albumInfo.originalDate, albumTaken, album.originalDate);
  Take(best.albumInfo.releaseId, albumTaken, album.releaseId);
  Take(best.albumInfo.releaseGroupId, albumTaken, album.releaseGroupId);
  Take(best.trackInfo.discNumber, trackTaken, result.trackInfo.discNumber);
  Take(best.trackInfo.recordingId, trackTaken, result.trackInfo.recordingId);
}

bool WriteRecordFields(const SongInfo& result, const SongInfo& input, Meridex::CTags& out) {
  bool written = false;
  auto setText = [&](const std::wstring& found, const std::wstring& read, void (Meridex::CTags::*set)(const CString&)) {
    if (found.empty() || found == read) return;
    (out.*set)(CString(found));
    written = true;
  };
  const Nimbrel::AlbumInfo& a = result.albumInfo;
  const Nimbrel::TrackInfo& t = result.trackInfo;
  // The number with its total, when either is new.
  if (t.trackNumber > 0 && (t.trackNumber != input.trackInfo.trackNumber || a.trackTotal != input.albumInfo.trackTotal) &&
      a.trackTotal > 0) {
    out.SetTrackNumber(CString(NumberWithTotal(t.trackNumber, a.trackTotal)));
    written = true;
  }
  if (t.discNumber > 0 && (t.discNumber != input.trackInfo.discNumber || a.discTotal != input.albumInfo.discTotal)) {
    out.SetDiscNumber(CString(NumberWithTotal(t.discNumber, a.discTotal)));
    written = true;
  }
  setText(a.albumArtist, input.albumInfo.albumArtist, &Meridex::CTags::SetAlbumArtist);
  setText(a.originalDate, input.albumInfo.originalDate, &Meridex::CTags::SetOriginalDate);
  setText(a.releaseId, input.albumInfo.releaseId, &Meridex::CTags::SetReleaseId);
  setText(a.releaseGroupId, input.albumInfo.releaseGroupId, &Meridex::CTags::SetReleaseGroupId);
  setText(t.recordingId, input.trackInfo.recordingId, &Meridex::CTags::SetRecordingId);

  // Ids of the file's old album are stale once the album changed.
  if (a.HasAlbum() && input.albumInfo.HasAlbum() && !SameAlbum(a.album, input.albumInfo.album)) {
    auto drop = [&](const std::wstring& found, const std::wstring& read, void (Meridex::CTags::*set)(const CString&)) {
      if (!read.empty() && (found.empty() || found == read)) {
        (out.*set)(CString());
        written = true;
      }
    };
    drop(a.releaseId, input.albumInfo.releaseId, &Meridex::CTags::SetReleaseId);
    drop(a.releaseGroupId, input.albumInfo.releaseGroupId, &Meridex::CTags::SetReleaseGroupId);
    drop(t.recordingId, input.trackInfo.recordingId, &Meridex::CTags::SetRecordingId);
    // So are its album artist, original date and disc, unless the found album tells its own.
    auto clear = [&](const std::wstring& found, const std::wstring& read, void (Meridex::CTags::*set)(const CString&)) {
      if (!read.empty() && found.empty()) {
        (out.*set)(CString());
        written = true;
      }
    };
    clear(a.albumArtist, input.albumInfo.albumArtist, &Meridex::CTags::SetAlbumArtist);
    clear(a.originalDate, input.albumInfo.originalDate, &Meridex::CTags::SetOriginalDate);
    if (t.discNumber == 0 && input.trackInfo.discNumber > 0) {
      out.SetDiscNumber(CString());
      written = true;
    }
  }
  return written;
}
