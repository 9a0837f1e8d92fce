#include "foundation/FileUtils.h"

#include "foundation/FolderHelpers.h"
#include "foundation/Masterlog.h"
#include "platform/Env.h"
#include "platform/FileSystem.h"

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
