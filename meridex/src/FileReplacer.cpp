#include "FileReplacer.h"

#include <cstdint>

#include "platform/File.h"
#include "platform/FileSystem.h"
#include "platform/PrivateFolder.h"
#include "platform/SystemError.h"

namespace Meridex {

CString ReplacementFailure(const std::wstring& step, const std::wstring& path) {
  return CString(L"cannot save " + path + L": " + step + L": " + platform::ErrorMessage(platform::LastError()));
}

FileResult PrepareReplacement(const std::wstring& path, const TagLib::ByteVector& content, bool keepTimes,
                              bool flush, PreparedReplacement& prepared) {
  const std::size_t slash = path.rfind(L'/');
  const std::wstring folder = slash == std::wstring::npos ? std::wstring(L"./") : path.substr(0, slash + 1);
  const std::wstring name = slash == std::wstring::npos ? path : path.substr(slash + 1);

  std::uint32_t permissions = 0;
  if (!platform::GetFilePermissions(path, permissions))
    return FileResult::Failure(ReplacementFailure(L"examining it", path));
  // The rename would replace a read-only file as easily as any other; its
  // protection is kept by refusing, as writing in place would.
  if (!platform::IsWritableFile(path)) return FileResult::Failure(ReplacementFailure(L"the file is read-only", path));

  platform::File file;
  std::wstring temporary;
  if (!platform::CreateUniqueFile(folder, L"." + name + L".meridex-", L".tmp", file, temporary))
    return FileResult::Failure(ReplacementFailure(L"creating a temporary file in its folder", path));

  // Every step below undoes the temporary file when it fails.
  auto fail = [&](const wchar_t* step) {
    const CString message = ReplacementFailure(step, path);
    file.Close();
    platform::DeleteFile(temporary);
    return FileResult::Failure(message);
  };
  platform::FileIdentity written;
  if (!file.Write(content.data(), content.size())) return fail(L"writing the new content");
  if (flush && !file.Sync()) return fail(L"flushing the new content to disk");
  if (!file.GetIdentity(written)) return fail(L"examining the new content");
  if (!file.CloseChecked()) return fail(L"closing the new content");
  if (!platform::SetFilePermissions(temporary, permissions)) return fail(L"copying its permissions");
  if (keepTimes && !platform::CopyFileTimes(path, temporary)) return fail(L"copying its modification time");
  prepared = PreparedReplacement{path, folder, temporary, written};
  return FileResult::Success();
}

FileResult InstallReplacement(const PreparedReplacement& prepared) {
  if (platform::RenameReplacing(prepared.temporary, prepared.path)) return FileResult::Success();
  const CString message = ReplacementFailure(L"renaming the new content over it", prepared.path);
  platform::DeleteFile(prepared.temporary);
  return FileResult::Failure(message);
}

FileResult ReplaceFileContent(const std::wstring& path, const TagLib::ByteVector& content, bool keepTimes) {
  PreparedReplacement prepared;
  FileResult result = PrepareReplacement(path, content, keepTimes, true, prepared);
  if (result) result = InstallReplacement(prepared);
  // The file is complete either way; a failed folder sync only risks the
  // rename itself after a crash, which leaves the old content.
  if (result) platform::SyncFolder(prepared.folder);
  return result;
}

}  // namespace Meridex
