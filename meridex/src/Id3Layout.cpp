#include "Id3Layout.h"

#include "CommentEncoding.h"
#include "SyncSafe.h"
#include "TagOnlyFile.h"

#include <taglib/id3v2frame.h>
#include <taglib/id3v2framefactory.h>
#include <taglib/id3v2tag.h>
#include <taglib/tbytevectorstream.h>
#include <taglib/tfile.h>

#include <cstdint>

namespace Meridex::id3 {

namespace {

using TagLib::ByteVector;

constexpr unsigned char kUnsynchronised = 0x80, kExtendedHeader = 0x40, kFooter = 0x10;

unsigned Byte(const ByteVector& bytes, unsigned at) { return static_cast<unsigned char>(bytes[at]); }

// The version and size of the leading tag; false when there is none.
bool Header(const ByteVector& content, int& version, std::uint32_t& size) {
  if (content.size() < 10 || !content.startsWith("ID3")) return false;
  version = static_cast<int>(Byte(content, 3));
  return (version == 3 || version == 4) && SyncSafe(content, 6, size) && 10 + size <= content.size();
}

// Removes the unsynchronisation of `body`: each 0xFF 0x00 becomes 0xFF.
ByteVector Resynchronised(const ByteVector& body) {
  ByteVector out;
  for (unsigned i = 0; i < body.size(); ++i) {
    out.append(body[i]);
    if (Byte(body, i) == 0xFF && i + 1 < body.size() && body[i + 1] == '\0') ++i;
  }
  return out;
}

// Frame::header() is protected; a member pointer taken through a derived
// class reaches it on any frame.
struct HeaderAccess : TagLib::ID3v2::Frame {
  static constexpr auto kHeader = &HeaderAccess::header;
};

// Whether TagLib, which writes an ID3v2.2 tag as 2.4, would drop some of
// its frames: those 2.4 has no place for (volume, time and date of day,
// frames it does not know), which it marks to be discarded.
bool DropsVersion2Frames(const ByteVector& tagBytes) {
  TagLib::ByteVectorStream stream(tagBytes);
  TagOnlyFile file(&stream);
  TagLib::ID3v2::Tag tag(&file, 0, TagLib::ID3v2::FrameFactory::instance());
  for (TagLib::ID3v2::Frame* frame : tag.frameList()) {
    const auto* header = (frame->*HeaderAccess::kHeader)();
    if (header && header->tagAlterPreservation()) return true;
  }
  return false;
}

}  // namespace

bool NeedsNormalising(const ByteVector& head) {
  if (head.size() < 10 || !head.startsWith("ID3")) return false;
  const unsigned version = Byte(head, 3), flags = Byte(head, 5);
  return (version == 3 && (flags & kExtendedHeader)) || (version == 4 && (flags & kFooter));
}

void NormaliseLayout(ByteVector& content) {
  int version = 0;
  std::uint32_t size = 0;
  if (!NeedsNormalising(content) || !Header(content, version, size)) return;
  unsigned flags = Byte(content, 5);
  ByteVector body = content.mid(10, size);
  ByteVector rest = content.mid(10 + size);
  if (version == 3) {
    if (flags & kUnsynchronised) body = Resynchronised(body);
    // Its size excludes its own four bytes: 6, or 10 with a checksum.
    const std::uint32_t extended = body.size() >= 4 ? body.toUInt(0U, true) : 0;
    if ((extended != 6 && extended != 10) || 4 + extended > body.size()) return;
    body = body.mid(4 + extended);
    flags &= ~(kUnsynchronised | kExtendedHeader);
  } else {
    if (!rest.startsWith("3DI")) return;
    rest = rest.mid(10);
    flags &= ~kFooter;
  }
  ByteVector header = content.mid(0, 10);
  header[5] = static_cast<char>(flags);
  content = header.mid(0, 6) + SyncSafeBytes(body.size()) + body + rest;
}

bool GarbledFlags(int version, unsigned char formatFlags) {
  return version == 3 ? (formatFlags & 0x60) != 0 : (formatFlags & 0x44) != 0;
}

bool HoldsFramesTagLibGarbles(const ByteVector& content) {
  int version = 0;
  std::uint32_t size = 0;
  if (content.size() >= 10 && content.startsWith("ID3") && Byte(content, 3) == 2 && SyncSafe(content, 6, size) &&
      10 + size <= content.size())
    return DropsVersion2Frames(content.mid(0, 10 + size));
  if (!Header(content, version, size)) return false;
  ByteVector body = content.mid(10, size);
  // A 2.3 tag is unsynchronised as a whole, a 2.4 tag frame by frame.
  if (version == 3 && (Byte(content, 5) & kUnsynchronised)) body = Resynchronised(body);
  std::uint64_t at = 0;
  if (Byte(content, 5) & kExtendedHeader) {
    std::uint32_t extended = 0;
    if (body.size() < 4) return false;
    if (version == 3)
      extended = 4 + body.toUInt(0U, true);
    else if (!SyncSafe(body, 0, extended))
      return false;
    at = extended;
  }
  while (at + 10 <= body.size() && body[static_cast<unsigned>(at)] != '\0') {
    const auto frame = static_cast<unsigned>(at);
    std::uint32_t frameSize = body.toUInt(frame + 4, true);
    if (version == 4 && !SyncSafe(body, frame + 4, frameSize)) return false;
    if (GarbledFlags(version, static_cast<unsigned char>(body[frame + 9]))) return true;
    // A text frame saying UTF-8 (2.4's encoding 3) that is not: TagLib empties it.
    if (version == 4 && body[frame + 9] == '\0' && frameSize > 0 && frame + 10 + frameSize <= body.size() &&
        (body[frame] == 'T' || body.mid(frame, 4) == "COMM" || body.mid(frame, 4) == "USLT") &&
        body[frame + 10] == '\3' && !xiph::IsUtf8(body.mid(frame + 11, frameSize - 1)))
      return true;
    at += 10 + frameSize;
  }
  return false;
}

}  // namespace Meridex::id3
