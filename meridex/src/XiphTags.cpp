#include "XiphTags.h"

#include <taglib/xiphcomment.h>

#include "TagText.h"

namespace Meridex::xiph {

namespace {

using TagLib::String;
using TagLib::StringList;

// The single-valued fields, with an older name read when the field is absent.
struct Field {
  const char* name;
  const char* alternative;  // read only; null when there is none
  bool (CTags::*get)(CString&) const;
  void (CTags::*set)(const CString&);
};
constexpr Field kFields[] = {
    {"TITLE", nullptr, &CTags::GetTitle, &CTags::SetTitle},
    {"ALBUM", nullptr, &CTags::GetAlbum, &CTags::SetAlbum},
    {"GENRE", nullptr, &CTags::GetGenre, &CTags::SetGenre},
    {"DATE", "YEAR", &CTags::GetYear, &CTags::SetYear},
    {"TRACKNUMBER", nullptr, &CTags::GetTrackNumber, &CTags::SetTrackNumber},
    {"COMMENT", "DESCRIPTION", &CTags::GetComment, &CTags::SetComment},
    {"COPYRIGHT", nullptr, &CTags::GetCopyright, &CTags::SetCopyright},
    {"ENCODEDBY", "ENCODED-BY", &CTags::GetEncodedBy, &CTags::SetEncodedBy},
    {"ORIGINALARTIST", nullptr, &CTags::GetOriginalArtist, &CTags::SetOriginalArtist},
    {"LYRICS", nullptr, &CTags::GetLyrics, &CTags::SetLyrics},
    {"URL", nullptr, &CTags::GetUrl, &CTags::SetUrl},
};

StringList Values(const TagLib::Ogg::XiphComment& comment, const char* name) {
  const auto& fields = comment.fieldListMap();
  const auto found = fields.find(name);
  return found == fields.end() ? StringList() : found->second;
}

void SetValues(TagLib::Ogg::XiphComment& comment, const char* name, const StringList& values) {
  comment.removeFields(name);
  for (const String& value : values) comment.addField(name, value, false);
}

}  // namespace

void Read(const TagLib::Ogg::XiphComment& comment, CTags& tags) {
  text::AddNames(tags, &CTags::AddArtist, Values(comment, "ARTIST"));
  text::AddNames(tags, &CTags::AddComposer, Values(comment, "COMPOSER"));
  for (const Field& f : kFields) {
    StringList values = Values(comment, f.name);
    if (values.isEmpty() && f.alternative) values = Values(comment, f.alternative);
    if (!values.isEmpty()) (tags.*f.set)(text::FromTagLib(values.front()));
  }
}

void Write(const CTags& tags, TagLib::Ogg::XiphComment& comment) {
  SetValues(comment, "ARTIST", text::Artists(tags));
  SetValues(comment, "COMPOSER", text::Composers(tags));
  for (const Field& f : kFields) {
    const CString value = text::Get(tags, f.get);
    SetValues(comment, f.name, value.IsEmpty() ? StringList() : StringList(text::ToTagLib(value)));
    // An older spelling left behind would be read when the field is removed.
    if (f.alternative) comment.removeFields(f.alternative);
  }
}

void ReadPictures(const TagLib::List<TagLib::FLAC::Picture*>& records, std::vector<EmbeddedPicture>& pictures) {
  for (const TagLib::FLAC::Picture* record : records) {
    if (!record || record->data().isEmpty()) continue;
    EmbeddedPicture picture;
    picture.data = record->data();
    picture.mimeType = text::FromTagLib(record->mimeType());
    picture.type = static_cast<int>(record->type());
    picture.description = text::FromTagLib(record->description());
    pictures.push_back(std::move(picture));
  }
}

TagLib::FLAC::Picture* NewPictureRecord(const EmbeddedPicture& picture) {
  auto* record = new TagLib::FLAC::Picture;
  record->setType(static_cast<TagLib::FLAC::Picture::Type>(picture.type));
  record->setMimeType(text::ToTagLib(picture.mimeType));
  record->setDescription(text::ToTagLib(picture.description));
  record->setData(picture.data);
  return record;
}

}  // namespace Meridex::xiph
