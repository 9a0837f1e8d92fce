#include "TagFields.h"

#include <iterator>

#include "Text.h"
#include "meridex/FileName.h"

namespace nimbrel_tag {

namespace {

std::wstring Joined(const Meridex::CTags& tags, int count, bool (Meridex::CTags::*get)(int, CString&) const) {
  std::wstring out;
  for (int i = 0; i < count; ++i) {
    CString value;
    if (!(tags.*get)(i, value)) continue;
    if (!out.empty()) out += L"; ";
    out += value.str();
  }
  return out;
}

std::wstring Single(const Meridex::CTags& tags, bool (Meridex::CTags::*get)(CString&) const) {
  CString value;
  return (tags.*get)(value) ? value.str() : std::wstring();
}

std::vector<std::wstring> Lines(const std::wstring& joined) {
  std::vector<std::wstring> out;
  std::size_t start = 0;
  while (start <= joined.size() && !joined.empty()) {
    const std::size_t end = joined.find(L'\n', start);
    out.push_back(joined.substr(start, end == std::wstring::npos ? std::wstring::npos : end - start));
    if (end == std::wstring::npos) break;
    start = end + 1;
  }
  return out;
}

}  // namespace

std::string Utf8(const std::wstring& text) { return plugin_text::Narrow(text); }

const char* PictureTypeName(int type) {
  static const char* const kNames[] = {"other picture", "file icon", "other file icon", "front cover",
                                       "back cover", "leaflet page", "media", "lead artist photo",
                                       "artist photo", "conductor photo", "band photo", "composer photo",
                                       "lyricist photo", "recording location", "photo during recording",
                                       "photo during performance", "video capture", "bright coloured fish",
                                       "illustration", "band logo", "publisher logo"};
  return type >= 0 && type < static_cast<int>(std::size(kNames)) ? kNames[type] : "picture";
}

const char* FieldName(Field field) {
  switch (field) {
    case Field::kArtist: return "artist";
    case Field::kTitle: return "title";
    case Field::kAlbum: return "album";
    case Field::kGenre: return "genre";
    case Field::kYear: return "year";
    case Field::kTrack: return "track";
    case Field::kComposer: return "composer";
    case Field::kComment: return "comment";
    case Field::kCopyright: return "copyright";
    case Field::kEncodedBy: return "encoded-by";
    case Field::kOriginalArtist: return "original-artist";
    case Field::kLyrics: return "lyrics";
    case Field::kUrl: return "url";
    case Field::kCover: return "cover";
    case Field::kDisc: return "disc";
    case Field::kAlbumArtist: return "album-artist";
    case Field::kOriginalDate: return "original-date";
    case Field::kRecordingId: return "recording-id";
    case Field::kReleaseId: return "release-id";
    case Field::kReleaseGroupId: return "release-group-id";
  }
  return "";
}

std::wstring FieldValue(const Meridex::CTags& tags, Field field) {
  using T = Meridex::CTags;
  switch (field) {
    case Field::kArtist: return Joined(tags, tags.GetArtistCount(), &T::GetArtist);
    case Field::kTitle: return Single(tags, &T::GetTitle);
    case Field::kAlbum: return Single(tags, &T::GetAlbum);
    case Field::kGenre: return Single(tags, &T::GetGenre);
    case Field::kYear: return Single(tags, &T::GetYear);
    case Field::kTrack: return Single(tags, &T::GetTrackNumber);
    case Field::kComposer: return Joined(tags, tags.GetComposerCount(), &T::GetComposer);
    case Field::kComment: return Single(tags, &T::GetComment);
    case Field::kCopyright: return Single(tags, &T::GetCopyright);
    case Field::kEncodedBy: return Single(tags, &T::GetEncodedBy);
    case Field::kOriginalArtist: return Single(tags, &T::GetOriginalArtist);
    case Field::kLyrics: return Single(tags, &T::GetLyrics);
    case Field::kUrl: return Single(tags, &T::GetUrl);
    case Field::kDisc: return Single(tags, &T::GetDiscNumber);
    case Field::kAlbumArtist: return Single(tags, &T::GetAlbumArtist);
    case Field::kOriginalDate: return Single(tags, &T::GetOriginalDate);
    case Field::kRecordingId: return Single(tags, &T::GetRecordingId);
    case Field::kReleaseId: return Single(tags, &T::GetReleaseId);
    case Field::kReleaseGroupId: return Single(tags, &T::GetReleaseGroupId);
    case Field::kCover: {
      std::wstring paths;
      for (int i = 0; i < tags.GetPictureCount(); ++i) {
        Meridex::CPictureTag picture;
        if (!tags.GetPicture(i, picture) || picture.IsEmpty()) continue;
        if (!paths.empty()) paths += L'\n';
        paths += std::to_wstring(picture.GetType()) + L' ' + std::to_wstring(picture.GetSize());
      }
      return paths;
    }
  }
  return std::wstring();
}

bool SameValue(Field field, const std::wstring& a, const std::wstring& b) {
  if (field == Field::kCover) return a == b;
  CString left(a), right(b);
  left.Trim();
  right.Trim();
  return left.CompareNoCase(right) == 0;
}

bool SamePictures(const Meridex::CTags& a, const Meridex::CTags& b) {
  if (a.GetPictureCount() != b.GetPictureCount()) return false;
  for (int i = 0; i < a.GetPictureCount(); ++i) {
    Meridex::CPictureTag left, right;
    if (!a.GetPicture(i, left) || !b.GetPicture(i, right) || !left.HasSameContent(right)) return false;
  }
  return true;
}

bool SameFrontCover(const Meridex::CTags& a, const Meridex::CTags& b) {
  Meridex::CPictureTag left, right;
  return a.GetPicture(a.GetFrontCoverIndex(), left) && b.GetPicture(b.GetFrontCoverIndex(), right) &&
         left.HasSameContent(right);
}

std::string ShownValue(const Meridex::CTags& tags, Field field, const std::wstring& value) {
  if (value.empty()) return "(none)";
  if (field == Field::kCover) {
    // The front cover, where a found cover goes; else the last picture.
    Meridex::CPictureTag picture;
    const int count = tags.GetPictureCount();
    const int front = tags.GetFrontCoverIndex();
    if (count == 0 || !tags.GetPicture(front >= 0 ? front : count - 1, picture)) return "(none)";
    const std::uint64_t size = picture.GetSize();
    std::string shown = std::string(PictureTypeName(picture.GetType())) + ", " + Utf8(picture.GetMimeType().str());
    if (size > 0) shown += ", " + std::to_string((size + 1023) / 1024) + " KiB";
    if (count > 1) shown += " (" + std::to_string(count) + " pictures)";
    return shown;
  }
  if (field == Field::kLyrics) {
    const std::size_t lines = Lines(value).size();
    return std::to_string(lines) + (lines == 1 ? " line" : " lines");
  }
  std::wstring shown = value;
  for (wchar_t& c : shown)
    if (c < 0x20) c = L' ';
  if (shown.size() > 60) shown = shown.substr(0, 57) + L"...";
  return "\"" + Utf8(shown) + "\"";
}

}  // namespace nimbrel_tag
