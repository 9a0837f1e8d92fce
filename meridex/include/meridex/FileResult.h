// The outcome of reading or saving a media file.
#pragma once

#include "nimbrel/CString.h"

namespace Meridex {

// Success, or a failure with a message for a person: what was attempted, on
// which file, and why it did not work ("cannot save /m/a.mp3: No space left
// on device"). Nothing is thrown for a file that cannot be handled.
struct FileResult {
  bool ok = false;
  CString message;  // empty on success

  explicit operator bool() const { return ok; }
  static FileResult Success() { return FileResult{true, CString()}; }
  static FileResult Failure(const CString& why) { return FileResult{false, why}; }
};

}  // namespace Meridex
