// Pictures between media files and picture files on disk: extracting the
// pictures of a file that is read, loading those of a tag set that is saved.
#pragma once

#include <string>
#include <vector>

#include "EmbeddedPicture.h"
#include "TagsState.h"
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

  // Hands out in `out` the `index`-th picture of `mediaFile`, whose bytes
  // are `picture`'s, as Meridex's own picture flagged for deletion: known by
  // size, pixel size and content until its path is asked for, and only then
  // written to a file of its own in `tempFolder` (see ExtractFromMedia).
  static void Defer(const CString& mediaFile, int index, const CString& tempFolder, const EmbeddedPicture& picture,
                    CPictureTag& out);
  // Reads the picture `record` stands for from its media file again and
  // writes it to a new file in its temporary folder; false (logged) when the
  // media file cannot be read or no longer holds the same bytes there.
  static bool ExtractFromMedia(const CPictureTag::Record& record, std::wstring& path);
  // The identity of a picture's record, to tell a file's own pictures again.
  static std::uint64_t RecordId(const CPictureTag& picture);
  // Size and checksum of a picture's bytes (read from its file when not known).
  static bool Fingerprint(const CPictureTag& picture, std::uint64_t& size, std::uint64_t& hash);

  // The pictures a save of `tags` writes into a file, in order. `read` is
  // what that file held when the tags were read from it (null when they
  // were not): a picture still the file's own is named by its place there,
  // without reading its bytes; the others come with the bytes of their
  // files, a missing MIME type taken from the bytes, and their dimensions.
  // `unchanged` tells whether the file's pictures are exactly those read.
  // Fails when a file cannot be read or is empty.
  static FileResult ForSaving(const CTags& tags, const ReadState* read, std::vector<EmbeddedPicture>& out,
                              bool& unchanged);

  // Fills in the bytes (from `path`), MIME type and dimensions of a picture
  // that has no bytes yet. False when its file cannot be read or is empty.
  static bool LoadBytes(EmbeddedPicture& picture);
  // True when `data` is the very picture `picture` names (size and hash).
  static bool SameBytes(const TagLib::ByteVector& data, const EmbeddedPicture& picture);

  // "image/png" and the like for picture bytes that say what they are;
  // empty when they do not.
  static CString SniffMimeType(const TagLib::ByteVector& data);
};

}  // namespace Meridex
