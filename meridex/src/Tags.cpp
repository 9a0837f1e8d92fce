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


int CTags::GetArtistCount() const { return static_cast<int>(State().values.artists.size()); }
bool CTags::GetArtist(int index, CString& artist) const { return GetAt(State().values.artists, index, artist); }

bool CTags::GetFirstValidArtist(CString& artist) const {
  for (const CString& candidate : State().values.artists) {
    CString trimmed = candidate;
    if (!trimmed.Trim().IsEmpty()) {
      artist = trimmed;
      return true;
    }
  }
  return false;
}

bool CTags::AddArtist(const CString& artist, bool skipIfPresent) {
  return AddName(MutableState().values.artists, artist, skipIfPresent);
}
void CTags::RemoveAllArtists() {
  if (impl_) impl_->values.artists.clear();
}

int CTags::GetComposerCount() const { return static_cast<int>(State().values.composers.size()); }
bool CTags::GetComposer(int index, CString& composer) const {
  return GetAt(State().values.composers, index, composer);
}
bool CTags::AddComposer(const CString& composer, bool skipIfPresent) {
  return AddName(MutableState().values.composers, composer, skipIfPresent);
}
void CTags::RemoveAllComposers() {
  if (impl_) impl_->values.composers.clear();
}

std::vector<CString> CTags::GetValues(Field field) const { return State().values[field]; }

void CTags::SetValues(Field field, const std::vector<CString>& values) {
  std::vector<CString>& list = MutableState().values[field];
  list.clear();
  for (const CString& value : values)
    if (!value.IsEmpty()) list.push_back(value);
}

namespace {

bool GetFirst(const std::vector<CString>& list, CString& out) {
  if (list.empty() || list.front().IsEmpty()) return false;
  out = list.front();
  return true;
}

// The value that is first already keeps the others with it: a host that
// sets what it read does not lose a file's second genre.
void SetFirst(std::vector<CString>& list, const CString& value) {
  if (value.IsEmpty()) {
    list.clear();
  } else if (list.empty() || list.front() != value) {
    list.assign(1, value);
  }
}

}  // namespace

#define MERIDEX_TEXT_FIELD(Name, field)                                                          \
  bool CTags::Get##Name(CString& value) const { return GetFirst(State().values[field], value); } \
  void CTags::Set##Name(const CString& value) { SetFirst(MutableState().values[field], value); }
MERIDEX_TEXT_FIELD(Title, Field::kTitle)
MERIDEX_TEXT_FIELD(Album, Field::kAlbum)
MERIDEX_TEXT_FIELD(Genre, Field::kGenre)
MERIDEX_TEXT_FIELD(Year, Field::kYear)
MERIDEX_TEXT_FIELD(TrackNumber, Field::kTrackNumber)
MERIDEX_TEXT_FIELD(Comment, Field::kComment)
MERIDEX_TEXT_FIELD(OriginalArtist, Field::kOriginalArtist)
MERIDEX_TEXT_FIELD(Copyright, Field::kCopyright)
MERIDEX_TEXT_FIELD(EncodedBy, Field::kEncodedBy)
MERIDEX_TEXT_FIELD(Lyrics, Field::kLyrics)
MERIDEX_TEXT_FIELD(Url, Field::kUrl)
MERIDEX_TEXT_FIELD(DiscNumber, Field::kDiscNumber)
MERIDEX_TEXT_FIELD(AlbumArtist, Field::kAlbumArtist)
MERIDEX_TEXT_FIELD(OriginalDate, Field::kOriginalDate)
MERIDEX_TEXT_FIELD(RecordingId, Field::kRecordingId)
MERIDEX_TEXT_FIELD(ReleaseId, Field::kReleaseId)
MERIDEX_TEXT_FIELD(ReleaseGroupId, Field::kReleaseGroupId)
#undef MERIDEX_TEXT_FIELD

int CTags::GetLengthMs() const { return State().lengthMs; }
void CTags::SetLengthMs(int lengthMs) { MutableState().lengthMs = lengthMs > 0 ? lengthMs : 0; }

bool CTags::GetSource(CString& source) const { return GetText(State().source, source); }
void CTags::SetSource(const CString& source) { MutableState().source = source; }

int CTags::GetPictureCount() const { return static_cast<int>(State().pictures.size()); }
bool CTags::GetPicture(int index, CPictureTag& picture) const { return GetAt(State().pictures, index, picture); }

int CTags::GetFrontCoverIndex() const {
  const std::vector<CPictureTag>& pictures = State().pictures;
  bool typed = false;
  for (std::size_t i = 0; i < pictures.size(); ++i) {
    if (pictures[i].GetType() == 3) return static_cast<int>(i);
    typed = typed || pictures[i].GetType() != 0;
  }
  return pictures.empty() || typed ? -1 : 0;
}

bool CTags::AddPicture(const CPictureTag& picture) {
  if (picture.IsEmpty()) return false;
  Impl& state = MutableState();
  state.pictures.push_back(picture);
  // The temporary folder is Meridex's scratch space: what lies there is its own.
  if (!picture.IsOwnedByMeridex() && IsInside(picture.GetFilePath(), state.tempFolder))
    state.pictures.back().TakeOwnership();
  return true;
}

void CTags::RemoveAllPictures() {
  if (impl_) impl_->pictures.clear();
}

}  // namespace Meridex
