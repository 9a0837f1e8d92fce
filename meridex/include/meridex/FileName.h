// File names between a host program and Meridex (and nimbrel).
#pragma once

#include <string>
#include <string_view>

#include "meridex/Export.h"
#include "nimbrel/CString.h"

namespace Meridex {

// A Linux file name is any byte string, UTF-8 by convention only. Meridex and
// nimbrel take names as wide text: valid UTF-8 decoded, and each byte that is
// not part of a valid sequence kept as the lone unit U+DC80 + (byte - 0x80),
// so that every name can be read and saved. A host converts the names it got
// from the system with FileNameFromNative, and a name for the system (or a
// terminal) back with FileNameToNative: the round trip gives the same bytes.
MERIDEX_EXPORT CString FileNameFromNative(std::string_view bytes);
MERIDEX_EXPORT std::string FileNameToNative(const CString& name);

}  // namespace Meridex
