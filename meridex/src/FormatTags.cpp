#include "FormatTags.h"

#include <taglib/aifffile.h>
#include <taglib/asffile.h>
#include <taglib/apetag.h>
#include <taglib/flacfile.h>
#include <taglib/id3v1tag.h>
#include <taglib/id3v2framefactory.h>
#include <taglib/id3v2header.h>
#include <taglib/id3v2tag.h>
#include <taglib/infotag.h>
#include <taglib/mp4file.h>
#include <taglib/mpegfile.h>
#include <taglib/opusfile.h>
#include <taglib/tbytevectorstream.h>
#include <taglib/vorbisfile.h>
#include <taglib/wavfile.h>
#include <taglib/xiphcomment.h>

#include "ApeTags.h"
#include "AsfContentDescription.h"
#include "AsfTags.h"
#include "Id3Layout.h"
#include "Id3Tags.h"
#include "Mp4Tags.h"
#include "StreamLength.h"
#include "XiphTags.h"

#include <array>
#include <memory>

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

bool lengthReading = true;

// The audio's length from the stream's own headers (see StreamLength),
// taken before TagLib parses the file; when they are not found, TagLib reads
// its audio description after all (an unusual or damaged file, and the
// formats StreamLength does not read).
StreamLength LengthOf(TagLib::IOStream& stream, MediaFormat format) {
  if (!lengthReading) return {true, 0};
  StreamLength length = StreamLength::Of(stream, format);
  stream.seek(0);
  return length;
}

// Whether a file TagLib opened holds audio: its stream headers were found,
// else TagLib's own description says so.
bool Readable(const TagLib::File& file, const StreamLength& length) {
  return length.found ? file.isValid() : Readable(file);
}

void TakeLength(const TagLib::File& file, const StreamLength& length, CTags& tags) {
  tags.SetLengthMs(length.found ? static_cast<int>(length.ms) : file.audioProperties()->lengthInMilliseconds());
}

// An existing ID3v2.3 tag stays 2.3, for players that read nothing newer.
TagLib::ID3v2::Version VersionToKeep(const TagLib::ID3v2::Tag* tag) {
  return tag && tag->header()->majorVersion() == 3 ? TagLib::ID3v2::v3 : TagLib::ID3v2::v4;
}

using Pictures = const std::vector<EmbeddedPicture>*;

// The records a FLAC or Ogg file gets for `pictures`, given its own records
// `own` in reading order (kept ones are copied whole, dimensions and all).
// False when a picture's bytes cannot be loaded.
bool PictureRecordsFor(const std::vector<EmbeddedPicture>& pictures, const std::vector<TagLib::FLAC::Picture*>& own,
                       std::vector<std::unique_ptr<TagLib::FLAC::Picture>>& out) {
  return xiph::PictureRecords(pictures, own, out);
}

// The records of `list` that hold bytes, as reading counts them.
std::vector<TagLib::FLAC::Picture*> WithBytes(const TagLib::List<TagLib::FLAC::Picture*>& list) {
  std::vector<TagLib::FLAC::Picture*> out;
  for (TagLib::FLAC::Picture* record : list)
    if (record && !record->data().isEmpty()) out.push_back(record);
  return out;
}

// An Ogg file of TagLib class `OggFile` (Vorbis or Opus).
template <typename OggFile>
bool ReadOgg(TagLib::IOStream& stream, MediaFormat format, CTags& tags, std::vector<EmbeddedPicture>& pictures) {
  const StreamLength length = LengthOf(stream, format);
  OggFile file(&stream, !length.found, kStyle);
  if (!Readable(file, length) || !file.tag()) return false;
  TakeLength(file, length, tags);
  xiph::Read(*file.tag(), tags);
  xiph::ReadPictures(file.tag()->pictureList(), pictures);
  return true;
}

template <typename OggFile>
bool WriteOgg(TagLib::IOStream& stream, const FieldChanges& changes, Pictures pictures) {
  OggFile file(&stream, true, kStyle);
  if (!Readable(file) || !file.tag()) return false;
  TagLib::Ogg::XiphComment* comment = file.tag();
  xiph::Write(changes, *comment);
  if (pictures) {
    std::vector<std::unique_ptr<TagLib::FLAC::Picture>> records;
    if (!PictureRecordsFor(*pictures, WithBytes(comment->pictureList()), records)) return false;
    comment->removeAllPictures();
    for (auto& record : records) comment->addPicture(record.release());
  }
  return file.save();
}

bool ReadMpeg(TagLib::IOStream& stream, CTags& tags, std::vector<EmbeddedPicture>& pictures, bool& fromMainTag) {
  const StreamLength length = LengthOf(stream, MediaFormat::kMpeg);
  TagLib::MPEG::File file(&stream, TagLib::ID3v2::FrameFactory::instance(), !length.found, kStyle);
  if (!Readable(file, length)) return false;
  TakeLength(file, length, tags);
  fromMainTag = file.hasID3v2Tag();
  if (file.hasID3v2Tag())
    id3::Read(*file.ID3v2Tag(), tags, pictures);
  else if (file.hasAPETag())
    ape::Read(*file.APETag(), tags);
  else if (file.hasID3v1Tag())
    id3::ReadBasic(*file.ID3v1Tag(), tags);
  return true;
}

bool WriteMpeg(TagLib::IOStream& stream, const FieldChanges& changes, Pictures pictures) {
  TagLib::MPEG::File file(&stream, TagLib::ID3v2::FrameFactory::instance(), true, kStyle);
  if (!Readable(file)) return false;
  const TagLib::ID3v2::Version version = VersionToKeep(file.hasID3v2Tag() ? file.ID3v2Tag() : nullptr);
  // A file with an APE tag and no ID3v2 tag gets its changes where its
  // fields were read from; an ID3v2 tag (with every field) is made only for
  // what that APE tag does not hold: pictures, or a field without an item.
  if (!file.hasID3v2Tag() && file.hasAPETag() && !(pictures && !pictures->empty()) && ape::Holds(changes)) {
    ape::Write(changes, *file.APETag());
    int kinds = TagLib::MPEG::File::APE;
    if (file.hasID3v1Tag()) {
      id3::WriteBasic(changes, *file.ID3v1Tag());
      kinds |= TagLib::MPEG::File::ID3v1;
    }
    return file.save(kinds, TagLib::File::StripNone, version, TagLib::File::DoNotDuplicate);
  }
  if (!id3::Write(changes, pictures, *file.ID3v2Tag(true))) return false;
  int kinds = TagLib::MPEG::File::ID3v2;
  if (file.hasID3v1Tag()) {
    id3::WriteBasic(changes, *file.ID3v1Tag());
    kinds |= TagLib::MPEG::File::ID3v1;
  }
  if (file.hasAPETag()) {
    ape::Write(changes, *file.APETag());
    kinds |= TagLib::MPEG::File::APE;
  }
  return file.save(kinds, TagLib::File::StripNone, version, TagLib::File::DoNotDuplicate);
}

bool ReadFlac(TagLib::IOStream& stream, CTags& tags, std::vector<EmbeddedPicture>& pictures) {
  const StreamLength length = LengthOf(stream, MediaFormat::kFlac);
  TagLib::FLAC::File file(&stream, TagLib::ID3v2::FrameFactory::instance(), !length.found, kStyle);
  if (!Readable(file, length)) return false;
  TakeLength(file, length, tags);
  if (file.hasXiphComment()) {
    xiph::Read(*file.xiphComment(), tags);
    xiph::ReadPictures(file.xiphComment()->pictureList(), pictures);
  }
  xiph::ReadPictures(file.pictureList(), pictures);
  return true;
}

bool WriteFlac(TagLib::IOStream& stream, const FieldChanges& changes, Pictures pictures) {
  TagLib::FLAC::File file(&stream, TagLib::ID3v2::FrameFactory::instance(), true, kStyle);
  if (!Readable(file)) return false;
  TagLib::Ogg::XiphComment* comment = file.xiphComment(true);
  xiph::Write(changes, *comment);
  if (pictures) {
    std::vector<TagLib::FLAC::Picture*> own = WithBytes(comment->pictureList());
    const std::vector<TagLib::FLAC::Picture*> blocks = WithBytes(file.pictureList());
    own.insert(own.end(), blocks.begin(), blocks.end());
    std::vector<std::unique_ptr<TagLib::FLAC::Picture>> records;
    if (!PictureRecordsFor(*pictures, own, records)) return false;
    // Pictures go into PICTURE blocks; copies inside the comment would come back twice.
    comment->removeAllPictures();
    file.removePictures();
    for (auto& record : records) file.addPicture(record.release());
  }
  return file.save();
}

bool ReadMp4(TagLib::IOStream& stream, CTags& tags, std::vector<EmbeddedPicture>& pictures) {
  const StreamLength length = LengthOf(stream, MediaFormat::kMp4);
  TagLib::MP4::File file(&stream, !length.found, kStyle);
  if (!Readable(file, length) || !file.tag()) return false;
  TakeLength(file, length, tags);
  mp4::Read(*file.tag(), tags, pictures);
  return true;
}

bool WriteMp4(TagLib::IOStream& stream, const FieldChanges& changes, Pictures pictures) {
  TagLib::MP4::File file(&stream, true, kStyle);
  if (!Readable(file) || !file.tag()) return false;
  if (!mp4::Write(changes, pictures, *file.tag())) return false;
  return file.save();
}

bool ReadWav(TagLib::IOStream& stream, CTags& tags, std::vector<EmbeddedPicture>& pictures, bool& fromMainTag) {
  TagLib::RIFF::WAV::File file(&stream, true, kStyle);
  if (!Readable(file)) return false;
  TakeLength(file, StreamLength(), tags);
  fromMainTag = file.hasID3v2Tag();
  if (file.hasID3v2Tag())
    id3::Read(*file.ID3v2Tag(), tags, pictures);
  else if (file.hasInfoTag())
    id3::ReadBasic(*file.InfoTag(), tags);
  return true;
}

bool WriteWav(TagLib::IOStream& stream, const FieldChanges& changes, Pictures pictures) {
  TagLib::RIFF::WAV::File file(&stream, true, kStyle);
  if (!Readable(file)) return false;
  const TagLib::ID3v2::Version version = VersionToKeep(file.hasID3v2Tag() ? file.ID3v2Tag() : nullptr);
  if (!id3::Write(changes, pictures, *file.ID3v2Tag())) return false;
  auto kinds = TagLib::RIFF::WAV::File::ID3v2;
  if (file.hasInfoTag()) {
    id3::WriteBasic(changes, *file.InfoTag());
    kinds = TagLib::RIFF::WAV::File::AllTags;
  }
  return file.save(kinds, TagLib::File::StripNone, version);
}

bool ReadAiff(TagLib::IOStream& stream, CTags& tags, std::vector<EmbeddedPicture>& pictures) {
  TagLib::RIFF::AIFF::File file(&stream, true, kStyle);
  if (!Readable(file)) return false;
  TakeLength(file, StreamLength(), tags);
  if (file.hasID3v2Tag()) id3::Read(*file.tag(), tags, pictures);
  return true;
}

bool WriteAiff(TagLib::IOStream& stream, const FieldChanges& changes, Pictures pictures) {
  TagLib::RIFF::AIFF::File file(&stream, true, kStyle);
  if (!Readable(file)) return false;
  const TagLib::ID3v2::Version version = VersionToKeep(file.hasID3v2Tag() ? file.tag() : nullptr);
  if (!id3::Write(changes, pictures, *file.tag())) return false;
  return file.save(version);
}

bool ReadAsf(TagLib::IOStream& stream, CTags& tags, std::vector<EmbeddedPicture>& pictures) {
  TagLib::ASF::File file(&stream, true, kStyle);
  if (!Readable(file) || !file.tag()) return false;
  TakeLength(file, StreamLength(), tags);
  asf::Read(*file.tag(), tags, pictures);
  return true;
}

bool WriteAsf(TagLib::IOStream& stream, const FieldChanges& changes, Pictures pictures) {
  TagLib::ASF::File file(&stream, true, kStyle);
  if (!Readable(file) || !file.tag()) return false;
  const asf::ContentDescription before = asf::ContentDescription::Read(stream);
  if (!asf::Write(changes, pictures, *file.tag())) return false;
  if (!file.save()) return false;
  using Text = asf::ContentDescription::Text;
  std::array<bool, Text::kTextCount> changed{};
  changed[Text::kTitle] = changes.Changed(CTags::Field::kTitle);
  changed[Text::kAuthor] = changes.ArtistsChanged();
  changed[Text::kCopyright] = changes.Changed(CTags::Field::kCopyright);
  changed[Text::kDescription] = changes.Changed(CTags::Field::kComment);
  return before.Restore(stream, changed);
}

}  // namespace

void SetLengthReading(bool on) { lengthReading = on; }

namespace {

bool ReadAs(TagLib::IOStream& stream, MediaFormat format, CTags& tags, std::vector<EmbeddedPicture>& pictures,
            bool& fromMainTag) {
  switch (format) {
    case MediaFormat::kMpeg: return ReadMpeg(stream, tags, pictures, fromMainTag);
    case MediaFormat::kFlac: return ReadFlac(stream, tags, pictures);
    case MediaFormat::kMp4: return ReadMp4(stream, tags, pictures);
    case MediaFormat::kOggVorbis: return ReadOgg<TagLib::Ogg::Vorbis::File>(stream, format, tags, pictures);
    case MediaFormat::kOpus: return ReadOgg<TagLib::Ogg::Opus::File>(stream, format, tags, pictures);
    case MediaFormat::kWav: return ReadWav(stream, tags, pictures, fromMainTag);
    case MediaFormat::kAiff: return ReadAiff(stream, tags, pictures);
    case MediaFormat::kAsf: return ReadAsf(stream, tags, pictures);
    case MediaFormat::kUnknown: break;
  }
  return false;
}

}  // namespace

bool Read(TagLib::IOStream& stream, MediaFormat format, CTags& tags, std::vector<EmbeddedPicture>& pictures,
          bool& fromMainTag) {
  fromMainTag = true;
  // A leading ID3v2 tag TagLib would misread is read from a plain copy.
  if (format == MediaFormat::kMpeg || format == MediaFormat::kFlac) {
    stream.seek(0);
    const bool misread = id3::NeedsNormalising(stream.readBlock(10));
    stream.seek(0);
    if (misread && stream.length() > 0) {
      TagLib::ByteVector content = stream.readBlock(static_cast<unsigned long>(stream.length()));
      stream.seek(0);
      id3::NormaliseLayout(content);
      TagLib::ByteVectorStream plain(content);
      return ReadAs(plain, format, tags, pictures, fromMainTag);
    }
  }
  return ReadAs(stream, format, tags, pictures, fromMainTag);
}

bool Write(TagLib::IOStream& stream, MediaFormat format, const FieldChanges& changes,
           const std::vector<EmbeddedPicture>* pictures) {
  switch (format) {
    case MediaFormat::kMpeg: return WriteMpeg(stream, changes, pictures);
    case MediaFormat::kFlac: return WriteFlac(stream, changes, pictures);
    case MediaFormat::kMp4: return WriteMp4(stream, changes, pictures);
    case MediaFormat::kOggVorbis: return WriteOgg<TagLib::Ogg::Vorbis::File>(stream, changes, pictures);
    case MediaFormat::kOpus: return WriteOgg<TagLib::Ogg::Opus::File>(stream, changes, pictures);
    case MediaFormat::kWav: return WriteWav(stream, changes, pictures);
    case MediaFormat::kAiff: return WriteAiff(stream, changes, pictures);
    case MediaFormat::kAsf: return WriteAsf(stream, changes, pictures);
    case MediaFormat::kUnknown: break;
  }
  return false;
}

}  // namespace Meridex::formats
