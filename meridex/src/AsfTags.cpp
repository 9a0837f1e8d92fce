#include "AsfTags.h"

#include <taglib/asfattribute.h>
#include <taglib/asfpicture.h>
#include <taglib/asftag.h>

#include <string>

#include "PictureFiles.h"
#include "TagText.h"

namespace Meridex::asf {

namespace {

using Field = CTags::Field;
using TagLib::ASF::Attribute;
using TagLib::ASF::AttributeList;

struct AttributeName {
  const char* name;
  Field field;
};
constexpr AttributeName kAttributes[] = {
    {"WM/AlbumTitle", Field::kAlbum},       {"WM/Genre", Field::kGenre},
    {"WM/Year", Field::kYear},              {"WM/TrackNumber", Field::kTrackNumber},
    {"WM/Lyrics", Field::kLyrics},          {"WM/EncodedBy", Field::kEncodedBy},
    {"WM/OriginalArtist", Field::kOriginalArtist}, {"WM/AuthorURL", Field::kUrl},
    {"WM/PartOfSet", Field::kDiscNumber},   {"WM/AlbumArtist", Field::kAlbumArtist},
    {"WM/OriginalReleaseYear", Field::kOriginalDate}, {"MusicBrainz/Track Id", Field::kRecordingId},
    {"MusicBrainz/Album Id", Field::kReleaseId},      {"MusicBrainz/Release Group Id", Field::kReleaseGroupId},
};
constexpr const char* kComposer = "WM/Composer";
constexpr const char* kPicture = "WM/Picture";
constexpr const wchar_t* kJoin = L"; ";

// TagLib 1.x holds the values of an attribute in the reverse of the file's
// order and writes them in the order it holds them: each save would turn
// every list round. Reading takes them back into the file's order, and
// writing puts every list into it before anything is set.
AttributeList Reversed(const AttributeList& values) {
  AttributeList out;
  for (const Attribute& value : values) out.prepend(value);
  return out;
}

// The texts of an attribute's values; numbers as decimal text.
std::vector<CString> Texts(const AttributeList& values) {
  std::vector<CString> out;
  for (const Attribute& value : values) {
    switch (value.type()) {
      case Attribute::UnicodeType:
        if (!value.toString().isEmpty()) out.push_back(text::FromTagLib(value.toString()));
        break;
      case Attribute::DWordType: out.push_back(CString(std::to_wstring(value.toUInt()))); break;
      case Attribute::QWordType: out.push_back(CString(std::to_wstring(value.toULongLong()))); break;
      case Attribute::WordType: out.push_back(CString(std::to_wstring(value.toUShort()))); break;
      default: break;
    }
  }
  return out;
}

// Writes `values` as the attribute `name`, removing it when there are none.
// A number stays a number when the file gave one there.
void SetTexts(TagLib::ASF::Tag& tag, const char* name, const std::vector<CString>& values) {
  const AttributeList old = tag.attribute(name);
  const bool numeric = !old.isEmpty() && old.front().type() == Attribute::DWordType;
  AttributeList list;
  for (const CString& value : values) {
    if (value.IsEmpty()) continue;
    const std::wstring& wide = value.str();
    if (numeric && wide.find_first_not_of(L"0123456789") == std::wstring::npos && wide.size() < 10)
      list.append(Attribute(static_cast<unsigned int>(std::stoul(wide))));
    else
      list.append(Attribute(text::ToTagLib(value)));
  }
  if (list.isEmpty())
    tag.removeItem(name);
  else
    tag.setAttribute(name, list);
}

// Single texts of the content description: as they are.
std::vector<CString> Single(const TagLib::String& value) {
  std::vector<CString> out;
  if (!value.isEmpty()) out.push_back(text::FromTagLib(value));
  return out;
}

// Several artists in the one Author text, as Windows Media Player writes
// them: separated by "; ".
std::vector<CString> Split(const TagLib::String& joined) {
  std::vector<CString> out;
  const std::wstring all = text::FromTagLib(joined).str();
  std::size_t start = 0;
  while (start < all.size()) {
    std::size_t end = all.find(kJoin, start);
    if (end == std::wstring::npos) end = all.size();
    if (end > start) out.push_back(CString(all.substr(start, end - start)));
    start = end + 2;
  }
  return out;
}

TagLib::String Joined(const std::vector<CString>& values) {
  std::wstring out;
  for (const CString& value : values) {
    if (value.IsEmpty()) continue;
    if (!out.empty()) out += kJoin;
    out += value.str();
  }
  return text::ToTagLib(CString(out));
}

// The file's pictures that hold bytes, in order: what reading counts.
std::vector<TagLib::ASF::Picture> OwnPictures(const AttributeList& values) {
  std::vector<TagLib::ASF::Picture> out;
  for (const Attribute& value : values) {
    if (value.type() != Attribute::BytesType) continue;
    const TagLib::ASF::Picture picture = value.toPicture();
    if (picture.isValid() && !picture.picture().isEmpty()) out.push_back(picture);
  }
  return out;
}

}  // namespace

void Read(const TagLib::ASF::Tag& tag, CTags& tags, std::vector<EmbeddedPicture>& pictures) {
  for (const CString& artist : Split(tag.artist())) tags.AddArtist(artist, false);
  for (const CString& composer : Texts(Reversed(tag.attribute(kComposer)))) tags.AddComposer(composer, false);
  tags.SetValues(Field::kTitle, Single(tag.title()));
  tags.SetValues(Field::kComment, Single(tag.comment()));
  tags.SetValues(Field::kCopyright, Single(tag.copyright()));
  for (const AttributeName& a : kAttributes) tags.SetValues(a.field, Texts(Reversed(tag.attribute(a.name))));
  for (const TagLib::ASF::Picture& own : OwnPictures(Reversed(tag.attribute(kPicture)))) {
    EmbeddedPicture picture;
    picture.data = own.picture();
    picture.mimeType = text::FromTagLib(own.mimeType());
    picture.type = static_cast<int>(own.type());
    picture.description = text::FromTagLib(own.description());
    pictures.push_back(std::move(picture));
  }
}

bool Write(const FieldChanges& changes, const std::vector<EmbeddedPicture>* pictures, TagLib::ASF::Tag& tag) {
  for (auto& [name, values] : tag.attributeListMap())
    if (values.size() > 1) values = Reversed(values);
  if (changes.ArtistsChanged()) tag.setArtist(Joined(changes.Values().artists));
  if (changes.ComposersChanged()) SetTexts(tag, kComposer, changes.Values().composers);
  if (changes.Changed(Field::kTitle)) tag.setTitle(Joined(changes[Field::kTitle]));
  if (changes.Changed(Field::kComment)) tag.setComment(Joined(changes[Field::kComment]));
  if (changes.Changed(Field::kCopyright)) tag.setCopyright(Joined(changes[Field::kCopyright]));
  for (const AttributeName& a : kAttributes)
    if (changes.Changed(a.field)) SetTexts(tag, a.name, changes[a.field]);
  if (!pictures) return true;

  const std::vector<TagLib::ASF::Picture> own = OwnPictures(tag.attribute(kPicture));
  AttributeList list;
  for (const EmbeddedPicture& wanted : *pictures) {
    const auto index = static_cast<std::size_t>(wanted.fileIndex);
    if (wanted.fileIndex >= 0 && index < own.size() && PictureFiles::SameBytes(own[index].picture(), wanted)) {
      list.append(Attribute(own[index]));
      continue;
    }
    EmbeddedPicture loaded = wanted;
    if (!PictureFiles::LoadBytes(loaded)) return false;
    TagLib::ASF::Picture picture;
    picture.setMimeType(text::ToTagLib(loaded.mimeType));
    picture.setType(static_cast<TagLib::ASF::Picture::Type>(loaded.type));
    picture.setDescription(text::ToTagLib(loaded.description));
    picture.setPicture(loaded.data);
    list.append(Attribute(picture));
  }
  if (list.isEmpty())
    tag.removeItem(kPicture);
  else
    tag.setAttribute(kPicture, list);
  return true;
}

}  // namespace Meridex::asf
