// What the search flow and cover retrieval need of the tagging object they
// work for: its songs, its options, its stop state, its engine registers and
// its cover retrieval. CNimbrelCore implements it; tests may stand in.
#pragma once

#include <boost/shared_ptr.hpp>
#include <cstdint>

#include "core/EngineRegister.h"
#include "core/NimbrelSong.h"
#include "nimbrel/CString.h"
#include "nimbrel/NimbrelSettings.h"

class CBasicTagsCommonSearchEngine;
class CLyricsCommonSearchEngine;

class ISearchContext {
 public:
  virtual ~ISearchContext() = default;

  // The song under `songId`; null once it was removed.
  virtual boost::shared_ptr<CNimbrelSong> FindSong(std::uint32_t songId) = 0;
  // Whether the host asked this object to stop its run.
  virtual bool StopRequested() const = 0;
  // The object's options as they are now.
  virtual NimbrelOptions Options() const = 0;
  virtual CEngineRegister<CBasicTagsCommonSearchEngine>& BasicEngines() = 0;
  virtual CEngineRegister<CLyricsCommonSearchEngine>& LyricsEngines() = 0;
  // The host's cover retrieval (the same as INimbrel::GetCover).
  virtual bool GetCover(const CString& artist, const CString& album, const CString& asin, CString& outPath,
                        bool abortable, bool thumbnail) = 0;
};
