#include "foundation/Ffsco.h"

#include <algorithm>
#include <string>

#include "foundation/FolderHelpers.h"
#include "platform/FileSystem.h"

namespace ffd {

namespace {

// Upper-cases the letters a to z only, as the matching has always done.
std::wstring UpperAscii(const wchar_t* text) {
  std::wstring s(text);
  for (auto& c : s)
    if (c >= L'a' && c <= L'z') c = static_cast<wchar_t>(c - L'a' + L'A');
  return s;
}

}  // namespace

bool ffsco::Match(const CString& pattern, const CString& fileName) {
  const std::wstring upperPattern = UpperAscii(pattern);
  std::wstring name = UpperAscii(fileName);
  const std::size_t dot = name.rfind(L'.');
  if (dot != std::wstring::npos) name.erase(0, dot);
  return upperPattern.find(name) != std::wstring::npos;
}

void ffsco::SetResultLimit(std::int32_t limit) {
  if (limit < 1) {
    resultLimit_ = kDefaultResultLimit;
  } else if (limit < kResultLimitCeiling) {
    resultLimit_ = limit;
  }
}

int ffsco::Find(const CString& folder, const CString& pattern) {
  files_.clear();
  folders_.clear();
  all_.clear();
  CString root = folder;
  AddTrailingBackslash(root);
  folders_.push_back(root);
  const CString filter = (pattern == L"*" || pattern == L"*.*") ? CString() : pattern;
  Search(root, filter);
  all_.reserve(folders_.size() + files_.size());
  all_.insert(all_.end(), folders_.begin(), folders_.end());
  all_.insert(all_.end(), files_.begin(), files_.end());
  return static_cast<int>(files_.size());
}

bool ffsco::LimitReached() const {
  return files_.size() + folders_.size() >= static_cast<std::size_t>(resultLimit_);
}

bool ffsco::Search(const CString& folder, const CString& pattern) {
  std::vector<platform::FoundFile> entries = FolderEntries(folder);
  std::sort(entries.begin(), entries.end(), [](const platform::FoundFile& a, const platform::FoundFile& b) {
    const int c = nimbrel::CompareNoCase(a.name, b.name);
    return c != 0 ? c < 0 : a.name < b.name;
  });
  for (const auto& entry : entries) {
    if (LimitReached()) return false;
    if (entry.name.empty() || entry.name[0] == L'.') continue;
    if (!entry.IsDirectory()) {
      if (pattern.IsEmpty() || Match(pattern, CString(entry.name))) files_.push_back(folder + entry.name.c_str());
      continue;
    }
    const CString subfolder = folder + entry.name.c_str() + platform::kPathSeparator;
    folders_.push_back(subfolder);
    if (recursive_ && !entry.IsSymbolicLink() && !Search(subfolder, pattern)) return false;
  }
  return true;
}

}  // namespace ffd
