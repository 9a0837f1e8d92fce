#include "meridex/PictureTag.h"

#include <string>

#include "Log.h"
#include "PictureFiles.h"
#include "PictureRecord.h"
#include "PictureShape.h"
#include "TagsState.h"
#include "platform/File.h"
#include "platform/FileSystem.h"
#include "platform/SystemError.h"

namespace Meridex {

CPictureTag::Record::~Record() {
  if (!deleteFlag.load() || path_.IsEmpty()) return;
  if (!owned.load()) {
    log::Write(log::Level::kDebug, L"Keeping picture file " + path_.str() + L": it is not Meridex's own");
    return;
  }
  try {
    if (platform::DeleteFile(path_.str())) {
      log::Write(log::Level::kDebug, L"Deleted picture file " + path_.str());
    } else {
      const int error = platform::LastError();
      log::Write(log::Level::kError, L"Cannot delete picture file " + path_.str() + L": " +
                                         platform::ErrorMessage(error) + L" (" + std::to_wstring(error) + L")");
    }
  } catch (...) {
    // A destructor must not throw; the file stays behind.
  }
}

CString CPictureTag::Record::Path() {
  std::lock_guard<std::mutex> guard(lock);
  if (path_.IsEmpty() && !mediaFile.IsEmpty() && !extractTried_) {
    extractTried_ = true;
    std::wstring extracted;
    if (PictureFiles::ExtractFromMedia(*this, extracted)) path_ = CString(extracted);
  }
  return path_;
}

CString CPictureTag::Record::PathSoFar() const {
  std::lock_guard<std::mutex> guard(lock);
  return path_;
}

bool CPictureTag::Record::HasContent() const {
  std::lock_guard<std::mutex> guard(lock);
  return !path_.IsEmpty() || (!mediaFile.IsEmpty() && !extractTried_);
}

CPictureTag::CPictureTag() = default;

CPictureTag::CPictureTag(const CString& path, const CString& mimeType, int type, const CString& description,
                         bool deleteFlag)
    : record_(std::make_shared<Record>(path, mimeType, type, description, deleteFlag)) {}

CPictureTag::CPictureTag(const CPictureTag& other) = default;
CPictureTag& CPictureTag::operator=(const CPictureTag& other) = default;
CPictureTag::CPictureTag(CPictureTag&& other) noexcept = default;
CPictureTag& CPictureTag::operator=(CPictureTag&& other) noexcept = default;
CPictureTag::~CPictureTag() = default;

CString CPictureTag::GetFilePath() const { return record_ ? record_->Path() : CString(); }
CString CPictureTag::GetMimeType() const { return record_ ? record_->mimeType : CString(); }
int CPictureTag::GetType() const { return record_ ? record_->type : 0; }
CString CPictureTag::GetDescription() const { return record_ ? record_->description : CString(); }
bool CPictureTag::GetDeleteFlag() const { return record_ && record_->deleteFlag.load(); }

void CPictureTag::SetDeleteFlag(bool deleteFlag) {
  if (record_) record_->deleteFlag.store(deleteFlag);
}

bool CPictureTag::IsEmpty() const { return !record_ || !record_->HasContent(); }

bool CPictureTag::IsOwnedByMeridex() const { return record_ && record_->owned.load(); }

void CPictureTag::TakeOwnership() {
  if (record_) record_->owned.store(true);
}

bool CPictureTag::Fingerprint(std::uint64_t& size, std::uint64_t& hash) const {
  if (!record_) return false;
  {
    std::lock_guard<std::mutex> guard(record_->lock);
    if (record_->fingerprinted) {
      size = record_->size;
      hash = record_->hash;
      return true;
    }
  }
  std::string bytes;
  if (!platform::File::ReadAll(record_->Path().str(), bytes)) return false;
  size = bytes.size();
  hash = PictureHash(bytes.data(), bytes.size());
  std::lock_guard<std::mutex> guard(record_->lock);
  record_->size = size;
  record_->hash = hash;
  record_->fingerprinted = true;
  return true;
}

std::uint64_t CPictureTag::GetSize() const {
  if (!record_) return 0;
  {
    std::lock_guard<std::mutex> guard(record_->lock);
    if (record_->fingerprinted) return record_->size;
  }
  platform::File file;
  if (!file.Open(record_->Path().str(), platform::File::Mode::kRead)) return 0;
  const std::int64_t size = file.Size();
  return size > 0 ? static_cast<std::uint64_t>(size) : 0;
}

bool CPictureTag::GetPixelSize(int& width, int& height) const {
  if (!record_) return false;
  {
    std::lock_guard<std::mutex> guard(record_->lock);
    if (record_->width > 0 && record_->height > 0) {
      width = record_->width;
      height = record_->height;
      return true;
    }
    if (!record_->mediaFile.IsEmpty()) return false;  // measured when it was read
  }
  std::string bytes;
  if (!platform::File::ReadAll(record_->Path().str(), bytes)) return false;
  const PictureShape shape =
      PictureShape::Of(TagLib::ByteVector(bytes.data(), static_cast<unsigned int>(bytes.size())));
  if (shape.width <= 0 || shape.height <= 0) return false;
  std::lock_guard<std::mutex> guard(record_->lock);
  record_->width = width = shape.width;
  record_->height = height = shape.height;
  return true;
}

bool CPictureTag::HasSameContent(const CPictureTag& other) const {
  if (!record_ || !other.record_) return false;
  if (record_ == other.record_) return true;
  if (GetSize() != other.GetSize()) return false;
  std::uint64_t size = 0, hash = 0, otherSize = 0, otherHash = 0;
  return Fingerprint(size, hash) && other.Fingerprint(otherSize, otherHash) && size == otherSize && hash == otherHash;
}

}  // namespace Meridex
