// Disc numbers, totals, album artist, original date, MusicBrainz ids and the
// audio's length: read from files other programs made, written into each
// format's usual fields and read back by an independent reader (mutagen).
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <map>
#include <string>

#include "meridex/Tags.h"
#include "platform/TextCodec.h"
#include "support/ScratchFolder.h"

namespace {

using Meridex::CTags;

std::string RunCommand(const std::string& command, int& status) {
  std::string text;
  FILE* pipe = ::popen((command + " 2>&1").c_str(), "r");
  if (!pipe) return text;
  std::array<char, 4096> buffer{};
  std::size_t n = 0;
  while ((n = std::fread(buffer.data(), 1, buffer.size(), pipe)) > 0) text.append(buffer.data(), n);
  const int raw = ::pclose(pipe);
  status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
  return text;
}

std::string Tool(const std::string& arguments) {
  return std::string("/usr/bin/python3 '") + NIMBREL_CORPUS_TOOL + "' " + arguments;
}

// mutagen's "KEY=value" lines of a file.
std::map<std::string, std::string> Values(const std::string& path) {
  int status = -1;
  const std::string text = RunCommand(Tool("values '" + path + "'"), status);
  EXPECT_EQ(status, 0) << text;
  std::map<std::string, std::string> out;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    const std::string line = text.substr(start, end - start);
    const std::size_t equals = line.find('=');
    if (equals != std::string::npos) out[line.substr(0, equals)] = line.substr(equals + 1);
    start = end + 1;
  }
  return out;
}

std::string Get(const CTags& tags, bool (CTags::*getter)(CString&) const) {
  CString value;
  (tags.*getter)(value);
  return platform::ToUtf8(value.str());
}

struct Format {
  const char* kind;
  const char* file;
  // What the made file holds: its track number and the ids corpus_tool.py gave it.
  const char* madeTrack;
  const char* madeRecording;
  const char* madeRelease;
  // Where mutagen finds each field after the save: key and expected value.
  std::map<std::string, std::string> written;
  std::vector<std::string> goneWithTheIds;
};

void PrintTo(const Format& f, std::ostream* out) { *out << f.kind; }

const char* const kRecording = "11111111-2222-4333-8444-555555555555";
const char* const kRelease = "22222222-2222-4333-8444-555555555555";
const char* const kGroup = "33333333-2222-4333-8444-555555555555";

class RecordFields : public ::testing::TestWithParam<Format> {};

// Read what others made; write the new fields; mutagen sees them where other
// taggers put them; Meridex reads them back the same; removing the ids
// removes them from the file.
TEST_P(RecordFields, AreReadWrittenWhereOthersPutThemAndRemoved) {
  const Format& f = GetParam();
  testing_support::ScratchFolder folder;
  const std::string path = platform::ToUtf8(folder / platform::FromUtf8(f.file));
  int status = -1;
  const std::string made = RunCommand(Tool(std::string("make ") + f.kind + " '" + path + "'"), status);
  if (status == 77) GTEST_SKIP() << made;
  ASSERT_EQ(status, 0) << made;
  const CString name(platform::FromUtf8(path));

  CTags tags;
  ASSERT_TRUE(tags.ReadFile(name));
  const int length = std::stoi(Values(path)["LENGTH"]);
  // TagLib counts an MP3 encoder's padding frames, mutagen takes them off: tens of milliseconds.
  EXPECT_NEAR(tags.GetLengthMs(), length, 100);
  EXPECT_GT(tags.GetLengthMs(), 0);
  EXPECT_EQ(Get(tags, &CTags::GetTrackNumber), f.madeTrack);
  EXPECT_EQ(Get(tags, &CTags::GetRecordingId), f.madeRecording);
  EXPECT_EQ(Get(tags, &CTags::GetReleaseId), f.madeRelease);

  tags.SetTrackNumber(L"4/9");
  tags.SetDiscNumber(L"2/3");
  tags.SetAlbumArtist(L"Various Artists");
  tags.SetOriginalDate(L"1998-05-01");
  tags.SetRecordingId(platform::FromUtf8(kRecording));
  tags.SetReleaseId(platform::FromUtf8(kRelease));
  tags.SetReleaseGroupId(platform::FromUtf8(kGroup));
  ASSERT_TRUE(tags.SaveFile(name));
  std::map<std::string, std::string> seen = Values(path);
  for (const auto& [key, value] : f.written) EXPECT_EQ(seen[key], value) << key;

  CTags again;
  ASSERT_TRUE(again.ReadFile(name));
  EXPECT_EQ(Get(again, &CTags::GetTrackNumber), "4/9");
  EXPECT_EQ(Get(again, &CTags::GetDiscNumber), "2/3");
  EXPECT_EQ(Get(again, &CTags::GetAlbumArtist), "Various Artists");
  EXPECT_EQ(Get(again, &CTags::GetRecordingId), kRecording);
  EXPECT_EQ(Get(again, &CTags::GetReleaseId), kRelease);
  EXPECT_EQ(Get(again, &CTags::GetReleaseGroupId), kGroup);
  EXPECT_EQ(Get(again, &CTags::GetOriginalDate).substr(0, 4), "1998");

  again.SetRecordingId(L"");
  again.SetReleaseId(L"");
  again.SetReleaseGroupId(L"");
  ASSERT_TRUE(again.SaveFile(name));
  seen = Values(path);
  for (const std::string& key : f.goneWithTheIds) EXPECT_EQ(seen.count(key), 0u) << key;
  for (const auto& [key, value] : f.written) {
    if (std::find(f.goneWithTheIds.begin(), f.goneWithTheIds.end(), key) == f.goneWithTheIds.end()) {
      EXPECT_EQ(seen[key], value) << key << " stays";
    }
  }
}

const std::string kMp4Freeform = "----:com.apple.iTunes:";

INSTANTIATE_TEST_SUITE_P(
    Formats, RecordFields,
    ::testing::Values(
        Format{"mp3-v24", "song.mp3", "3/12", "0a1b2c3d-0000-4000-8000-000000000002",
               "0a1b2c3d-0000-4000-8000-000000000001",
               {{"TRCK", "4/9"}, {"TPOS", "2/3"}, {"TPE2", "Various Artists"}, {"TDOR", "1998-05-01"},
                {"UFID:http://musicbrainz.org", kRecording}, {"TXXX:MusicBrainz Album Id", kRelease},
                {"TXXX:MusicBrainz Release Group Id", kGroup}},
               {"UFID:http://musicbrainz.org", "TXXX:MusicBrainz Album Id", "TXXX:MusicBrainz Release Group Id"}},
        // ID3v2.3 keeps only the year of the original date, in TORY (mutagen shows it as TDOR).
        Format{"mp3-v23", "song.mp3", "3/12", "0a1b2c3d-0000-4000-8000-000000000002",
               "0a1b2c3d-0000-4000-8000-000000000001",
               {{"TPOS", "2/3"}, {"TRCK", "4/9"}, {"TPE2", "Various Artists"}, {"TDOR", "1998"},
                {"UFID:http://musicbrainz.org", kRecording}, {"TXXX:MusicBrainz Album Id", kRelease}},
               {"UFID:http://musicbrainz.org", "TXXX:MusicBrainz Album Id"}},
        Format{"flac", "song.flac", "3", "0a1b2c3d-0000-4000-8000-000000000002", "",
               {{"discnumber", "2"}, {"disctotal", "3"}, {"tracknumber", "4"}, {"tracktotal", "9"},
                {"albumartist", "Various Artists"}, {"originaldate", "1998-05-01"},
                {"musicbrainz_trackid", kRecording}, {"musicbrainz_albumid", kRelease},
                {"musicbrainz_releasegroupid", kGroup}},
               {"musicbrainz_trackid", "musicbrainz_albumid", "musicbrainz_releasegroupid"}},
        Format{"m4a", "song.m4a", "3/12", "0a1b2c3d-0000-4000-8000-000000000002", "",
               {{"disk", "2/3"}, {"trkn", "4/9"}, {"aART", "Various Artists"},
                {kMp4Freeform + "MusicBrainz Track Id", kRecording}, {kMp4Freeform + "MusicBrainz Album Id", kRelease},
                {kMp4Freeform + "MusicBrainz Release Group Id", kGroup}},
               {kMp4Freeform + "MusicBrainz Track Id", kMp4Freeform + "MusicBrainz Album Id",
                kMp4Freeform + "MusicBrainz Release Group Id"}},
        Format{"wma", "song.wma", "3", "0a1b2c3d-0000-4000-8000-000000000002", "",
               {{"WM/PartOfSet", "2/3"}, {"WM/AlbumArtist", "Various Artists"}, {"MusicBrainz/Album Id", kRelease}},
               {"MusicBrainz/Album Id"}}));

}  // namespace
