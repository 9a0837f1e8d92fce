// The fields of a tag set as a person reads them, for comparing and showing.
#pragma once

#include <string>
#include <vector>

#include "meridex/Tags.h"

namespace nimbrel_tag {

enum class Field { kArtist, kTitle, kAlbum, kGenre, kYear, kTrack, kComposer, kComment, kCopyright,
                   kEncodedBy, kOriginalArtist, kLyrics, kUrl, kCover, kDisc, kAlbumArtist, kOriginalDate,
                   kRecordingId, kReleaseId, kReleaseGroupId };

inline constexpr Field kAllFields[] = {Field::kArtist,      Field::kTitle,        Field::kAlbum,
                                       Field::kAlbumArtist, Field::kGenre,        Field::kYear,
                                       Field::kOriginalDate, Field::kTrack,       Field::kDisc,
                                       Field::kComposer,    Field::kComment,      Field::kCopyright,
                                       Field::kEncodedBy,   Field::kOriginalArtist, Field::kLyrics,
                                       Field::kUrl,         Field::kRecordingId,  Field::kReleaseId,
                                       Field::kReleaseGroupId, Field::kCover};

// "artist", "title", ..., "encoded-by", "original-artist", "disc",
// "album-artist", "original-date", "recording-id", "release-id",
// "release-group-id", "cover": stable names, also used in the JSON output.
const char* FieldName(Field field);

// The field's value: several artists or composers joined by "; "; the cover
// as one line per picture, its type and size (its content is compared with
// SamePictures; no picture is extracted for this). Empty when the field is
// absent.
std::wstring FieldValue(const Meridex::CTags& tags, Field field);

// True when the two values are the same for a person: texts ignoring case
// and surrounding blanks.
bool SameValue(Field field, const std::wstring& a, const std::wstring& b);
// True when both tag sets hold pictures of the same bytes, in the same order.
bool SamePictures(const Meridex::CTags& a, const Meridex::CTags& b);
// True when both have a front cover and these hold the same bytes.
bool SameFrontCover(const Meridex::CTags& a, const Meridex::CTags& b);

// The value shown in a report: lyrics and long texts shortened to one line,
// the cover as its picture type (the front cover, else the last picture),
// MIME type and size. UTF-8.
std::string ShownValue(const Meridex::CTags& tags, Field field, const std::wstring& value);

// "front cover", "back cover", "band photo", ... for an ID3v2/FLAC picture type.
const char* PictureTypeName(int type);

// UTF-8 of wide text (file names keep their bytes through Meridex's mapping).
std::string Utf8(const std::wstring& text);

}  // namespace nimbrel_tag
