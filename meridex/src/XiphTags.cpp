#include "XiphTags.h"

#include <taglib/xiphcomment.h>

#include "PictureFiles.h"
#include "TagText.h"

namespace Meridex::xiph {

namespace {

using Field = CTags::Field;
using TagLib::String;
using TagLib::StringList;

// The text fields, with an older name read when the field is absent.
struct FieldName {
  const char* name;
  const char* alternative;  // null when there is none
  Field field;
};
constexpr FieldName kFields[] = {
    {"TITLE", nullptr, Field::kTitle},
    {"ALBUM", nullptr, Field::kAlbum},
    {"GENRE", nullptr, Field::kGenre},
    {"DATE", "YEAR", Field::kYear},
    {"COMMENT", "DESCRIPTION", Field::kComment},
    {"COPYRIGHT", nullptr, Field::kCopyright},
    {"ENCODEDBY", "ENCODED-BY", Field::kEncodedBy},
    {"ORIGINALARTIST", nullptr, Field::kOriginalArtist},
    {"LYRICS", nullptr, Field::kLyrics},
    {"URL", nullptr, Field::kUrl},
    {"ALBUMARTIST", "ALBUM ARTIST", Field::kAlbumArtist},
    {"ORIGINALDATE", "ORIGINALYEAR", Field::kOriginalDate},
    {"MUSICBRAINZ_TRACKID", nullptr, Field::kRecordingId},
    {"MUSICBRAINZ_ALBUMID", nullptr, Field::kReleaseId},
    {"MUSICBRAINZ_RELEASEGROUPID", nullptr, Field::kReleaseGroupId},
};

// Track and disc numbers: the number in one field, its total in another
// (older files: TOTALTRACKS, TOTALDISCS), or both as "n/N" in the first.
struct NumberName {
  const char* number;
  const char* total;
  const char* totalAlternative;
  Field field;
};
constexpr NumberName kNumbers[] = {
    {"TRACKNUMBER", "TRACKTOTAL", "TOTALTRACKS", Field::kTrackNumber},
    {"DISCNUMBER", "DISCTOTAL", "TOTALDISCS", Field::kDiscNumber},
};

StringList Values(const TagLib::Ogg::XiphComment& comment, const char* name) {
  const auto& fields = comment.fieldListMap();
  const auto found = fields.find(name);
  return found == fields.end() ? StringList() : found->second;
}

// The name a field is read from: the main one, else the older one when the
// comment has only that.
const char* NameInUse(const TagLib::Ogg::XiphComment& comment, const FieldName& f) {
  if (f.alternative && Values(comment, f.name).isEmpty() && !Values(comment, f.alternative).isEmpty())
    return f.alternative;
  return f.name;
}

void SetValues(TagLib::Ogg::XiphComment& comment, const char* name, const StringList& values) {
  comment.removeFields(name);
  for (const String& value : values) comment.addField(name, value, false);
}

}  // namespace

void Read(const TagLib::Ogg::XiphComment& comment, CTags& tags) {
  text::AddNames(tags, &CTags::AddArtist, Values(comment, "ARTIST"));
  text::AddNames(tags, &CTags::AddComposer, Values(comment, "COMPOSER"));
  for (const FieldName& f : kFields) tags.SetValues(f.field, text::List(Values(comment, NameInUse(comment, f))));
  for (const NumberName& n : kNumbers) {
    std::vector<CString> numbers = text::List(Values(comment, n.number));
    StringList totals = Values(comment, n.total);
    if (totals.isEmpty()) totals = Values(comment, n.totalAlternative);
    const CString total = totals.isEmpty() ? CString() : text::FromTagLib(totals.front());
    if (!numbers.empty() && numbers.front().Find(L'/') < 0 && !total.IsEmpty()) numbers.front() += L"/" + total;
    tags.SetValues(n.field, numbers);
  }
}

void Write(const FieldChanges& changes, TagLib::Ogg::XiphComment& comment) {
  if (changes.ArtistsChanged()) SetValues(comment, "ARTIST", text::List(changes.Values().artists));
  if (changes.ComposersChanged()) SetValues(comment, "COMPOSER", text::List(changes.Values().composers));
  for (const FieldName& f : kFields)
    if (changes.Changed(f.field)) SetValues(comment, NameInUse(comment, f), text::List(changes[f.field]));
  for (const NumberName& n : kNumbers) {
    if (!changes.Changed(n.field)) continue;
    const CString value = changes[n.field].empty() ? CString() : changes[n.field].front();
    const int slash = value.Find(L'/');
    const CString number = slash < 0 ? value : value.Left(slash);
    const CString total = slash < 0 ? CString() : value.Mid(slash + 1);
    SetValues(comment, n.number, text::List(std::vector<CString>{number}));
    comment.removeFields(n.totalAlternative);
    SetValues(comment, n.total, text::List(std::vector<CString>{total}));
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
    picture.width = record->width();
    picture.height = record->height();
    picture.depth = record->colorDepth();
    picture.colours = record->numColors();
    pictures.push_back(std::move(picture));
  }
}

TagLib::FLAC::Picture* NewPictureRecord(const EmbeddedPicture& picture) {
  auto* record = new TagLib::FLAC::Picture;
  record->setType(static_cast<TagLib::FLAC::Picture::Type>(picture.type));
  record->setMimeType(text::ToTagLib(picture.mimeType));
  record->setDescription(text::ToTagLib(picture.description));
  record->setWidth(picture.width);
  record->setHeight(picture.height);
  record->setColorDepth(picture.depth);
  record->setNumColors(picture.colours);
  record->setData(picture.data);
  return record;
}

bool PictureRecords(const std::vector<EmbeddedPicture>& pictures, const std::vector<TagLib::FLAC::Picture*>& own,
                    std::vector<std::unique_ptr<TagLib::FLAC::Picture>>& out) {
  out.clear();
  for (const EmbeddedPicture& wanted : pictures) {
    const auto index = static_cast<std::size_t>(wanted.fileIndex);
    if (wanted.fileIndex >= 0 && index < own.size() && PictureFiles::SameBytes(own[index]->data(), wanted)) {
      out.push_back(std::make_unique<TagLib::FLAC::Picture>(own[index]->render()));
      continue;
    }
    EmbeddedPicture loaded = wanted;
    if (!PictureFiles::LoadBytes(loaded)) return false;
    out.emplace_back(NewPictureRecord(loaded));
  }
  return true;
}

}  // namespace Meridex::xiph
