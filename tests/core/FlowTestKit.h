// What the search-flow tests share: a tagging object standing in for the
// core (songs, options, stop, engine registers, a recording cover
// retrieval), a statistics sink, and catalogue plug-ins loaded into the
// process's sources manager under names chosen by the test.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <boost/make_shared.hpp>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "core/SearchContext.h"
#include "engines/BasicTagsCommonSearchEngine.h"
#include "engines/LyricsCommonSearchEngine.h"
#include "nimbrel/IStatisticsSink.h"
#include "nimbrel/BasicTagsDllInterface.h"
#include "nimbrel/LyricsDllInterface.h"
#include "sources/DllSourcesManager.h"
#include "support/ScratchFolder.h"
#include "sources/PluginFolder.h"
#include "support/plugins/CatalogueControl.h"

namespace flow_tests {

class FakeContext : public ISearchContext {
 public:
  struct CoverRequest {
    std::wstring artist, album, asin;
    bool abortable, thumbnail;
  };

  std::uint32_t AddSong(const std::wstring& artist, const std::wstring& title, const std::wstring& album = L"") {
    Meridex::CTags tags;
    tags.AddArtist(CString(artist), false);
    tags.SetTitle(CString(title));
    if (!album.empty()) tags.SetAlbum(CString(album));
    auto song = boost::make_shared<CNimbrelSong>();
    song->Init(tags, CString());
    std::lock_guard<std::mutex> hold(lock_);
    songs_[++lastId_] = song;
    return lastId_;
  }
  void RemoveSong(std::uint32_t id) {
    std::lock_guard<std::mutex> hold(lock_);
    songs_.erase(id);
  }
  // What the core's stop does to the flow: the flag, then every engine told.
  void Stop() {
    stop_ = true;
    basic_.StopAll();
    lyrics_.StopAll();
  }

  boost::shared_ptr<CNimbrelSong> FindSong(std::uint32_t id) override {
    std::lock_guard<std::mutex> hold(lock_);
    auto found = songs_.find(id);
    return found == songs_.end() ? nullptr : found->second;
  }
  bool StopRequested() const override { return stop_; }
  NimbrelOptions Options() const override {
    std::lock_guard<std::mutex> hold(lock_);
    return options_;
  }
  void SetOptions(const NimbrelOptions& options) {
    std::lock_guard<std::mutex> hold(lock_);
    options_ = options;
  }
  CEngineRegister<CBasicTagsCommonSearchEngine>& BasicEngines() override { return basic_; }
  CEngineRegister<CLyricsCommonSearchEngine>& LyricsEngines() override { return lyrics_; }
  // Answers article numbers listed in `coverFiles`; records every request.
  bool GetCover(const CString& artist, const CString& album, const CString& asin, CString& outPath,
                bool abortable, bool thumbnail) override {
    std::lock_guard<std::mutex> hold(lock_);
    coverRequests.push_back({artist.str(), album.str(), asin.str(), abortable, thumbnail});
    auto found = coverFiles.find(asin.str());
    if (found == coverFiles.end()) return false;
    outPath = found->second;
    return true;
  }

  std::map<std::wstring, std::wstring> coverFiles;
  std::vector<CoverRequest> coverRequests;

 private:
  mutable std::mutex lock_;
  std::map<std::uint32_t, boost::shared_ptr<CNimbrelSong>> songs_;
  std::uint32_t lastId_ = 0;
  std::atomic<bool> stop_{false};
  NimbrelOptions options_;
  CEngineRegister<CBasicTagsCommonSearchEngine> basic_;
  CEngineRegister<CLyricsCommonSearchEngine> lyrics_;
};

class RecordingSink : public IStatisticsSink {
 public:
  void AddValue(std::wstring key, int value) override {
    std::lock_guard<std::mutex> hold(lock_);
    values_.emplace_back(std::move(key), value);
  }
  int Count(const std::wstring& key) const {
    std::lock_guard<std::mutex> hold(lock_);
    int count = 0;
    for (const auto& entry : values_) count += entry.first == key;
    return count;
  }
  std::size_t Size() const {
    std::lock_guard<std::mutex> hold(lock_);
    return values_.size();
  }

 private:
  mutable std::mutex lock_;
  std::vector<std::pair<std::wstring, int>> values_;
};

// Catalogue plug-ins loaded into the process's sources manager: copies of
// the catalogue module under the given names, each with its own data file
// (see CatalogueControl.h; "name <source>" is prepended).
class LoadedCatalogues {
 public:
  // `sources`: name and data of each basic-tags source; `lyrics` likewise.
  LoadedCatalogues(const std::vector<std::pair<std::wstring, std::string>>& sources,
                   const std::vector<std::pair<std::wstring, std::string>>& lyrics = {}) {
    CDllSourcesManager& manager = CDllSourcesManager::Instance();
    Unload();
    for (const auto& source : sources) folder_.Install(L"General", L"Catalogue", source.first + L".so");
    for (const auto& source : lyrics) folder_.Install(L"Lyrics", L"LyricsCatalogue", source.first + L".so");
    EXPECT_EQ(sources.size(), manager.LoadSources(CString(folder_.path()), kSourceGeneral));
    EXPECT_EQ(lyrics.size(), manager.LoadSources(CString(folder_.path()), kSourceLyrics));
    for (const auto& source : sources) Load(source.first, source.second);
    for (const auto& source : lyrics) Load(source.first, source.second, true);
  }
  ~LoadedCatalogues() { Unload(); }

  // Replaces a source's data (resets its call counts).
  void Load(const std::wstring& name, const std::string& data, bool lyrics = false) {
    CString path(folder_.path() + name + L".txt");
    testing_support::WriteFileBytes(path.str(), "name " + std::string(name.begin(), name.end()) + "\n" + data);
    EXPECT_EQ(1, SetProperty(name, lyrics, CString(catalogue::kDataFile), &path));
  }
  std::int32_t Calls(const std::wstring& name, const std::wstring& slot, bool lyrics = false) {
    std::int32_t count = -1;
    CDllSourcesManager& manager = CDllSourcesManager::Instance();
    const CString property(catalogue::kCallsPrefix + slot);
    if (lyrics) {
      if (auto* plugin = manager.GetLyricsInterface(CString(name))) plugin->GetProperty(property, &count);
    } else if (auto* plugin = manager.GetGeneralInterface(CString(name))) {
      plugin->GetProperty(property, &count);
    }
    return count;
  }
  void SetStallHook(const std::wstring& name, catalogue::StallHook* hook) {
    SetProperty(name, false, CString(catalogue::kStallHook), hook);
  }
  // Use slots held on the source now.
  std::uint32_t UseCount(const std::wstring& name, std::int32_t kind = kSourceGeneral) {
    return CDllSourcesManager::Instance().Registry(kind)->GetUseCount(CString(name));
  }

  static void Unload() {
    CDllSourcesManager::Instance().Registry(kSourceGeneral)->UnloadSources();
    CDllSourcesManager::Instance().Registry(kSourceLyrics)->UnloadSources();
  }

 private:
  static std::int32_t SetProperty(const std::wstring& name, bool lyrics, const CString& property, void* value) {
    CDllSourcesManager& manager = CDllSourcesManager::Instance();
    if (lyrics) {
      auto* plugin = manager.GetLyricsInterface(CString(name));
      return plugin ? plugin->SetProperty(property, value) : -1;
    }
    auto* plugin = manager.GetGeneralInterface(CString(name));
    return plugin ? plugin->SetProperty(property, value) : -1;
  }

  testing_support::PluginFolder folder_;
};

}  // namespace flow_tests
