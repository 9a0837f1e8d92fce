#include "ReadStream.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <utility>

namespace Meridex {

ReadStream::ReadStream(platform::File& file, std::string name)
    : file_(file), name_(std::move(name)), size_(static_cast<long>(std::max<std::int64_t>(0, file.Size()))) {}

const ReadStream::Block* ReadStream::BlockAt(long at) {
  for (const Block& block : kept_)
    if (block.at >= 0 && at >= block.at && at < block.at + static_cast<long>(block.bytes.size())) return &block;
  Block& block = kept_[oldest_];
  oldest_ = (oldest_ + 1) % kept_.size();
  block.at = at / kBlock * kBlock;
  block.bytes.resize(static_cast<std::size_t>(kBlock));
  const std::int64_t n = file_.ReadAt(block.bytes.data(), block.bytes.size(), block.at);
  block.bytes.resize(static_cast<std::size_t>(std::max<std::int64_t>(0, n)));
  if (block.at + static_cast<long>(block.bytes.size()) <= at) {
    block.at = -1;
    return nullptr;
  }
  return &block;
}

TagLib::ByteVector ReadStream::readBlock(unsigned long length) {
  // A length read from a damaged header may be far beyond the file's end.
  const unsigned long wanted = std::min(length, static_cast<unsigned long>(std::max(0L, size_ - position_)));
  TagLib::ByteVector bytes(static_cast<unsigned int>(wanted), '\0');
  unsigned long used = 0;
  while (used < wanted) {
    const long at = position_ + static_cast<long>(used);
    if (wanted - used >= static_cast<unsigned long>(kBlock)) {  // large reads go straight
      const std::int64_t n = file_.ReadAt(bytes.data() + used, wanted - used, at);
      if (n <= 0) break;
      used += static_cast<unsigned long>(n);
      continue;
    }
    const Block* block = BlockAt(at);
    if (!block) break;
    const auto n = std::min(wanted - used, static_cast<unsigned long>(block->at + static_cast<long>(block->bytes.size()) - at));
    if (n == 0) break;
    std::memcpy(bytes.data() + used, block->bytes.data() + (at - block->at), n);
    used += n;
  }
  bytes.resize(static_cast<unsigned int>(used));
  position_ += static_cast<long>(used);
  return bytes;
}

void ReadStream::seek(long offset, Position p) {
  switch (p) {
    case Beginning: position_ = offset; break;
    case Current: position_ += offset; break;
    case End: position_ = size_ + offset; break;
  }
  position_ = std::max(0L, position_);
}

}  // namespace Meridex
