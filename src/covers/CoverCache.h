// The cover cache: downloaded cover pictures kept as plain files in one
// folder below the temporary folder, so that a picture fetched once for an
// album is found again by later songs and later runs.
//
// A picture's file name is CoverName(key1, key2, text3) + "_" + UrlKey(url)
// + the address's extension, for instance "large_B012345678__1A2B3C4D.jpg".
// Look-ups without an address match file names by prefix. Pictures whose
// address has no extension are stored in JPEG form with ".jpg" appended. The
// folder is trimmed to a byte budget when the cache is destroyed. Its "tmp"
// subfolder holds one folder per process (named by the process id in
// hexadecimal) for downloads in progress and temporary copies of pictures;
// a cache removes only its own process's folder, so one process's unload
// never takes files another process still uses.
//
// The folders are ours: each is made 0700 and checked (AssurePrivateDir), and
// when the temporary folder or one of them is refused (a link, another
// user's, writable by others) the cache is off: it logs that once, finds
// nothing, downloads nothing, copies nothing and never cleans anything.
//
// Hidden names: a name beginning with "." is hidden here and never listed,
// so a CoverName that would begin with "." (an artist ".38 Special") begins
// with "~" before it. "~" never occurs in a CoverName otherwise (see below),
// so the escaped name cannot meet an ordinary one.
//
// Long names: a file name may not exceed kMaxFileNameBytes bytes of UTF-8.
// A CoverName longer than kMaxCoverNameBytes is stored shortened: cut at a
// character boundary and followed by "~" and the CRC-32 of the whole name
// (eight hexadecimal digits). "~" never occurs in a CoverName otherwise, so a
// shortened name cannot collide with an ordinary one, and MakeCoverPath,
// FindCachedCover and GetCover all use the same shortened form. An address
// extension longer than kMaxExtensionBytes is cut likewise. Prefix look-ups
// that name a shortened key find only pictures stored under that same key.
//
// Downloads go to a temporary file in "tmp" and are moved into place only
// when they completed and hold a picture (see platform::ProbeImage), so a
// failed or broken download never appears under a cover's name.
//
// Thread-safe: GetCover and the look-ups may run on many threads at once.
// Only the record of address results is locked; two threads fetching the
// same missing picture both download it, and the last move wins.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>

#include "nimbrel/CString.h"
#include "platform/CriticalSection.h"

class CCoverCache {
 public:
  // Results of GetCover.
  static constexpr std::int32_t RET_NOT_FOUND = 0;      // no picture; outPath unchanged
  static constexpr std::int32_t RET_FOUND_LOCALLY = 1;  // already in the folder
  static constexpr std::int32_t RET_FOUND_BY_URL = 3;   // downloaded now

  static constexpr std::uint32_t kDefaultMaxBytes = 128000000;
  static constexpr std::size_t kMaxFileNameBytes = 255;
  static constexpr std::size_t kMaxCoverNameBytes = 200;
  // What is left for "_", an eight-digit address key and the extension.
  static constexpr std::size_t kMaxExtensionBytes = kMaxFileNameBytes - kMaxCoverNameBytes - 1 - 8;

  struct Options {
    // The cache folder; empty: the temporary folder + "Nimbrel" + separator.
    CString folder;
    // TrimCache keeps the folder's files within this many bytes.
    std::uint32_t maxBytes = kDefaultMaxBytes;
    // Reads a file's creation time (seconds since 1970); false when its
    // status cannot be read. Empty: the file system's creation time.
    std::function<bool(const CString& path, std::int64_t& seconds)> creationTime;
  };

  // Composes the folder and makes sure it, "tmp" and this process's folder
  // in "tmp" exist and are ours.
  CCoverCache();
  explicit CCoverCache(Options options);
  // Removes this process's folder in "tmp" (and "tmp" when that leaves it
  // empty), then trims the folder (TrimCache).
  ~CCoverCache();
  CCoverCache(const CCoverCache&) = delete;
  CCoverCache& operator=(const CCoverCache&) = delete;

  // The process-wide cache in the default folder.
  static CCoverCache& Instance();

  // The picture for the keys. With `url`: the file MakeCoverPath names (or
  // that name + ".jpg" for an address without extension) when it exists,
  // result 1; otherwise a download from `url` unless one failed before in
  // this process, result 3 on success, 0 on failure. Without `url`:
  // FindCachedCover of the keys, result 1 or 0; for key1 "thumbn" a "large"
  // picture of key2 and text3 is preferred. `outPath` names the picture and
  // is left alone when the result is 0. `thumbnail` is not used. Every call
  // leaves one debug entry in the log.
  std::int32_t GetCover(const CString& key1, const CString& key2, const CString& text3, CString& outPath,
                        const CString& url, const CString& proxy, bool thumbnail);

  // folder + CoverName (shortened, see above) + "_" + UrlKey(url) + the
  // extension of `url` (from the last "." of its last path component,
  // with the dot; empty when there is none). Empty when the cache is off.
  CString MakeCoverPath(const CString& key1, const CString& key2, const CString& text3, const CString& url) const;

  // 1 with `outPath` set to the first file (in name order) whose name begins
  // with CoverName + "_" + UrlKey(url), or with CoverName alone when `url` is
  // empty; 0 when there is none.
  std::int32_t FindCachedCover(const CString& key1, const CString& key2, const CString& text3, const CString& url,
                               CString& outPath) const;

  // Copies an existing file to "tmp" under a unique name, keeping an
  // extension shorter than six characters (dot included). True with
  // `outPath` set when the copy succeeded.
  bool MakeTempCopy(const CString& sourcePath, CString& outPath) const;

  // The three texts made valid as file names, each "_" then turned into a
  // blank, joined with "_": "AC/DC", "The_Band", "" gives "AC DC_The Band_";
  // a leading "." is preceded by "~" (".38 Special" gives "~.38 Special__").
  static CString CoverName(const CString& key1, const CString& key2, const CString& text3);
  // CRC-32 of the low byte of every UTF-16 code unit of `url`, as "%X";
  // "NOCRC" when `url` holds a value that is not a Unicode character.
  static CString UrlKey(const CString& url);
  // False once a download from `url` failed in this cache's lifetime.
  bool ShouldDownload(const CString& url) const;
  // A file without extension is rewritten in JPEG form and renamed to
  // `path` + ".jpg", and `path` follows it. A path that has an extension is
  // left alone. True when `path` has an extension afterwards; false (file
  // kept under its name) when it could not be converted or renamed.
  static bool NormaliseExtension(CString& path);
  // Keeps the files directly in the folder within the byte budget: walks
  // them oldest first by creation time (unreadable times first), summing
  // their sizes, and deletes each file that takes the sum past the budget.
  void TrimCache();

  // Empty when the cache is off.
  const CString& Folder() const { return folder_; }
  // Folder() + "tmp" + separator + this process's id in hexadecimal + separator.
  CString TempFolder() const;
  // False when a folder was refused and the cache does nothing.
  bool IsEnabled() const { return !folder_.IsEmpty(); }

 private:
  // CoverName, shortened to kMaxCoverNameBytes when longer.
  static CString StoredCoverName(const CString& key1, const CString& key2, const CString& text3);
  // Downloads into "tmp", checks the picture, gives a picture without
  // extension its JPEG form, and moves it to `path` (+ ".jpg"). True with
  // `stored` naming the file.
  bool Download(const CString& url, const CString& proxy, const CString& path, CString& stored);
  void RememberUrl(const CString& url, bool downloaded);
  // Makes the folder, "tmp" and this process's folder again (something may
  // have cleaned them away meanwhile); false when one is refused.
  bool AssureFolders() const;

  std::uint32_t maxBytes_;
  CString folder_;
  std::map<CString, bool> urlResults_;  // UrlKey -> downloaded (true) or failed (false)
  mutable CCriticalSection urlResultsLock_;
  std::function<bool(const CString&, std::int64_t&)> creationTime_;
};
