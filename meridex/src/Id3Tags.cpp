#include "Id3Tags.h"

#include <taglib/attachedpictureframe.h>
#include <taglib/commentsframe.h>
#include <taglib/tag.h>
#include <taglib/id3v2tag.h>
#include <taglib/textidentificationframe.h>
#include <taglib/unsynchronizedlyricsframe.h>
#include <taglib/urllinkframe.h>

#include "TagText.h"

namespace Meridex::id3 {

namespace {

using TagLib::ByteVector;
using TagLib::String;
using TagLib::StringList;
using TagLib::ID3v2::Frame;
using TagLib::ID3v2::FrameList;

// The single-valued text frames and the tag set's accessors for them.
struct TextFrame {
  const char* id;
  bool (CTags::*get)(CString&) const;
  void (CTags::*set)(const CString&);
};
constexpr TextFrame kTextFrames[] = {
    {"TIT2", &CTags::GetTitle, &CTags::SetTitle},         {"TALB", &CTags::GetAlbum, &CTags::SetAlbum},
    {"TDRC", &CTags::GetYear, &CTags::SetYear},           {"TRCK", &CTags::GetTrackNumber, &CTags::SetTrackNumber},
    {"TCOP", &CTags::GetCopyright, &CTags::SetCopyright}, {"TENC", &CTags::GetEncodedBy, &CTags::SetEncodedBy},
    {"TOPE", &CTags::GetOriginalArtist, &CTags::SetOriginalArtist},
};

StringList FieldsOf(const TagLib::ID3v2::Tag& tag, const char* id) {
  const FrameList& frames = tag.frameList(id);
  if (frames.isEmpty()) return {};
  if (auto* text = dynamic_cast<TagLib::ID3v2::TextIdentificationFrame*>(frames.front())) return text->fieldList();
  return StringList(frames.front()->toString());
}

// The frame of kind `Kind` without description, else the first one.
template <typename Kind>
Kind* PlainFrame(const TagLib::ID3v2::Tag& tag, const char* id) {
  Kind* first = nullptr;
  for (Frame* frame : tag.frameList(id)) {
    auto* typed = dynamic_cast<Kind*>(frame);
    if (!typed) continue;
    if (typed->description().isEmpty()) return typed;
    if (!first) first = typed;
  }
  return first;
}

// Removes the frames of `id` whose description is empty (the ones this
// library writes); frames that other programs keep under a description stay.
template <typename Kind>
void RemovePlainFrames(TagLib::ID3v2::Tag& tag, const char* id) {
  const FrameList frames = tag.frameList(id);  // a copy: removing changes the list
  for (Frame* frame : frames) {
    auto* typed = dynamic_cast<Kind*>(frame);
    if (!typed || typed->description().isEmpty()) tag.removeFrame(frame);
  }
}

void SetTextFrame(TagLib::ID3v2::Tag& tag, const char* id, const StringList& values) {
  tag.removeFrames(id);
  if (values.isEmpty()) return;
  auto* frame = new TagLib::ID3v2::TextIdentificationFrame(ByteVector(id), String::UTF8);
  frame->setText(values);
  tag.addFrame(frame);
}

StringList One(const CString& value) { return value.IsEmpty() ? StringList() : StringList(text::ToTagLib(value)); }

}  // namespace

void Read(const TagLib::ID3v2::Tag& tag, CTags& tags, std::vector<EmbeddedPicture>& pictures) {
  text::AddNames(tags, &CTags::AddArtist, FieldsOf(tag, "TPE1"));
  text::AddNames(tags, &CTags::AddComposer, FieldsOf(tag, "TCOM"));
  for (const TextFrame& f : kTextFrames) {
    const StringList values = FieldsOf(tag, f.id);
    if (!values.isEmpty()) (tags.*f.set)(text::FromTagLib(values.toString(" / ")));
  }
  // TagLib resolves numeric genre references such as "(17)" to names.
  tags.SetGenre(text::FromTagLib(tag.genre()));
  if (auto* comment = PlainFrame<TagLib::ID3v2::CommentsFrame>(tag, "COMM"))
    tags.SetComment(text::FromTagLib(comment->text()));
  if (auto* lyrics = PlainFrame<TagLib::ID3v2::UnsynchronizedLyricsFrame>(tag, "USLT"))
    tags.SetLyrics(text::FromTagLib(lyrics->text()));
  if (auto* url = PlainFrame<TagLib::ID3v2::UserUrlLinkFrame>(tag, "WXXX")) tags.SetUrl(text::FromTagLib(url->url()));

  for (Frame* frame : tag.frameList("APIC")) {
    auto* apic = dynamic_cast<TagLib::ID3v2::AttachedPictureFrame*>(frame);
    if (!apic || apic->picture().isEmpty()) continue;
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

void Write(const CTags& tags, const std::vector<EmbeddedPicture>& pictures, TagLib::ID3v2::Tag& tag) {
  SetTextFrame(tag, "TPE1", text::Artists(tags));
  SetTextFrame(tag, "TCOM", text::Composers(tags));
  for (const TextFrame& f : kTextFrames) SetTextFrame(tag, f.id, One(text::Get(tags, f.get)));
  SetTextFrame(tag, "TCON", One(text::Get(tags, &CTags::GetGenre)));

  RemovePlainFrames<TagLib::ID3v2::CommentsFrame>(tag, "COMM");
  const CString comment = text::Get(tags, &CTags::GetComment);
  if (!comment.IsEmpty()) {
    auto* frame = new TagLib::ID3v2::CommentsFrame(String::UTF8);
    frame->setLanguage("eng");
    frame->setText(text::ToTagLib(comment));
    tag.addFrame(frame);
  }
  tag.removeFrames("USLT");
  const CString lyrics = text::Get(tags, &CTags::GetLyrics);
  if (!lyrics.IsEmpty()) {
    auto* frame = new TagLib::ID3v2::UnsynchronizedLyricsFrame(String::UTF8);
    frame->setLanguage("eng");
    frame->setText(text::ToTagLib(lyrics));
    tag.addFrame(frame);
  }
  RemovePlainFrames<TagLib::ID3v2::UserUrlLinkFrame>(tag, "WXXX");
  const CString url = text::Get(tags, &CTags::GetUrl);
  if (!url.IsEmpty()) {
    auto* frame = new TagLib::ID3v2::UserUrlLinkFrame(String::UTF8);
    frame->setUrl(text::ToTagLib(url));
    tag.addFrame(frame);
  }

  tag.removeFrames("APIC");
  for (const EmbeddedPicture& picture : pictures) {
    auto* frame = new TagLib::ID3v2::AttachedPictureFrame;
    frame->setTextEncoding(String::UTF8);
    frame->setMimeType(text::ToTagLib(picture.mimeType));
    frame->setType(static_cast<TagLib::ID3v2::AttachedPictureFrame::Type>(picture.type));
    frame->setDescription(text::ToTagLib(picture.description));
    frame->setPicture(picture.data);
    tag.addFrame(frame);
  }
}

void WriteBasic(const CTags& tags, TagLib::Tag& tag) {
  CString artist;
  tags.GetArtist(0, artist);
  tag.setArtist(text::ToTagLib(artist));
  tag.setTitle(text::ToTagLib(text::Get(tags, &CTags::GetTitle)));
  tag.setAlbum(text::ToTagLib(text::Get(tags, &CTags::GetAlbum)));
  tag.setGenre(text::ToTagLib(text::Get(tags, &CTags::GetGenre)));
  tag.setComment(text::ToTagLib(text::Get(tags, &CTags::GetComment)));
  tag.setYear(static_cast<unsigned>(text::LeadingNumber(text::Get(tags, &CTags::GetYear))));
  tag.setTrack(static_cast<unsigned>(text::LeadingNumber(text::Get(tags, &CTags::GetTrackNumber))));
}

}  // namespace Meridex::id3
