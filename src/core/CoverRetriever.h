// Finds the picture file of a cover: in the local cover cache under artist
// and album, then under the article number in the wanted size, and only then
// through the "amazon" plug-in (loaded on demand), whose address the cover
// cache downloads.
#pragma once

#include "core/SearchContext.h"
#include "nimbrel/CString.h"

class CCoverRetriever {
 public:
  // `context` gives the stop state and the register a cancellable call joins.
  explicit CCoverRetriever(ISearchContext& context) : context_(context) {}

  // True when `outPath` names a picture file. `abortable`: the plug-in call
  // is registered so that a stop reaches it, and nothing is asked or
  // downloaded once a stop is requested. `thumbnail`: the small size.
  bool GetCover(const CString& artist, const CString& album, const CString& asin, CString& outPath, bool abortable,
                bool thumbnail);

 private:
  ISearchContext& context_;
};
