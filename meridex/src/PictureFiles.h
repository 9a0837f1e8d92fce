// Pictures between media files and picture files on disk: extracting the
// pictures of a file that is read, loading those of a tag set that is saved.
#pragma once

#include <string>
#include <vector>

#include "EmbeddedPicture.h"
#include "meridex/FileResult.h"
#include "meridex/PictureTag.h"
#include "meridex/Tags.h"

namespace Meridex {

class PictureFiles {
 public:
  // The folder the pictures of a tag set go to: `tempFolder`, or the user's
  // private temporary folder when it is empty; created 0700 when missing and
  // refused when it is a link, another user's, or writable by others.
  // `folder` receives the path with a trailing "/".
  static FileResult PrepareFolder(const CString& tempFolder, std::wstring& folder);

  // Writes `picture` to a new file of its own in `folder` (a prepared one)
  // and hands it out in `out` as Meridex's own file, flagged for deletion.
  static FileResult Extract(const std::wstring& folder, const EmbeddedPicture& picture, CPictureTag& out);

  // The pictures of `tags`, in order, with the bytes of their files; a
  // missing MIME type is taken from the bytes. Fails when a file cannot be
  // read or is empty.
  static FileResult Load(const CTags& tags, std::vector<EmbeddedPicture>& out);

  // "image/png" and the like for picture bytes that say what they are;
  // empty when they do not.
  static CString SniffMimeType(const TagLib::ByteVector& data);
};

}  // namespace Meridex
