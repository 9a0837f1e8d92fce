// What the engine tests share: songs, the recorder behind the engines'
// plain-function callbacks, and the log look-up.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <list>
#include <mutex>
#include <string>
#include <vector>

#include "nimbrel/AlbumResult.h"
#include "nimbrel/LyricsInfo.h"
#include "nimbrel/SongQuery.h"
#include "support/ProcessLog.h"

namespace engine_tests {

inline Nimbrel::SongQuery Song(const std::wstring& artist, const std::wstring& title, unsigned id,
                               const std::wstring& link = L"") {
  Nimbrel::SongQuery song;
  song.artist = artist;
  song.title = title;
  song.album = L"Some album";
  song.lyricsLink = link;
  song.songId = id;
  return song;
}

inline bool Logged(const std::wstring& entry) {
  return testing_support::ProcessLogText().find(entry) != std::wstring::npos;
}

// Everything the callbacks received, for one test at a time.
struct Recorder {
  struct Found {
    unsigned songId;
    Nimbrel::SongInfo info;
  };
  struct Written {
    std::vector<std::wstring> titles;
    bool found, byArtist;
  };
  std::mutex mutex;
  std::vector<Found> found;
  std::vector<Nimbrel::LyricsInfo> lyrics;
  std::vector<Written> written;
  int albumsCalls = 0, tracksCalls = 0;

  static Recorder*& Current() {
    static Recorder* current = nullptr;
    return current;
  }
  Recorder() { Current() = this; }
  ~Recorder() { Current() = nullptr; }

  // Titles written as not found, in order.
  std::vector<std::wstring> NotFound() {
    std::vector<std::wstring> titles;
    for (const auto& w : written)
      if (!w.found) titles.insert(titles.end(), w.titles.begin(), w.titles.end());
    return titles;
  }

  static void OnSong(void* object, unsigned id, const Nimbrel::SongInfo* info) {
    auto* self = static_cast<Recorder*>(object);
    std::lock_guard<std::mutex> lock(self->mutex);
    self->found.push_back({id, *info});
  }
  static void OnLyrics(void* object, unsigned, Nimbrel::LyricsInfo* info) {
    auto* self = static_cast<Recorder*>(object);
    std::lock_guard<std::mutex> lock(self->mutex);
    self->lyrics.push_back(*info);
  }
  static void OnAlbums(std::list<Nimbrel::AlbumResult>, const wchar_t*) { ++Current()->albumsCalls; }
  static void OnTracks(Nimbrel::AlbumInfo, Nimbrel::CoverInfo, std::list<Nimbrel::TrackInfo>, const wchar_t*) {
    ++Current()->tracksCalls;
  }
  static void OnWriteBasic(std::list<Nimbrel::AlbumResult>* results, bool found, bool byArtist) {
    Written w{{}, found, byArtist};
    for (const auto& r : *results) {
      if (r.tracks.empty()) w.titles.push_back(L"");
      for (const auto& track : r.tracks) w.titles.push_back(track.title);
    }
    std::lock_guard<std::mutex> lock(Current()->mutex);
    Current()->written.push_back(w);
  }
  static void OnWriteLyrics(std::list<Nimbrel::LyricsInfo>* results, bool found, bool byArtist) {
    Written w{{}, found, byArtist};
    for (const auto& r : *results) w.titles.push_back(r.title);
    std::lock_guard<std::mutex> lock(Current()->mutex);
    Current()->written.push_back(w);
  }
};

// Sets `engine` up as the core does (its match limit and time-out), with
// `recorder` taking what it finds through the callback property
// `callbackName` (by default the basic engine's songs).
template <class Engine>
void SetUpLikeTheCore(Engine& engine, Recorder& recorder, const wchar_t* callbackName = L"PFSongInfoCallback",
                      void* callback = reinterpret_cast<void*>(&Recorder::OnSong)) {
  float maxDifference = 10.0f;
  engine.SetProperty(L"MaxMatchDifference", &maxDifference);
  std::int32_t timeOut = 150000;  // the core's limit
  engine.SetProperty(L"TimeOut", &timeOut);
  engine.SetProperty(L"NimbrelObject", &recorder);
  engine.SetProperty(callbackName, callback);
}

}  // namespace engine_tests
