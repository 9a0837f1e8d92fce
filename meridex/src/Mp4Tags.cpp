#include "Mp4Tags.h"

#include <taglib/id3v1genres.h>
#include <taglib/mp4coverart.h>
#include <taglib/mp4tag.h>

#include <string>

#include "PictureFiles.h"
#include "TagText.h"

namespace Meridex::mp4 {

namespace {

using TagLib::String;
using TagLib::StringList;
using TagLib::MP4::CoverArt;
using TagLib::MP4::Item;

using Field = CTags::Field;

struct TextItem {
  const char* key;  // UTF-8, as TagLib names MP4 items
  Field field;
};
const TextItem kTextItems[] = {
    {"\xC2\xA9nam", Field::kTitle},
    {"\xC2\xA9" "alb", Field::kAlbum},
    {"\xC2\xA9gen", Field::kGenre},
    {"\xC2\xA9" "day", Field::kYear},
    {"\xC2\xA9" "cmt", Field::kComment},
    {"cprt", Field::kCopyright},
    {"\xC2\xA9lyr", Field::kLyrics},
    {"\xC2\xA9too", Field::kEncodedBy},
    {"----:com.apple.iTunes:ORIGINALARTIST", Field::kOriginalArtist},
    {"----:com.apple.iTunes:URL", Field::kUrl},
    {"aART", Field::kAlbumArtist},
    {"----:com.apple.iTunes:ORIGINALDATE", Field::kOriginalDate},
    {"----:com.apple.iTunes:MusicBrainz Track Id", Field::kRecordingId},
    {"----:com.apple.iTunes:MusicBrainz Album Id", Field::kReleaseId},
    {"----:com.apple.iTunes:MusicBrainz Release Group Id", Field::kReleaseGroupId},
};
// Number pairs: the track and disc numbers with their totals.
struct PairItem {
  const char* key;
  Field field;
};
const PairItem kPairItems[] = {{"trkn", Field::kTrackNumber}, {"disk", Field::kDiscNumber}};
const char* const kArtists = "\xC2\xA9" "ART";
const char* const kComposers = "\xC2\xA9wrt";

String Key(const char* utf8) { return String(utf8, String::UTF8); }

StringList Texts(const TagLib::MP4::Tag& tag, const char* key) {
  return tag.contains(Key(key)) ? tag.item(Key(key)).toStringList() : StringList();
}

void SetTexts(TagLib::MP4::Tag& tag, const char* key, const StringList& values) {
  if (values.isEmpty())
    tag.removeItem(Key(key));
  else
    tag.setItem(Key(key), Item(values));
}

CString MimeTypeOf(CoverArt::Format format) {
  switch (format) {
    case CoverArt::JPEG: return L"image/jpeg";
    case CoverArt::PNG: return L"image/png";
    case CoverArt::GIF: return L"image/gif";
    case CoverArt::BMP: return L"image/bmp";
    default: return CString();
  }
}

CoverArt::Format FormatOf(const CString& mimeType) {
  if (mimeType.CompareNoCase(L"image/jpeg") == 0 || mimeType.CompareNoCase(L"image/jpg") == 0)
    return CoverArt::JPEG;
  if (mimeType.CompareNoCase(L"image/png") == 0) return CoverArt::PNG;
  if (mimeType.CompareNoCase(L"image/gif") == 0) return CoverArt::GIF;
  if (mimeType.CompareNoCase(L"image/bmp") == 0) return CoverArt::BMP;
  return CoverArt::Unknown;
}

}  // namespace

void Read(const TagLib::MP4::Tag& tag, CTags& tags, std::vector<EmbeddedPicture>& pictures) {
  text::AddNames(tags, &CTags::AddArtist, Texts(tag, kArtists));
  text::AddNames(tags, &CTags::AddComposer, Texts(tag, kComposers));
  for (const TextItem& item : kTextItems) tags.SetValues(item.field, text::List(Texts(tag, item.key)));
  // Older files keep the genre as an ID3v1 genre number plus one.
  CString genre;
  if (!tags.GetGenre(genre) && tag.contains("gnre")) {
    const int number = tag.item("gnre").toInt();
    if (number > 0) tags.SetGenre(text::FromTagLib(TagLib::ID3v1::genre(number - 1)));
  }
  for (const PairItem& item : kPairItems) {
    if (!tag.contains(item.key)) continue;
    const Item::IntPair pair = tag.item(item.key).toIntPair();
    if (pair.first > 0) {
      std::wstring value = std::to_wstring(pair.first);
      if (pair.second > 0) value += L"/" + std::to_wstring(pair.second);
      tags.SetValues(item.field, {CString(value)});
    }
  }
  if (tag.contains("covr")) {
    for (const CoverArt& cover : tag.item("covr").toCoverArtList()) {
      if (cover.data().isEmpty()) continue;
      EmbeddedPicture picture;
      picture.data = cover.data();
      picture.mimeType = MimeTypeOf(cover.format());
      if (picture.mimeType.IsEmpty()) picture.mimeType = PictureFiles::SniffMimeType(picture.data);
      pictures.push_back(std::move(picture));
    }
  }
}

bool Write(const FieldChanges& changes, const std::vector<EmbeddedPicture>* pictures, TagLib::MP4::Tag& tag) {
  if (changes.ArtistsChanged()) SetTexts(tag, kArtists, text::List(changes.Values().artists));
  if (changes.ComposersChanged()) SetTexts(tag, kComposers, text::List(changes.Values().composers));
  for (const TextItem& item : kTextItems)
    if (changes.Changed(item.field)) SetTexts(tag, item.key, text::List(changes[item.field]));
  if (changes.Changed(Field::kGenre)) tag.removeItem("gnre");  // the text genre replaces a numeric one

  for (const PairItem& item : kPairItems) {
    if (!changes.Changed(item.field)) continue;
    const CString text = changes[item.field].empty() ? CString() : changes[item.field].front();
    const int number = text::LeadingNumber(text);
    if (number > 0) {
      const int slash = text.Find(L'/');
      const int total = slash >= 0 ? text::LeadingNumber(text.Mid(slash + 1)) : 0;
      tag.setItem(item.key, Item(number, total));
    } else {
      tag.removeItem(item.key);
    }
  }

  if (!pictures) return true;
  TagLib::MP4::CoverArtList own;
  if (tag.contains("covr")) {
    for (const CoverArt& cover : tag.item("covr").toCoverArtList())
      if (!cover.data().isEmpty()) own.append(cover);
  }
  TagLib::MP4::CoverArtList covers;
  for (const EmbeddedPicture& wanted : *pictures) {
    const auto index = static_cast<unsigned>(wanted.fileIndex);
    if (wanted.fileIndex >= 0 && index < own.size() && PictureFiles::SameBytes(own[index].data(), wanted)) {
      covers.append(own[index]);
      continue;
    }
    EmbeddedPicture loaded = wanted;
    if (!PictureFiles::LoadBytes(loaded)) return false;
    covers.append(CoverArt(FormatOf(loaded.mimeType), loaded.data));
  }
  if (covers.isEmpty())
    tag.removeItem("covr");
  else
    tag.setItem("covr", Item(covers));
  return true;
}

}  // namespace Meridex::mp4
