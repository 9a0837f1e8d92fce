// The client of the tag-cache server: before the sources are asked about a
// song the server is asked whether somebody has tagged that artist and title
// already (a look-up), and whatever a source found is sent to it (a fill), as
// is a source's miss or a search that found nothing (a failure report).
//
// Requests are form-encoded POSTs to "<TagCacheHost>/lookup.php", "/fill.php"
// and "/reportFail.php" (the host setting carries no scheme; "host:port" is
// fine), through the proxy resolved from HttpProxy, each with a UTC timestamp
// and, last, a signature (RequestSigning.h). An empty TagCacheHost switches
// the whole client off: nothing is sent and every call gives its "nothing
// known" result. Each thread keeps its connection to the server alive between
// its requests.
//
// Fills queued by PostFill run on the object's own pool: at most two workers,
// ending after ten idle seconds. Fills and failure reports the server has
// accepted are remembered and not sent again; the memory keeps the newest
// kRememberedLimit (an older one forgotten is merely sent again).
//
// Thread-safe: Lookup, LookupWithRetry, Fill and ReportFail run on the caller's
// thread, any number at once; the remembered keys are the only shared state.
// A check of the keys and the later insertion are separate locked steps, so
// two threads may send the same fill once each.
#pragma once

#include <atomic>
#include <cstdint>
#include <list>
#include <string>
#include <string_view>
#include <vector>

#include "nimbrel/AlbumResult.h"
#include "nimbrel/NimbrelSettings.h"
#include "nimbrel/SongInfo.h"
#include "platform/CriticalSection.h"
#include "servercache/RecentKeys.h"
#include "threadpool/ThreadPool.h"

// Asked between the slices of a waiting look-up whether to go on waiting.
class ILookupRetryStop {
 public:
  virtual ~ILookupRetryStop() = default;
  // False ends the wait at once; the look-up then gives its last result.
  virtual bool ContinueWaiting() = 0;
};

class CNimbrelServerCache : public CThreadPool {
 public:
  // Look-up results.
  static constexpr std::int32_t kFound = 1;
  static constexpr std::int32_t kNothingKnown = 0;
  static constexpr std::int32_t kStillWorking = -1;  // 202: ask again later
  static constexpr std::int32_t kUseSources = -2;    // 207: the names of the sources to ask
  static constexpr std::int32_t kSkipSearch = -3;    // 404 "skip search": do not search this song

  // How long LookupWithRetry keeps asking while the server answers 202, and
  // the range of its pauses between two look-ups.
  static constexpr std::uint32_t kRetryForMs = 300000;
  static constexpr std::uint32_t kShortestPauseS = 10;
  static constexpr std::uint32_t kLongestPauseS = 20;
  // Longest single sleep of a pause; the stop query is asked between them.
  static constexpr std::uint32_t kSleepSliceMs = 1000;

  // Limits of a fill, in UTF-16 code units and as signed numbers; a record
  // over any of them is not sent.
  static constexpr std::size_t kMaxTextLength = 255;  // album, artist, cover address, title
  static constexpr std::size_t kMaxGenreLength = 50;
  static constexpr std::size_t kMaxSourceLength = 20;
  static constexpr std::int32_t kMaxTrackNumber = 99;
  static constexpr std::int32_t kMaxYear = 9999;

  // How many accepted fills and reports, and how many queued fills, are
  // remembered at most (each memory apart): the oldest go first.
  static constexpr std::size_t kRememberedLimit = 65536;

  // Reads TagCacheHost and HttpProxy from `settings` at every request;
  // `settings` must outlive this object. `rememberedLimit`: see above.
  explicit CNimbrelServerCache(const NimbrelSettings& settings, std::size_t rememberedLimit = kRememberedLimit);
  // Stops the pool (queued fills are dropped: they are best effort) and waits
  // for the fills already running, whose requests end by their time-outs.
  ~CNimbrelServerCache();
  CNimbrelServerCache(const CNimbrelServerCache&) = delete;
  CNimbrelServerCache& operator=(const CNimbrelServerCache&) = delete;

  // The process-wide client, on the process-wide configuration.
  static CNimbrelServerCache& Instance();

  // Asks the server about `artist` and `title`; `searcher` says whether the
  // asker is about to search the song itself. Returns one of the results
  // above; 0 also when the host is off or no answer came. For kFound the
  // answer's artist, title, album, genre, year, track number, cover address,
  // source and optional fields (RecordFields.h) are written into `info` (a
  // key the answer lacks, or an optional value the rules refuse, gives an
  // empty text or 0; other members stay); an answer without artist or title is
  // kNothingKnown (with what was read so far already written). For
  // kUseSources the named sources are appended to `sourceNames`.
  std::int32_t Lookup(const std::wstring& artist, const std::wstring& title, Nimbrel::SongInfo& info,
                      std::vector<std::wstring>& sourceNames, bool searcher);
  // Lookup, repeated while it gives kStillWorking, after pauses of a random
  // 10 to 20 whole seconds, until five minutes have passed since the first
  // answer or `stop` (may be null) says to end. Returns the last result.
  // Time is read and slept through platform::Env.
  std::int32_t LookupWithRetry(const std::wstring& artist, const std::wstring& title, Nimbrel::SongInfo& info,
                               std::vector<std::wstring>& sourceNames, bool searcher,
                               ILookupRetryStop* stop = nullptr);

  // Sends `info` to the server. 1 when the server accepted it (a 2xx answer)
  // or nothing was to be sent (source "musicbrainz", or accepted before in
  // this process); 0 when the host is off, a limit is exceeded or the request
  // failed. The cover's byte size and pixel size are read from its file.
  // The record's optional fields go along when known and valid.
  int Fill(const Nimbrel::SongInfo& info);
  // Tells the server that `source` (may be empty: the search as a whole)
  // found nothing right for `artist` and `title`. Not sent when the host is
  // off, a text is over its limit or the server accepted the same report before.
  void ReportFail(const std::wstring& artist, const std::wstring& title, const std::wstring& source);
  // Queues a Fill of a copy of `info` on the pool, unless its source is
  // "musicbrainz", the object is being destroyed or the same fill (artist,
  // title, album and source) was queued before: a song is found by more than
  // one path, and a server that refuses fills must not be sent each again.
  void PostFill(const Nimbrel::SongInfo& info);
  // A search engine's feedback: every track of every album result becomes a
  // record (track, album, cover and source of its album); with `found` each is
  // queued with PostFill, otherwise reported with ReportFail. The first album
  // result from "musicbrainz" ends the pass.
  void SendFeedback(const std::list<Nimbrel::AlbumResult>& results, bool found);
  // Before the settings this object reads are replaced (the host initialises
  // the library again): drops the queued fills and waits for the running
  // ones, so that no request reads the host or proxy while they change. The
  // dropped fills may be queued again; what was accepted stays remembered.
  // Not to be called while a search may queue fills.
  void DropFillsAndWait();

  // The signature of a request text under the library's key.
  static std::wstring Sign(std::wstring_view text);
  // The current UTC time as "YYYY-MM-DDThh:mm:ssZ" (not yet encoded).
  static std::wstring MakeTimestamp();

  // Whether a fill or report with this key has been accepted (test seam and
  // the fill's own check).
  bool WasSent(const std::wstring& key);

  // Settings the owner may change before use. Keep connections to the server
  // open between requests.
  std::atomic<bool> keepAlive{true};
  // Milliseconds for connecting and for any stretch without data; 0: the
  // HTTP client's defaults.
  std::atomic<std::uint32_t> requestTimeoutMs{0};

  // A pool job calling a member operation with its own copy of a record.
  template <typename Record>
  class PostJob : public CThreadPool::WorkerThread {
   public:
    using Operation = int (CNimbrelServerCache::*)(const Record&);
    PostJob(CNimbrelServerCache& owner, Operation operation, const Record& record)
        : owner_(owner), operation_(operation), record_(record) {}
    void Run() override { (owner_.*operation_)(record_); }

   private:
    CNimbrelServerCache& owner_;
    Operation operation_;
    Record record_;
  };

 private:
  // Sends `text` (signature appended here) to the host + `path`; true for a
  // 2xx answer. `status` and `body` as DownloadTextMethodPost gives them.
  bool Post(std::wstring_view path, std::wstring text, unsigned codePage, std::uint32_t& status, CString& body);
  void Remember(const std::wstring& key);

  const NimbrelSettings& settings_;
  // Set when destruction begins: PostFill queues nothing more.
  std::atomic<bool> closing_{false};
  // Keys of the fills and reports the server accepted.
  CRecentKeys sentKeys_;
  CRecentKeys queuedKeys_;  // fills queued by PostFill
  CCriticalSection sentKeysLock;
};
