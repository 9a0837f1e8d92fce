// Which fields of a tag set a save has to write into a file: all of them
// into a file the tag set was not read from, only the changed ones into the
// file it was read from.
#pragma once

#include "TagsState.h"

namespace Meridex {

class FieldChanges {
 public:
  // `read`: what the file held when the tag set was read; null to write all.
  FieldChanges(const FieldValues& values, const ReadState* read) : values_(values), read_(read) {}

  const FieldValues& Values() const { return values_; }
  const std::vector<CString>& operator[](CTags::Field field) const { return values_[field]; }

  // For the main tag (ID3v2, Vorbis comment, MP4 items): true unless the
  // field holds what that tag gave when read.
  bool Changed(CTags::Field field) const { return !FromMain() || values_[field] != read_->values[field]; }
  bool ArtistsChanged() const { return !FromMain() || values_.artists != read_->values.artists; }
  bool ComposersChanged() const { return !FromMain() || values_.composers != read_->values.composers; }

  // For a secondary tag kept in step (ID3v1, APE, RIFF INFO): true unless
  // the field holds what reading gave, whichever tag that came from.
  bool ChangedSinceRead(CTags::Field field) const { return !read_ || values_[field] != read_->values[field]; }
  bool ArtistsChangedSinceRead() const { return !read_ || values_.artists != read_->values.artists; }
  bool ComposersChangedSinceRead() const { return !read_ || values_.composers != read_->values.composers; }

 private:
  bool FromMain() const { return read_ && read_->fromMainTag; }

  const FieldValues& values_;
  const ReadState* read_;
};

}  // namespace Meridex
