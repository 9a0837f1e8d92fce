#include "meridex/Tags.h"

#include <utility>
#include <vector>

#include "TagsState.h"

namespace Meridex {

// The state of a tag set lives in TagsState.h, shared with TagsFile.cpp.

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
bool CTags::GetSource(CString& source) const { return GetText(State().source, source); }
void CTags::SetSource(const CString& source) { MutableState().source = source; }

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
