#include "platform/PrivateFolder.h"

#include <cerrno>

#include "platform/Env.h"
#include "platform/FileSystem.h"
#include "platform/Random.h"
#include "platform/SystemError.h"

namespace platform {

std::wstring UserTempFolder() { return Env::Current()->TempFolder() + L"Meridex/"; }

bool EnsurePrivateFolder(std::wstring_view path, std::wstring& problem) {
  if (path.empty()) {
    problem = L"no folder given";
    return false;
  }
  // The per-user temporary folder itself is ours too when it is the default one.
  const std::wstring temp = Env::Current()->TempFolder();
  if (Env::Current()->TempFolderIsPrivate() && path.size() > temp.size() && path.substr(0, temp.size()) == temp) {
    const PrivateFolderState state = MakePrivateFolder(temp);
    if (state != PrivateFolderState::kReady) {
      problem = L"refusing folder " + temp + L": it " + PrivateFolderProblem(state);
      SetLastError(EACCES);
      return false;
    }
  }
  const PrivateFolderState state = MakePrivateFolder(path);
  if (state == PrivateFolderState::kReady) return true;
  problem = L"refusing folder " + std::wstring(path) + L": it " + PrivateFolderProblem(state);
  SetLastError(EACCES);
  return false;
}

bool CreateUniqueFile(std::wstring_view folder, std::wstring_view prefix, std::wstring_view suffix, File& file,
                      std::wstring& path) {
  static constexpr wchar_t kLetters[] = L"abcdefghijklmnopqrstuvwxyz0123456789";
  for (int attempt = 0; attempt < 16; ++attempt) {
    unsigned char random[10];
    if (!RandomBytes(random, sizeof random)) return false;
    std::wstring name(folder);
    name += prefix;
    for (unsigned char byte : random) name += kLetters[byte % 36];
    name += suffix;
    if (file.Open(name, File::Mode::kCreateNew)) {
      path = std::move(name);
      return true;
    }
    if (LastError() != EEXIST) return false;
  }
  return false;
}

}  // namespace platform
