#include "SplicedSave.h"

#include <taglib/id3v1tag.h>
#include <taglib/id3v2framefactory.h>
#include <taglib/id3v2tag.h>
#include <taglib/tbytevectorstream.h>
#include <taglib/tfile.h>
#include <taglib/xiphcomment.h>

#include <algorithm>
#include <vector>

#include "CommentEncoding.h"
#include "Id3Layout.h"
#include "Id3Tags.h"
#include "SyncSafe.h"
#include "TagOnlyFile.h"
#include "XiphTags.h"

namespace Meridex::spliced {

namespace {

using TagLib::ByteVector;

unsigned Byte(const ByteVector& bytes, unsigned at) { return static_cast<unsigned char>(bytes[at]); }

bool ReadAt(TagLib::IOStream& stream, std::int64_t offset, unsigned size, ByteVector& out) {
  stream.seek(static_cast<long>(offset));
  out = stream.readBlock(size);
  return out.size() == size;
}

// The padding a rewritten tag gets, as TagLib gives it: what the old one had
// room for, unless that is nothing or more than 1% of the file (at least
// `least`, at most 1 MB); then `least`.
std::int64_t Padding(std::int64_t room, std::int64_t fileSize, std::int64_t least) {
  const std::int64_t most = std::clamp<std::int64_t>(fileSize / 100, least, 1 << 20);
  return room <= 0 || room > most ? least : room;
}

// ---- ID3v2 in MP3 files ----

struct Frame {
  std::int64_t offset;  // of its header
  std::uint32_t size;   // with its header
  bool picture;
};

// The frames of an ID3v2.3 or 2.4 tag whose frames lie in [begin, end), up
// to its padding; `framesEnd` receives where they stop. False when a frame
// is not what a frame looks like or runs past the tag.
bool Frames(TagLib::IOStream& stream, int version, std::int64_t begin, std::int64_t end, std::vector<Frame>& frames,
            std::int64_t& framesEnd) {
  std::int64_t at = begin;
  ByteVector header;
  while (at + 10 <= end) {
    if (!ReadAt(stream, at, 10, header)) return false;
    if (header[0] == '\0') break;  // padding
    for (unsigned i = 0; i < 4; ++i) {
      const char c = header[i];
      if (!((c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'))) return false;
    }
    std::uint32_t size = header.toUInt(4U, true);
    if (version == 4 && !SyncSafe(header, 4, size)) return false;
    if (size == 0 || at + 10 + size > end) return false;
    if (id3::GarbledFlags(version, static_cast<unsigned char>(header[9]))) return false;
    frames.push_back({at, 10 + size, header.mid(0, 4) == "APIC"});
    at += 10 + size;
  }
  framesEnd = at;
  return true;
}

// Whether an MPEG audio frame header starts within the first bytes after
// `from`, as TagLib needs to take the file for an MP3.
bool AudioFollows(TagLib::IOStream& stream, std::int64_t from) {
  stream.seek(static_cast<long>(from));
  const ByteVector bytes = stream.readBlock(8192);
  for (unsigned i = 0; i + 4 <= bytes.size(); ++i) {
    if (Byte(bytes, i) != 0xFF) continue;
    const unsigned b1 = Byte(bytes, i + 1), b2 = Byte(bytes, i + 2);
    if ((b1 & 0xE0) == 0xE0 && (b1 & 0x18) != 0x08 && (b1 & 0x06) != 0 && (b2 & 0xF0) != 0xF0 && (b2 & 0x0C) != 0x0C)
      return true;
  }
  return false;
}

bool SaveMpeg(TagLib::IOStream& source, std::int64_t size, const FieldChanges& changes, NewContent& made) {
  ByteVector head;
  if (!ReadAt(source, 0, 10, head) || !head.startsWith("ID3")) return false;
  const int version = static_cast<int>(Byte(head, 3));
  std::uint32_t tagSize = 0;
  if ((version != 3 && version != 4) || head[5] != '\0' || !SyncSafe(head, 6, tagSize)) return false;
  const std::int64_t tagEnd = 10 + static_cast<std::int64_t>(tagSize);
  std::vector<Frame> frames;
  std::int64_t framesEnd = 0;
  if (tagEnd > size || !Frames(source, version, 10, tagEnd, frames, framesEnd) || !AudioFollows(source, tagEnd))
    return false;

  // The tags at the end: an ID3v1 tag is kept in step here, an APE tag is TagLib's.
  std::int64_t audioEnd = size;
  ByteVector id3v1, ape;
  if (size - tagEnd >= 128 && ReadAt(source, size - 128, 128, id3v1) && id3v1.startsWith("TAG"))
    audioEnd -= 128;
  else
    id3v1.clear();
  if (audioEnd - tagEnd >= 32 && ReadAt(source, audioEnd - 32, 8, ape) && ape == "APETAGEX") return false;

  // The tag without its pictures, through TagLib.
  ByteVector stripped = head;
  std::int64_t pictureBytes = 0;
  for (const Frame& frame : frames) {
    if (frame.picture) {
      pictureBytes += frame.size;
      continue;
    }
    ByteVector bytes;
    if (!ReadAt(source, frame.offset, frame.size, bytes)) return false;
    stripped.append(bytes);
  }
  if (pictureBytes == 0) return false;
  const ByteVector strippedSize = SyncSafeBytes(stripped.size() - 10);
  for (unsigned i = 0; i < 4; ++i) stripped[6 + i] = strippedSize[i];
  if (id3::HoldsFramesTagLibGarbles(stripped)) return false;
  TagLib::ByteVectorStream tagStream(stripped);
  TagOnlyFile tagFile(&tagStream);
  TagLib::ID3v2::Tag tag(&tagFile, 0, TagLib::ID3v2::FrameFactory::instance());
  if (!id3::Write(changes, nullptr, tag)) return false;
  const ByteVector rendered = tag.render(version == 3 ? TagLib::ID3v2::v3 : TagLib::ID3v2::v4);
  TagLib::ByteVectorStream renderedStream(rendered);
  std::vector<Frame> renderedFrames;
  std::int64_t renderedEnd = 0;
  if (rendered.size() < 10 || !Frames(renderedStream, version, 10, rendered.size(), renderedFrames, renderedEnd))
    return false;

  const std::int64_t needed = (renderedEnd - 10) + pictureBytes;
  const std::int64_t newSize = needed + Padding(tagSize - needed, size, 1024);
  if (newSize >= (1 << 28)) return false;
  made.Add(ContentPiece::Bytes(rendered.mid(0, 6) + SyncSafeBytes(static_cast<std::uint32_t>(newSize)) +
                               rendered.mid(10, static_cast<unsigned>(renderedEnd - 10))));
  for (const Frame& frame : frames)
    if (frame.picture) made.Add(ContentPiece::Range(frame.offset, frame.size));
  made.Add(ContentPiece::Bytes(ByteVector(static_cast<unsigned>(newSize - needed), '\0')));
  made.Add(ContentPiece::Range(tagEnd, audioEnd - tagEnd));
  if (!id3v1.isEmpty()) {
    TagLib::ByteVectorStream v1Stream(id3v1);
    TagOnlyFile v1File(&v1Stream);
    TagLib::ID3v1::Tag v1(&v1File, 0);
    id3::WriteBasic(changes, v1);
    if (!v1.isEmpty()) made.Add(ContentPiece::Bytes(v1.render()));  // TagLib drops an emptied one
  }
  return true;
}

// ---- FLAC ----

constexpr unsigned kStreamInfo = 0, kPadding = 1, kComment = 4, kPicture = 6;

struct Block {
  unsigned type;
  std::int64_t offset;  // of its data
  std::uint32_t length;
};

ByteVector BlockHeader(unsigned type, std::uint32_t length) {
  ByteVector header = ByteVector::fromUInt(length, true);
  header[0] = static_cast<char>(type);
  return header;
}

bool SaveFlac(TagLib::IOStream& source, std::int64_t size, const FieldChanges& changes, NewContent& made) {
  ByteVector bytes;
  if (!ReadAt(source, 0, 4, bytes) || bytes != "fLaC") return false;
  std::vector<Block> blocks;
  std::int64_t at = 4;
  for (bool last = false; !last;) {
    if (!ReadAt(source, at, 4, bytes)) return false;
    last = (Byte(bytes, 0) & 0x80) != 0;
    const unsigned type = Byte(bytes, 0) & 0x7F;
    const std::uint32_t length = bytes.toUInt(0U, true) & 0xFFFFFF;
    if (type == 127 || (length == 0 && type != kPadding) || at + 4 + length > size) return false;
    blocks.push_back({type, at + 4, length});
    at += 4 + length;
  }
  const std::int64_t streamStart = at;
  const auto count = [&](unsigned type) {
    return std::count_if(blocks.begin(), blocks.end(), [&](const Block& b) { return b.type == type; });
  };
  // A stream description with a sample rate, one comment, some picture; no ID3v1 tag at the end.
  if (blocks.front().type != kStreamInfo || blocks.front().length < 18 || count(kComment) != 1 ||
      count(kPicture) == 0)
    return false;
  // The sample rate: the first 20 of these 24 bits.
  if (!ReadAt(source, blocks.front().offset + 10, 3, bytes) || (bytes.toUInt(0U, true) >> 4) == 0) return false;
  if (size - streamStart >= 128 && ReadAt(source, size - 128, 3, bytes) && bytes == "TAG") return false;

  const Block& commentBlock = *std::find_if(blocks.begin(), blocks.end(), [](const Block& b) { return b.type == kComment; });
  if (!ReadAt(source, commentBlock.offset, commentBlock.length, bytes) || !xiph::FieldsAreUtf8(bytes)) return false;
  TagLib::Ogg::XiphComment comment(bytes);
  xiph::Write(changes, comment);
  const ByteVector rendered = comment.render(false);
  if (rendered.size() > 0xFFFFFF) return false;

  // The blocks in their order without padding, the comment anew; then
  // padding, marked as the last block; then the audio.
  made.Add(ContentPiece::Bytes(ByteVector("fLaC", 4)));
  std::int64_t written = 0;
  for (const Block& block : blocks) {
    if (block.type == kPadding) continue;
    if (block.type == kComment) {
      made.Add(ContentPiece::Bytes(BlockHeader(kComment, rendered.size()) + rendered));
      written += 4 + rendered.size();
    } else {
      made.Add(ContentPiece::Bytes(BlockHeader(block.type, block.length)));
      made.Add(ContentPiece::Range(block.offset, block.length));
      written += 4 + block.length;
    }
  }
  const std::int64_t padding = Padding(streamStart - 4 - written - 4, size, 4096);
  made.Add(ContentPiece::Bytes(BlockHeader(kPadding | 0x80, static_cast<std::uint32_t>(padding)) +
                               ByteVector(static_cast<unsigned>(padding), '\0')));
  made.Add(ContentPiece::Range(streamStart, size - streamStart));
  return true;
}

}  // namespace

bool Save(TagLib::IOStream& source, MediaFormat format, std::int64_t size, const FieldChanges& changes,
          NewContent& made) {
  switch (format) {
    case MediaFormat::kMpeg: return SaveMpeg(source, size, changes, made);
    case MediaFormat::kFlac: return SaveFlac(source, size, changes, made);
    default: return false;
  }
}

}  // namespace Meridex::spliced
