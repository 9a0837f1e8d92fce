#include "CommentEncoding.h"

#include <taglib/opusfile.h>
#include <taglib/tbytevectorstream.h>
#include <taglib/vorbisfile.h>

#include <cstdint>

namespace Meridex::xiph {

namespace {

using TagLib::ByteVector;

unsigned Byte(const ByteVector& bytes, std::uint64_t at) { return static_cast<unsigned char>(bytes[static_cast<unsigned>(at)]); }

// Whether bytes [begin, end) are UTF-8: each lead byte followed by as many
// continuation bytes as it announces.
bool Utf8(const ByteVector& bytes, std::uint64_t begin, std::uint64_t end) {
  for (std::uint64_t at = begin; at < end;) {
    const unsigned lead = Byte(bytes, at++);
    const unsigned more = lead < 0x80 ? 0 : (lead & 0xE0) == 0xC0 ? 1 : (lead & 0xF0) == 0xE0 ? 2 : (lead & 0xF8) == 0xF0 ? 3 : 4;
    if (more == 4 || lead == 0xC0 || lead == 0xC1 || at + more > end) return false;
    for (unsigned i = 0; i < more; ++i)
      if ((Byte(bytes, at++) & 0xC0) != 0x80) return false;
  }
  return true;
}

// The data of the first comment block of a FLAC file (past a leading ID3v2 tag).
ByteVector FlacComment(const ByteVector& content) {
  std::uint64_t at = 0;
  if (content.size() >= 10 && content.startsWith("ID3")) {
    at = 10;
    for (unsigned i = 6; i < 10; ++i) at += static_cast<std::uint64_t>(content[i] & 0x7F) << (7 * (9 - i));
    if (content[5] & 0x10) at += 10;  // a footer
  }
  if (at + 4 > content.size() || content.mid(static_cast<unsigned>(at), 4) != "fLaC") return {};
  for (at += 4; at + 4 <= content.size();) {
    const unsigned flags = Byte(content, at);
    const std::uint64_t length = content.toUInt(static_cast<unsigned>(at), true) & 0xFFFFFF;
    if ((flags & 0x7F) == 4) return content.mid(static_cast<unsigned>(at + 4), static_cast<unsigned>(length));
    at += 4 + length;
    if (flags & 0x80) break;
  }
  return {};
}

// Whether every UTF-8 text ("data" box of type 1) of the MP4 item list in
// the boxes [begin, end) is UTF-8.
bool Mp4TextsAreUtf8(const ByteVector& content, std::uint64_t begin, std::uint64_t end, int depth) {
  static const char* const kPath[] = {"moov", "udta", "meta", "ilst"};
  for (std::uint64_t at = begin; at + 8 <= end;) {
    const std::uint64_t size = content.toUInt(static_cast<unsigned>(at), true);
    if (size < 8 || size > end - at) return true;  // not for this check to judge
    const ByteVector type = content.mid(static_cast<unsigned>(at + 4), 4);
    if (depth < 4 && type == kPath[depth]) {
      const std::uint64_t body = at + 8 + (depth == 2 ? 4 : 0);  // "meta" has a version and flags
      if (!Mp4TextsAreUtf8(content, body, at + size, depth + 1)) return false;
    } else if (depth == 4) {  // an item: its "data" boxes
      for (std::uint64_t box = at + 8; box + 16 <= at + size;) {
        const std::uint64_t length = content.toUInt(static_cast<unsigned>(box), true);
        if (length < 8 || length > at + size - box) break;
        if (content.mid(static_cast<unsigned>(box + 4), 4) == "data" && length >= 16 &&
            (content.toUInt(static_cast<unsigned>(box + 8), true) & 0xFFFFFF) == 1 &&
            !Utf8(content, box + 16, box + length))
          return false;
        box += length;
      }
    }
    at += size;
  }
  return true;
}

}  // namespace

bool IsUtf8(const ByteVector& text) { return Utf8(text, 0, text.size()); }

bool FieldsAreUtf8(const ByteVector& comment) {
  const std::uint64_t size = comment.size();
  if (size < 4) return true;
  std::uint64_t at = 4 + static_cast<std::uint64_t>(comment.toUInt(0U, false));  // past the vendor string
  if (at + 4 > size) return true;
  const std::uint64_t fields = comment.toUInt(static_cast<unsigned>(at), false);
  at += 4;
  for (std::uint64_t i = 0; i < fields && at + 4 <= size; ++i) {
    const std::uint64_t length = comment.toUInt(static_cast<unsigned>(at), false);
    at += 4;
    if (at + length > size) break;  // cut short: TagLib stops there too
    if (!Utf8(comment, at, at + length)) return false;
    at += length;
  }
  return true;
}

bool FileFieldsAreUtf8(const ByteVector& content, MediaFormat format) {
  if (format == MediaFormat::kFlac) return FieldsAreUtf8(FlacComment(content));
  if (format == MediaFormat::kMp4) return Mp4TextsAreUtf8(content, 0, content.size(), 0);
  if (format != MediaFormat::kOggVorbis && format != MediaFormat::kOpus) return true;
  TagLib::ByteVectorStream stream(content);
  ByteVector packet;
  unsigned skip = 0;
  if (format == MediaFormat::kOggVorbis) {
    TagLib::Ogg::Vorbis::File file(&stream, false);
    packet = file.packet(1);
    skip = 7;  // "\x03vorbis"
  } else {
    TagLib::Ogg::Opus::File file(&stream, false);
    packet = file.packet(1);
    skip = 8;  // "OpusTags"
  }
  return packet.size() < skip || FieldsAreUtf8(packet.mid(skip));
}

}  // namespace Meridex::xiph
