#include "LyricsText.h"

#include <cwctype>

namespace nimbrel_tag {

namespace {

bool SameNoCase(const std::wstring& a, const std::wstring& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (std::towlower(a[i]) != std::towlower(b[i])) return false;
  return true;
}

}  // namespace

std::wstring LyricsForFile(const std::wstring& found, const std::wstring& existing,
                           const std::vector<std::wstring>& sources) {
  std::wstring text = found;
  const std::size_t signature = text.rfind(L"\r\n");
  if (signature != std::wstring::npos) {
    const std::wstring last = text.substr(signature + 2);
    for (const std::wstring& source : sources) {
      if (!source.empty() && SameNoCase(last, source)) {
        text.erase(signature);
        break;
      }
    }
  }
  // One kind of line end: LF first, CR LF afterwards when the file uses it.
  std::wstring lines;
  lines.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == L'\r' && i + 1 < text.size() && text[i + 1] == L'\n') continue;
    lines += text[i];
  }
  if (existing.find(L"\r\n") == std::wstring::npos) return lines;
  std::wstring crlf;
  crlf.reserve(lines.size() + lines.size() / 16);
  for (wchar_t c : lines) {
    if (c == L'\n') crlf += L'\r';
    crlf += c;
  }
  return crlf;
}

}  // namespace nimbrel_tag
