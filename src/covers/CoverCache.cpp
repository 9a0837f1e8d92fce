#include "covers/CoverCache.h"

#include <algorithm>
#include <limits>
#include <utility>
#include <vector>

#include "covers/Crc32.h"
#include "foundation/Ffsco.h"
#include "foundation/FileUtils.h"
#include "foundation/FolderHelpers.h"
#include "foundation/Masterlog.h"
#include "foundation/PathNames.h"
#include "net/Downloads.h"
#include "platform/Env.h"
#include "platform/FileSystem.h"
#include "platform/Image.h"
#include "platform/Process.h"
#include "platform/TextCodec.h"

namespace {

// Bytes that `c` takes in a UTF-8 file name (what cannot be encoded is
// written as U+FFFD).
std::size_t Utf8Bytes(wchar_t c) {
  const auto u = static_cast<std::uint32_t>(c);
  if (u < 0x80) return 1;
  if (u < 0x800) return 2;
  if (u < 0x10000 || u > 0x10FFFF) return 3;
  return 4;
}

// The longest start of `text` that takes at most `budget` bytes of UTF-8.
std::size_t FittingLength(const CString& text, std::size_t budget) {
  std::size_t bytes = 0, n = 0;
  for (wchar_t c : text.str()) {
    bytes += Utf8Bytes(c);
    if (bytes > budget) break;
    ++n;
  }
  return n;
}

// The extension of a path's last component, with its dot; empty when none.
// Both separators count, as the path splitter of other platforms does.
CString ExtensionOf(const CString& path) {
  const std::wstring& s = path.str();
  const std::size_t slash = s.find_last_of(L"/\\");
  const std::size_t dot = s.rfind(L'.');
  if (dot == std::wstring::npos || (slash != std::wstring::npos && dot < slash)) return CString();
  return CString(s.substr(dot));
}

CString ValidKeyPart(const CString& key) {
  CString part = key;
  MakeValidFileName(part);
  part.Replace(L'_', L' ');
  return part;
}

void LogResult(const wchar_t* marker, const CString& key1, const CString& key2, const CString& text3,
               const CString& url, const CString& outPath) {
  LogF(40, L"CCoverCache::GetCover: %s%s - %s - %s - %s => %s", marker, key1, key2, text3, url, outPath);
}

// Warnings of the picture decoders about corrupt pictures: debug detail.
void LogImageMessage(const std::wstring& message) { LogF(40, L"CCoverCache: picture decoder: %s", message); }

bool FileSystemCreationTime(const CString& path, std::int64_t& seconds) {
  platform::FileStatus status;
  if (!platform::GetFileStatus(path, status)) return false;
  seconds = status.creationTime;
  return true;
}

}  // namespace

CCoverCache::CCoverCache() : CCoverCache(Options()) {}

CCoverCache::CCoverCache(Options options)
    : maxBytes_(options.maxBytes),
      folder_(std::move(options.folder)),
      creationTime_(options.creationTime ? std::move(options.creationTime) : FileSystemCreationTime) {
  CMasterlog::Instance();  // the log must outlive this object, whose destructor logs
  platform::SetImageDiagnosticSink(LogImageMessage);
  if (folder_.IsEmpty()) {
    const CString temp = PrepareTempFolder();
    if (!temp.IsEmpty()) folder_ = temp + L"Nimbrel";
  }
  AddTrailingBackslash(folder_);
  if (!folder_.IsEmpty() && !AssureFolders()) folder_.Empty();
  if (folder_.IsEmpty()) LogF(10, L"CCoverCache: no usable cover folder; covers are neither kept nor found");
}

CCoverCache::~CCoverCache() {
  if (!IsEnabled()) return;
  RemoveDirectoryRec(TempFolder());
  // Only when no other process has a folder there any more (rmdir never follows a link).
  platform::RemoveDirectory((folder_ + L"tmp").str());
  TrimCache();
}

bool CCoverCache::AssureFolders() const {
  return AssurePrivateDir(folder_) && AssurePrivateDir(folder_ + L"tmp" + platform::kPathSeparator) &&
         AssurePrivateDir(TempFolder());
}

CCoverCache& CCoverCache::Instance() {
  static CCoverCache cache;
  return cache;
}

CString CCoverCache::TempFolder() const {
  CString folder = folder_ + L"tmp" + platform::kPathSeparator;
  folder.AppendFormat(L"%X", platform::CurrentProcessId());
  return folder + platform::kPathSeparator;
}

CString CCoverCache::CoverName(const CString& key1, const CString& key2, const CString& text3) {
  CString name = ValidKeyPart(key1);
  // A leading "." would hide the file; "~" never occurs in a name part.
  if (name.Left(1) == L".") name = L"~" + name;
  name.AppendFormat(L"_%s_%s", ValidKeyPart(key2), ValidKeyPart(text3));
  return name;
}

CString CCoverCache::StoredCoverName(const CString& key1, const CString& key2, const CString& text3) {
  const CString name = CoverName(key1, key2, text3);
  if (FittingLength(name, kMaxCoverNameBytes) == static_cast<std::size_t>(name.GetLength())) return name;
  const std::string bytes = platform::ToUtf8(name.str());
  CString shortened = name.Left(static_cast<int>(FittingLength(name, kMaxCoverNameBytes - 9)));
  shortened.AppendFormat(L"~%08X", nimbrel::ComputeCrc32(bytes.data(), bytes.size()));
  return shortened;
}

CString CCoverCache::UrlKey(const CString& url) {
  nimbrel::Crc32 crc;
  for (wchar_t c : url.str()) {
    const auto u = static_cast<std::uint32_t>(c);
    if (u > 0x10FFFF) return CString(L"NOCRC");
    if (u < 0x10000) {
      crc.Update(static_cast<std::uint8_t>(u & 0xFF));
    } else {  // a surrogate pair
      crc.Update(static_cast<std::uint8_t>((0xD800 + ((u - 0x10000) >> 10)) & 0xFF));
      crc.Update(static_cast<std::uint8_t>((0xDC00 + ((u - 0x10000) & 0x3FF)) & 0xFF));
    }
  }
  CString key;
  key.Format(L"%X", crc.Value());
  return key;
}

CString CCoverCache::MakeCoverPath(const CString& key1, const CString& key2, const CString& text3,
                                   const CString& url) const {
  if (!IsEnabled()) return CString();  // never a path relative to the working folder
  const CString extension = ExtensionOf(url);
  CString path;
  path.Format(L"%s%s_%s%s", folder_, StoredCoverName(key1, key2, text3), UrlKey(url),
              extension.Left(static_cast<int>(FittingLength(extension, kMaxExtensionBytes))));
  return path;
}

std::int32_t CCoverCache::FindCachedCover(const CString& key1, const CString& key2, const CString& text3,
                                          const CString& url, CString& outPath) const {
  if (!IsEnabled()) return 0;
  CString pattern = StoredCoverName(key1, key2, text3);
  if (!url.IsEmpty()) pattern += L"_" + UrlKey(url);
  pattern += L"*";
  std::vector<CString> files;
  ListFiles(folder_, pattern, files);
  if (files.empty()) return 0;
  outPath = files.front();
  return 1;
}

bool CCoverCache::ShouldDownload(const CString& url) const {
  const CString key = UrlKey(url);
  CSingleLock lock(&urlResultsLock_);
  const auto it = urlResults_.find(key);
  return it == urlResults_.end() || it->second;
}

void CCoverCache::RememberUrl(const CString& url, bool downloaded) {
  const CString key = UrlKey(url);
  CSingleLock lock(&urlResultsLock_);
  urlResults_[key] = downloaded;
}

bool CCoverCache::NormaliseExtension(CString& path) {
  if (!ExtensionOf(path).IsEmpty()) return true;
  if (!platform::ConvertFileToJpeg(path)) return false;
  const CString renamed = path + L".jpg";
  if (!platform::MoveFile(path, renamed)) return false;
  path = renamed;
  return true;
}

bool CCoverCache::Download(const CString& url, const CString& proxy, const CString& path, CString& stored) {
  if (!IsEnabled() || !AssureFolders()) return false;
  CString temporary = TempFolder() + MakeUniqueName();
  const wchar_t* problem = nullptr;
  platform::ImageHeader header;
  CString target = path;
  if (!nimbrel::DownloadFile(url, temporary, proxy)) {
    problem = L"";  // DownloadFile has logged why
  } else if (!platform::ProbeImageFile(temporary, header)) {
    problem = L"not a complete picture of a known format";
  } else if (ExtensionOf(url).IsEmpty()) {  // (key texts may hold dots; the address decides)
    if (NormaliseExtension(temporary)) {
      target += L".jpg";
    } else {
      problem = L"cannot be converted to JPEG";
    }
  }
  if (!problem && !platform::MoveFile(temporary, target)) problem = L"cannot be moved into the cache";
  if (!problem) {
    stored = target;
    return true;
  }
  if (*problem) LogF(20, L"CCoverCache::GetCover: %s: %s", problem, url);
  platform::DeleteFile(temporary);
  return false;
}

std::int32_t CCoverCache::GetCover(const CString& key1, const CString& key2, const CString& text3, CString& outPath,
                                   const CString& url, const CString& proxy, bool /*thumbnail*/) {
  if (!IsEnabled()) {
    LogResult(L"FALSE for ", key1, key2, text3, url, outPath);
    return RET_NOT_FOUND;
  }
  if (!url.IsEmpty()) {
    const CString path = MakeCoverPath(key1, key2, text3, url);
    // A picture fetched from an address without extension lives under the name + ".jpg".
    const CString jpegPath = path + L".jpg";
    const bool found = PathExists(path);
    if (found || (ExtensionOf(url).IsEmpty() && PathExists(jpegPath))) {
      outPath = found ? path : jpegPath;
      LogResult(L"RET_FOUND_LOCALLY for ", key1, key2, text3, url, outPath);
      return RET_FOUND_LOCALLY;
    }
    CString stored;
    if (ShouldDownload(url) && Download(url, proxy, path, stored)) {
      outPath = stored;
      RememberUrl(url, true);
      LogResult(L"RET_FOUND_BY_URL for ", key1, key2, text3, url, outPath);
      return RET_FOUND_BY_URL;
    }
    RememberUrl(url, false);
    LogResult(L"r FALSE for ", key1, key2, text3, url, outPath);
    return RET_NOT_FOUND;
  }
  if (key1 == L"thumbn") {
    // A large picture is preferred to a thumbnail.
    if (FindCachedCover(L"large", key2, text3, CString(), outPath) ||
        FindCachedCover(L"thumbn", key2, text3, CString(), outPath)) {
      LogResult(L"r TRUE for ", key1, key2, text3, url, outPath);
      return RET_FOUND_LOCALLY;
    }
    LogResult(L"RET_NOT_FOUND for ", key1, key2, text3, url, outPath);
    return RET_NOT_FOUND;
  }
  if (FindCachedCover(key1, key2, text3, CString(), outPath)) {
    LogResult(L"r TRUE for ", key1, key2, text3, url, outPath);
    return RET_FOUND_LOCALLY;
  }
  LogResult(L"FALSE for ", key1, key2, text3, url, outPath);
  return RET_NOT_FOUND;
}

bool CCoverCache::MakeTempCopy(const CString& sourcePath, CString& outPath) const {
  if (!IsEnabled() || !PathExists(sourcePath) || !AssureFolders()) return false;
  CString target = TempFolder() + MakeUniqueName();
  const CString extension = ExtensionOf(sourcePath);
  if (extension.GetLength() < 6) target += extension;
  if (!platform::CopyFile(sourcePath, target, false)) return false;
  outPath = target;
  return true;
}

void CCoverCache::TrimCache() {
  if (!IsEnabled()) return;
  ffd::ffsco finder;
  finder.Find(folder_, CString());
  struct Entry {
    CString path;
    std::int64_t created;
  };
  std::vector<Entry> entries;
  for (const CString& path : finder.Files()) {
    std::int64_t created = 0;
    if (!creationTime_(path, created)) created = std::numeric_limits<std::int64_t>::min();
    entries.push_back({path, created});
  }
  std::stable_sort(entries.begin(), entries.end(),
                   [](const Entry& a, const Entry& b) { return a.created < b.created; });
  std::uint64_t total = 0;
  for (const Entry& entry : entries) {
    std::uint32_t size = 0;
    if (!GetFileSizeOf(entry.path, size)) continue;
    total += size;
    if (total > maxBytes_) {
      platform::DeleteFile(entry.path);
      total -= size;
    }
  }
}
