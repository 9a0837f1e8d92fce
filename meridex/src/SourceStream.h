// A file open for reading, seen as a read-only TagLib stream: what is parsed
// of a file being saved comes from the very file whose identity was taken.
#pragma once

#include <taglib/tiostream.h>

#include "platform/File.h"

namespace Meridex {

class SourceStream : public TagLib::IOStream {
 public:
  explicit SourceStream(platform::File& file) : file_(file) {}

  TagLib::FileName name() const override { return ""; }
  // Up to `length` bytes from the position; fewer at the end or on an error.
  TagLib::ByteVector readBlock(unsigned long length) override;
  void writeBlock(const TagLib::ByteVector&) override {}
  void insert(const TagLib::ByteVector&, unsigned long, unsigned long) override {}
  void removeBlock(unsigned long, unsigned long) override {}
  bool readOnly() const override { return true; }
  bool isOpen() const override { return file_.IsOpen(); }
  void seek(long offset, Position p = Beginning) override;
  long tell() const override { return position_; }
  long length() override;
  void truncate(long) override {}

 private:
  platform::File& file_;
  long position_ = 0;
};

}  // namespace Meridex
