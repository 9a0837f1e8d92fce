// The content a media file gets when a tag set is saved into it, made from
// the file as it is now: bytes made for it, and ranges of the file itself
// that are copied as they are (its audio, its unchanged pictures), so that a
// save holds neither the audio nor those pictures in memory.
#pragma once

#include <taglib/tbytevector.h>

#include <cstdint>
#include <string>
#include <vector>

#include "meridex/FileResult.h"
#include "meridex/Tags.h"
#include "platform/File.h"
#include "platform/FileIdentity.h"

namespace Meridex {

// A piece of the new content: `bytes`, or with `offset` >= 0 the `length`
// bytes of the file as it is from there.
struct ContentPiece {
  TagLib::ByteVector bytes;
  std::int64_t offset = -1;
  std::int64_t length = 0;

  static ContentPiece Bytes(const TagLib::ByteVector& bytes) { return {bytes, -1, 0}; }
  static ContentPiece Range(std::int64_t offset, std::int64_t length) { return {{}, offset, length}; }
};

struct NewContent {
  std::wstring target;              // the file to replace: the given path with every link resolved
  std::vector<ContentPiece> pieces;  // its new content, in order
  platform::File source;            // the target, open for reading: where ranges come from
  platform::FileIdentity original;  // the target as it was when it was opened, before any read

  // Appends a piece, joining a range to the range it continues.
  void Add(ContentPiece piece);
  // Writes the pieces in order to `out`, ranges copied in blocks. False,
  // with LastError() set, when reading or writing fails or the file has
  // become shorter than a range.
  bool WriteTo(platform::File& out);
};

// Opens the file at `path` (through links) and lays out its content with
// the values and pictures of `tags`. Fails, with the message CTags::SaveFile
// gives, when a picture cannot be loaded, the file cannot be read, is empty
// or of no known kind, or TagLib cannot write it. May throw what TagLib
// throws (std::bad_alloc).
FileResult MakeNewContent(const CTags& tags, const CString& path, NewContent& made);

}  // namespace Meridex
