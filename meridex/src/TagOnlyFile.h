// A TagLib file with no format of its own, lending TagLib's tag classes a
// stream to read a tag from (they read through a TagLib::File).
#pragma once

#include <taglib/tfile.h>

namespace Meridex {

class TagOnlyFile : public TagLib::File {
 public:
  explicit TagOnlyFile(TagLib::IOStream* stream) : TagLib::File(stream) {}
  TagLib::Tag* tag() const override { return nullptr; }
  TagLib::AudioProperties* audioProperties() const override { return nullptr; }
  bool save() override { return false; }
};

}  // namespace Meridex
