// Files and folders by path.
//
// Paths are wide text, stored as UTF-8 on the file system; the separator is
// "/". A name that is not valid UTF-8 is carried with the surrogate escape of
// FromNativeName (TextCodec.h), so every name listed can be used again as
// is. Every function that fails leaves the error number in LastError().
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/FileIdentity.h"

namespace platform {

constexpr wchar_t kPathSeparator = L'/';

// Attribute bits of a file or folder.
enum FileAttributes : std::uint32_t {
  kAttrReadOnly = 0x1,   // no write permission for the owner
  kAttrHidden = 0x2,     // name begins with "."
  kAttrDirectory = 0x10,
  kAttrNormal = 0x80,    // a file with none of the above
  kAttrSymlink = 0x400,  // the path itself is a symbolic link (other bits describe its target)
};
constexpr std::uint32_t kInvalidAttributes = 0xFFFFFFFFu;

// Status of one file or folder; times are seconds since 1970 (UTC).
struct FileStatus {
  std::int64_t size = 0;
  std::int64_t creationTime = 0;  // birth time where the file system has one, else modification time
  std::int64_t modificationTime = 0;
  std::int64_t accessTime = 0;
  std::uint32_t attributes = 0;
};

// One entry found by FindFiles.
struct FoundFile {
  std::wstring name;  // without folder
  FileStatus status;
  bool IsDirectory() const { return (status.attributes & kAttrDirectory) != 0; }
  bool IsSymbolicLink() const { return (status.attributes & kAttrSymlink) != 0; }
};

// Attributes of `path`, or kInvalidAttributes when it does not exist.
std::uint32_t GetFileAttributes(std::wstring_view path);
bool PathExists(std::wstring_view path);
bool IsDirectory(std::wstring_view path);
// True when `path` itself is a symbolic link (whatever it points to).
bool IsSymbolicLink(std::wstring_view path);
bool GetFileStatus(std::wstring_view path, FileStatus& status);
// The identity of `path` itself: a symbolic link is not followed, so a link
// put where a file was has an identity of its own.
bool GetFileIdentity(std::wstring_view path, FileIdentity& identity);

// Creates one folder (parents must exist), mode 0700: only the user may
// enter it. False when it exists already.
bool CreateDirectory(std::wstring_view path);

// What RemoveTree did with its path.
enum class RemoveTreeResult {
  kRemoved,        // the folder and everything in it are gone
  kNotAFolder,     // nothing there, or a file: left alone
  kLinkRemoved,    // the path was a symbolic link: the link itself is gone
  kFileFailed,     // a file inside could not be deleted; the rest stays
  kFolderFailed,   // the folder itself could not be removed (or the link could not)
};
// Called for every entry RemoveTree fails to delete: its path, whether it is
// a folder, and the error number.
using RemoveTreeFailure = std::function<void(const std::wstring& path, bool folder, int error)>;
// Deletes the folder `path` with its content without ever following a
// symbolic link, whatever the path's form (a trailing "/" included): the last
// component is examined and opened relative to its parent with O_NOFOLLOW,
// and every entry below through the folder descriptors (openat, unlinkat),
// so that no link swapped in between a check and its use can redirect the
// removal. A link met anywhere is removed as a link. A file that cannot be
// deleted stops the removal of its folder at once (kFileFailed at the top;
// a subfolder's failure is reported through `onFailure` and otherwise
// ignored, and its parent's removal then fails).
RemoveTreeResult RemoveTree(std::wstring_view path, const RemoveTreeFailure& onFailure);

// State of a folder that only this user may use (see MakePrivateFolder).
enum class PrivateFolderState {
  kReady,
  kCannotCreate,   // missing and could not be made
  kNotAFolder,     // a symbolic link, a file or anything but a plain folder
  kForeignOwner,   // owned by another user
  kOpenToOthers,   // writable by group or others
};
// Makes `path` a folder of ours: creates it with mode 0700 when missing, then
// examines the path itself (never following a link). Anything but kReady
// means the folder must be neither written into nor emptied.
PrivateFolderState MakePrivateFolder(std::wstring_view path);
// A short English text for a state, for logs.
const wchar_t* PrivateFolderProblem(PrivateFolderState state);
// Removes an empty folder.
bool RemoveDirectory(std::wstring_view path);
// Deletes a file (not a folder).
bool DeleteFile(std::wstring_view path);
// Copies a file's content; with `failIfExists` an existing target is an error.
bool CopyFile(std::wstring_view from, std::wstring_view to, bool failIfExists);
// Moves or renames a file or folder; replaces an existing target file. Falls
// back to copy and delete across file systems.
bool MoveFile(std::wstring_view from, std::wstring_view to);
// Sets the modification and access times of a file (for tests and copies).
bool SetFileTimes(std::wstring_view path, std::int64_t modificationTime);
// Gives `to` the access and modification times of `from`, to the nanosecond.
bool CopyFileTimes(std::wstring_view from, std::wstring_view to);
// True when the calling thread may write to the file `path` by its
// permissions (and the file system is not read-only).
bool IsWritableFile(std::wstring_view path);
// The permission bits (rwx for owner, group, others, and set-id/sticky bits,
// 07777) of `path`, following links.
bool GetFilePermissions(std::wstring_view path, std::uint32_t& permissions);
// Sets the permission bits of `path` (07777), following links.
bool SetFilePermissions(std::wstring_view path, std::uint32_t permissions);
// Renames `from` to `to` in one atomic step, replacing `to`; never copies, so
// both must be on one file system (EXDEV otherwise).
bool RenameReplacing(std::wstring_view from, std::wstring_view to);
// The absolute path of `path` with every symbolic link resolved; empty with
// LastError() set when it does not exist.
std::wstring ResolvePath(std::wstring_view path);
// Makes a folder's entries (a file just created or renamed in it) durable.
bool SyncFolder(std::wstring_view path);
// Makes everything written on the file system that holds the folder `path`
// durable at once: the content and status of every file and every folder
// entry, by this program or any other. One call instead of one flush per
// file; it fails when the system could not write something back since this
// call opened the folder, or something no one has been told of yet. Only
// file systems whose sync is known to reach the disk's own cache are synced
// (ext2/3/4, XFS, Btrfs, F2FS; tmpfs holds nothing to sync); on any other
// (FAT, FUSE such as NTFS-3G, network file systems) nothing is done and the
// result is false with EOPNOTSUPP: flush each file there instead.
bool SyncFileSystem(std::wstring_view path);

// Lists the entries of a folder whose names match a pattern: `pattern` is a
// folder path followed by a name pattern with "*" and "?" wildcards
// ("logs/nimbrel*.txt"); "*.*" matches names without a dot too, as on
// Windows. "." and ".." are included when the pattern matches them. Order is
// unspecified. A missing folder gives an empty list and LastError() set.
std::vector<FoundFile> FindFiles(std::wstring_view pattern);
// Matches a file name against a wildcard pattern, case-sensitively.
bool MatchesWildcard(std::wstring_view name, std::wstring_view pattern);

// The native bytes of a path (see ToNativeName), for the few places that
// call the C library.
std::string NativePath(std::wstring_view path);

}  // namespace platform
