#include "ApeTags.h"

#include <taglib/apetag.h>
#include <taglib/tpropertymap.h>

#include "TagText.h"

namespace Meridex::ape {

namespace {

using Field = CTags::Field;

// The item a field is written to, and the name TagLib's property map gives it.
struct Item {
  const char* key;
  const char* property;
  Field field;
};
constexpr Item kItems[] = {
    {"TITLE", "TITLE", Field::kTitle},         {"ALBUM", "ALBUM", Field::kAlbum},
    {"GENRE", "GENRE", Field::kGenre},         {"YEAR", "DATE", Field::kYear},
    {"TRACK", "TRACKNUMBER", Field::kTrackNumber}, {"COMMENT", "COMMENT", Field::kComment},
    {"COPYRIGHT", "COPYRIGHT", Field::kCopyright}, {"LYRICS", "LYRICS", Field::kLyrics},
};

void SetItem(TagLib::APE::Tag& tag, const char* key, const std::vector<CString>& values) {
  tag.removeItem(key);
  for (const CString& value : values) tag.addValue(key, text::ToTagLib(value), false);
}

}  // namespace

void Read(const TagLib::APE::Tag& tag, CTags& tags) {
  const TagLib::PropertyMap properties = tag.properties();
  auto values = [&](const char* name) { return properties.contains(name) ? properties[name] : TagLib::StringList(); };
  text::AddNames(tags, &CTags::AddArtist, values("ARTIST"));
  text::AddNames(tags, &CTags::AddComposer, values("COMPOSER"));
  for (const Item& item : kItems) tags.SetValues(item.field, text::List(values(item.property)));
}

void Write(const FieldChanges& changes, TagLib::APE::Tag& tag) {
  if (changes.ArtistsChangedSinceRead()) SetItem(tag, "ARTIST", changes.Values().artists);
  if (changes.ComposersChangedSinceRead()) SetItem(tag, "COMPOSER", changes.Values().composers);
  for (const Item& item : kItems)
    if (changes.ChangedSinceRead(item.field)) SetItem(tag, item.key, changes[item.field]);
}

bool Holds(const FieldChanges& changes) {
  for (Field field : {Field::kOriginalArtist, Field::kEncodedBy, Field::kUrl, Field::kDiscNumber, Field::kAlbumArtist,
                      Field::kOriginalDate, Field::kRecordingId, Field::kReleaseId, Field::kReleaseGroupId})
    if (changes.ChangedSinceRead(field)) return false;
  return true;
}

}  // namespace Meridex::ape
