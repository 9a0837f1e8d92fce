// The audio's length taken from a stream's own headers, without TagLib's
// audio description: a few small reads near the start (and, for Ogg, the
// end) of the file, never the whole file.
//
//   MP3   the first frame after any ID3v2 tags (confirmed by the frame that
//         follows it), then its Xing/Info frame count (less the LAME
//         encoder's delay and padding), else a VBRI count, else the audio's
//         bytes (without ID3v2, APE and ID3v1 tags) over the mean frame size
//         of a few samples of frames.
//   FLAC  STREAMINFO's total samples over its sample rate.
//   MP4   the sound track's mdhd duration over its time scale (else mvhd's).
//   Ogg Vorbis, Opus  the last page's granule position (Opus: less the
//         pre-skip, at 48 kHz).
#pragma once

#include <cstdint>

#include "MediaFormat.h"

namespace TagLib {
class IOStream;
}

namespace Meridex {

class StreamLength {
 public:
  // Reads the headers of `stream`, a file of `format`. Not found for
  // formats it does not read (WAV, AIFF, WMA) and for streams whose headers
  // it does not find within its bounded reads; leaves the position anywhere.
  static StreamLength Of(TagLib::IOStream& stream, MediaFormat format);

  // The stream's audio description was found: the file holds audio of its format.
  bool found = false;
  // The length in milliseconds; 0 when unknown even though found.
  std::int64_t ms = 0;
};

}  // namespace Meridex
