#include "meridex/PictureTag.h"

#include <atomic>
#include <string>

#include "Log.h"
#include "platform/FileSystem.h"
#include "platform/SystemError.h"

namespace Meridex {

// The state every copy of a handle shares. Only the two flags change after
// construction, so the texts may be read from any thread without a lock.
struct CPictureTag::Record {
  // A file handed over with the delete flag set is given to Meridex to delete.
  Record(const CString& p, const CString& m, int t, const CString& d, bool del)
      : path(p), mimeType(m), type(t), description(d), deleteFlag(del), owned(del) {}
  Record(const Record&) = delete;
  Record& operator=(const Record&) = delete;

  // Runs once, when the last handle is released (shared_ptr's reference
  // count makes that race-free across threads).
  ~Record() {
    if (!deleteFlag.load() || path.IsEmpty()) return;
    if (!owned.load()) {
      log::Write(log::Level::kDebug, L"Keeping picture file " + path.str() + L": it is not Meridex's own");
      return;
    }
    try {
      if (platform::DeleteFile(path.str())) {
        log::Write(log::Level::kDebug, L"Deleted picture file " + path.str());
      } else {
        const int error = platform::LastError();
        log::Write(log::Level::kError, L"Cannot delete picture file " + path.str() + L": " +
                                           platform::ErrorMessage(error) + L" (" + std::to_wstring(error) + L")");
      }
    } catch (...) {
      // A destructor must not throw; the file stays behind.
    }
  }

  const CString path;
  const CString mimeType;
  const int type;
  const CString description;
  std::atomic<bool> deleteFlag;
  // Whether the file is Meridex's to delete; once true, it stays true.
  std::atomic<bool> owned;
};

CPictureTag::CPictureTag() = default;

CPictureTag::CPictureTag(const CString& path, const CString& mimeType, int type, const CString& description,
                         bool deleteFlag)
    : record_(std::make_shared<Record>(path, mimeType, type, description, deleteFlag)) {}

CPictureTag::CPictureTag(const CPictureTag& other) = default;
CPictureTag& CPictureTag::operator=(const CPictureTag& other) = default;
CPictureTag::CPictureTag(CPictureTag&& other) noexcept = default;
CPictureTag& CPictureTag::operator=(CPictureTag&& other) noexcept = default;
CPictureTag::~CPictureTag() = default;

CString CPictureTag::GetFilePath() const { return record_ ? record_->path : CString(); }
CString CPictureTag::GetMimeType() const { return record_ ? record_->mimeType : CString(); }
int CPictureTag::GetType() const { return record_ ? record_->type : 0; }
CString CPictureTag::GetDescription() const { return record_ ? record_->description : CString(); }
bool CPictureTag::GetDeleteFlag() const { return record_ && record_->deleteFlag.load(); }

void CPictureTag::SetDeleteFlag(bool deleteFlag) {
  if (record_) record_->deleteFlag.store(deleteFlag);
}

bool CPictureTag::IsEmpty() const { return !record_ || record_->path.IsEmpty(); }

bool CPictureTag::IsOwnedByMeridex() const { return record_ && record_->owned.load(); }

void CPictureTag::TakeOwnership() {
  if (record_) record_->owned.store(true);
}

}  // namespace Meridex
