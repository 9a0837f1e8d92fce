#include "sources/BasicTagsV1Adapter.h"

#include <utility>

namespace sdk_v1 {

void CopyInto(const Nimbrel::TrackInfo& from, TrackInfo& to) {
  to.title = from.title;
  to.trackNumber = from.trackNumber;
  to.composer = from.composer;
  to.comment = from.comment;
  to.originalArtist = from.originalArtist;
  to.copyright = from.copyright;
  to.encodedBy = from.encodedBy;
}

void CopyInto(const TrackInfo& from, Nimbrel::TrackInfo& to) {
  to.title = from.title;
  to.trackNumber = from.trackNumber;
  to.composer = from.composer;
  to.comment = from.comment;
  to.originalArtist = from.originalArtist;
  to.copyright = from.copyright;
  to.encodedBy = from.encodedBy;
}

void CopyInto(const Nimbrel::AlbumInfo& from, AlbumInfo& to) {
  to.album = from.album;
  to.artist = from.artist;
  to.genre = from.genre;
  to.year = from.year;
  to.albumNumber = from.albumNumber;
  to.albumKey = from.albumKey;
}

void CopyInto(const AlbumInfo& from, Nimbrel::AlbumInfo& to) {
  to.album = from.album;
  to.artist = from.artist;
  to.genre = from.genre;
  to.year = from.year;
  to.albumNumber = from.albumNumber;
  to.albumKey = from.albumKey;
}

}  // namespace sdk_v1

namespace {

template <class To, class From>
std::list<To> CopyTracks(const std::list<From>& from) {
  std::list<To> to;
  for (const From& track : from) sdk_v1::CopyInto(track, to.emplace_back());
  return to;
}

// Albums a level-1 module appended, in today's layout.
void AppendAlbums(const std::list<sdk_v1::AlbumResult>& from, std::list<Nimbrel::AlbumResult>& to) {
  for (const sdk_v1::AlbumResult& album : from) {
    Nimbrel::AlbumResult& result = to.emplace_back();
    sdk_v1::CopyInto(album.albumInfo, result.albumInfo);
    result.coverInfo = album.coverInfo;
    result.tracks = CopyTracks<Nimbrel::TrackInfo>(album.tracks);
    result.source = album.source;
    result.sourceId = album.sourceId;
  }
}

}  // namespace

// The engine as a level-1 module sees it.
class CBasicTagsV1Adapter::EngineFace : public sdk_v1::IBasicTagsSearchEngine {
 public:
  explicit EngineFace(::IBasicTagsSearchEngine* engine) : engine_(engine) {}

  std::int32_t SetProperty(const CString& name, void* value) override { return engine_->SetProperty(name, value); }
  std::int32_t GetProperty(const CString& name, void* out) override { return engine_->GetProperty(name, out); }
  std::int32_t CallMethod(const CString& name, void* args) override { return engine_->CallMethod(name, args); }
  void SetStop() override { engine_->SetStop(); }
  bool IsStopped() override { return engine_->IsStopped(); }
  std::int32_t GetActiveSearchCount() override { return engine_->GetActiveSearchCount(); }
  // A module never connects an engine to an interface.
  std::int32_t Connect(sdk_v1::CBasicTagsDllInterface*) override { return 0; }
  bool IsTimeOut() override { return engine_->IsTimeOut(); }
  void GetAllBasicTags(std::list<Nimbrel::SongQuery> songs) override { engine_->GetAllBasicTags(std::move(songs)); }
  std::int32_t GetAlbumDetails(sdk_v1::AlbumInfo* album, sdk_v1::CoverInfo* cover,
                               std::list<sdk_v1::TrackInfo>* tracks) override {
    Nimbrel::AlbumInfo current;
    if (album) sdk_v1::CopyInto(*album, current);
    std::list<Nimbrel::TrackInfo> found;
    if (tracks) found = CopyTracks<Nimbrel::TrackInfo>(*tracks);
    const std::int32_t result = engine_->GetAlbumDetails(album ? &current : nullptr, cover, tracks ? &found : nullptr);
    if (album) sdk_v1::CopyInto(current, *album);
    if (tracks) *tracks = CopyTracks<sdk_v1::TrackInfo>(found);
    return result;
  }
  std::int32_t DownloadCover(const CString* artist, const CString* albumName, sdk_v1::CoverInfo* cover) override {
    return engine_->DownloadCover(artist, albumName, cover);
  }

 private:
  ::IBasicTagsSearchEngine* engine_;
};

// The module's object is of its own level's class, which the library knows
// only as a class of the same layout under another name: UndefinedBehavior-
// Sanitizer's type check cannot see the one as the other, so calls into the
// module are not type-checked.
#define NIMBREL_FOREIGN_CALL __attribute__((no_sanitize("vptr")))

CBasicTagsV1Adapter::CBasicTagsV1Adapter(GetDllInterfaceFunction entry) : entry_(entry) {}

CBasicTagsV1Adapter::~CBasicTagsV1Adapter() = default;

sdk_v1::CBasicTagsDllInterface* CBasicTagsV1Adapter::Target() {
  std::call_once(asked_, [this] {
    if (entry_) target_ = static_cast<sdk_v1::CBasicTagsDllInterface*>(entry_());
  });
  return target_;
}

NIMBREL_FOREIGN_CALL std::int32_t CBasicTagsV1Adapter::SetProperty(const CString& name, void* value) {
  sdk_v1::CBasicTagsDllInterface* target = Target();
  const std::int32_t result = target ? target->SetProperty(name, value) : 0;
  // This thread's search has ended: its engine's face is no longer used.
  if (name == L"SearchEnded") {
    std::lock_guard<std::mutex> lock(facesLock_);
    faces_.erase(std::this_thread::get_id());
  }
  return result;
}

// A search by ids hands albums of today's layout: never to a level-1 module.
NIMBREL_FOREIGN_CALL std::int32_t CBasicTagsV1Adapter::GetProperty(const CString& name, void* out) {
  if (name == L"SearchesById") return 0;
  sdk_v1::CBasicTagsDllInterface* target = Target();
  return target ? target->GetProperty(name, out) : 0;
}

NIMBREL_FOREIGN_CALL std::int32_t CBasicTagsV1Adapter::CallMethod(const CString& name, void* args) {
  if (name == L"FindAlbumsById") return 0;
  sdk_v1::CBasicTagsDllInterface* target = Target();
  return target ? target->CallMethod(name, args) : 0;
}

NIMBREL_FOREIGN_CALL std::int32_t CBasicTagsV1Adapter::FindAlbumsByArtist(const CString* artist, std::list<Nimbrel::AlbumResult>& albums) {
  sdk_v1::CBasicTagsDllInterface* target = Target();
  if (!target) return 0;
  std::list<sdk_v1::AlbumResult> found;
  const std::int32_t result = target->FindAlbumsByArtist(artist, found);
  AppendAlbums(found, albums);
  return result;
}

NIMBREL_FOREIGN_CALL std::int32_t CBasicTagsV1Adapter::GetAlbumDetails(Nimbrel::AlbumInfo* album, Nimbrel::CoverInfo* cover,
                                                  std::list<Nimbrel::TrackInfo>* tracks) {
  sdk_v1::CBasicTagsDllInterface* target = Target();
  if (!target) return 0;
  sdk_v1::AlbumInfo asked;
  if (album) sdk_v1::CopyInto(*album, asked);
  std::list<sdk_v1::TrackInfo> found;
  if (tracks) found = CopyTracks<sdk_v1::TrackInfo>(*tracks);
  const std::int32_t result = target->GetAlbumDetails(album ? &asked : nullptr, cover, tracks ? &found : nullptr);
  if (album) sdk_v1::CopyInto(asked, *album);
  if (tracks) *tracks = CopyTracks<Nimbrel::TrackInfo>(found);
  return result;
}

NIMBREL_FOREIGN_CALL std::int32_t CBasicTagsV1Adapter::Connect(IBasicTagsSearchEngine* engine) {
  sdk_v1::CBasicTagsDllInterface* target = Target();
  if (!target) return 0;
  if (!engine) return target->Connect(nullptr);
  EngineFace* face;
  {
    // One search per thread: a new connection replaces the thread's earlier face.
    std::lock_guard<std::mutex> lock(facesLock_);
    std::unique_ptr<EngineFace>& slot = faces_[std::this_thread::get_id()];
    slot = std::make_unique<EngineFace>(engine);
    face = slot.get();
  }
  return target->Connect(face);
}

NIMBREL_FOREIGN_CALL std::int32_t CBasicTagsV1Adapter::FindAlbums(const CString* artist, const CString* title,
                                             std::list<Nimbrel::AlbumResult>& albums, bool countOnly) {
  sdk_v1::CBasicTagsDllInterface* target = Target();
  if (!target) return 0;
  std::list<sdk_v1::AlbumResult> found;
  const std::int32_t result = target->FindAlbums(artist, title, found, countOnly);
  AppendAlbums(found, albums);
  return result;
}
