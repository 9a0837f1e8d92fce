// Whether a found track's length fits the song's. Lengths tell versions of
// one title apart that the title cannot (studio and live takes, a single
// edit and the album version); the same recording on two releases differs
// by a second or two at most (pregap, fades, an MP3 encoder's padding).
#pragma once

#include <cstdint>

namespace engines {

// More than this apart, two lengths belong to different versions.
constexpr std::uint32_t kLengthToleranceMs = 5000;

// False only when both lengths are known (above 0) and further apart than
// the tolerance: an unknown length never counts against a track.
inline bool LengthFits(std::uint32_t songMs, std::uint32_t trackMs) {
  if (songMs == 0 || trackMs == 0) return true;
  const std::uint32_t gap = songMs > trackMs ? songMs - trackMs : trackMs - songMs;
  return gap <= kLengthToleranceMs;
}

}  // namespace engines
