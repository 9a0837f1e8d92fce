#include "foundation/FolderHelpers.h"

#include "foundation/Masterlog.h"
#include "platform/Env.h"
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
  const auto report = [](const std::wstring& path, bool isFolder, int error) {
    if (isFolder)
      LogF(10, L"RemoveDirectoryRec failed to remove dir %s : %s", path, ErrorText(error));
    else
      LogF(10, L"RemoveDirectoryRec failed to remove file %s : %s", path, ErrorText(error));
  };
  CString dir = folder;
  AddTrailingBackslash(dir);
  switch (platform::RemoveTree(folder.str(), report)) {
    case platform::RemoveTreeResult::kRemoved:
    case platform::RemoveTreeResult::kLinkRemoved:
      return true;
    case platform::RemoveTreeResult::kNotAFolder:
      LogF(10, L"RemoveDirectoryRec : %s is not a directory (maybe was deleted shortly)", folder);
      return true;
    case platform::RemoveTreeResult::kFileFailed:
      return false;  // reported with the file's path
    case platform::RemoveTreeResult::kFolderFailed:
      report(dir.str(), true, platform::LastError());
      return false;
  }
  return false;
}

bool AssurePrivateDir(const CString& folder) {
  const platform::PrivateFolderState state = platform::MakePrivateFolder(folder.str());
  if (state == platform::PrivateFolderState::kReady) return true;
  LogF(10, L"AssurePrivateDir: '%s' %s; it is not used", folder, platform::PrivateFolderProblem(state));
  return false;
}

CString PrepareTempFolder() {
  platform::Env* env = platform::Env::Current();
  CString folder(env->TempFolder());
  AddTrailingBackslash(folder);
  if (env->TempFolderIsPrivate() && !AssurePrivateDir(folder)) return CString();
  return folder;
}

std::vector<platform::FoundFile> FolderEntries(const CString& folder) {
  std::vector<platform::FoundFile> entries = platform::FindFiles((folder + L"*").str());
  std::erase_if(entries, [](const platform::FoundFile& e) { return e.name == L"." || e.name == L".."; });
  return entries;
}

void AddTrailingBackslash(CString& path) {
  if (!path.IsEmpty() && path[path.GetLength() - 1] != platform::kPathSeparator) path += platform::kPathSeparator;
}
