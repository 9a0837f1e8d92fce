// The stream-header length reader on damaged and hostile input: never a
// crash, a bounded number of bytes read, no length made up; and exact on
// frames built here with tags before and after them.
#include <gtest/gtest.h>
#include <taglib/tbytevectorstream.h>

#include <random>
#include <string>

#include "StreamLength.h"
#include "support/AudioSamples.h"

namespace {

using Meridex::MediaFormat;
using Meridex::StreamLength;

// A stream in memory that counts the bytes handed out.
class CountingStream : public TagLib::ByteVectorStream {
 public:
  explicit CountingStream(const std::string& bytes)
      : TagLib::ByteVectorStream(TagLib::ByteVector(bytes.data(), static_cast<unsigned>(bytes.size()))) {}
  TagLib::ByteVector readBlock(unsigned long length) override {
    TagLib::ByteVector block = TagLib::ByteVectorStream::readBlock(length);
    read += block.size();
    return block;
  }
  std::size_t read = 0;
};

StreamLength Of(const std::string& bytes, MediaFormat format, std::size_t* read = nullptr) {
  CountingStream stream(bytes);
  const StreamLength length = StreamLength::Of(stream, format);
  if (read) *read = stream.read;
  return length;
}

std::string Id3v2(std::uint32_t size) {
  std::string tag("ID3\x03\x00\x00", 6);
  for (int shift = 21; shift >= 0; shift -= 7) tag += static_cast<char>((size >> shift) & 0x7F);
  return tag;
}

std::string ApeTag(std::size_t items) {
  auto le32 = [](std::uint32_t v) {
    std::string out;
    for (int i = 0; i < 4; ++i) out += static_cast<char>((v >> (8 * i)) & 0xFF);
    return out;
  };
  const auto size = static_cast<std::uint32_t>(items + 32);
  const std::string header = "APETAGEX" + le32(2000) + le32(size) + le32(1) + le32(0xA0000000u) + std::string(8, '\0');
  const std::string footer = "APETAGEX" + le32(2000) + le32(size) + le32(1) + le32(0x80000000u) + std::string(8, '\0');
  return header + std::string(items, 'a') + footer;
}

constexpr MediaFormat kRead[] = {MediaFormat::kMpeg, MediaFormat::kFlac, MediaFormat::kMp4, MediaFormat::kOggVorbis,
                                 MediaFormat::kOpus};

// 200 frames of 1152 samples at 44.1 kHz, with no Xing frame: the length
// comes from the audio's bytes, which the tags around it must not add to.
TEST(StreamLengthTest, Mp3LengthLeavesOutTheTagsAroundTheAudio) {
  const std::string frames = testing_support::MakeMp3(200);
  const std::int64_t ms = 200 * 1152 * 1000 / 44100;
  EXPECT_EQ(Of(frames, MediaFormat::kMpeg).ms, ms);
  std::string id3v1 = "TAG" + std::string(125, ' ');
  const std::string tagged = Id3v2(5000) + std::string(5000, '\0') + frames + ApeTag(3000) + id3v1;
  const StreamLength length = Of(tagged, MediaFormat::kMpeg);
  EXPECT_TRUE(length.found);
  EXPECT_EQ(length.ms, ms);
  // Padding after the ID3v2 tag, before the first frame.
  EXPECT_EQ(Of(Id3v2(100) + std::string(1100, '\0') + frames, MediaFormat::kMpeg).ms, ms);
  EXPECT_EQ(Of(testing_support::MakeFlac(), MediaFormat::kFlac).ms, 192 * 1000 / 44100);
}

TEST(StreamLengthTest, GarbageGivesNoLengthAndIsReadOnlyInBoundedParts) {
  std::mt19937 random(7);
  std::string noise(1 << 20, '\0');
  for (char& c : noise) c = static_cast<char>(random());
  std::string huge = Id3v2(0x0FFFFFFF) + std::string(1000, 'x');
  std::string mp4 = std::string("\xFF\xFF\xFF\xFF", 4) + "moov" + std::string(1000, '\x01');
  std::string mp4Nested = std::string("\0\0\0\x40moov\0\0\0\x01trak\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFF", 24) + std::string(40, '\0');
  std::string ogg = std::string("OggS\0\x02", 6) + std::string(20, '\0') + std::string(1, '\xFF') + std::string(100, '\xFF');
  const std::string inputs[] = {std::string(),
                                std::string(1 << 20, '\0'),
                                std::string(1 << 20, '\xFF'),
                                noise,
                                huge,
                                Id3v2(10) + std::string(1 << 20, '\0'),
                                mp4,
                                mp4Nested,
                                ogg,
                                std::string("fLaC\0\0\0\x22", 8) + std::string(10, '\0')};
  for (const std::string& input : inputs) {
    for (MediaFormat format : kRead) {
      std::size_t read = 0;
      const StreamLength length = Of(input, format, &read);
      EXPECT_EQ(length.ms, 0) << "format " << static_cast<int>(format) << ", input of " << input.size();
      EXPECT_LT(read, 200u * 1024) << "format " << static_cast<int>(format) << ", input of " << input.size();
    }
  }
}

// Every cut of a few frames and of FLAC's header: no crash, never longer.
TEST(StreamLengthTest, TruncatedHeadersAreSafe) {
  const std::string mp3 = Id3v2(20) + std::string(20, '\0') + testing_support::MakeMp3(3);
  const std::string flac = testing_support::MakeFlac();
  for (std::size_t cut = 0; cut < mp3.size(); ++cut)
    EXPECT_LE(Of(mp3.substr(0, cut), MediaFormat::kMpeg).ms, 3 * 1152 * 1000 / 44100) << cut;
  for (std::size_t cut = 0; cut < 42; ++cut) EXPECT_FALSE(Of(flac.substr(0, cut), MediaFormat::kFlac).found) << cut;
}

}  // namespace
