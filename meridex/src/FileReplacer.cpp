#include "FileReplacer.h"

#include <cerrno>
#include <cstdint>
#include <vector>

#include "WorkFiles.h"
#include "platform/Env.h"
#include "platform/File.h"
#include "platform/FileMetadata.h"
#include "platform/FileSystem.h"
#include "platform/PrivateFolder.h"
#include "platform/SystemError.h"
#include "platform/WriterProbe.h"

namespace Meridex {

namespace {

std::wstring FolderOf(const std::wstring& path) {
  const std::size_t slash = path.rfind(L'/');
  return slash == std::wstring::npos ? std::wstring(L"./") : path.substr(0, slash + 1);
}

FileResult Failure(const std::wstring& path, const wchar_t* why) {
  return FileResult::Failure(L"cannot save " + CString(path) + L": " + why);
}

// The checks made right before the file is replaced.
FileResult CheckUnchanged(const std::wstring& path, const platform::FileIdentity& original) {
  switch (platform::ProbeWriters(path, original)) {
    case platform::WriterProbe::kNoWriter:
    case platform::WriterProbe::kUnknown:
      return FileResult::Success();
    case platform::WriterProbe::kBeingWritten:
      return Failure(path, L"it is being written by another program; try again later");
    case platform::WriterProbe::kChanged:
      return Failure(path, L"the file changed while it was being tagged");
    case platform::WriterProbe::kFailed:
      break;
  }
  return FileResult::Failure(ReplacementFailure(L"examining it", path));
}

// Reads the whole open file from its start.
bool ReadFromStart(platform::File& file, std::string& bytes) {
  bytes.clear();
  if (file.Seek(0, 0) != 0) return false;
  char buffer[64 * 1024];
  for (;;) {
    const std::int64_t n = file.Read(buffer, sizeof buffer);
    if (n < 0) return false;
    if (n == 0) return true;
    bytes.append(buffer, static_cast<std::size_t>(n));
  }
}

// Writes a file with several names (or one whose metadata a new file could
// not carry) in place: a complete, synced copy of its old content is put
// beside it first, under a name a later clean-up recognises, so that a crash
// during the write leaves something to restore.
FileResult WriteInPlace(const PreparedReplacement& prepared) {
  const std::wstring& path = prepared.path;
  platform::File target;
  platform::FileIdentity now;
  if (!target.Open(path, platform::File::Mode::kUpdate) || !target.GetIdentity(now))
    return FileResult::Failure(ReplacementFailure(L"opening it for writing", path));
  if (now != prepared.original) return Failure(path, L"the file changed while it was being tagged");
  std::string old;
  if (!ReadFromStart(target, old)) return FileResult::Failure(ReplacementFailure(L"reading it", path));
  std::string content;
  if (!platform::File::ReadAll(prepared.temporary, content))
    return FileResult::Failure(ReplacementFailure(L"reading its new content", path));

  // The copy is complete and durable before it gets the name that says so.
  platform::File copy;
  std::wstring partial;
  if (!platform::CreateUniqueFile(prepared.folder, work_files::Prefix(), work_files::kTemporarySuffix, copy, partial))
    return FileResult::Failure(ReplacementFailure(L"creating a copy of it in its folder", path));
  const std::wstring copyPath =
      partial.substr(0, partial.size() - std::char_traits<wchar_t>::length(work_files::kTemporarySuffix)) +
      work_files::CopySuffix(now.inode);
  if (!copy.Write(old.data(), old.size()) || !platform::CopyFileTimes(path, partial) ||
      !platform::Env::Current()->SyncFile(copy) || !copy.CloseChecked() ||
      !platform::Env::Current()->RenameReplacing(partial, copyPath) || !platform::SyncFolder(prepared.folder)) {
    const CString message = ReplacementFailure(L"making a copy of it", path);
    copy.Close();
    platform::DeleteFile(partial);
    platform::DeleteFile(copyPath);
    return FileResult::Failure(message);
  }

  FileResult result = WriteContentInPlace(path, content, prepared.keepTimes ? copyPath : std::wstring());
  if (!result) {
    // The old content goes back at once; if even that fails the copy stays.
    if (WriteContentInPlace(path, old, copyPath)) {
      platform::DeleteFile(copyPath);
    } else {
      result.message += L"; its old content is in " + CString(copyPath);
      return result;
    }
  } else {
    platform::DeleteFile(copyPath);
  }
  platform::DeleteFile(prepared.temporary);
  platform::SyncFolder(prepared.folder);
  return result;
}

}  // namespace

CString ReplacementFailure(const std::wstring& step, const std::wstring& path) {
  return CString(L"cannot save " + path + L": " + step + L": " + platform::ErrorMessage(platform::LastError()));
}

FileResult WriteContentInPlace(const std::wstring& path, std::string_view bytes, const std::wstring& timesFrom) {
  platform::File file;
  if (!file.Open(path, platform::File::Mode::kUpdate))
    return FileResult::Failure(ReplacementFailure(L"opening it for writing", path));
  if (file.Seek(0, 0) != 0 || !file.Write(bytes.data(), bytes.size()) ||
      !file.Truncate(static_cast<std::int64_t>(bytes.size())))
    return FileResult::Failure(ReplacementFailure(L"writing the new content into it", path));
  if (!timesFrom.empty() && !platform::CopyFileTimes(timesFrom, path))
    return FileResult::Failure(ReplacementFailure(L"copying its modification time", path));
  if (!platform::Env::Current()->SyncFile(file) || !file.CloseChecked())
    return FileResult::Failure(ReplacementFailure(L"flushing the new content to disk", path));
  return FileResult::Success();
}

FileResult PrepareReplacement(const std::wstring& path, const ContentWriter& write,
                              const platform::FileIdentity& original, bool keepTimes, bool flush,
                              PreparedReplacement& prepared) {
  const std::wstring folder = FolderOf(path);
  work_files::CleanUpOnce(folder);

  platform::FileMetadata metadata;
  if (!platform::ReadFileMetadata(path, metadata)) return FileResult::Failure(ReplacementFailure(L"examining it", path));
  // The rename would replace a read-only file as easily as any other; its
  // protection is kept by refusing, as writing in place would.
  if (!platform::IsWritableFile(path)) return FileResult::Failure(ReplacementFailure(L"the file is read-only", path));

  platform::File file;
  std::wstring temporary;
  if (!platform::CreateUniqueFile(folder, work_files::Prefix(), work_files::kTemporarySuffix, file, temporary))
    return FileResult::Failure(ReplacementFailure(L"creating a temporary file in its folder", path));

  // Every step below undoes the temporary file when it fails.
  auto fail = [&](const wchar_t* step) {
    const CString message = ReplacementFailure(step, path);
    file.Close();
    platform::DeleteFile(temporary);
    return FileResult::Failure(message);
  };
  std::vector<std::wstring> unkept;
  platform::FileIdentity written;
  if (!write(file)) return fail(L"writing the new content");
  if (!platform::ApplyFileMetadata(file, metadata, unkept)) return fail(L"copying its owner, group and attributes");
  if (keepTimes && !platform::CopyFileTimes(path, temporary)) return fail(L"copying its modification time");
  if (flush && !platform::Env::Current()->SyncFile(file)) return fail(L"flushing the new content to disk");
  if (!file.GetIdentity(written)) return fail(L"examining the new content");
  if (!file.CloseChecked()) return fail(L"closing the new content");
  prepared = PreparedReplacement{path, folder, temporary, written, original, metadata.links > 1 || !unkept.empty(),
                                 keepTimes};
  return FileResult::Success();
}

FileResult InstallReplacement(const PreparedReplacement& prepared) {
  FileResult result = CheckUnchanged(prepared.path, prepared.original);
  if (result) {
    if (prepared.inPlace) {
      result = WriteInPlace(prepared);
    } else if (!platform::Env::Current()->RenameReplacing(prepared.temporary, prepared.path)) {
      result = FileResult::Failure(ReplacementFailure(L"renaming the new content over it", prepared.path));
    }
  }
  if (!result) {
    const int error = platform::LastError();
    platform::DeleteFile(prepared.temporary);
    platform::SetLastError(error);
  }
  return result;
}

FileResult ReplaceFileContent(const std::wstring& path, const ContentWriter& write,
                              const platform::FileIdentity& original, bool keepTimes) {
  PreparedReplacement prepared;
  FileResult result = PrepareReplacement(path, write, original, keepTimes, true, prepared);
  if (result) result = InstallReplacement(prepared);
  // The file is complete either way; a failed folder sync only risks the
  // rename itself after a crash, which leaves the old content.
  if (result) platform::SyncFolder(prepared.folder);
  return result;
}

FileResult CheckReplaceable(const std::wstring& path) {
  const std::wstring target = platform::ResolvePath(path);
  platform::FileIdentity identity;
  if (target.empty() || !platform::GetFileIdentity(target, identity))
    return FileResult::Failure(ReplacementFailure(L"examining it", path));
  if (!platform::IsWritableFile(target)) return FileResult::Failure(ReplacementFailure(L"the file is read-only", path));
  const std::wstring folder = FolderOf(target);
  if (!platform::IsWritableFile(folder))
    return FileResult::Failure(ReplacementFailure(L"creating a temporary file in its folder", path));
  return CheckUnchanged(target, identity);
}

}  // namespace Meridex
