#include "foundation/FolderHelpers.h"

#include "foundation/Masterlog.h"
#include "platform/FileSystem.h"
#include "platform/SystemError.h"

bool AssureDirExists(const CString& folder) {
  const std::uint32_t attributes = platform::GetFileAttributes(folder);
  if (attributes != platform::kInvalidAttributes) {
    if (attributes & platform::kAttrDirectory) return true;
    LogF(10, L"AssureDirExists: '%s' exists but is not a folder", folder);
    return false;
  }
  if (platform::CreateDirectory(folder)) return true;
  LogF(10, L"AssureDirExists: Error creating dir '%s'", folder);
  return false;
}

bool CreateDirectoryRecursive(const CString& folder) {
  if (platform::PathExists(folder)) return true;
  CString path = folder;
  if (!path.IsEmpty() && path[path.GetLength() - 1] == platform::kPathSeparator) path.Delete(path.GetLength() - 1);
  if (path.IsEmpty()) return false;
  const std::uint32_t attributes = platform::GetFileAttributes(path);
  if (attributes != platform::kInvalidAttributes) return (attributes & platform::kAttrDirectory) != 0;
  const int slash = path.ReverseFind(platform::kPathSeparator);
  if (slash > 0 && !CreateDirectoryRecursive(path.Left(slash))) return false;
  // A parent created concurrently by someone else is fine too.
  return platform::CreateDirectory(path) || platform::IsDirectory(path);
}

bool RemoveDirectoryRec(const CString& folder) {
  if (!platform::IsDirectory(folder) || platform::IsSymbolicLink(folder)) {
    LogF(10, L"RemoveDirectoryRec : %s is not a directory (maybe was deleted shortly)", folder);
    return true;
  }
  CString dir = folder;
  AddTrailingBackslash(dir);
  for (const auto& entry : FolderEntries(dir)) {
    const CString path = dir + entry.name.c_str();
    if (entry.IsDirectory() && !entry.IsSymbolicLink()) {
      RemoveDirectoryRec(path);
      continue;
    }
    if (!platform::DeleteFile(path)) {
      LogF(10, L"RemoveDirectoryRec failed to remove file %s : %s", path, ErrorText(platform::LastError()));
      return false;
    }
  }
  if (!platform::RemoveDirectory(dir)) {
    LogF(10, L"RemoveDirectoryRec failed to remove dir %s : %s", dir, ErrorText(platform::LastError()));
    return false;
  }
  return true;
}

std::vector<platform::FoundFile> FolderEntries(const CString& folder) {
  std::vector<platform::FoundFile> entries = platform::FindFiles((folder + L"*").str());
  std::erase_if(entries, [](const platform::FoundFile& e) { return e.name == L"." || e.name == L".."; });
  return entries;
}

void AddTrailingBackslash(CString& path) {
  if (!path.IsEmpty() && path[path.GetLength() - 1] != platform::kPathSeparator) path += platform::kPathSeparator;
}
