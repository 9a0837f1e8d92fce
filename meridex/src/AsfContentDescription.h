// The content description object of a WMA/ASF header: five texts (Title,
// Author, Copyright, Description, Rating), each stored with its length.
//
// TagLib writes this object whole on every save, with an empty text (its
// terminator alone) for each missing one, and adds it to a file that had
// none. Taken before the save and put back after it, the object keeps the
// file's own bytes for every text that was not changed, stores an empty
// changed text as absent, and is left out when the file had none and every
// text is absent.
#pragma once

#include <taglib/tbytevector.h>

#include <array>

namespace TagLib {
class IOStream;
}

namespace Meridex::asf {

class ContentDescription {
 public:
  enum Text { kTitle, kAuthor, kCopyright, kDescription, kRating, kTextCount };

  // The object of the ASF file in `stream` (or that it has none).
  static ContentDescription Read(TagLib::IOStream& stream);

  // Makes the object in the saved file of `stream` this one, but for the
  // texts marked in `changed` (taken from the saved object). Does nothing
  // when the file's object could not be read; false when the saved header
  // cannot be read.
  bool Restore(TagLib::IOStream& stream, const std::array<bool, kTextCount>& changed) const;

 private:
  bool known_ = false;  // false: the file's header or object could not be read, nothing is put back
  bool present_ = false;
  std::array<TagLib::ByteVector, kTextCount> texts_;  // as stored, terminator included
};

}  // namespace Meridex::asf
