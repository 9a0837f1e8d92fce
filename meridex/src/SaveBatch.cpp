#include "meridex/SaveBatch.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <exception>
#include <string>
#include <utility>

#include "FileReplacer.h"
#include "Log.h"
#include "NewContent.h"
#include "platform/Env.h"
#include "platform/File.h"
#include "platform/FileSystem.h"
#include "platform/SystemError.h"
#include "platform/TextCodec.h"

namespace Meridex {

namespace {

struct Entry {
  CString path;  // as the caller gave it
  PreparedReplacement prepared;
};

bool SameFile(const platform::FileIdentity& a, const platform::FileIdentity& b) {
  return a.device == b.device && a.inode == b.inode;
}

// Makes sure the prepared new content is durable and is still the file Add
// wrote: its name can be seen, and in a folder others may write to, someone
// could have put another file in its place meanwhile.
// `fileSystemSynced`: the content's file system was synced since it was
// written, so only a failed write-back remains to be learnt; otherwise it is
// flushed here.
FileResult ConfirmDurable(const PreparedReplacement& prepared, bool fileSystemSynced) {
  platform::File file;
  platform::FileIdentity now;
  if (!file.Open(prepared.temporary, platform::File::Mode::kRead) || !file.GetIdentity(now))
    return FileResult::Failure(ReplacementFailure(L"reopening the new content", prepared.path));
  if (!SameFile(now, prepared.written) || now.size != prepared.written.size)
    return FileResult::Failure(L"cannot save " + CString(prepared.path) +
                               L": its new content was replaced by another program");
  if (!(fileSystemSynced ? file.WaitForWriteback() : platform::Env::Current()->SyncFile(file)))
    return FileResult::Failure(ReplacementFailure(L"flushing the new content to disk", prepared.path));
  return FileResult::Success();
}

template <typename T>
void AddOnce(std::vector<T>& list, const T& value) {
  if (std::find(list.begin(), list.end(), value) == list.end()) list.push_back(value);
}

}  // namespace

struct CSaveBatch::Impl {
  std::vector<Entry> entries;
};

CSaveBatch::CSaveBatch() : impl_(std::make_unique<Impl>()) {}

CSaveBatch::~CSaveBatch() { Discard(); }

CSaveBatch::CSaveBatch(CSaveBatch&& other) noexcept : impl_(std::move(other.impl_)) {}

CSaveBatch& CSaveBatch::operator=(CSaveBatch&& other) noexcept {
  if (this != &other) {
    Discard();
    impl_ = std::move(other.impl_);
  }
  return *this;
}

int CSaveBatch::Size() const { return impl_ ? static_cast<int>(impl_->entries.size()) : 0; }

CString CSaveBatch::GetPath(int index) const {
  if (index < 0 || index >= Size()) return CString();
  return impl_->entries[static_cast<std::size_t>(index)].path;
}

FileResult CSaveBatch::Add(const CTags& tags, const CString& path, bool keepModificationTime) {
  try {
    if (!impl_) impl_ = std::make_unique<Impl>();  // moved from
    NewContent made;
    FileResult result = MakeNewContent(tags, path, made);
    if (!result) return result;
    // A second new content of the same file would find the file changed by
    // the first at Commit; refuse it now, while the caller can still decide.
    for (const Entry& entry : impl_->entries)
      if (SameFile(entry.prepared.original, made.original))
        return FileResult::Failure(L"cannot save " + path + L": the file is already in this batch (as " +
                                   entry.path + L")");
    impl_->entries.reserve(impl_->entries.size() + 1);  // nothing can fail once the temporary file exists
    Entry entry{path, PreparedReplacement{}};
    result = PrepareReplacement(
        made.target, [&made](platform::File& out) { return made.WriteTo(out); }, made.original, keepModificationTime,
        false, entry.prepared);
    if (!result) {
      log::Write(log::Level::kError, result.message.str());
      return result;
    }
    impl_->entries.push_back(std::move(entry));
    return result;
  } catch (const std::exception& e) {
    return FileResult::Failure(L"cannot save " + path + L": " + CString(platform::FromUtf8(e.what())));
  }
}

std::vector<FileResult> CSaveBatch::Commit() {
  if (!impl_) return {};
  // Allocated while the entries are still the batch's, so that running out
  // of memory here leaves them to Discard.
  std::vector<FileResult> results(impl_->entries.size(), FileResult::Success());
  std::vector<std::pair<std::uint64_t, bool>> synced;  // device, synced
  std::vector<std::wstring> renamedIn;
  synced.reserve(results.size());
  renamedIn.reserve(results.size());
  std::vector<Entry> entries;
  entries.swap(impl_->entries);

  // One sync per file system makes every new content durable, its
  // permissions and times included; each file then only learns whether
  // writing it back failed. Where the sync cannot be trusted (or failed),
  // each file is flushed on its own.
  for (const Entry& entry : entries) {
    const std::uint64_t device = entry.prepared.written.device;
    if (std::none_of(synced.begin(), synced.end(), [&](const auto& s) { return s.first == device; }))
      synced.emplace_back(device, platform::Env::Current()->SyncFileSystem(entry.prepared.folder));
  }
  for (std::size_t i = 0; i < entries.size(); ++i) {
    const std::uint64_t device = entries[i].prepared.written.device;
    const bool fileSystemSynced =
        std::find(synced.begin(), synced.end(), std::make_pair(device, true)) != synced.end();
    results[i] = ConfirmDurable(entries[i].prepared, fileSystemSynced);
  }

  // In the order added, each file is checked right before its rename.
  for (std::size_t i = 0; i < entries.size(); ++i) {
    const Entry& entry = entries[i];
    if (results[i]) results[i] = InstallReplacement(entry.prepared);
    if (results[i]) {
      AddOnce(renamedIn, entry.prepared.folder);
      log::Write(log::Level::kDebug, L"Saved tags of " + entry.path.str());
    } else {
      // Usually gone already; a folder that may no longer be written keeps
      // it, and the caller is told where it is.
      if (!platform::DeleteFile(entry.prepared.temporary) && platform::LastError() != ENOENT)
        results[i].message += L"; the new content remains in " + entry.prepared.temporary;
      log::Write(log::Level::kError, results[i].message.str());
    }
  }
  // The files are complete either way; a failed folder sync only risks a
  // rename itself after a crash, which leaves the old content.
  for (const std::wstring& folder : renamedIn) platform::SyncFolder(folder);
  return results;
}

void CSaveBatch::Discard() {
  if (!impl_) return;
  for (const Entry& entry : impl_->entries) platform::DeleteFile(entry.prepared.temporary);
  impl_->entries.clear();
}

}  // namespace Meridex
