// Rows of the corpus test about what the tags hold: lyrics and comments in
// several languages, identifiers, ratings, ReplayGain, typed pictures,
// multi-value fields, ID3v1 beside ID3v2.3 and 2.4, APE.
#include <gtest/gtest.h>
#include <taglib/flacfile.h>

#include <fstream>
#include <iterator>

#include "CorpusCase.h"
#include "platform/TextCodec.h"
#include "support/AudioSamples.h"
#include "support/ScratchFolder.h"

namespace corpus {

namespace {

using Meridex::CPictureTag;
using Meridex::CTags;
using Field = CTags::Field;

CString Get(const CTags& tags, bool (CTags::*getter)(CString&) const) {
  CString value;
  (tags.*getter)(value);
  return value;
}

void NewAlbum(CTags& tags) { tags.SetAlbum(L"New Album"); }

// A disc number with its total and an album artist, beside what the file holds.
void DiscAndAlbumArtist(CTags& tags) {
  tags.SetDiscNumber(L"2/3");
  tags.SetAlbumArtist(L"Various Artists");
}

// Lyrics longer than the room the file's tag leaves: the tag grows, the
// pictures and audio after it move.
void LongLyrics(CTags& tags) {
  std::wstring text;
  for (int line = 0; line < 400; ++line) text += L"A line of the long song, number " + std::to_wstring(line) + L"\n";
  tags.SetLyrics(CString(text));
}

// A front cover from elsewhere in place of the file's own (a 1x1 PNG),
// the file's other pictures kept in their order.
void NewFrontCover(CTags& tags) {
  static testing_support::ScratchFolder folder;
  const std::wstring path = folder / L"found.png";
  testing_support::WriteFileBytes(path, testing_support::MakePng());
  std::vector<CPictureTag> kept;
  for (int i = 0; i < tags.GetPictureCount(); ++i) {
    CPictureTag picture;
    if (tags.GetPicture(i, picture) && picture.GetType() != 3) kept.push_back(picture);
  }
  tags.RemoveAllPictures();
  tags.AddPicture(CPictureTag(path, L"image/png", 3, L"", false));
  for (const CPictureTag& picture : kept) tags.AddPicture(picture);
}

// The FLAC picture records of a saved file: the new cover is measured, the
// kept ones keep what they declared.
void FlacDimensions(const std::string& path) {
  TagLib::FLAC::File file(path.c_str());
  ASSERT_TRUE(file.isValid());
  std::vector<std::vector<int>> found;
  for (const TagLib::FLAC::Picture* p : file.pictureList())
    found.push_back({static_cast<int>(p->type()), p->width(), p->height(), p->colorDepth()});
  if (found.size() == 3 && found[0][1] == 1) {
    EXPECT_EQ(found[0], (std::vector<int>{3, 1, 1, 32}));
    EXPECT_EQ(found[1], (std::vector<int>{4, 120, 120, 24}));
    EXPECT_EQ(found[2], (std::vector<int>{8, 200, 200, 24}));
  } else {
    ASSERT_EQ(found.size(), 3u);
    EXPECT_EQ(found[0], (std::vector<int>{3, 300, 300, 24}));
  }
}

void Id3ManyLanguagesInGerman(const CTags& tags) {
  EXPECT_EQ(Get(tags, &CTags::GetLyrics), L"Deutsche Worte\nzweite Zeile");
  EXPECT_EQ(Get(tags, &CTags::GetComment), L"An English comment");  // no German one: English
}

}  // namespace

const std::vector<CorpusCase>& TagContentCases() {
  static const std::vector<CorpusCase> cases = {
      {"Mp3Id3v23AlbumInGerman", "mp3-v23", "song.mp3", "de_DE.UTF-8", {}, Id3ManyLanguagesInGerman, NewAlbum,
       {"ID3:TALB", "ID3v1:album"}, {}},
      {"Mp3Id3v23LyricsInTheUsersLanguage", "mp3-v23", "song.mp3", "de_DE.UTF-8", {}, Id3ManyLanguagesInGerman,
       [](CTags& t) { t.SetLyrics(L"Neue Worte"); }, {"ID3:USLT::deu"}, {}},
      {"Mp3Id3v23LyricsInEnglishWithoutLocale", "mp3-v23", "song.mp3", nullptr, {},
       [](const CTags& t) { EXPECT_EQ(Get(t, &CTags::GetLyrics), L"English words\nsecond line"); },
       [](CTags& t) { t.SetLyrics(L"New words"); }, {"ID3:USLT::eng"}, {}},
      {"Mp3Id3v23NewFrontCover", "mp3-v23", "song.mp3", nullptr, {}, {}, NewFrontCover, {"ID3:APIC:"}, {}},
      {"Mp3Id3v24MultiValue", "mp3-v24", "song.mp3", nullptr, {},
       [](const CTags& t) {
         EXPECT_EQ(t.GetValues(Field::kGenre), (std::vector<CString>{L"Folk", L"Acoustic"}));
         EXPECT_EQ(Get(t, &CTags::GetGenre), L"Folk");
         EXPECT_EQ(t.GetArtistCount(), 2);
       },
       NewAlbum, {"ID3:TALB", "ID3v1:album"}, {}},
      {"Mp3Id3v24LyricsBeyondTheTagsRoom", "mp3-v24", "song.mp3", nullptr, {}, {}, LongLyrics, {"ID3:USLT::eng"}, {}},
      // Layouts TagLib misreads, frames it drops: every frame must still be read and kept.
      {"Mp3Id3v23ExtendedHeaderRetiredAndFlaggedFrames", "mp3-v23-extended", "song.mp3", nullptr, {},
       [](const CTags& t) { EXPECT_EQ(Get(t, &CTags::GetTitle), L"Song Title"); }, NewAlbum,
       {"ID3:TALB", "ID3v1:album"}, {}},
      {"Mp3Id3v24Footer", "mp3-v24-footer", "song.mp3", nullptr, {},
       [](const CTags& t) { EXPECT_EQ(t.GetValues(Field::kGenre), (std::vector<CString>{L"Folk", L"Acoustic"})); },
       NewAlbum, {"ID3:TALB", "ID3v1:album"}, {}},
      {"Mp3Id3v23DiscAndAlbumArtist", "mp3-v23", "song.mp3", nullptr, {}, {}, DiscAndAlbumArtist,
       {"ID3:TPOS", "ID3:TPE2"}, {}},
      {"Mp3ApeOnly", "mp3-ape", "song.mp3", nullptr, {},
       [](const CTags& t) {
         EXPECT_EQ(Get(t, &CTags::GetTitle), L"APE Title");
         EXPECT_EQ(t.GetArtistCount(), 1);
       },
       NewAlbum, {"APE:ALBUM"}, {}},
      // A picture has no place in the APE tag: an ID3v2 tag is made, with every field.
      {"Mp3ApeOnlyNewCover", "mp3-ape", "song.mp3", nullptr, {}, {}, NewFrontCover, {"ID3:*"}, {}},
      {"WavId3", "wav", "song.wav", "fr_FR.UTF-8",
       {},
       [](const CTags& t) { EXPECT_EQ(Get(t, &CTags::GetComment), L"Un commentaire"); },
       [](CTags& t) { t.SetComment(L"Un autre commentaire"); }, {"ID3:COMM::fra"}, {}},
      {"AiffId3", "aiff", "song.aiff", nullptr, {}, {}, NewAlbum, {"ID3:TALB"}, {}},
      {"WmaAsf", "wma", "song.wma", nullptr, {},
       [](const CTags& t) {
         EXPECT_EQ(Get(t, &CTags::GetTitle), L"Song Title");
         EXPECT_EQ(t.GetValues(Field::kGenre), (std::vector<CString>{L"Electronic", L"Ambient"}));
         EXPECT_EQ(Get(t, &CTags::GetTrackNumber), L"3");
       },
       NewAlbum, {"ASF:WM/AlbumTitle"}, {}},
      // A file without content description gains none for an attribute, and
      // only the changed text in one for a title.
      {"WmaWithoutContentDescription", "wma-plain", "song.wma", nullptr, {}, {}, NewAlbum, {"ASF:WM/AlbumTitle"},
       [](const std::string& path) {
         std::ifstream in(path, std::ios::binary);
         const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
         EXPECT_EQ(bytes.find("\x33\x26\xB2\x75\x8E\x66\xCF\x11"), std::string::npos) << "a content description";
       }},
      {"WmaTitleWithoutContentDescription", "wma-plain", "song.wma", nullptr, {}, {},
       [](CTags& t) { t.SetTitle(L"Only Title"); }, {"ASF:Title"}, {}},
      {"FlacMultiValue", "flac", "song.flac", nullptr, {},
       [](const CTags& t) {
         EXPECT_EQ(t.GetValues(Field::kGenre), (std::vector<CString>{L"Electronic", L"Ambient"}));
         EXPECT_EQ(Get(t, &CTags::GetComment), L"A description written by another tagger");
       },
       NewAlbum, {"VC:ALBUM"}, FlacDimensions},
      {"FlacDiscAndAlbumArtist", "flac", "song.flac", nullptr, {}, {}, DiscAndAlbumArtist,
       {"VC:DISCNUMBER", "VC:DISCTOTAL", "VC:ALBUMARTIST"}, {}},
      {"FlacCommentStaysADescription", "flac", "song.flac", nullptr, {}, {},
       [](CTags& t) { t.SetComment(L"Changed"); }, {"VC:DESCRIPTION"}, {}},
      {"FlacLyricsBeyondTheTagsRoom", "flac", "song.flac", nullptr, {}, {}, LongLyrics, {"VC:LYRICS"}, FlacDimensions},
      {"FlacNewFrontCover", "flac", "song.flac", nullptr, {}, {}, NewFrontCover, {"PICTURES"}, FlacDimensions},
      {"OggVorbis", "ogg", "song.ogg", nullptr, {}, {}, NewAlbum, {"VC:ALBUM"}, {}},
      {"OpusNewFrontCover", "opus", "song.opus", nullptr, {}, {}, NewFrontCover, {"PICTURES"}, {}},
      {"Mp4", "m4a", "song.m4a", nullptr, {}, {}, NewAlbum, {"MP4:\xC2\xA9" "alb"}, {}},
      // The tags grow: every fragment moves, and every offset to it must follow.
      {"Mp4FragmentsMove", "m4a-fragmented", "song.m4a", nullptr, {}, {}, LongLyrics, {"MP4:\xC2\xA9" "lyr"}, {}},
  };
  return cases;
}

}  // namespace corpus
