#include "Id3Tags.h"

#include <taglib/attachedpictureframe.h>
#include <taglib/commentsframe.h>
#include <taglib/id3v1genres.h>
#include <taglib/id3v2tag.h>
#include <taglib/tag.h>
#include <taglib/textidentificationframe.h>
#include <taglib/uniquefileidentifierframe.h>
#include <taglib/unknownframe.h>
#include <taglib/unsynchronizedlyricsframe.h>
#include <taglib/urllinkframe.h>

#include <algorithm>
#include <string>

#include "PictureFiles.h"
#include "TagText.h"
#include "UserLanguage.h"

namespace Meridex::id3 {

namespace {

using Field = CTags::Field;
using TagLib::ByteVector;
using TagLib::String;
using TagLib::StringList;
using TagLib::ID3v2::Frame;
using TagLib::ID3v2::FrameList;

struct TextFrame {
  const char* id;
  Field field;
};
constexpr TextFrame kTextFrames[] = {
    {"TIT2", Field::kTitle},     {"TALB", Field::kAlbum},          {"TDRC", Field::kYear},
    {"TRCK", Field::kTrackNumber}, {"TCOP", Field::kCopyright},    {"TENC", Field::kEncodedBy},
    {"TOPE", Field::kOriginalArtist}, {"TPOS", Field::kDiscNumber},     {"TPE2", Field::kAlbumArtist},
    // TagLib reads an ID3v2.3 TORY as TDOR and writes TDOR back as TORY there.
    {"TDOR", Field::kOriginalDate},
};

// Identifiers in user text frames, by their description (as MusicBrainz
// Picard writes them); the recording's id is a unique file identifier.
struct UserTextFrame {
  const char* description;
  Field field;
};
constexpr UserTextFrame kUserTextFrames[] = {
    {"MusicBrainz Album Id", Field::kReleaseId},
    {"MusicBrainz Release Group Id", Field::kReleaseGroupId},
};
constexpr const char* kRecordingOwner = "http://musicbrainz.org";

TagLib::ID3v2::UserTextIdentificationFrame* UserText(const TagLib::ID3v2::Tag& tag, const char* description) {
  return TagLib::ID3v2::UserTextIdentificationFrame::find(const_cast<TagLib::ID3v2::Tag*>(&tag), description);
}

StringList UserTextValues(const TagLib::ID3v2::Tag& tag, const char* description) {
  StringList values;
  if (auto* frame = UserText(tag, description)) {
    const StringList fields = frame->fieldList();  // the description first
    for (auto it = fields.begin(); it != fields.end(); ++it)
      if (it != fields.begin()) values.append(*it);
  }
  return values;
}

void SetUserText(TagLib::ID3v2::Tag& tag, const char* description, const StringList& values) {
  while (auto* frame = UserText(tag, description)) tag.removeFrame(frame);
  if (values.isEmpty()) return;
  tag.addFrame(new TagLib::ID3v2::UserTextIdentificationFrame(description, values, String::UTF8));
}

TagLib::ID3v2::UniqueFileIdentifierFrame* RecordingFrame(const TagLib::ID3v2::Tag& tag) {
  return TagLib::ID3v2::UniqueFileIdentifierFrame::findByOwner(&tag, kRecordingOwner);
}

StringList FieldsOf(const TagLib::ID3v2::Tag& tag, const char* id) {
  const FrameList& frames = tag.frameList(id);
  if (frames.isEmpty()) return {};
  if (auto* text = dynamic_cast<TagLib::ID3v2::TextIdentificationFrame*>(frames.front())) return text->fieldList();
  return StringList(frames.front()->toString());
}

// Genres, with ID3v1 genre numbers ("17", from "(17)") given as names.
StringList Genres(const TagLib::ID3v2::Tag& tag) {
  StringList genres;
  for (const String& field : FieldsOf(tag, "TCON")) {
    bool number = !field.isEmpty();
    for (wchar_t c : field) number = number && c >= L'0' && c <= L'9';
    const String name = number && field.size() < 4 ? TagLib::ID3v1::genre(field.toInt()) : field;
    if (!name.isEmpty()) genres.append(name);
  }
  return genres;
}

// How well a language-marked frame fits as "the" lyrics or comment: the
// user's language first, then English; within one, no description first.
template <typename Kind>
int Fit(const Kind& frame, const std::string& user) {
  const std::string language(frame.language().data(), frame.language().size());
  int fit = 0;
  if (!user.empty() && SameLanguage(language, user))
    fit = 4;
  else if (SameLanguage(language, "eng"))
    fit = 2;
  return fit + (frame.description().isEmpty() ? 1 : 0);
}

// The frame a field of `id` (COMM or USLT) is read from and written to;
// null when there is none. Comments with a description are not considered.
template <typename Kind>
Kind* ChooseFrame(const TagLib::ID3v2::Tag& tag, const char* id, bool plainOnly) {
  const std::string user = UserLanguage();
  Kind* best = nullptr;
  int bestFit = -1;
  for (Frame* frame : tag.frameList(id)) {
    auto* typed = dynamic_cast<Kind*>(frame);
    if (!typed || (plainOnly && !typed->description().isEmpty())) continue;
    const int fit = Fit(*typed, user);
    if (fit > bestFit) {
      best = typed;
      bestFit = fit;
    }
  }
  return best;
}

TagLib::ID3v2::CommentsFrame* Comment(const TagLib::ID3v2::Tag& tag) {
  return ChooseFrame<TagLib::ID3v2::CommentsFrame>(tag, "COMM", true);
}
TagLib::ID3v2::UnsynchronizedLyricsFrame* Lyrics(const TagLib::ID3v2::Tag& tag) {
  return ChooseFrame<TagLib::ID3v2::UnsynchronizedLyricsFrame>(tag, "USLT", false);
}

// The URL frame without description, else the first one.
TagLib::ID3v2::UserUrlLinkFrame* Url(const TagLib::ID3v2::Tag& tag) {
  TagLib::ID3v2::UserUrlLinkFrame* first = nullptr;
  for (Frame* frame : tag.frameList("WXXX")) {
    auto* typed = dynamic_cast<TagLib::ID3v2::UserUrlLinkFrame*>(frame);
    if (!typed) continue;
    if (typed->description().isEmpty()) return typed;
    if (!first) first = typed;
  }
  return first;
}

ByteVector NewFrameLanguage() {
  const std::string user = UserLanguage();
  return ByteVector(user.empty() ? "eng" : user.c_str(), 3);
}

void SetTextFrame(TagLib::ID3v2::Tag& tag, const char* id, const StringList& values) {
  tag.removeFrames(id);
  if (values.isEmpty()) return;
  auto* frame = new TagLib::ID3v2::TextIdentificationFrame(ByteVector(id), String::UTF8);
  frame->setText(values);
  tag.addFrame(frame);
}

// Writes `value` into the language-marked frame `frame` (COMM or USLT):
// replaces its text, removes it for an empty value, or adds a new frame.
template <typename Kind>
void SetLanguageFrame(TagLib::ID3v2::Tag& tag, Kind* frame, const CString& value) {
  if (value.IsEmpty()) {
    if (frame) tag.removeFrame(frame);
    return;
  }
  if (!frame) {
    frame = new Kind(String::UTF8);
    frame->setLanguage(NewFrameLanguage());
    tag.addFrame(frame);
  }
  frame->setText(text::ToTagLib(value));
}

CString First(const std::vector<CString>& values) { return values.empty() ? CString() : values.front(); }

// The picture frames as reading counts them (those holding bytes), in order.
std::vector<TagLib::ID3v2::AttachedPictureFrame*> PictureFrames(const TagLib::ID3v2::Tag& tag) {
  std::vector<TagLib::ID3v2::AttachedPictureFrame*> out;
  for (Frame* frame : tag.frameList("APIC")) {
    auto* apic = dynamic_cast<TagLib::ID3v2::AttachedPictureFrame*>(frame);
    if (apic && !apic->picture().isEmpty()) out.push_back(apic);
  }
  return out;
}

bool WritePictures(const std::vector<EmbeddedPicture>& pictures, TagLib::ID3v2::Tag& tag) {
  const std::vector<TagLib::ID3v2::AttachedPictureFrame*> own = PictureFrames(tag);
  std::vector<bool> kept(own.size(), false);
  // The file's frames are taken out (not deleted) and the ones still wanted put back.
  const FrameList all = tag.frameList("APIC");
  std::vector<Frame*> detached(all.begin(), all.end());
  for (Frame* frame : detached) tag.removeFrame(frame, false);
  bool ok = true;
  for (const EmbeddedPicture& wanted : pictures) {
    const auto index = static_cast<std::size_t>(wanted.fileIndex);
    if (wanted.fileIndex >= 0 && index < own.size() && !kept[index] &&
        PictureFiles::SameBytes(own[index]->picture(), wanted)) {
      tag.addFrame(own[index]);
      kept[index] = true;
      continue;
    }
    EmbeddedPicture loaded = wanted;
    if (!PictureFiles::LoadBytes(loaded)) {
      ok = false;
      break;
    }
    auto* frame = new TagLib::ID3v2::AttachedPictureFrame;
    frame->setTextEncoding(String::UTF8);
    frame->setMimeType(text::ToTagLib(loaded.mimeType));
    frame->setType(static_cast<TagLib::ID3v2::AttachedPictureFrame::Type>(loaded.type));
    frame->setDescription(text::ToTagLib(loaded.description));
    frame->setPicture(loaded.data);
    tag.addFrame(frame);
  }
  for (Frame* frame : detached) {
    auto at = std::find(own.begin(), own.end(), frame);
    if (at == own.end() || !kept[static_cast<std::size_t>(at - own.begin())]) delete frame;
  }
  return ok;
}

}  // namespace

void Read(const TagLib::ID3v2::Tag& tag, CTags& tags, std::vector<EmbeddedPicture>& pictures) {
  text::AddNames(tags, &CTags::AddArtist, FieldsOf(tag, "TPE1"));
  text::AddNames(tags, &CTags::AddComposer, FieldsOf(tag, "TCOM"));
  for (const TextFrame& f : kTextFrames) tags.SetValues(f.field, text::List(FieldsOf(tag, f.id)));
  tags.SetValues(Field::kGenre, text::List(Genres(tag)));
  if (auto* comment = Comment(tag)) tags.SetComment(text::FromTagLib(comment->text()));
  if (auto* lyrics = Lyrics(tag)) tags.SetLyrics(text::FromTagLib(lyrics->text()));
  if (auto* url = Url(tag)) tags.SetUrl(text::FromTagLib(url->url()));
  for (const UserTextFrame& f : kUserTextFrames) tags.SetValues(f.field, text::List(UserTextValues(tag, f.description)));
  if (auto* recording = RecordingFrame(tag)) tags.SetRecordingId(text::FromTagLib(String(recording->identifier(), String::UTF8)));

  for (auto* apic : PictureFrames(tag)) {
    EmbeddedPicture picture;
    picture.data = apic->picture();
    picture.mimeType = text::FromTagLib(apic->mimeType());
    picture.type = static_cast<int>(apic->type());
    picture.description = text::FromTagLib(apic->description());
    pictures.push_back(std::move(picture));
  }
}

void ReadBasic(const TagLib::Tag& tag, CTags& tags) {
  tags.AddArtist(text::FromTagLib(tag.artist()), false);
  tags.SetTitle(text::FromTagLib(tag.title()));
  tags.SetAlbum(text::FromTagLib(tag.album()));
  tags.SetGenre(text::FromTagLib(tag.genre()));
  tags.SetComment(text::FromTagLib(tag.comment()));
  if (tag.year() > 0) tags.SetYear(std::to_wstring(tag.year()));
  if (tag.track() > 0) tags.SetTrackNumber(std::to_wstring(tag.track()));
}

namespace {

// Frame::header() is protected; a member pointer taken through a derived
// class reaches it on any frame.
struct HeaderAccess : Frame {
  static constexpr auto kHeader = &HeaderAccess::header;
};

// TagLib marks frames to be dropped when the tag is written again: frames
// flagged "discard when the tag is altered" (which only an unknown frame
// should be), and the ID3v2.3 frames that 2.4 retired (relative volume,
// equalisation, recording dates, size), which a 2.3 tag keeps holding. Both
// are kept; unknown frames flagged so by their writer still go.
void KeepFramesTagLibWouldDrop(TagLib::ID3v2::Tag& tag) {
  const bool v23 = tag.header()->majorVersion() == 3;
  for (Frame* frame : tag.frameList()) {
    auto* header = (frame->*HeaderAccess::kHeader)();
    if (!header || !header->tagAlterPreservation()) continue;
    const ByteVector id = frame->frameID();
    const bool retired = v23 && (id == "RVAD" || id == "EQUA" || id == "TRDA" || id == "TSIZ");
    if (retired || !dynamic_cast<TagLib::ID3v2::UnknownFrame*>(frame)) header->setTagAlterPreservation(false);
  }
}

}  // namespace

bool Write(const FieldChanges& changes, const std::vector<EmbeddedPicture>* pictures, TagLib::ID3v2::Tag& tag) {
  KeepFramesTagLibWouldDrop(tag);
  if (changes.ArtistsChanged()) SetTextFrame(tag, "TPE1", text::List(changes.Values().artists));
  if (changes.ComposersChanged()) SetTextFrame(tag, "TCOM", text::List(changes.Values().composers));
  for (const TextFrame& f : kTextFrames)
    if (changes.Changed(f.field)) SetTextFrame(tag, f.id, text::List(changes[f.field]));
  if (changes.Changed(Field::kGenre)) SetTextFrame(tag, "TCON", text::List(changes[Field::kGenre]));
  if (changes.Changed(Field::kComment)) SetLanguageFrame(tag, Comment(tag), First(changes[Field::kComment]));
  if (changes.Changed(Field::kLyrics)) SetLanguageFrame(tag, Lyrics(tag), First(changes[Field::kLyrics]));
  for (const UserTextFrame& f : kUserTextFrames)
    if (changes.Changed(f.field)) SetUserText(tag, f.description, text::List(changes[f.field]));
  if (changes.Changed(Field::kRecordingId)) {
    while (auto* frame = RecordingFrame(tag)) tag.removeFrame(frame);
    const CString id = First(changes[Field::kRecordingId]);
    if (!id.IsEmpty())
      tag.addFrame(new TagLib::ID3v2::UniqueFileIdentifierFrame(kRecordingOwner, text::ToTagLib(id).data(String::UTF8)));
  }
  if (changes.Changed(Field::kUrl)) {
    const CString url = First(changes[Field::kUrl]);
    TagLib::ID3v2::UserUrlLinkFrame* frame = Url(tag);
    if (url.IsEmpty()) {
      if (frame) tag.removeFrame(frame);
    } else {
      if (!frame) {
        frame = new TagLib::ID3v2::UserUrlLinkFrame(String::UTF8);
        tag.addFrame(frame);
      }
      frame->setUrl(text::ToTagLib(url));
    }
  }
  return !pictures || WritePictures(*pictures, tag);
}

void WriteBasic(const FieldChanges& changes, TagLib::Tag& tag) {
  if (changes.ArtistsChangedSinceRead()) tag.setArtist(text::ToTagLib(First(changes.Values().artists)));
  if (changes.ChangedSinceRead(Field::kTitle)) tag.setTitle(text::ToTagLib(First(changes[Field::kTitle])));
  if (changes.ChangedSinceRead(Field::kAlbum)) tag.setAlbum(text::ToTagLib(First(changes[Field::kAlbum])));
  if (changes.ChangedSinceRead(Field::kGenre)) tag.setGenre(text::ToTagLib(First(changes[Field::kGenre])));
  if (changes.ChangedSinceRead(Field::kComment)) tag.setComment(text::ToTagLib(First(changes[Field::kComment])));
  if (changes.ChangedSinceRead(Field::kYear))
    tag.setYear(static_cast<unsigned>(text::LeadingNumber(First(changes[Field::kYear]))));
  if (changes.ChangedSinceRead(Field::kTrackNumber))
    tag.setTrack(static_cast<unsigned>(text::LeadingNumber(First(changes[Field::kTrackNumber]))));
}

}  // namespace Meridex::id3
