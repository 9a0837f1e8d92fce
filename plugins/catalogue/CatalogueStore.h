// The offline catalogue: releases and their tracks in one SQLite file, with
// a full-text index (FTS5, case- and accent-insensitive) over each track's
// artist and title. Written by the nimbrel-catalogue tool, read by the
// "catalogue" source plug-in. Texts are UTF-8.
//
// The file carries its layout version (PRAGMA user_version); a file of
// another version, or one that is not a catalogue at all, does not open.
// Safe for several threads: every call holds the store's lock.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

struct sqlite3;

namespace catalogue {

// Version 2 added track lengths and recording ids, original dates and
// release-group ids; a version 1 file is read as it is and brought up to
// version 2 when opened for writing.
inline constexpr int kSchemaVersion = 2;

struct Track {
  int medium = 1;  // 1-based position of the medium in the release
  int number = 0;  // position on the medium, 0 when unknown
  std::string title;
  int lengthMs = 0;         // 0 when unknown
  std::string recordingId = {};  // the MusicBrainz recording, empty when unknown
};

struct Release {
  std::string key;  // unique in the catalogue (a MusicBrainz id, or made by the importer)
  std::string title;
  std::string artist;
  std::string genre;
  int year = 0;
  std::string coverUrl;
  std::vector<Track> tracks;
  std::string originalDate = {};    // "YYYY[-MM[-DD]]", empty when unknown
  std::string releaseGroupId = {};  // empty when unknown
};

// One medium of a release that a search found.
struct Hit {
  std::string key;
  int medium = 1;
  std::string title;
  std::string artist;
};

class CatalogueStore {
 public:
  CatalogueStore() = default;
  ~CatalogueStore();
  CatalogueStore(const CatalogueStore&) = delete;
  CatalogueStore& operator=(const CatalogueStore&) = delete;

  // Opens `path` to read only; false (and closed) when it is missing, not a
  // catalogue or of another version. A writable file without the recording
  // index is given it first (the one write); otherwise a line on stderr.
  bool OpenReadOnly(const std::string& path);
  // Opens `path` for writing, creating it with the current layout. False
  // when it cannot be created or is a catalogue of another version.
  bool OpenForWriting(const std::string& path);
  void Close();
  bool IsOpen() const;
  std::string Path() const;

  // Writes are grouped: nothing is visible to readers before Commit, and a
  // store closed without Commit keeps nothing of the group.
  bool Begin();
  bool Commit();
  // Adds `release`, replacing the one of the same key. False for a release
  // without key or title, or when the file cannot be written.
  bool Add(const Release& release);

  // Media of releases with a track whose artist holds every word of
  // `artist` in that order and whose title holds every word of `title`.
  std::vector<Hit> FindByTitle(const std::string& artist, const std::string& title);
  // Every medium of the releases of `artist` (as above).
  std::vector<Hit> FindByArtist(const std::string& artist);
  // Every medium of the release of key `releaseKey`, then the media of other
  // releases with a track of the recording `recordingId` (either may be empty).
  std::vector<Hit> FindById(const std::string& releaseKey, const std::string& recordingId);
  // The release of `key` with the tracks of `medium` only (every medium for
  // 0); false when the catalogue does not hold it.
  bool Details(const std::string& key, int medium, Release& out);
  std::int64_t ReleaseCount();

 private:
  bool OpenLocked(const std::string& path, bool write);
  void CloseLocked();
  std::vector<Hit> SearchLocked(const std::string& match);

  mutable std::mutex mutex_;
  sqlite3* db_ = nullptr;
  std::string path_;
};

// `text` as an FTS5 phrase: one quoted string (quotes doubled), so that no
// word of a tag is read as query syntax. Empty for text without any letter
// or digit (nothing to search for).
std::string Phrase(const std::string& text);

}  // namespace catalogue
