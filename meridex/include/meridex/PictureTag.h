// One picture of a tag set (cover art and the like), kept as a file on disk.
#pragma once

#include <cstdint>
#include <memory>

#include "meridex/Export.h"
#include "nimbrel/CString.h"

namespace Meridex {

// A handle to a picture record shared by every copy of the handle, and by
// every CTags that holds one of them. The record is immutable except for its
// delete flag: SetDeleteFlag on any copy is seen by all. When the last handle
// goes away with the flag set, the picture's file is deleted (a failure is
// logged, never thrown) -- but only a file that is Meridex's own:
//   - a copy Meridex extracted from a media file (CTags::ReadFile),
//   - a file inside the temporary folder of a tag set it was added to,
//   - a file handed over with the delete flag already set at construction.
// A picture the host attached from its own disk (constructed without the
// flag, outside the tag set's temporary folder) is never deleted, even when
// it is flagged later: the flag then only records the wish.
//
// A picture read from a media file (CTags::ReadFile) gets its file only
// when its path is first asked for: until then it is known by its size,
// pixel size and content alone, and nothing of it lies on disk. The path is
// then extracted from the media file (empty when that file no longer holds
// the same picture).
//
// Copies may be used and destroyed on different threads concurrently; the
// final release and the file deletion happen exactly once.
class MERIDEX_EXPORT CPictureTag {
 public:
  // An empty picture: no record, IsEmpty() is true.
  CPictureTag();
  // `type` is the picture type of the tag format (e.g. 3 for a front cover).
  CPictureTag(const CString& path, const CString& mimeType, int type, const CString& description,
              bool deleteFlag);
  CPictureTag(const CPictureTag& other);
  CPictureTag& operator=(const CPictureTag& other);
  CPictureTag(CPictureTag&& other) noexcept;
  CPictureTag& operator=(CPictureTag&& other) noexcept;
  ~CPictureTag();

  // Empty text, type 0 and flag false for an empty picture.
  CString GetFilePath() const;
  CString GetMimeType() const;
  int GetType() const;
  CString GetDescription() const;
  bool GetDeleteFlag() const;
  // Marks the file for deletion when the last handle goes; no effect on an
  // empty picture.
  void SetDeleteFlag(bool deleteFlag);
  // True when there is no record or its file path is empty.
  bool IsEmpty() const;
  // True when the file is Meridex's own, so that the delete flag removes it.
  bool IsOwnedByMeridex() const;

  // The picture's size in bytes, known without extracting it (a picture on
  // disk: its file's size); 0 for an empty picture or a missing file.
  std::uint64_t GetSize() const;
  // Width and height in pixels, without extracting it; false when unknown
  // (an empty picture, or bytes that are not a recognised picture).
  bool GetPixelSize(int& width, int& height) const;
  // True when both hold the same bytes; compared by size first, then by a
  // checksum of the content, without extracting a picture read from a file.
  bool HasSameContent(const CPictureTag& other) const;

 private:
  friend class CTags;
  friend class PictureFiles;
  // Makes the file Meridex's own (see above); no effect on an empty picture.
  void TakeOwnership();

  struct Record;
  std::shared_ptr<Record> record_;
  // Size and checksum of the content, read from the file when not known.
  bool Fingerprint(std::uint64_t& size, std::uint64_t& hash) const;
};

}  // namespace Meridex
