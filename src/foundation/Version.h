// A dotted version number, taken from a module's version stamp or from text,
// compared part by part.
#pragma once

#include <cstdint>
#include <vector>

#include "nimbrel/CString.h"

class CVersion {
 public:
  // Reads the file version stamped into the module at `path` (see
  // nimbrel/ModuleVersion.h) without loading it. The text becomes the four
  // numbers joined by dots ("2.0.1.15"). False, with text and parts empty,
  // when the file cannot be read or carries no valid stamp.
  bool SetVersionFromModule(const CString& path);

  // Keeps `text` and splits it at every "." into parts, each converted like
  // _wtoi: leading white space skipped, an optional sign, then decimal digits
  // up to the first other character; 0 without digits. A number beyond the
  // 32-bit range gives INT32_MAX (or INT32_MIN when negative), as the Windows
  // runtime does. "" gives one part 0, "1..2" gives 1, 0, 2. Always true.
  bool SetVersionFromString(const CString& text);

  // Compares part by part from the front as signed numbers. When all common
  // parts are equal, the version with at least as many parts is the newer or
  // equal one: 1.2.0.0 is newer than or equal to 1.2, but not the reverse.
  bool IsNewerOrEqual(const CVersion& other) const;

  // Fills `parts` with a copy of the parts, most significant first, and returns it.
  std::vector<std::int32_t>& GetParts(std::vector<std::int32_t>& parts) const;
  const CString& GetText() const { return text_; }

 private:
  CString text_;
  std::vector<std::int32_t> parts_;
};
