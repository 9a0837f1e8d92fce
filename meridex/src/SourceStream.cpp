#include "SourceStream.h"

#include <algorithm>
#include <cstdint>

namespace Meridex {

TagLib::ByteVector SourceStream::readBlock(unsigned long length) {
  // A length read from a damaged header may be far beyond the file's end.
  const long left = std::max(0L, this->length() - position_);
  const auto wanted = static_cast<unsigned int>(std::min<unsigned long>(length, static_cast<unsigned long>(left)));
  TagLib::ByteVector bytes(wanted, '\0');
  std::size_t used = 0;
  if (file_.Seek(position_, 0) == position_) {
    while (used < wanted) {
      const std::int64_t n = file_.Read(bytes.data() + used, wanted - used);
      if (n <= 0) break;
      used += static_cast<std::size_t>(n);
    }
  }
  bytes.resize(static_cast<unsigned int>(used));
  position_ += static_cast<long>(used);
  return bytes;
}

void SourceStream::seek(long offset, Position p) {
  switch (p) {
    case Beginning: position_ = offset; break;
    case Current: position_ += offset; break;
    case End: position_ = length() + offset; break;
  }
  position_ = std::max(0L, position_);
}

long SourceStream::length() { return static_cast<long>(std::max<std::int64_t>(0, file_.Size())); }

}  // namespace Meridex
