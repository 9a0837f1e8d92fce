// Which kind of media file a stream holds, told by its content, not its name.
#pragma once

#include <string>

namespace TagLib {
class IOStream;
}

namespace Meridex {

enum class MediaFormat { kUnknown, kMpeg, kFlac, kMp4, kOggVorbis, kOpus, kWav, kAiff, kAsf };

// Looks at the first bytes of `stream` (past a leading ID3v2 tag, which MP3
// and some FLAC files carry) and leaves the position at the start.
MediaFormat DetectFormat(TagLib::IOStream& stream);

// For a stream whose content DetectFormat did not recognise: MP3 when the
// name ends in ".mp3" (ignoring case), since MP3 has no fixed signature and
// some files begin with junk before the first frame; else kUnknown. TagLib
// still has to find valid frames.
MediaFormat FormatFromName(const std::wstring& path);

// "MP3", "FLAC" and so on, for messages.
const wchar_t* FormatName(MediaFormat format);

}  // namespace Meridex
