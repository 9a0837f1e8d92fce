#include "meridex/Tags.h"

#include <taglib/tbytevectorstream.h>
#include <taglib/tdebuglistener.h>
#include <taglib/tfilestream.h>

#include <cerrno>
#include <cstdint>
#include <exception>
#include <mutex>
#include <utility>
#include <vector>

#include "FileReplacer.h"
#include "FormatTags.h"
#include "Log.h"
#include "MediaFormat.h"
#include "PictureFiles.h"
#include "TagText.h"
#include "platform/File.h"
#include "platform/FileSystem.h"
#include "platform/SystemError.h"

namespace Meridex {

struct CTags::Impl {
  CString tempFolder;
  CString filePath;  // the file read from; empty when not tied to a file
  std::vector<CString> artists;
  std::vector<CString> composers;
  CString title;
  CString album;
  CString genre;
  CString year;
  CString trackNumber;
  CString comment;
  CString originalArtist;
  CString copyright;
  CString encodedBy;
  CString lyrics;
  CString url;
  std::vector<CPictureTag> pictures;
};

namespace {

bool GetText(const CString& value, CString& out) {
  if (value.IsEmpty()) return false;
  out = value;
  return true;
}

template <typename T>
bool GetAt(const std::vector<T>& items, int index, T& out) {
  if (index < 0 || static_cast<std::size_t>(index) >= items.size()) return false;
  out = items[static_cast<std::size_t>(index)];
  return true;
}

// Adds a name to a list of artists or composers under the rules of AddArtist.
bool AddName(std::vector<CString>& names, const CString& name, bool skipIfPresent) {
  if (name.IsEmpty()) return false;
  if (skipIfPresent) {
    for (const CString& present : names)
      if (present.CompareNoCase(name) == 0) return false;
  }
  names.push_back(name);
  return true;
}

// TagLib reports what it finds odd in a file on standard error; in a host
// program that belongs in Meridex's log instead.
class LogListener : public TagLib::DebugListener {
 public:
  void printMessage(const TagLib::String& message) override {
    log::Write(log::Level::kDebug, L"TagLib: " + text::FromTagLib(message).str());
  }
};

void RouteTagLibMessages() {
  static std::once_flag once;
  std::call_once(once, [] {
    static LogListener listener;
    TagLib::setDebugListener(&listener);
  });
}

CString SystemReason() { return CString(platform::ErrorMessage(platform::LastError())); }

// The whole content of a file, straight into TagLib's buffer.
bool ReadContent(const std::wstring& path, TagLib::ByteVector& content) {
  platform::File file;
  if (!file.Open(path, platform::File::Mode::kRead)) return false;
  const std::int64_t size = file.Size();
  if (size < 0 || size > 0x7FFFFFFF) {
    if (size >= 0) platform::SetLastError(EFBIG);  // beyond what TagLib can hold
    return false;
  }
  content = TagLib::ByteVector(static_cast<unsigned int>(size), '\0');
  std::size_t used = 0;
  while (used < content.size()) {
    const std::int64_t n = file.Read(content.data() + used, content.size() - used);
    if (n < 0) return false;
    if (n == 0) break;  // the file shrank meanwhile
    used += static_cast<std::size_t>(n);
  }
  content.resize(static_cast<unsigned int>(used));
  return true;
}

CString Unreadable(const CString& path, MediaFormat format, bool empty) {
  if (empty) return L"cannot read " + path + L": the file is empty";
  if (format == MediaFormat::kUnknown)
    return L"cannot read " + path + L": not an audio file of a known kind (MP3, FLAC, MP4, Ogg Vorbis, Opus, WAV, AIFF)";
  return L"cannot read " + path + L": not a valid " + FormatName(format) + L" file (damaged or truncated)";
}

// True when `path` lies inside `folder` (not through "..").
bool IsInside(const CString& path, const CString& folder) {
  if (folder.IsEmpty()) return false;
  std::wstring prefix = folder.str();
  if (prefix.back() != L'/') prefix += L'/';
  const std::wstring& p = path.str();
  return p.size() > prefix.size() && p.compare(0, prefix.size(), prefix) == 0 &&
         p.find(L"/../", prefix.size() - 1) == std::wstring::npos;
}

}  // namespace

CTags::CTags() : impl_(std::make_unique<Impl>()) {}

CTags::CTags(const CString& tempFolder) : impl_(std::make_unique<Impl>()) { impl_->tempFolder = tempFolder; }

CTags::CTags(const CTags& other) : impl_(std::make_unique<Impl>(other.State())) {}

CTags& CTags::operator=(const CTags& other) {
  if (this != &other) {
    // Copy first, so a failed copy leaves this object unchanged.
    auto copy = std::make_unique<Impl>(other.State());
    impl_ = std::move(copy);
  }
  return *this;
}

CTags::CTags(CTags&& other) noexcept = default;
CTags& CTags::operator=(CTags&& other) noexcept = default;
CTags::~CTags() = default;

const CTags::Impl& CTags::State() const {
  static const Impl empty;
  return impl_ ? *impl_ : empty;
}

CTags::Impl& CTags::MutableState() {
  if (!impl_) impl_ = std::make_unique<Impl>();
  return *impl_;
}

CString CTags::GetTempFolder() const { return State().tempFolder; }
CString CTags::GetFilePath() const { return State().filePath; }

FileResult CTags::ReadFile(const CString& path) {
  try {
    RouteTagLibMessages();
    platform::File probe;  // for the system's reason when the file cannot be opened
    if (!probe.Open(path.str(), platform::File::Mode::kRead))
      return FileResult::Failure(L"cannot read " + path + L": " + SystemReason());
    const bool empty = probe.Size() == 0;
    probe.Close();

    TagLib::FileStream stream(platform::NativePath(path.str()).c_str(), true);
    if (!stream.isOpen()) return FileResult::Failure(L"cannot read " + path + L": " + SystemReason());
    const MediaFormat format = empty ? MediaFormat::kUnknown : DetectFormat(stream);
    CTags fresh(GetTempFolder());
    std::vector<EmbeddedPicture> pictures;
    if (format == MediaFormat::kUnknown || !formats::Read(stream, format, fresh, pictures))
      return FileResult::Failure(Unreadable(path, format, empty));

    if (!pictures.empty()) {
      std::wstring folder;
      FileResult prepared = PictureFiles::PrepareFolder(GetTempFolder(), folder);
      if (!prepared) return FileResult::Failure(L"cannot read the pictures of " + path + L": " + prepared.message);
      for (const EmbeddedPicture& embedded : pictures) {
        CPictureTag picture;
        FileResult extracted = PictureFiles::Extract(folder, embedded, picture);
        if (!extracted) return FileResult::Failure(L"cannot read the pictures of " + path + L": " + extracted.message);
        fresh.AddPicture(picture);
      }
    }
    fresh.impl_->filePath = path;
    *this = std::move(fresh);
    log::Write(log::Level::kDebug, L"Read tags of " + path.str());
    return FileResult::Success();
  } catch (const std::exception& e) {
    return FileResult::Failure(L"cannot read " + path + L": " + CString(platform::FromUtf8(e.what())));
  }
}

FileResult CTags::SaveFile(const CString& path, bool keepModificationTime) const {
  try {
    RouteTagLibMessages();
    std::vector<EmbeddedPicture> pictures;
    FileResult loaded = PictureFiles::Load(*this, pictures);
    if (!loaded) return FileResult::Failure(L"cannot save " + path + L": " + loaded.message);

    // A link is saved through: the file it points to gets the new content.
    const std::wstring target = platform::ResolvePath(path.str());
    TagLib::ByteVector content;
    if (target.empty() || !ReadContent(target, content))
      return FileResult::Failure(L"cannot save " + path + L": " + SystemReason());
    TagLib::ByteVectorStream stream(content);
    const MediaFormat format = content.isEmpty() ? MediaFormat::kUnknown : DetectFormat(stream);
    if (format == MediaFormat::kUnknown)
      return FileResult::Failure(L"cannot save " + path + L": " +
                                 (content.isEmpty() ? CString(L"the file is empty") : CString(L"not an audio file of a known kind")));
    if (!formats::Write(stream, format, *this, pictures))
      return FileResult::Failure(L"cannot save " + path + L": TagLib could not write the tags of this " +
                                 FormatName(format) + L" file (damaged or truncated?)");
    FileResult replaced = ReplaceFileContent(target, *stream.data(), keepModificationTime);
    if (!replaced) {
      log::Write(log::Level::kError, replaced.message.str());
      return replaced;
    }
    log::Write(log::Level::kDebug, L"Saved tags of " + path.str());
    return replaced;
  } catch (const std::exception& e) {
    return FileResult::Failure(L"cannot save " + path + L": " + CString(platform::FromUtf8(e.what())));
  }
}

int CTags::GetArtistCount() const { return static_cast<int>(State().artists.size()); }
bool CTags::GetArtist(int index, CString& artist) const { return GetAt(State().artists, index, artist); }

bool CTags::GetFirstValidArtist(CString& artist) const {
  for (const CString& candidate : State().artists) {
    CString trimmed = candidate;
    if (!trimmed.Trim().IsEmpty()) {
      artist = trimmed;
      return true;
    }
  }
  return false;
}

bool CTags::AddArtist(const CString& artist, bool skipIfPresent) {
  return AddName(MutableState().artists, artist, skipIfPresent);
}
void CTags::RemoveAllArtists() {
  if (impl_) impl_->artists.clear();
}

int CTags::GetComposerCount() const { return static_cast<int>(State().composers.size()); }
bool CTags::GetComposer(int index, CString& composer) const { return GetAt(State().composers, index, composer); }
bool CTags::AddComposer(const CString& composer, bool skipIfPresent) {
  return AddName(MutableState().composers, composer, skipIfPresent);
}
void CTags::RemoveAllComposers() {
  if (impl_) impl_->composers.clear();
}

bool CTags::GetTitle(CString& title) const { return GetText(State().title, title); }
void CTags::SetTitle(const CString& title) { MutableState().title = title; }
bool CTags::GetAlbum(CString& album) const { return GetText(State().album, album); }
void CTags::SetAlbum(const CString& album) { MutableState().album = album; }
bool CTags::GetGenre(CString& genre) const { return GetText(State().genre, genre); }
void CTags::SetGenre(const CString& genre) { MutableState().genre = genre; }
bool CTags::GetYear(CString& year) const { return GetText(State().year, year); }
void CTags::SetYear(const CString& year) { MutableState().year = year; }
bool CTags::GetTrackNumber(CString& trackNumber) const { return GetText(State().trackNumber, trackNumber); }
void CTags::SetTrackNumber(const CString& trackNumber) { MutableState().trackNumber = trackNumber; }
bool CTags::GetComment(CString& comment) const { return GetText(State().comment, comment); }
void CTags::SetComment(const CString& comment) { MutableState().comment = comment; }
bool CTags::GetOriginalArtist(CString& originalArtist) const {
  return GetText(State().originalArtist, originalArtist);
}
void CTags::SetOriginalArtist(const CString& originalArtist) { MutableState().originalArtist = originalArtist; }
bool CTags::GetCopyright(CString& copyright) const { return GetText(State().copyright, copyright); }
void CTags::SetCopyright(const CString& copyright) { MutableState().copyright = copyright; }
bool CTags::GetEncodedBy(CString& encodedBy) const { return GetText(State().encodedBy, encodedBy); }
void CTags::SetEncodedBy(const CString& encodedBy) { MutableState().encodedBy = encodedBy; }
bool CTags::GetLyrics(CString& lyrics) const { return GetText(State().lyrics, lyrics); }
void CTags::SetLyrics(const CString& lyrics) { MutableState().lyrics = lyrics; }
bool CTags::GetUrl(CString& url) const { return GetText(State().url, url); }
void CTags::SetUrl(const CString& url) { MutableState().url = url; }

int CTags::GetPictureCount() const { return static_cast<int>(State().pictures.size()); }
bool CTags::GetPicture(int index, CPictureTag& picture) const { return GetAt(State().pictures, index, picture); }

bool CTags::AddPicture(const CPictureTag& picture) {
  if (picture.IsEmpty()) return false;
  Impl& state = MutableState();
  state.pictures.push_back(picture);
  // The temporary folder is Meridex's scratch space: what lies there is its own.
  if (IsInside(picture.GetFilePath(), state.tempFolder)) state.pictures.back().TakeOwnership();
  return true;
}

void CTags::RemoveAllPictures() {
  if (impl_) impl_->pictures.clear();
}

}  // namespace Meridex
