#include "WorkFiles.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <mutex>
#include <set>
#include <string>

#include "FileReplacer.h"
#include "Log.h"
#include "meridex/Leftovers.h"
#include "platform/BirthTime.h"
#include "platform/File.h"
#include "platform/FileMetadata.h"
#include "platform/FileSystem.h"
#include "platform/Process.h"
#include "platform/SystemError.h"

namespace Meridex::work_files {

namespace {

constexpr wchar_t kLead[] = L".meridex-";
constexpr wchar_t kCopyEnd[] = L".orig";
constexpr std::size_t kBootDigits = 8;

std::wstring ShortBootId() {
  const std::string id = platform::BootId();
  return std::wstring(id.begin(), id.begin() + static_cast<std::ptrdiff_t>(std::min(id.size(), kBootDigits)));
}

bool Digits(const std::wstring& text) {
  return !text.empty() && text.size() <= 20 && text.find_first_not_of(L"0123456789") == std::wstring::npos;
}

// A work file's name, taken apart.
struct Parsed {
  std::wstring boot;
  std::uint32_t pid = 0;
  std::uint64_t start = 0;
  bool copy = false;        // ".i<inode>.orig"
  std::uint64_t inode = 0;  // of the file it is a copy of
};

bool Parse(const std::wstring& name, Parsed& parsed) {
  if (name.rfind(kLead, 0) != 0) return false;
  std::wstring rest = name.substr(std::char_traits<wchar_t>::length(kLead));
  std::vector<std::wstring> parts;
  for (std::size_t at = 0;;) {
    const std::size_t dot = rest.find(L'.', at);
    parts.push_back(rest.substr(at, dot == std::wstring::npos ? std::wstring::npos : dot - at));
    if (dot == std::wstring::npos) break;
    at = dot + 1;
  }
  // boot, pid, start, random, then "tmp" or "i<inode>", "orig"
  if (parts.size() == 5 && parts[4] == L"tmp") {
    parsed.copy = false;
  } else if (parts.size() == 6 && parts[5] == L"orig" && parts[4].size() > 1 && parts[4][0] == L'i' &&
             Digits(parts[4].substr(1))) {
    parsed.copy = true;
    parsed.inode = std::wcstoull(parts[4].c_str() + 1, nullptr, 10);
  } else {
    return false;
  }
  if (parts[0].empty() || !Digits(parts[1]) || !Digits(parts[2])) return false;
  parsed.boot = parts[0];
  parsed.pid = static_cast<std::uint32_t>(std::wcstoul(parts[1].c_str(), nullptr, 10));
  parsed.start = std::wcstoull(parts[2].c_str(), nullptr, 10);
  return true;
}

// True only when the writer is certainly gone: another boot, or no process
// of that pid with that start time. Without a boot id nothing is certain.
bool WriterIsGone(const Parsed& parsed) {
  const std::wstring boot = ShortBootId();
  if (boot.empty()) return false;
  if (parsed.boot != boot) return true;
  return platform::ProcessStartTime(parsed.pid) != parsed.start;
}

CString Reason() { return CString(platform::ErrorMessage(platform::LastError())); }

// Puts the copy back into the file of this folder it was taken from.
CString Restore(const std::wstring& folder, const std::wstring& copyPath, std::uint64_t inode) {
  std::wstring target;
  for (const platform::FoundFile& found : platform::FindFiles(folder + L"*")) {
    if (found.IsDirectory() || found.IsSymbolicLink()) continue;
    platform::FileIdentity identity;
    if (platform::GetFileIdentity(folder + found.name, identity) && identity.inode == inode &&
        folder + found.name != copyPath) {
      target = folder + found.name;
      break;
    }
  }
  if (target.empty())
    return L"kept " + CString(copyPath) +
           L": the copy of a file an interrupted save was writing in place, but no file of this folder is that "
           L"file any more";
  // A file made after the copy took a freed inode: it is another file.
  std::int64_t targetBorn = 0, copyBorn = 0;
  if (platform::GetBirthTime(target, targetBorn) && platform::GetBirthTime(copyPath, copyBorn) &&
      targetBorn > copyBorn)
    return L"kept " + CString(copyPath) + L": the copy of a file an interrupted save was writing in place; " +
           CString(target) + L" has that file's inode but was made later, so it is another file";
  std::string bytes;
  if (!platform::File::ReadAll(copyPath, bytes)) return L"cannot read " + CString(copyPath) + L": " + Reason();
  const FileResult written = WriteContentInPlace(target, bytes, copyPath);
  if (!written)
    return written.message + L"; an interrupted save left the file's old content in " + CString(copyPath);
  platform::DeleteFile(copyPath);
  platform::SyncFolder(folder);
  return L"restored " + CString(target) + L" from the copy an interrupted save left of it";
}

}  // namespace

const std::wstring& Prefix() {
  static const std::wstring prefix = [] {
    const std::uint32_t pid = platform::CurrentProcessId();
    const std::wstring boot = ShortBootId();
    return kLead + (boot.empty() ? std::wstring(L"x") : boot) + L"." + std::to_wstring(pid) + L"." +
           std::to_wstring(platform::ProcessStartTime(pid)) + L".";
  }();
  return prefix;
}

std::wstring CopySuffix(std::uint64_t inode) { return L".i" + std::to_wstring(inode) + kCopyEnd; }

std::vector<CString> CleanUp(const std::wstring& folder) {
  std::vector<CString> said;
  std::uint64_t removedBytes = 0;
  int removed = 0;
  for (const platform::FoundFile& found : platform::FindFiles(folder + kLead + L"*")) {
    Parsed parsed;
    if (!Parse(found.name, parsed) || !WriterIsGone(parsed)) continue;
    const std::wstring path = folder + found.name;
    platform::FileMetadata metadata;
    if (!platform::ReadFileMetadata(path, metadata) || !metadata.regularFile ||
        metadata.owner != platform::CurrentUserId())
      continue;
    if (parsed.copy) {
      said.push_back(Restore(folder, path, parsed.inode));
    } else if (platform::DeleteFile(path)) {
      ++removed;
      removedBytes += static_cast<std::uint64_t>(found.status.size);
    } else if (platform::LastError() != ENOENT) {
      said.push_back(L"cannot remove " + CString(path) + L", left by an interrupted save: " + Reason());
    }
  }
  if (removed > 0)
    said.push_back(L"removed " + CString(std::to_wstring(removed)) + L" unfinished file(s) of interrupted saves (" +
                   CString(std::to_wstring(removedBytes)) + L" bytes) in " + CString(folder));
  return said;
}

void CleanUpOnce(const std::wstring& folder) {
  static std::mutex mutex;
  static std::set<std::wstring> done;
  {
    std::lock_guard<std::mutex> lock(mutex);
    if (!done.insert(folder).second) return;
  }
  for (const CString& text : CleanUp(folder)) log::Write(log::Level::kWarning, text.str());
}

}  // namespace Meridex::work_files

namespace Meridex {

std::vector<CString> CleanUpFolder(const CString& folder) {
  std::wstring path = folder.str();
  if (path.empty()) return {};
  if (path.back() != L'/') path += L'/';
  return work_files::CleanUp(path);
}

}  // namespace Meridex
