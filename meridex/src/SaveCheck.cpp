#include "meridex/SaveCheck.h"

#include "FileReplacer.h"

namespace Meridex {

FileResult CheckSave(const CString& path) { return CheckReplaceable(path.str()); }

}  // namespace Meridex
