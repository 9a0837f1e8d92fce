// Found lyrics made ready for a music file.
#pragma once

#include <string>
#include <vector>

namespace nimbrel_tag {

// Lyrics sources sign their text: it ends with CR LF and the source's name
// ("...last words\r\nlrclib"). Returns `found` without that last line when
// it names one of `sources` (ignoring case), and with the line ends the
// file's `existing` lyrics use: CR LF when they hold one, LF otherwise.
std::wstring LyricsForFile(const std::wstring& found, const std::wstring& existing,
                           const std::vector<std::wstring>& sources);

}  // namespace nimbrel_tag
