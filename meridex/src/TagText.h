// Text between Meridex's wide strings and TagLib's strings, and the few
// helpers every format mapping shares.
#pragma once

#include <taglib/tstring.h>
#include <taglib/tstringlist.h>

#include <vector>

#include "meridex/Tags.h"
#include "nimbrel/CString.h"
#include "platform/TextCodec.h"

namespace Meridex::text {

// Through UTF-8, so that characters beyond the 16-bit range survive on
// either side (TagLib keeps UTF-16 units, CString holds code points).
inline TagLib::String ToTagLib(const CString& value) {
  return TagLib::String(platform::ToUtf8(value.str()), TagLib::String::UTF8);
}
inline CString FromTagLib(const TagLib::String& value) { return CString(platform::FromUtf8(value.to8Bit(true))); }

// The decimal number at the start of `value` ("7/12" gives 7), 0 when none.
inline int LeadingNumber(const CString& value) {
  int number = 0;
  for (wchar_t c : value.str()) {
    if (c < L'0' || c > L'9' || number > 100000000) break;
    number = number * 10 + (c - L'0');
  }
  return number;
}

// A field of a tag set by its getter: the value, or empty text when absent.
inline CString Get(const CTags& tags, bool (CTags::*getter)(CString&) const) {
  CString value;
  (tags.*getter)(value);
  return value;
}

// A list of values between TagLib and a tag set; empty texts are left out.
inline std::vector<CString> List(const TagLib::StringList& values) {
  std::vector<CString> out;
  for (const TagLib::String& value : values)
    if (!value.isEmpty()) out.push_back(FromTagLib(value));
  return out;
}
inline TagLib::StringList List(const std::vector<CString>& values) {
  TagLib::StringList out;
  for (const CString& value : values)
    if (!value.IsEmpty()) out.append(ToTagLib(value));
  return out;
}

// Adds every value of `names` that is not empty through `adder` (AddArtist or AddComposer).
inline void AddNames(CTags& tags, bool (CTags::*adder)(const CString&, bool), const TagLib::StringList& names) {
  for (const TagLib::String& name : names) (tags.*adder)(FromTagLib(name), false);
}

}  // namespace Meridex::text
