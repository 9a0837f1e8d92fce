#include "FormatTags.h"

#include <taglib/aifffile.h>
#include <taglib/flacfile.h>
#include <taglib/id3v1tag.h>
#include <taglib/id3v2framefactory.h>
#include <taglib/id3v2header.h>
#include <taglib/id3v2tag.h>
#include <taglib/infotag.h>
#include <taglib/mp4file.h>
#include <taglib/mpegfile.h>
#include <taglib/opusfile.h>
#include <taglib/vorbisfile.h>
#include <taglib/wavfile.h>
#include <taglib/xiphcomment.h>

#include "Id3Tags.h"
#include "Mp4Tags.h"
#include "XiphTags.h"

namespace Meridex::formats {

namespace {

using TagLib::AudioProperties;

constexpr AudioProperties::ReadStyle kStyle = AudioProperties::Fast;

// A file TagLib opens may still lack its audio description (a WAV cut off
// inside its header, say); such a file is damaged, not a song, and is neither
// read nor written.
bool Readable(const TagLib::File& file) {
  const AudioProperties* properties = file.audioProperties();
  return file.isValid() && properties && properties->sampleRate() > 0;
}

// An existing ID3v2.3 tag stays 2.3, for players that read nothing newer.
TagLib::ID3v2::Version VersionToKeep(const TagLib::ID3v2::Tag* tag) {
  return tag && tag->header()->majorVersion() == 3 ? TagLib::ID3v2::v3 : TagLib::ID3v2::v4;
}

// An Ogg file of TagLib class `OggFile` (Vorbis or Opus).
template <typename OggFile>
bool ReadOgg(TagLib::IOStream& stream, CTags& tags, std::vector<EmbeddedPicture>& pictures) {
  OggFile file(&stream, true, kStyle);
  if (!Readable(file) || !file.tag()) return false;
  xiph::Read(*file.tag(), tags);
  xiph::ReadPictures(file.tag()->pictureList(), pictures);
  return true;
}

template <typename OggFile>
bool WriteOgg(TagLib::IOStream& stream, const CTags& tags, const std::vector<EmbeddedPicture>& pictures) {
  OggFile file(&stream, true, kStyle);
  if (!Readable(file) || !file.tag()) return false;
  xiph::Write(tags, *file.tag());
  file.tag()->removeAllPictures();
  for (const EmbeddedPicture& picture : pictures) file.tag()->addPicture(xiph::NewPictureRecord(picture));
  return file.save();
}

bool ReadMpeg(TagLib::IOStream& stream, CTags& tags, std::vector<EmbeddedPicture>& pictures) {
  TagLib::MPEG::File file(&stream, TagLib::ID3v2::FrameFactory::instance(), true, kStyle);
  if (!Readable(file)) return false;
  if (file.hasID3v2Tag())
    id3::Read(*file.ID3v2Tag(), tags, pictures);
  else if (file.hasID3v1Tag())
    id3::ReadBasic(*file.ID3v1Tag(), tags);
  return true;
}

bool WriteMpeg(TagLib::IOStream& stream, const CTags& tags, const std::vector<EmbeddedPicture>& pictures) {
  TagLib::MPEG::File file(&stream, TagLib::ID3v2::FrameFactory::instance(), true, kStyle);
  if (!Readable(file)) return false;
  const TagLib::ID3v2::Version version = VersionToKeep(file.hasID3v2Tag() ? file.ID3v2Tag() : nullptr);
  id3::Write(tags, pictures, *file.ID3v2Tag(true));
  int kinds = TagLib::MPEG::File::ID3v2;
  if (file.hasID3v1Tag()) {
    id3::WriteBasic(tags, *file.ID3v1Tag());
    kinds |= TagLib::MPEG::File::ID3v1;
  }
  // An APE tag, if any, stays as it is.
  return file.save(kinds, TagLib::File::StripNone, version, TagLib::File::DoNotDuplicate);
}

bool ReadFlac(TagLib::IOStream& stream, CTags& tags, std::vector<EmbeddedPicture>& pictures) {
  TagLib::FLAC::File file(&stream, TagLib::ID3v2::FrameFactory::instance(), true, kStyle);
  if (!Readable(file)) return false;
  if (file.hasXiphComment()) {
    xiph::Read(*file.xiphComment(), tags);
    xiph::ReadPictures(file.xiphComment()->pictureList(), pictures);
  }
  xiph::ReadPictures(file.pictureList(), pictures);
  return true;
}

bool WriteFlac(TagLib::IOStream& stream, const CTags& tags, const std::vector<EmbeddedPicture>& pictures) {
  TagLib::FLAC::File file(&stream, TagLib::ID3v2::FrameFactory::instance(), true, kStyle);
  if (!Readable(file)) return false;
  TagLib::Ogg::XiphComment* comment = file.xiphComment(true);
  xiph::Write(tags, *comment);
  // Pictures live in PICTURE blocks; copies inside the comment would come back twice.
  comment->removeAllPictures();
  file.removePictures();
  for (const EmbeddedPicture& picture : pictures) file.addPicture(xiph::NewPictureRecord(picture));
  return file.save();
}

bool ReadMp4(TagLib::IOStream& stream, CTags& tags, std::vector<EmbeddedPicture>& pictures) {
  TagLib::MP4::File file(&stream, true, kStyle);
  if (!Readable(file) || !file.tag()) return false;
  mp4::Read(*file.tag(), tags, pictures);
  return true;
}

bool WriteMp4(TagLib::IOStream& stream, const CTags& tags, const std::vector<EmbeddedPicture>& pictures) {
  TagLib::MP4::File file(&stream, true, kStyle);
  if (!Readable(file) || !file.tag()) return false;
  mp4::Write(tags, pictures, *file.tag());
  return file.save();
}

bool ReadWav(TagLib::IOStream& stream, CTags& tags, std::vector<EmbeddedPicture>& pictures) {
  TagLib::RIFF::WAV::File file(&stream, true, kStyle);
  if (!Readable(file)) return false;
  if (file.hasID3v2Tag())
    id3::Read(*file.ID3v2Tag(), tags, pictures);
  else if (file.hasInfoTag())
    id3::ReadBasic(*file.InfoTag(), tags);
  return true;
}

bool WriteWav(TagLib::IOStream& stream, const CTags& tags, const std::vector<EmbeddedPicture>& pictures) {
  TagLib::RIFF::WAV::File file(&stream, true, kStyle);
  if (!Readable(file)) return false;
  const TagLib::ID3v2::Version version = VersionToKeep(file.hasID3v2Tag() ? file.ID3v2Tag() : nullptr);
  id3::Write(tags, pictures, *file.ID3v2Tag());
  auto kinds = TagLib::RIFF::WAV::File::ID3v2;
  if (file.hasInfoTag()) {
    id3::WriteBasic(tags, *file.InfoTag());
    kinds = TagLib::RIFF::WAV::File::AllTags;
  }
  return file.save(kinds, TagLib::File::StripNone, version);
}

bool ReadAiff(TagLib::IOStream& stream, CTags& tags, std::vector<EmbeddedPicture>& pictures) {
  TagLib::RIFF::AIFF::File file(&stream, true, kStyle);
  if (!Readable(file)) return false;
  if (file.hasID3v2Tag()) id3::Read(*file.tag(), tags, pictures);
  return true;
}

bool WriteAiff(TagLib::IOStream& stream, const CTags& tags, const std::vector<EmbeddedPicture>& pictures) {
  TagLib::RIFF::AIFF::File file(&stream, true, kStyle);
  if (!Readable(file)) return false;
  const TagLib::ID3v2::Version version = VersionToKeep(file.hasID3v2Tag() ? file.tag() : nullptr);
  id3::Write(tags, pictures, *file.tag());
  return file.save(version);
}

}  // namespace

bool Read(TagLib::IOStream& stream, MediaFormat format, CTags& tags, std::vector<EmbeddedPicture>& pictures) {
  switch (format) {
    case MediaFormat::kMpeg: return ReadMpeg(stream, tags, pictures);
    case MediaFormat::kFlac: return ReadFlac(stream, tags, pictures);
    case MediaFormat::kMp4: return ReadMp4(stream, tags, pictures);
    case MediaFormat::kOggVorbis: return ReadOgg<TagLib::Ogg::Vorbis::File>(stream, tags, pictures);
    case MediaFormat::kOpus: return ReadOgg<TagLib::Ogg::Opus::File>(stream, tags, pictures);
    case MediaFormat::kWav: return ReadWav(stream, tags, pictures);
    case MediaFormat::kAiff: return ReadAiff(stream, tags, pictures);
    case MediaFormat::kUnknown: break;
  }
  return false;
}

bool Write(TagLib::IOStream& stream, MediaFormat format, const CTags& tags,
           const std::vector<EmbeddedPicture>& pictures) {
  switch (format) {
    case MediaFormat::kMpeg: return WriteMpeg(stream, tags, pictures);
    case MediaFormat::kFlac: return WriteFlac(stream, tags, pictures);
    case MediaFormat::kMp4: return WriteMp4(stream, tags, pictures);
    case MediaFormat::kOggVorbis: return WriteOgg<TagLib::Ogg::Vorbis::File>(stream, tags, pictures);
    case MediaFormat::kOpus: return WriteOgg<TagLib::Ogg::Opus::File>(stream, tags, pictures);
    case MediaFormat::kWav: return WriteWav(stream, tags, pictures);
    case MediaFormat::kAiff: return WriteAiff(stream, tags, pictures);
    case MediaFormat::kUnknown: break;
  }
  return false;
}

}  // namespace Meridex::formats
