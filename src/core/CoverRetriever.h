// Finds the picture file of a cover: in the local cover cache under artist
// and album, then under the article number in the wanted size, and only then
// through the "amazon" plug-in (loaded on demand), whose address the cover
// cache downloads.
//
// The plug-in is used under the sources manager's use lock (held shared, as
// SourcesInUse holds it), so a plug-in update cannot unload it during the
// call. The update-finished event is awaited (only when the
// plug-in is needed) before the plug-ins are held, never while they are:
// a call made from inside a search that already holds them (the search flow
// resolving an article number) does not wait at all, since the update that
// would signal the event cannot unload anything before that search ends.
#pragma once

#include "core/SearchContext.h"
#include "nimbrel/CString.h"

class CCoverCache;
class CDllSourcesManager;
class CNimbrelConfig;

class CCoverRetriever {
 public:
  // `context` gives the stop state, the options and the register a
  // cancellable call joins. `covers`, `sources`, `config`: null for the
  // process-wide instances; given ones must outlive the retriever.
  explicit CCoverRetriever(ISearchContext& context, CCoverCache* covers = nullptr,
                           CDllSourcesManager* sources = nullptr, CNimbrelConfig* config = nullptr);

  // True when `outPath` names a picture file. `abortable`: the plug-in call
  // is registered so that a stop reaches it, and nothing is asked or
  // downloaded once a stop is requested. `thumbnail`: the small size.
  bool GetCover(const CString& artist, const CString& album, const CString& asin, CString& outPath, bool abortable,
                bool thumbnail);

  // The plug-in asked for the picture address of an article number.
  static constexpr const wchar_t* kCoverSource = L"amazon";
  // Every ".jpg" of a thumbnail's address becomes this.
  static constexpr const wchar_t* kThumbnailSuffix = L"._SL100_.jpg";

 private:
  // Asks the plug-in for the address of `asin`'s picture; false without one.
  bool AskCoverAddress(const CString& asin, bool abortable, CString& address);
  // Waits for the plug-ins to be loaded, then holds them in use (see above);
  // the caller lets go of the use lock.
  void HoldSources();

  ISearchContext& context_;
  CCoverCache& covers_;
  CDllSourcesManager& sources_;
  CNimbrelConfig& config_;
};
