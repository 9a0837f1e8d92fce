#include "MediaFormat.h"

#include <taglib/tiostream.h>

namespace Meridex {

namespace {

using TagLib::ByteVector;

// The size of a leading ID3v2 tag with its header (and footer), 0 when none.
long Id3v2Size(const ByteVector& head) {
  if (head.size() < 10 || !head.startsWith("ID3")) return 0;
  long size = 0;
  for (int i = 6; i < 10; ++i) size = (size << 7) | (static_cast<unsigned char>(head[i]) & 0x7F);
  const bool footer = (static_cast<unsigned char>(head[5]) & 0x10) != 0;
  return size + 10 + (footer ? 10 : 0);
}

// An MPEG audio frame header: 11 sync bits, a valid version and layer.
bool IsMpegFrame(const ByteVector& bytes) {
  if (bytes.size() < 2) return false;
  const auto b0 = static_cast<unsigned char>(bytes[0]);
  const auto b1 = static_cast<unsigned char>(bytes[1]);
  return b0 == 0xFF && (b1 & 0xE0) == 0xE0 && (b1 & 0x18) != 0x08 && (b1 & 0x06) != 0;
}

MediaFormat DetectOgg(const ByteVector& head) {
  // The first page's header is 27 bytes and a segment table; the first packet follows.
  if (head.size() < 28) return MediaFormat::kUnknown;
  const unsigned packet = 27 + static_cast<unsigned char>(head[26]);
  if (head.size() < packet + 8) return MediaFormat::kUnknown;
  if (head.mid(packet, 7) == ByteVector("\x01vorbis", 7)) return MediaFormat::kOggVorbis;
  if (head.mid(packet, 8) == "OpusHead") return MediaFormat::kOpus;
  return MediaFormat::kUnknown;
}

// The GUID of an ASF header object, with which WMA files begin.
constexpr char kAsfHeader[] = "\x30\x26\xB2\x75\x8E\x66\xCF\x11\xA6\xD9\x00\xAA\x00\x62\xCE\x6C";

}  // namespace

MediaFormat DetectFormat(TagLib::IOStream& stream) {
  stream.seek(0);
  const ByteVector head = stream.readBlock(512);
  MediaFormat format = MediaFormat::kUnknown;
  if (const long skip = Id3v2Size(head); skip > 0) {
    stream.seek(skip);
    const ByteVector after = stream.readBlock(4);
    if (after.startsWith("fLaC"))
      format = MediaFormat::kFlac;
    else if (IsMpegFrame(after) || after.startsWith("ID3") || after.isEmpty() || after == ByteVector(4, '\0'))
      format = MediaFormat::kMpeg;  // padding or a second tag may come first; TagLib looks further
  } else if (head.startsWith("fLaC")) {
    format = MediaFormat::kFlac;
  } else if (head.startsWith("OggS")) {
    format = DetectOgg(head);
  } else if (head.size() >= 12 && head.startsWith("RIFF") && head.mid(8, 4) == "WAVE") {
    format = MediaFormat::kWav;
  } else if (head.size() >= 12 && head.startsWith("FORM") && (head.mid(8, 4) == "AIFF" || head.mid(8, 4) == "AIFC")) {
    format = MediaFormat::kAiff;
  } else if (head.size() >= 8 && head.mid(4, 4) == "ftyp") {
    format = MediaFormat::kMp4;
  } else if (head.startsWith(ByteVector(kAsfHeader, 16))) {
    format = MediaFormat::kAsf;
  } else if (IsMpegFrame(head)) {
    format = MediaFormat::kMpeg;
  }
  stream.seek(0);
  return format;
}

MediaFormat FormatFromName(const std::wstring& path) {
  if (path.size() < 4) return MediaFormat::kUnknown;
  std::wstring ending = path.substr(path.size() - 4);
  for (wchar_t& c : ending) c = static_cast<wchar_t>(c >= L'A' && c <= L'Z' ? c + 32 : c);
  return ending == L".mp3" ? MediaFormat::kMpeg : MediaFormat::kUnknown;
}

const wchar_t* FormatName(MediaFormat format) {
  switch (format) {
    case MediaFormat::kMpeg: return L"MP3";
    case MediaFormat::kFlac: return L"FLAC";
    case MediaFormat::kMp4: return L"MP4";
    case MediaFormat::kOggVorbis: return L"Ogg Vorbis";
    case MediaFormat::kOpus: return L"Opus";
    case MediaFormat::kWav: return L"WAV";
    case MediaFormat::kAiff: return L"AIFF";
    case MediaFormat::kAsf: return L"WMA";
    case MediaFormat::kUnknown: break;
  }
  return L"unknown";
}

}  // namespace Meridex
