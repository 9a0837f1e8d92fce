// Which kind of media file a stream holds, told by its content, not its name.
#pragma once

namespace TagLib {
class IOStream;
}

namespace Meridex {

enum class MediaFormat { kUnknown, kMpeg, kFlac, kMp4, kOggVorbis, kOpus, kWav, kAiff };

// Looks at the first bytes of `stream` (past a leading ID3v2 tag, which MP3
// and some FLAC files carry) and leaves the position at the start.
MediaFormat DetectFormat(TagLib::IOStream& stream);

// "MP3", "FLAC" and so on, for messages.
const wchar_t* FormatName(MediaFormat format);

}  // namespace Meridex
