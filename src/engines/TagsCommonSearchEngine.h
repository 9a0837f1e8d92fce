// What both engine kinds share: the property bag through which the core
// reaches a plug-in, the stop state, the time limit, the search timer and
// the search bracket. The concrete engines add the search (slot 9 onwards),
// their callbacks and their own properties, and fall back to this class for
// names they do not handle.
//
// Properties and statistics are not locked: SetProperty is refused while a
// search runs, which keeps them stable during a search. SetStop may come from
// any thread; the search sees it at its next IsStopped checkpoint.
//
// T is CBasicTagsDllInterface or CLyricsDllInterface.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "engines/SearchTimer.h"
#include "nimbrel/BasicTagsDllInterface.h"
#include "nimbrel/CString.h"
#include "nimbrel/LyricsDllInterface.h"

template <class T>
class CTagsCommonSearchEngine : public T::Engine {
 public:
  CTagsCommonSearchEngine() = default;
  // Tells the plug-in that this engine ends ("SearchEnded").
  ~CTagsCommonSearchEngine() override;
  CTagsCommonSearchEngine(const CTagsCommonSearchEngine&) = delete;
  CTagsCommonSearchEngine& operator=(const CTagsCommonSearchEngine&) = delete;

  // Refused (0, nothing logged) while a search runs. Names this level does
  // not know are refused with a warning.
  std::int32_t SetProperty(const CString& name, void* value) override;
  // Engine values, and the plug-in's statistics and names passed through.
  // `out` must not be null; unknown names are refused with an error entry.
  std::int32_t GetProperty(const CString& name, void* out) override;
  // No method is known at this level.
  std::int32_t CallMethod(const CString& name, void* args) override;
  void SetStop() override;
  // Stopped, or past the time limit (which stops the engine).
  bool IsStopped() override;
  std::int32_t GetActiveSearchCount() override { return activeSearches.load(); }
  // True when a search runs and more than `timeOut` ms passed since the
  // search timer's start; then logs the source and stops the engine.
  bool IsTimeOut() override;

 protected:
  // "CTagsCommonSearchEngine<class CBasicTagsDllInterface>::" + operation.
  static CString Prefix(const wchar_t* operation);

  // Brackets one search on the engine's counters: with songs, clears the
  // stop, counts the search and its songs and starts the timer; its end
  // (every way out) stops the timer, then uncounts the search.
  class SearchBracket {
   public:
    SearchBracket(CTagsCommonSearchEngine& engine, std::size_t songCount);
    ~SearchBracket();
    SearchBracket(const SearchBracket&) = delete;
    SearchBracket& operator=(const SearchBracket&) = delete;

   private:
    CTagsCommonSearchEngine& engine_;
    bool entered_;
  };

  // Asks the plug-in for a text property; empty when there is no interface
  // or the plug-in does not answer.
  CString SourceProperty(const wchar_t* name);

  float maxMatchDifference = 1.0f;
  CString proxy;
  std::atomic<bool> stopFlag{false};
  std::atomic<std::int32_t> activeSearches{0};
  SearchTimer searchTimer;
  std::atomic<std::uint32_t> foundNumber{0};
  std::int32_t timeOut = 0;
  void* hostIgnore = nullptr;
  std::atomic<std::uint32_t> searchedTracks{0};  // atomic: searches of one engine may overlap
  bool forceSearchByArtist = false;
  void* nimbrelObject = nullptr;

 private:
  // Passes a CString property to the plug-in (the logging properties).
  std::int32_t PassToPlugin(const CString& name, void* value);
};

extern template class CTagsCommonSearchEngine<CBasicTagsDllInterface>;
extern template class CTagsCommonSearchEngine<CLyricsDllInterface>;
