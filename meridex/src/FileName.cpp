#include "meridex/FileName.h"

#include "platform/TextCodec.h"

namespace Meridex {

CString FileNameFromNative(std::string_view bytes) { return CString(platform::FromNativeName(bytes)); }

std::string FileNameToNative(const CString& name) { return platform::ToNativeName(name.str()); }

}  // namespace Meridex
