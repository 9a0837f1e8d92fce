#include "foundation/Version.h"

#include <string_view>

#include "foundation/StopWatch.h"
#include "foundation/WideToInt.h"
#include "platform/ModuleVersion.h"

bool CVersion::SetVersionFromModule(const CString& path) {
  StopWatch watch(L"CVersion::SetVersionFromModule");
  text_.Empty();
  parts_.clear();
  platform::ModuleFileVersion version;
  if (!platform::ReadModuleVersion(path.str(), version)) return false;
  for (std::uint16_t part : version.parts) parts_.push_back(part);
  text_.Format(L"%d.%d.%d.%d", parts_[0], parts_[1], parts_[2], parts_[3]);
  return true;
}

bool CVersion::SetVersionFromString(const CString& text) {
  text_ = text;
  parts_.clear();
  const std::wstring_view s = text.str();
  std::size_t start = 0;
  for (;;) {
    const std::size_t dot = s.find(L'.', start);
    parts_.push_back(WideToInt(s.substr(start, dot == std::wstring_view::npos ? std::wstring_view::npos : dot - start)));
    if (dot == std::wstring_view::npos) break;
    start = dot + 1;
  }
  return true;
}

bool CVersion::IsNewerOrEqual(const CVersion& other) const {
  for (std::size_t i = 0;; ++i) {
    if (i == other.parts_.size()) return true;
    if (i == parts_.size()) return false;
    if (parts_[i] != other.parts_[i]) return parts_[i] > other.parts_[i];
  }
}

std::vector<std::int32_t>& CVersion::GetParts(std::vector<std::int32_t>& parts) const {
  parts = parts_;
  return parts;
}
