#include "AsfContentDescription.h"

#include <taglib/tiostream.h>

#include <cstdint>

namespace Meridex::asf {

namespace {

using TagLib::ByteVector;

const ByteVector kHeaderGuid("\x30\x26\xB2\x75\x8E\x66\xCF\x11\xA6\xD9\x00\xAA\x00\x62\xCE\x6C", 16);
const ByteVector kObjectGuid("\x33\x26\xB2\x75\x8E\x66\xCF\x11\xA6\xD9\x00\xAA\x00\x62\xCE\x6C", 16);
constexpr unsigned kHeaderFixed = 30;  // GUID, size, object count, two reserved bytes
constexpr unsigned kObjectFixed = 24;  // GUID, size

// Where the header's content description object lies.
struct Located {
  bool headerRead = false;
  std::uint64_t headerSize = 0;
  unsigned count = 0;
  long offset = 0;  // 0: the header has none
  std::uint64_t size = 0;
};

Located Locate(TagLib::IOStream& stream) {
  Located at;
  stream.seek(0);
  const ByteVector fixed = stream.readBlock(kHeaderFixed);
  if (fixed.size() != kHeaderFixed || fixed.mid(0, 16) != kHeaderGuid) return at;
  at.headerSize = fixed.toLongLong(16, false);
  at.count = fixed.toUInt(24, false);
  const auto length = static_cast<std::uint64_t>(stream.length());
  if (at.headerSize < kHeaderFixed || at.headerSize > length) return at;
  std::uint64_t offset = kHeaderFixed;
  for (unsigned i = 0; i < at.count; ++i) {
    if (offset + kObjectFixed > at.headerSize) return at;
    stream.seek(static_cast<long>(offset));
    const ByteVector object = stream.readBlock(kObjectFixed);
    const std::uint64_t size = object.size() == kObjectFixed ? object.toLongLong(16, false) : 0;
    if (size < kObjectFixed || size > at.headerSize - offset) return at;
    if (object.mid(0, 16) == kObjectGuid && at.offset == 0) {
      at.offset = static_cast<long>(offset);
      at.size = size;
    }
    offset += size;
  }
  at.headerRead = true;
  return at;
}

// The texts of the object at `at`; false when its lengths overrun it.
bool Texts(TagLib::IOStream& stream, const Located& at, std::array<ByteVector, ContentDescription::kTextCount>& out) {
  stream.seek(at.offset);
  const ByteVector object = stream.readBlock(static_cast<unsigned long>(at.size));
  unsigned position = kObjectFixed + 2 * ContentDescription::kTextCount;
  if (object.size() != at.size || position > object.size()) return false;
  for (unsigned i = 0; i < ContentDescription::kTextCount; ++i) {
    const unsigned length = object.toUShort(kObjectFixed + 2 * i, false);
    if (position + length > object.size()) return false;
    out[i] = object.mid(position, length);
    position += length;
  }
  return true;
}

// A text that holds nothing but its terminator (or zeros) is no text.
bool Empty(const ByteVector& text) {
  for (const char c : text)
    if (c != 0) return false;
  return true;
}

}  // namespace

ContentDescription ContentDescription::Read(TagLib::IOStream& stream) {
  ContentDescription description;
  const Located at = Locate(stream);
  description.present_ = at.headerRead && at.offset != 0;
  description.known_ = at.headerRead && (at.offset == 0 || Texts(stream, at, description.texts_));
  return description;
}

bool ContentDescription::Restore(TagLib::IOStream& stream, const std::array<bool, kTextCount>& changed) const {
  if (!known_) return true;  // what TagLib made of a header this cannot read stays
  const Located at = Locate(stream);
  if (!at.headerRead) return false;
  std::array<ByteVector, kTextCount> saved;
  if (at.offset != 0 && !Texts(stream, at, saved)) return false;
  std::array<ByteVector, kTextCount> texts;
  bool any = false;
  for (unsigned i = 0; i < kTextCount; ++i) {
    texts[i] = changed[i] ? (Empty(saved[i]) ? ByteVector() : saved[i]) : texts_[i];
    any = any || !texts[i].isEmpty();
  }
  ByteVector object;
  if (present_ || any) {
    ByteVector body;
    for (const ByteVector& text : texts) body.append(ByteVector::fromShort(static_cast<short>(text.size()), false));
    for (const ByteVector& text : texts) body.append(text);
    object = kObjectGuid;
    object.append(ByteVector::fromLongLong(static_cast<long long>(kObjectFixed + body.size()), false));
    object.append(body);
  }
  // Where the saved header has none, a new one goes at its end.
  const long offset = at.offset != 0 ? at.offset : static_cast<long>(at.headerSize);
  const unsigned long replaced = at.offset != 0 ? static_cast<unsigned long>(at.size) : 0;
  if (object.isEmpty() && replaced == 0) return true;
  if (replaced != 0) {
    stream.seek(offset);
    if (stream.readBlock(replaced) == object) return true;
  }
  stream.insert(object, static_cast<unsigned long>(offset), replaced);
  const unsigned count = at.count + (object.isEmpty() ? 0u : 1u) - (replaced != 0 ? 1u : 0u);
  ByteVector fixed = ByteVector::fromLongLong(static_cast<long long>(at.headerSize - replaced + object.size()), false);
  fixed.append(ByteVector::fromUInt(count, false));
  stream.seek(16);
  stream.writeBlock(fixed);
  return true;
}

}  // namespace Meridex::asf
