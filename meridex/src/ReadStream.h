// A file open for reading seen as a read-only TagLib stream, for reading
// tags and for what a save parses of the file it replaces (whose identity,
// size included, was taken before): its size is taken once and its bytes come in aligned blocks, the
// last few kept in memory, so that TagLib's many small reads, its returns
// to the start and the end of the file, and its repeated questions for the
// length cost no system call each (as they do through TagLib's own file
// stream). The bytes read are the same.
#pragma once

#include <taglib/tiostream.h>

#include <array>
#include <string>

#include "platform/File.h"

namespace Meridex {

class ReadStream : public TagLib::IOStream {
 public:
  // `name` is the file's native path, for TagLib's messages.
  ReadStream(platform::File& file, std::string name);

  TagLib::FileName name() const override { return name_.c_str(); }
  // Up to `length` bytes from the position; fewer at the end or on an error.
  TagLib::ByteVector readBlock(unsigned long length) override;
  void writeBlock(const TagLib::ByteVector&) override {}
  void insert(const TagLib::ByteVector&, unsigned long, unsigned long) override {}
  void removeBlock(unsigned long, unsigned long) override {}
  bool readOnly() const override { return true; }
  bool isOpen() const override { return file_.IsOpen(); }
  void seek(long offset, Position p = Beginning) override;
  long tell() const override { return position_; }
  long length() override { return size_; }
  void truncate(long) override {}

 private:
  static constexpr long kBlock = 8192;
  struct Block {
    long at = -1;
    std::string bytes;
  };
  // The block holding `at`, read when none of those kept does; null past the end or on an error.
  const Block* BlockAt(long at);

  platform::File& file_;
  std::string name_;
  long size_ = 0;
  long position_ = 0;
  std::array<Block, 4> kept_;
  std::size_t oldest_ = 0;  // the next to be replaced
};

}  // namespace Meridex
