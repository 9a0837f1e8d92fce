#include "foundation/FileUtils.h"

#include <algorithm>
#include <array>

#include "foundation/FolderHelpers.h"
#include "foundation/Masterlog.h"
#include "platform/Env.h"
#include "platform/File.h"
#include "platform/FileSystem.h"
#include "platform/Random.h"
#include "platform/SystemError.h"

bool CFileUtils::CleanUpFolderRecursively(const CString& folder, const CString& extension, std::int32_t ageDays) {
  if (!platform::IsDirectory(folder)) {
    LogF(10, L"CFileUtils::CleanUpFolderRecursively - path '%s' is not a folder !", folder);
    return false;
  }
  const std::int64_t threshold = platform::Env::Current()->UnixTime() - std::int64_t{ageDays} * 24 * 60 * 60;
  CString dir = folder;
  AddTrailingBackslash(dir);
  bool result = true;
  for (const auto& entry : FolderEntries(dir)) {
    const CString path = dir + entry.name.c_str();
    if (entry.IsDirectory() && !entry.IsSymbolicLink()) {
      RemoveDirectoryRec(path);
      continue;
    }
    const CString name(entry.name);
    if (!extension.IsEmpty() && name.Right(extension.GetLength()).CompareNoCase(extension) != 0) continue;
    if (ageDays != 0) {
      platform::FileStatus status;
      if (!platform::GetFileStatus(path, status)) {
        LogF(10, L"CFileUtils::CleanUpFolderRecursively : could not read status for file '%s'", path);
        result = false;
        continue;
      }
      if (status.modificationTime > threshold) continue;
    }
    if (!platform::DeleteFile(path)) {
      LogF(10, L"CFileUtils::CleanUpFolderRecursively : could not delete file '%s'", path);
      result = false;
    }
  }
  return result;
}

bool PathExists(const CString& path) { return platform::PathExists(path); }

void ListFiles(const CString& folder, const CString& pattern, std::vector<CString>& files) {
  files.clear();
  // A missing folder, like an empty pattern, simply has nothing to list.
  if (pattern.IsEmpty() || !platform::IsDirectory(folder)) return;
  CString dir = folder;
  AddTrailingBackslash(dir);
  std::vector<platform::FoundFile> entries = platform::FindFiles((dir + pattern).str());
  const int error = platform::LastError();  // 0 when the whole folder was read
  if (error != 0) LogF(10, L"ListFiles: Error while finding next file - last error code [0x%08X]", error);
  // A stable order, as the file systems of other platforms list names.
  std::sort(entries.begin(), entries.end(), [](const platform::FoundFile& a, const platform::FoundFile& b) {
    const int c = nimbrel::CompareNoCase(a.name, b.name);
    return c != 0 ? c < 0 : a.name < b.name;
  });
  for (const auto& entry : entries) {
    if (entry.IsDirectory() || (entry.status.attributes & platform::kAttrHidden) != 0) continue;
    files.push_back(dir + entry.name.c_str());
  }
}

CString MakeUniqueName() {
  std::array<unsigned char, 16> b{};
  if (!platform::RandomBytes(b.data(), b.size())) return CString(L"unique");
  // A version 4 (random) GUID, as the system's GUID generators create them.
  b[6] = static_cast<unsigned char>((b[6] & 0x0F) | 0x40);
  b[8] = static_cast<unsigned char>((b[8] & 0x3F) | 0x80);
  const unsigned long data1 = (static_cast<unsigned long>(b[0]) << 24) | (b[1] << 16) | (b[2] << 8) | b[3];
  const unsigned data2 = (b[4] << 8) | b[5];
  const unsigned data3 = (b[6] << 8) | b[7];
  CString name;
  name.Format(L"%08lX-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X", data1, data2, data3, b[8], b[9], b[10], b[11],
              b[12], b[13], b[14], b[15]);
  return name;
}

void RefreshFileCopy(const CString& file) {
  const CString copy = file + L"_copy.tmp";
  if (!platform::CopyFile(file, copy, false)) return;
  // A copy that cannot take the file's place must not stay behind.
  if (!platform::MoveFile(copy, file)) platform::DeleteFile(copy);
}

bool GetFileSizeOf(const CString& file, std::uint32_t& size) {
  platform::File f;
  if (!f.Open(file, platform::File::Mode::kRead)) return false;
  const std::int64_t bytes = f.Size();
  if (bytes < 0) return false;
  size = static_cast<std::uint32_t>(bytes);
  return true;
}
