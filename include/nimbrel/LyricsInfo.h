// One lyrics candidate as a lyrics source delivers it. Shared by the library
// and the source plug-ins, so it is header-only and holds standard types only.
#pragma once

#include <string>

namespace Nimbrel {

struct LyricsInfo {
  std::wstring title;
  std::wstring artist;
  // Free for the source's own use; the library copies it only.
  std::wstring extra;
  // Where the source can fetch the text.
  std::wstring link;
  // Free for the source's own use; the library copies it only.
  bool flag = false;
  // The text itself; two candidates are the same when their texts are equal.
  std::wstring lyrics;
  std::wstring source;
  std::wstring sourceId;
};

}  // namespace Nimbrel
