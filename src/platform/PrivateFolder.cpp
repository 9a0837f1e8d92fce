#include "platform/PrivateFolder.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/Env.h"
#include "platform/Random.h"
#include "platform/SystemError.h"
#include "platform/TextCodec.h"

namespace platform {

std::wstring UserTempFolder() {
  return Env::Current()->TempFolder() + L"nimbrel-" + std::to_wstring(::geteuid()) + L"/";
}

bool EnsurePrivateFolder(std::wstring_view path, std::wstring& problem) {
  std::string native = ToUtf8(path);
  while (native.size() > 1 && native.back() == '/') native.pop_back();
  if (native.empty()) {
    problem = L"no folder given";
    return false;
  }
  if (::mkdir(native.c_str(), 0700) != 0 && errno != EEXIST) {
    const int error = errno;
    problem = L"cannot create folder " + std::wstring(path) + L": " + ErrorMessage(error);
    return false;
  }
  struct stat st;
  if (::lstat(native.c_str(), &st) != 0) {
    const int error = errno;
    problem = L"cannot examine folder " + std::wstring(path) + L": " + ErrorMessage(error);
    return false;
  }
  if (S_ISLNK(st.st_mode)) {
    problem = L"refusing folder " + std::wstring(path) + L": it is a symbolic link";
  } else if (!S_ISDIR(st.st_mode)) {
    problem = L"refusing folder " + std::wstring(path) + L": it is not a folder";
  } else if (st.st_uid != ::geteuid()) {
    problem = L"refusing folder " + std::wstring(path) + L": it belongs to another user";
  } else if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
    problem = L"refusing folder " + std::wstring(path) + L": others may write to it";
  } else {
    return true;
  }
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
