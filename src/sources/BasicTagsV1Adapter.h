// Serves a basic-tags module built against SDK level 1 through today's
// contract: every record crossing into the module is copied into the layout
// it was built with, and every record coming back is copied out, the fields
// of later levels left as they were (or empty). The engine a search connects
// is handed to the module behind a level-1 face of its own, one per thread
// that connects (a search runs on one thread).
//
// Owned by the plug-in's registry entry and destroyed before its module is
// freed. Safe for concurrent searches, as the contract requires.
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <thread>

#include "nimbrel/SourcePlugin.h"
#include "sources/SdkV1Interface.h"

class CBasicTagsV1Adapter : public CBasicTagsDllInterface {
 public:
  // `entry` is the module's GetDllInterface, asked once on first use.
  explicit CBasicTagsV1Adapter(GetDllInterfaceFunction entry);
  ~CBasicTagsV1Adapter() override;

  // The module's own interface, or null when it offers none.
  sdk_v1::CBasicTagsDllInterface* Target();

  std::int32_t SetProperty(const CString& name, void* value) override;
  std::int32_t GetProperty(const CString& name, void* out) override;
  std::int32_t CallMethod(const CString& name, void* args) override;
  std::int32_t FindAlbumsByArtist(const CString* artist, std::list<Nimbrel::AlbumResult>& albums) override;
  std::int32_t GetAlbumDetails(Nimbrel::AlbumInfo* album, Nimbrel::CoverInfo* cover,
                               std::list<Nimbrel::TrackInfo>* tracks) override;
  std::int32_t Connect(IBasicTagsSearchEngine* engine) override;
  std::int32_t FindAlbums(const CString* artist, const CString* title, std::list<Nimbrel::AlbumResult>& albums,
                          bool countOnly) override;

 private:
  class EngineFace;

  GetDllInterfaceFunction entry_;
  std::once_flag asked_;
  sdk_v1::CBasicTagsDllInterface* target_ = nullptr;
  std::mutex facesLock_;
  std::map<std::thread::id, std::unique_ptr<EngineFace>> faces_;
};

// Copies between the layouts; the fields of later levels keep what `to` held.
namespace sdk_v1 {
void CopyInto(const Nimbrel::TrackInfo& from, TrackInfo& to);
void CopyInto(const TrackInfo& from, Nimbrel::TrackInfo& to);
void CopyInto(const Nimbrel::AlbumInfo& from, AlbumInfo& to);
void CopyInto(const AlbumInfo& from, Nimbrel::AlbumInfo& to);
}  // namespace sdk_v1
