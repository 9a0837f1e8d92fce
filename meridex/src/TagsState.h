// The state behind a CTags, for the files that define its members.
#pragma once

#include <array>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "meridex/PictureTag.h"
#include "meridex/Tags.h"
#include "nimbrel/CString.h"

namespace Meridex {

constexpr std::size_t kTextFieldCount = static_cast<std::size_t>(CTags::Field::kReleaseGroupId) + 1;

// The values of a tag set's fields, each a list (most hold one value).
struct FieldValues {
  std::vector<CString> artists;
  std::vector<CString> composers;
  std::array<std::vector<CString>, kTextFieldCount> texts;

  std::vector<CString>& operator[](CTags::Field field) { return texts[static_cast<std::size_t>(field)]; }
  const std::vector<CString>& operator[](CTags::Field field) const { return texts[static_cast<std::size_t>(field)]; }
  bool operator==(const FieldValues&) const = default;
};

// A picture as a media file held it when its tags were read: the record
// that stands for it in the tag set, and enough to recognise the same bytes
// in the file again.
struct ReadPicture {
  std::uint64_t record = 0;
  std::uint32_t size = 0;
  std::uint64_t hash = 0;
};

// What a media file held when a tag set was read from it. Saving into the
// same file compares against this to write only what changed.
struct ReadState {
  CString filePath;
  FieldValues values;
  // The values came from the tag that saving writes (ID3v2, the Vorbis
  // comment, the MP4 items); false when they came from a secondary tag such
  // as ID3v1, APE or RIFF INFO, so that the main tag has to get all of them.
  bool fromMainTag = true;
  std::vector<ReadPicture> pictures;  // in the order the file holds them
};

struct CTags::Impl {
  CString tempFolder;
  CString filePath;  // the file read from; empty when not tied to a file
  FieldValues values;
  CString source;  // in memory only
  int lengthMs = 0;  // of the audio, as read; in memory only
  std::vector<CPictureTag> pictures;
  std::shared_ptr<const ReadState> read;  // null when not read from a file
};

// Access to a tag set's state for Meridex's own saving code.
class TagsAccess {
 public:
  static const CTags::Impl& Of(const CTags& tags) { return tags.State(); }
  static CTags::Impl& MutableOf(CTags& tags) { return tags.MutableState(); }
};

// A checksum of picture bytes, to tell the file's own picture again: FNV-1a
// over 8-byte words (pictures are megabytes; a byte at a time costs more
// than reading them). Only compared within one process.
inline std::uint64_t PictureHash(const char* data, std::size_t size) {
  constexpr std::uint64_t kPrime = 1099511628211ull;
  std::uint64_t hash = 14695981039346656037ull ^ size;
  std::size_t i = 0;
  for (; i + 8 <= size; i += 8) {
    std::uint64_t word;
    std::memcpy(&word, data + i, 8);
    hash = (hash ^ word) * kPrime;
    hash ^= hash >> 29;
  }
  for (; i < size; ++i) hash = (hash ^ static_cast<unsigned char>(data[i])) * kPrime;
  return hash;
}

}  // namespace Meridex
