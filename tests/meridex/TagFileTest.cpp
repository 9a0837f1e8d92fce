// Tags read from and saved to real media files, checked through CTags and
// through TagLib directly.
#include <gtest/gtest.h>
#include <taglib/aifffile.h>
#include <taglib/attachedpictureframe.h>
#include <taglib/fileref.h>
#include <taglib/asffile.h>
#include <taglib/asfpicture.h>
#include <taglib/asftag.h>
#include <taglib/flacfile.h>
#include <taglib/id3v1tag.h>
#include <taglib/id3v2header.h>
#include <taglib/id3v2tag.h>
#include <taglib/mp4file.h>
#include <taglib/mpegfile.h>
#include <taglib/oggfile.h>
#include <taglib/tpropertymap.h>
#include <taglib/wavfile.h>
#include <taglib/xiphcomment.h>

#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "meridex/Tags.h"
#include "platform/PrivateFolder.h"
#include "platform/TextCodec.h"
#include "support/AudioSamples.h"
#include "support/ScratchFolder.h"

namespace {

using namespace std::string_literals;
using Meridex::CPictureTag;
using Meridex::CTags;
using testing_support::ScratchFolder;

std::string Utf8(const std::wstring& s) { return platform::ToUtf8(s); }

struct Format {
  const char* name;
  const wchar_t* file;
  std::function<bool(const std::wstring&)> make;  // false: cannot be made here
  bool typedPictures;                             // pictures keep type and description
};

void PrintTo(const Format& format, std::ostream* out) { *out << format.name; }

bool Write(const std::wstring& path, const std::string& bytes) {
  testing_support::WriteFileBytes(path, bytes);
  return true;
}
bool Ffmpeg(const std::wstring& path, const char* codec) {
  return testing_support::HaveFfmpeg() && testing_support::MakeWithFfmpeg(path, codec);
}

const Format kFormats[] = {
    {"Mp3", L"song.mp3", [](auto& p) { return Write(p, testing_support::MakeMp3()); }, true},
    {"Flac", L"song.flac", [](auto& p) { return Write(p, testing_support::MakeFlac()); }, true},
    {"Wav", L"song.wav", [](auto& p) { return Write(p, testing_support::MakeWav()); }, true},
    {"Aiff", L"song.aiff", [](auto& p) { return Write(p, testing_support::MakeAiff()); }, true},
    {"OggVorbis", L"song.ogg", [](auto& p) { return Ffmpeg(p, "libvorbis"); }, true},
    {"Opus", L"song.opus", [](auto& p) { return Ffmpeg(p, "libopus"); }, true},
    {"Mp4", L"song.m4a", [](auto& p) { return Ffmpeg(p, "aac"); }, false},
    {"Wma", L"song.wma", [](auto& p) { return Ffmpeg(p, "wmav2"); }, true},
};

// Every field, with characters beyond ASCII and beyond 16 bits.
void FillEverything(CTags& tags, const std::wstring& picture) {
  tags.AddArtist(L"Bj\x00f6rk", false);
  tags.AddArtist(L"Kino \x041a\x0438\x043d\x043e", false);
  tags.AddComposer(L"Composer One", false);
  tags.AddComposer(L"Composer \x1F3B5", false);
  tags.SetTitle(L"T\x00edtulo");
  tags.SetAlbum(L"Album");
  tags.SetGenre(L"Trip-Hop");
  tags.SetYear(L"2003");
  tags.SetTrackNumber(L"7/12");
  tags.SetComment(L"A comment");
  tags.SetCopyright(L"(c) Someone");
  tags.SetEncodedBy(L"Encoder");
  tags.SetOriginalArtist(L"Original");
  tags.SetLyrics(L"Line one\nLine two");
  tags.SetUrl(L"https://example.org/song");
  tags.SetSource(L"in memory only");
  tags.AddPicture(CPictureTag(picture, L"image/png", 4, L"Back cover", false));
}

void ExpectEverything(const CTags& tags, const Format& format) {
  CString v;
  ASSERT_EQ(tags.GetArtistCount(), 2);
  EXPECT_TRUE(tags.GetArtist(1, v) && v == L"Kino \x041a\x0438\x043d\x043e");
  ASSERT_EQ(tags.GetComposerCount(), 2);
  EXPECT_TRUE(tags.GetComposer(1, v) && v == L"Composer \x1F3B5");
  EXPECT_TRUE(tags.GetTitle(v) && v == L"T\x00edtulo");
  EXPECT_TRUE(tags.GetAlbum(v) && v == L"Album");
  EXPECT_TRUE(tags.GetGenre(v) && v == L"Trip-Hop");
  EXPECT_TRUE(tags.GetYear(v) && v == L"2003");
  EXPECT_TRUE(tags.GetTrackNumber(v) && v == L"7/12");
  EXPECT_TRUE(tags.GetComment(v) && v == L"A comment");
  EXPECT_TRUE(tags.GetCopyright(v) && v == L"(c) Someone");
  EXPECT_TRUE(tags.GetEncodedBy(v) && v == L"Encoder");
  EXPECT_TRUE(tags.GetOriginalArtist(v) && v == L"Original");
  EXPECT_TRUE(tags.GetLyrics(v) && v == L"Line one\nLine two");
  EXPECT_TRUE(tags.GetUrl(v) && v == L"https://example.org/song");
  EXPECT_FALSE(tags.GetSource(v));  // never stored in the file
  ASSERT_EQ(tags.GetPictureCount(), 1);
  CPictureTag picture;
  ASSERT_TRUE(tags.GetPicture(0, picture));
  EXPECT_EQ(testing_support::ReadFileBytes(picture.GetFilePath().str()), testing_support::MakePng());
  EXPECT_EQ(picture.GetMimeType(), L"image/png");
  EXPECT_EQ(picture.GetType(), format.typedPictures ? 4 : 3);
  EXPECT_EQ(picture.GetDescription(), format.typedPictures ? L"Back cover" : L"");
}

// The pictures of a file as TagLib itself finds them: (MIME type, bytes).
std::vector<std::pair<std::string, std::string>> TagLibPictures(TagLib::File* file) {
  std::vector<std::pair<std::string, std::string>> out;
  TagLib::ID3v2::Tag* id3 = nullptr;
  if (auto* mpeg = dynamic_cast<TagLib::MPEG::File*>(file)) id3 = mpeg->ID3v2Tag();
  if (auto* wav = dynamic_cast<TagLib::RIFF::WAV::File*>(file)) id3 = wav->ID3v2Tag();
  if (auto* aiff = dynamic_cast<TagLib::RIFF::AIFF::File*>(file)) id3 = aiff->tag();
  TagLib::List<TagLib::FLAC::Picture*> records;
  if (auto* flac = dynamic_cast<TagLib::FLAC::File*>(file)) records = flac->pictureList();
  if (auto* xiph = dynamic_cast<TagLib::Ogg::XiphComment*>(file->tag()); xiph && !records.size())
    records = xiph->pictureList();
  if (id3) {
    for (auto* frame : id3->frameList("APIC")) {
      auto* apic = static_cast<TagLib::ID3v2::AttachedPictureFrame*>(frame);
      out.emplace_back(apic->mimeType().to8Bit(), std::string(apic->picture().data(), apic->picture().size()));
    }
  }
  for (auto* r : records) out.emplace_back(r->mimeType().to8Bit(), std::string(r->data().data(), r->data().size()));
  if (auto* asf = dynamic_cast<TagLib::ASF::File*>(file)) {
    for (const auto& attribute : asf->tag()->attribute("WM/Picture")) {
      const TagLib::ASF::Picture picture = attribute.toPicture();
      out.emplace_back(picture.mimeType().to8Bit(), std::string(picture.picture().data(), picture.picture().size()));
    }
  }
  if (auto* mp4 = dynamic_cast<TagLib::MP4::File*>(file); mp4 && mp4->tag()->contains("covr")) {
    for (const auto& cover : mp4->tag()->item("covr").toCoverArtList())
      out.emplace_back(cover.format() == TagLib::MP4::CoverArt::PNG ? "image/png" : "?",
                       std::string(cover.data().data(), cover.data().size()));
  }
  return out;
}

std::string Property(const TagLib::PropertyMap& map, const char* key) {
  return map.contains(key) ? map[key].toString("|").to8Bit(true) : "<absent>";
}

class TagFileTest : public ::testing::TestWithParam<Format> {
 protected:
  void SetUp() override {
    path_ = folder_ / GetParam().file;
    if (!GetParam().make(path_)) GTEST_SKIP() << "ffmpeg (Debian package ffmpeg) is needed to make this file";
    testing_support::WriteFileBytes(picture_, testing_support::MakePng());
  }

  ScratchFolder folder_;
  ScratchFolder temp_;  // the tag sets' temporary folder
  std::wstring path_;
  std::wstring picture_ = folder_ / L"host-cover.png";
};

// Every field and the picture round trip; the extracted picture is Meridex's
// own copy and goes with the tag set; saving an empty set removes the fields
// and the audio stays readable.
TEST_P(TagFileTest, EveryFieldAndPictureRoundTripsAndAnEmptySetRemovesThem) {
  CTags written(temp_.path());
  FillEverything(written, picture_);
  const Meridex::FileResult saved = written.SaveFile(path_);
  ASSERT_TRUE(saved.ok) << Utf8(saved.message.str());
  EXPECT_TRUE(written.GetFilePath().IsEmpty()) << "saving does not tie an in-memory tag set to the file";

  std::wstring copy;
  {
    CTags read(temp_.path());
    const Meridex::FileResult result = read.ReadFile(path_);
    ASSERT_TRUE(result.ok) << Utf8(result.message.str());
    EXPECT_EQ(read.GetFilePath(), CString(path_));
    CPictureTag picture;
    ASSERT_TRUE(read.GetPicture(0, picture));
    // Known without a file: nothing lies in the temporary folder until the path is asked for.
    EXPECT_EQ(picture.GetSize(), testing_support::MakePng().size());
    int width = 0, height = 0;
    EXPECT_TRUE(picture.GetPixelSize(width, height));
    EXPECT_GT(width, 0);
    EXPECT_TRUE(std::filesystem::is_empty(Utf8(temp_.path())));
    CPictureTag host(picture_, L"image/png", 3, L"", false);
    EXPECT_TRUE(picture.HasSameContent(host));
    EXPECT_TRUE(std::filesystem::is_empty(Utf8(temp_.path())));
    ExpectEverything(read, GetParam());
    copy = picture.GetFilePath().str();
    EXPECT_EQ(copy.rfind(temp_.path(), 0), 0u) << Utf8(copy);
    EXPECT_TRUE(picture.IsOwnedByMeridex());
    EXPECT_TRUE(picture.GetDeleteFlag());
  }
  EXPECT_FALSE(std::filesystem::exists(Utf8(copy)));
  EXPECT_TRUE(std::filesystem::exists(Utf8(picture_))) << "the host's own picture stays";
  {
    // TagLib on its own sees the same values under its common names.
    TagLib::FileRef ref(Utf8(path_).c_str());
    ASSERT_FALSE(ref.isNull());
    const TagLib::PropertyMap map = ref.file()->properties();
    auto* asf = dynamic_cast<TagLib::ASF::File*>(ref.file());
    // ASF has one Author text (artists separated by "; "), and TagLib lists
    // an attribute's values in the reverse of the file's order.
    EXPECT_EQ(Property(map, "ARTIST"), asf ? "Bj\xC3\xB6rk; Kino \xD0\x9A\xD0\xB8\xD0\xBD\xD0\xBE"
                                           : "Bj\xC3\xB6rk|Kino \xD0\x9A\xD0\xB8\xD0\xBD\xD0\xBE");
    EXPECT_EQ(Property(map, "COMPOSER"),
              asf ? "Composer \xF0\x9F\x8E\xB5|Composer One" : "Composer One|Composer \xF0\x9F\x8E\xB5");
    const std::pair<const char*, const char*> kSingle[] = {
        {"TITLE", "T\xC3\xADtulo"},     {"ALBUM", "Album"},      {"GENRE", "Trip-Hop"},
        {"DATE", "2003"},               {"TRACKNUMBER", "7/12"}, {"COMMENT", "A comment"},
        {"COPYRIGHT", "(c) Someone"},   {"ENCODEDBY", "Encoder"}, {"ORIGINALARTIST", "Original"},
        {"LYRICS", "Line one\nLine two"}, {"URL", "https://example.org/song"}};
    for (const auto& [key, value] : kSingle) {
      // TagLib 1.13 has no common name for these two MP4 items: look at them directly.
      if (auto* mp4 = dynamic_cast<TagLib::MP4::File*>(ref.file()); mp4 && (key == "ORIGINALARTIST"s || key == "URL"s)) {
        const auto item = mp4->tag()->item("----:com.apple.iTunes:"s + key);
        EXPECT_EQ(item.toStringList().toString().to8Bit(true), value) << key;
        continue;
      }
      if (asf && (key == "ORIGINALARTIST"s || key == "URL"s)) {  // nor for these ASF attributes
        const auto values = asf->tag()->attribute(key == "URL"s ? "WM/AuthorURL" : "WM/OriginalArtist");
        ASSERT_EQ(values.size(), 1u) << key;
        EXPECT_EQ(values.front().toString().to8Bit(true), value) << key;
        continue;
      }
      // Vorbis comments keep the total in a field of its own.
      const bool xiph = dynamic_cast<TagLib::FLAC::File*>(ref.file()) || dynamic_cast<TagLib::Ogg::File*>(ref.file());
      if (xiph && key == "TRACKNUMBER"s) {
        EXPECT_EQ(Property(map, key), "7");
        EXPECT_EQ(Property(map, "TRACKTOTAL"), "12");
        continue;
      }
      EXPECT_EQ(Property(map, key), value) << key;
    }
    const auto pictures = TagLibPictures(ref.file());
    ASSERT_EQ(pictures.size(), 1u);
    EXPECT_EQ(pictures[0].first, "image/png");
    EXPECT_EQ(pictures[0].second, testing_support::MakePng());
    EXPECT_TRUE(ref.audioProperties() != nullptr);
  }

  {
    // A file whose picture changed after reading hands out no path rather
    // than a picture it no longer holds.
    CTags read(temp_.path());
    ASSERT_TRUE(read.ReadFile(path_).ok);
    CPictureTag picture;
    ASSERT_TRUE(read.GetPicture(0, picture));
    CTags other(temp_.path());
    FillEverything(other, picture_);
    other.RemoveAllPictures();
    testing_support::WriteFileBytes(folder_ / L"other.png", testing_support::MakePng() + "x");
    other.AddPicture(CPictureTag(folder_ / L"other.png", L"image/png", 3, L"", false));
    ASSERT_TRUE(other.SaveFile(path_).ok);
    EXPECT_TRUE(picture.GetFilePath().IsEmpty());
    EXPECT_TRUE(std::filesystem::is_empty(Utf8(temp_.path())));
  }

  ASSERT_TRUE(CTags(temp_.path()).SaveFile(path_).ok);
  CTags empty(temp_.path());
  ASSERT_TRUE(empty.ReadFile(path_).ok);
  CString v;
  EXPECT_EQ(empty.GetArtistCount(), 0);
  EXPECT_FALSE(empty.GetTitle(v));
  EXPECT_FALSE(empty.GetLyrics(v));
  EXPECT_EQ(empty.GetPictureCount(), 0);
  TagLib::FileRef ref(Utf8(path_).c_str());
  ASSERT_FALSE(ref.isNull());
  EXPECT_EQ(Property(ref.file()->properties(), "TITLE"), "<absent>");
  EXPECT_TRUE(TagLibPictures(ref.file()).empty());
  EXPECT_TRUE(ref.audioProperties() != nullptr);
}

INSTANTIATE_TEST_SUITE_P(Formats, TagFileTest, ::testing::ValuesIn(kFormats),
                         [](const auto& info) { return std::string(info.param.name); });

// An MP3 with only an ID3v1 tag at its end.
TEST(TagFileReadTest, Id3v1IsReadWhenThereIsNoId3v2AndKeptInStepOnSave) {
  ScratchFolder folder;
  std::string v1 = "TAG";
  auto field = [&](const std::string& text, std::size_t size) { v1 += text + std::string(size - text.size(), '\0'); };
  field("Old Title", 30);
  field("Old Artist", 30);
  field("Old Album", 30);
  field("1999", 4);
  field("Comment", 28);
  v1 += std::string("\0\x05\x11", 3);  // track 5, genre 17 (Rock)
  const std::wstring path = folder / L"v1.mp3";
  testing_support::WriteFileBytes(path, testing_support::MakeMp3() + v1);

  CTags tags;
  ASSERT_TRUE(tags.ReadFile(path).ok);
  CString v;
  EXPECT_TRUE(tags.GetFirstValidArtist(v) && v == L"Old Artist");
  EXPECT_TRUE(tags.GetTitle(v) && v == L"Old Title");
  EXPECT_TRUE(tags.GetYear(v) && v == L"1999");
  EXPECT_TRUE(tags.GetTrackNumber(v) && v == L"5");
  EXPECT_TRUE(tags.GetGenre(v) && v == L"Rock");

  tags.SetTitle(L"New Title");
  ASSERT_TRUE(tags.SaveFile(path).ok);
  TagLib::MPEG::File file(Utf8(path).c_str());
  ASSERT_TRUE(file.hasID3v1Tag() && file.hasID3v2Tag());
  EXPECT_EQ(file.ID3v1Tag()->title(), "New Title");
  EXPECT_EQ(file.ID3v2Tag()->title(), "New Title");
  EXPECT_EQ(file.ID3v2Tag()->artist(), "Old Artist");
}

TEST(TagFileReadTest, Id3v23StaysVersion3AndForeignFramesStay) {
  ScratchFolder folder;
  const std::wstring path = folder / L"v23.mp3";
  testing_support::WriteFileBytes(path, testing_support::MakeMp3());
  {
    TagLib::MPEG::File file(Utf8(path).c_str());
    file.ID3v2Tag(true)->setTitle("Before");
    TagLib::PropertyMap extra;
    extra["MYFIELD"] = TagLib::StringList("Calm");
    file.ID3v2Tag()->setProperties(extra);
    file.ID3v2Tag()->setTitle("Before");
    ASSERT_TRUE(file.save(TagLib::MPEG::File::ID3v2, TagLib::File::StripOthers, TagLib::ID3v2::v3));
  }
  CTags tags;
  ASSERT_TRUE(tags.ReadFile(path).ok);
  tags.SetTitle(L"After \x00e9");
  tags.AddArtist(L"Someone", false);
  ASSERT_TRUE(tags.SaveFile(path).ok);

  TagLib::MPEG::File file(Utf8(path).c_str());
  ASSERT_TRUE(file.hasID3v2Tag());
  EXPECT_EQ(file.ID3v2Tag()->header()->majorVersion(), 3u);
  EXPECT_EQ(file.ID3v2Tag()->title(), TagLib::String("After \xC3\xA9", TagLib::String::UTF8));
  EXPECT_EQ(file.ID3v2Tag()->properties()["MYFIELD"].toString().to8Bit(), "Calm");
}

TEST(TagFileReadTest, FilesThatAreNotAudioAreRefusedWithAReasonAndTheTagSetStays) {
  ScratchFolder folder;
  const std::pair<std::wstring, std::string> kBad[] = {
      {L"empty.mp3", ""},
      {L"text.mp3", "just some text, not audio at all"},
      {L"truncated.flac", testing_support::MakeFlac().substr(0, 20)},
      {L"truncated.wav", testing_support::MakeWav().substr(0, 30)},
  };
  for (const auto& [name, bytes] : kBad) {
    testing_support::WriteFileBytes(folder / name, bytes);
    CTags tags;
    tags.SetTitle(L"kept");
    const Meridex::FileResult result = tags.ReadFile(folder / name);
    EXPECT_FALSE(result.ok) << Utf8(name) << " " << Utf8(result.message.str());
    EXPECT_NE(result.message.Find(name.c_str()), -1) << Utf8(result.message.str());
    CString v;
    EXPECT_TRUE(tags.GetTitle(v) && v == L"kept") << Utf8(name);
    EXPECT_TRUE(tags.GetFilePath().IsEmpty());
    EXPECT_FALSE(tags.SaveFile(folder / name).ok) << Utf8(name);
    EXPECT_EQ(testing_support::ReadFileBytes(folder / name), bytes) << Utf8(name);
  }
  // MP3 has no signature: junk before the first frame is found past by name.
  testing_support::WriteFileBytes(folder / L"junk.mp3", std::string(100, '\x01') + testing_support::MakeMp3());
  CTags tags;
  EXPECT_TRUE(tags.ReadFile(folder / L"junk.mp3").ok);
  const Meridex::FileResult missing = tags.ReadFile(folder / L"vanished.mp3");
  EXPECT_FALSE(missing.ok);
  EXPECT_NE(missing.message.Find(L"No such file"), -1) << Utf8(missing.message.str());
}

// Hosts tag many files at once: tag sets of different files, read and saved
// on several threads, each with pictures in one shared temporary folder.
TEST(TagFileConcurrencyTest, FilesReadAndSavedOnSeveralThreadsKeepTheirOwnTags) {
  constexpr int kThreads = 4, kRounds = 10;
  ScratchFolder folder;
  ScratchFolder temp;
  testing_support::WriteFileBytes(folder / L"cover.png", testing_support::MakePng());
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      const std::wstring path = folder / (L"song" + std::to_wstring(t) + (t % 2 ? L".flac" : L".mp3"));
      testing_support::WriteFileBytes(path, t % 2 ? testing_support::MakeFlac() : testing_support::MakeMp3());
      for (int round = 0; round < kRounds; ++round) {
        CTags tags(temp.path());
        if (round > 0) {
          ASSERT_TRUE(tags.ReadFile(path).ok);
        }
        const std::wstring title = std::to_wstring(t) + L"/" + std::to_wstring(round);
        tags.SetTitle(title);
        tags.RemoveAllPictures();
        tags.AddPicture(CPictureTag(folder / L"cover.png", L"image/png", 3, title, false));
        ASSERT_TRUE(tags.SaveFile(path).ok);
        CTags back;
        ASSERT_TRUE(back.ReadFile(path).ok);
        CString read;
        CPictureTag picture;
        EXPECT_TRUE(back.GetTitle(read) && read == title);
        EXPECT_TRUE(back.GetPicture(0, picture) && picture.GetDescription() == title);
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(Utf8(temp.path())), {}), 0)
      << "every extracted picture went with its tag set";
}

}  // namespace
