#include "LrclibParser.h"

#include <cwctype>
#include <vector>

#include "../common/Text.h"

namespace lrclib {

using plugin_text::Widen;

namespace {

// Length of a time stamp "[mm:ss]" / "[mm:ss.xx]" (or with <>) at `pos`, 0 if none.
std::size_t TimeStampAt(const std::wstring& s, std::size_t pos, wchar_t open, wchar_t close) {
  if (pos >= s.size() || s[pos] != open) return 0;
  std::size_t i = pos + 1, digits = 0;
  while (i < s.size() && std::iswdigit(s[i])) ++i, ++digits;
  if (digits == 0 || i >= s.size() || s[i] != L':') return 0;
  ++i;
  digits = 0;
  while (i < s.size() && std::iswdigit(s[i])) ++i, ++digits;
  if (digits == 0) return 0;
  if (i < s.size() && (s[i] == L'.' || s[i] == L':')) {
    ++i;
    while (i < s.size() && std::iswdigit(s[i])) ++i;
  }
  if (i >= s.size() || s[i] != close) return 0;
  return i + 1 - pos;
}

// "[ar:Someone]": a tag line of the LRC format, not lyrics.
bool IsTagLine(const std::wstring& line) {
  if (line.size() < 3 || line.front() != L'[' || line.back() != L']') return false;
  const auto colon = line.find(L':');
  if (colon == std::wstring::npos || colon < 2) return false;
  for (std::size_t i = 1; i < colon; ++i) {
    if (!std::iswalpha(line[i])) return false;
  }
  return true;
}

}  // namespace

std::wstring StripTimeStamps(const std::wstring& synced) {
  std::vector<std::wstring> lines;
  std::size_t start = 0;
  while (start <= synced.size()) {
    auto end = synced.find(L'\n', start);
    if (end == std::wstring::npos) end = synced.size();
    std::wstring line = synced.substr(start, end - start);
    if (!line.empty() && line.back() == L'\r') line.pop_back();
    start = end + 1;
    if (IsTagLine(line)) continue;
    std::wstring text;
    std::size_t i = 0;
    while (std::size_t n = TimeStampAt(line, i, L'[', L']')) i += n;
    for (; i < line.size();) {
      if (std::size_t n = TimeStampAt(line, i, L'<', L'>')) {
        i += n;
        continue;
      }
      text += line[i++];
    }
    lines.push_back(plugin_text::Trimmed(text));
  }
  while (!lines.empty() && lines.back().empty()) lines.pop_back();
  std::size_t first = 0;
  while (first < lines.size() && lines[first].empty()) ++first;
  std::wstring out;
  for (std::size_t k = first; k < lines.size(); ++k) {
    if (k > first) out += L"\r\n";
    out += lines[k];
  }
  return out;
}

std::wstring LyricsTextOf(const plugin_json::Value& record) {
  const std::wstring plain = Widen(record.TextOf("plainLyrics"));
  if (!plugin_text::Trimmed(plain).empty()) return plain;
  return StripTimeStamps(Widen(record.TextOf("syncedLyrics")));
}

bool IsRecordId(const std::wstring& link) {
  if (link.empty() || link.size() > 18) return false;
  for (wchar_t c : link) {
    if (c < L'0' || c > L'9') return false;
  }
  return true;
}

bool ReadRecord(const plugin_json::Value& record, Nimbrel::LyricsInfo& candidate, std::wstring& text) {
  const auto id = record.IntegerOf("id");
  if (!id || *id < 0) return false;
  candidate.title = Widen(record.TextOf("trackName"));
  if (candidate.title.empty()) candidate.title = Widen(record.TextOf("name"));
  candidate.artist = Widen(record.TextOf("artistName"));
  candidate.extra = Widen(record.TextOf("albumName"));
  candidate.link = std::to_wstring(*id);
  const plugin_json::Value* instrumental = record.Find("instrumental");
  candidate.flag = instrumental && instrumental->Bool();
  text = LyricsTextOf(record);
  return !candidate.title.empty();
}

}  // namespace lrclib
