#include "foundation/PathNames.h"

#include "foundation/FolderHelpers.h"
#include "platform/FileSystem.h"

namespace {

constexpr wchar_t kSeparator = platform::kPathSeparator;

bool EndsWithSeparator(const CString& s) { return !s.IsEmpty() && s[s.GetLength() - 1] == kSeparator; }
bool StartsWithSeparator(const CString& s) { return !s.IsEmpty() && s[0] == kSeparator; }

}  // namespace

void AppendPathComponent(CString& folder, const CString& component) {
  const bool folderEnds = EndsWithSeparator(folder);
  const bool componentStarts = StartsWithSeparator(component);
  if (folderEnds && componentStarts) {
    folder += component.Mid(1);
    return;
  }
  if (!folderEnds && !componentStarts) AddTrailingBackslash(folder);
  folder += component;
}

CString MakePath(const wchar_t* folder, const wchar_t* name, const wchar_t* extension) {
  CString path;
  if (folder) {
    path = folder;
    AppendPathComponent(path, CString(name));
  } else {
    path = name;
  }
  if (extension) {
    path += L'.';
    path += extension;
  }
  return path;
}

void MakeValidFileName(CString& name) {
  // The order matters only for "&": its replacement must not be touched again.
  for (const wchar_t c : {L'*', L'?', L'\\'}) name.Replace(c, L'_');
  name.Replace(L"&", L"and");
  for (const wchar_t c : {L'~', L'/', L'<', L'>', L'|', L'"', L':'}) name.Replace(c, L'_');
}

CString GetParentFolder(const CString& path) {
  CString parent = path;
  parent.TrimRight(kSeparator);
  const int slash = parent.ReverseFind(kSeparator);
  if (slash < 0) return parent;
  return parent.Left(slash + 1);
}

CString GetFileTitleOf(const CString& path) {
  const CString name = GetFileNameOf(path);
  const int dot = name.ReverseFind(L'.');
  return dot < 0 ? name : name.Left(dot);
}

CString GetFileNameOf(const CString& path) {
  const int slash = path.ReverseFind(kSeparator);
  return slash < 0 ? path : path.Mid(slash + 1);
}
