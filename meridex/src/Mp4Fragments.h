// The absolute file offsets of a fragmented MP4 file (one whose audio lies in
// movie fragments after its "moov" box): each fragment's base data offset
// ("tfhd") and the fragment index ("tfra"). TagLib moves the fragments when
// the tags grow or shrink but corrects only the first base offset, so the
// others would point into the wrong bytes; they are set right here.
#pragma once

#include <taglib/tbytevector.h>

#include <cstdint>
#include <vector>

namespace Meridex::mp4 {

struct FragmentOffsets {
  std::int64_t firstFragment = -1;       // where the first "moof" box starts; -1: not fragmented
  std::vector<std::uint64_t> bases;      // the base data offsets, in file order (0: none given)
  std::vector<std::uint64_t> indexed;    // the fragment offsets of the fragment index, in order
};

// The offsets of `content`, a whole MP4 file.
FragmentOffsets FindFragmentOffsets(const TagLib::ByteVector& content);

// Gives `content`, the file `before` described after TagLib saved it, the
// offsets `before` held, moved by as much as its fragments moved. False when
// the fragments no longer match (then the content must not be used).
bool RestoreFragmentOffsets(const FragmentOffsets& before, TagLib::ByteVector& content);

}  // namespace Meridex::mp4
