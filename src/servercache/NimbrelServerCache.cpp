#include "servercache/NimbrelServerCache.h"

#include <cwchar>
#include <limits>
#include <map>

#include "config/NimbrelConfig.h"
#include "foundation/FileUtils.h"
#include "foundation/Masterlog.h"
#include "net/Downloads.h"
#include "net/NetText.h"
#include "net/ProxyResolver.h"
#include "platform/Env.h"
#include "platform/Image.h"
#include "platform/TextCodec.h"
#include "servercache/RecordFields.h"
#include "servercache/RequestSigning.h"

namespace {

constexpr std::wstring_view kMusicbrainz = L"musicbrainz";
constexpr std::wstring_view kLineEnd = L"\r\n";

bool IsBlank(wchar_t c) { return c == L' ' || (c >= L'\t' && c <= L'\r'); }

std::wstring_view Trim(std::wstring_view text) {
  while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
  while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
  return text;
}

// The value of `key` (such as "artist=") in a look-up answer. A key counts
// only at the start of a line: at the start of the body or right after CR LF,
// so that a value containing "source=" (a cover address's query, say) is never
// taken for a key. The value runs to the next CR LF; a key without one after it
// counts as absent. The first such line wins. Empty when absent.
std::wstring ReadKey(std::wstring_view body, std::wstring_view key) {
  std::size_t start = std::wstring_view::npos;
  if (body.substr(0, key.size()) == key) {
    start = 0;
  } else {
    const std::wstring pattern = std::wstring(kLineEnd) + std::wstring(key);
    const std::size_t at = body.find(pattern);
    if (at != std::wstring_view::npos) start = at + kLineEnd.size();
  }
  if (start == std::wstring_view::npos) return std::wstring();
  start += key.size();
  const std::size_t end = body.find(kLineEnd, start);
  if (end == std::wstring_view::npos) return std::wstring();
  return std::wstring(body.substr(start, end - start));
}

// A decimal number as the C runtime reads it (blanks, a sign, the digits up to
// the first other character); 0 without digits, and 0 when the digits do not
// fit 32 bits, rather than a saturated value no tag could mean.
std::int32_t ReadNumber(std::wstring_view text) {
  std::size_t i = 0;
  while (i < text.size() && IsBlank(text[i])) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == L'+' || text[i] == L'-')) negative = text[i++] == L'-';
  std::int64_t value = 0;
  for (; i < text.size() && text[i] >= L'0' && text[i] <= L'9'; ++i) {
    value = value * 10 + (text[i] - L'0');
    if (value > std::numeric_limits<std::int32_t>::max()) return 0;
  }
  return static_cast<std::int32_t>(negative ? -value : value);
}

bool Over(std::wstring_view text, std::size_t limit) { return platform::Utf16Length(text) > limit; }

std::wstring Encode(std::wstring_view text) { return nimbrel::UrlEncode(text); }

std::wstring Number(std::int64_t n) { return std::to_wstring(n); }

}  // namespace

CNimbrelServerCache::CNimbrelServerCache(const NimbrelSettings& settings, std::size_t rememberedLimit)
    : settings_(settings), sentKeys_(rememberedLimit), queuedKeys_(rememberedLimit) {
  maxThreads = 2;
  idleTimeout = 10000;
  threadPriority = platform::kThreadPriorityNormal;
  CMasterlog::Instance();  // the log must outlive the fills that log through the downloads
}

CNimbrelServerCache::~CNimbrelServerCache() {
  closing_ = true;
  // Queued fills are best effort: against an unreachable server, waiting for
  // thousands of them would keep the host from ever exiting.
  Stop();
  WaitUntilNoWorkers();
}

void CNimbrelServerCache::DropFillsAndWait() {
  Stop();
  WaitUntilNoWorkers();
  CSingleLock lock(&sentKeysLock);
  queuedKeys_.Clear();
}

CNimbrelServerCache& CNimbrelServerCache::Instance() {
  static CNimbrelServerCache cache(CNimbrelConfig::Instance());
  return cache;
}

std::wstring CNimbrelServerCache::Sign(std::wstring_view text) {
  return nimbrel::SignRequest(nimbrel::kServerCacheSigningKey, text);
}

std::wstring CNimbrelServerCache::MakeTimestamp() {
  const platform::SystemTime t = platform::Env::Current()->UtcTime();
  wchar_t text[64];
  std::swprintf(text, sizeof text / sizeof text[0], L"%04d-%02d-%02dT%02d:%02d:%02dZ", t.year, t.month, t.day,
                t.hour, t.minute, t.second);
  return text;
}

bool CNimbrelServerCache::Post(std::wstring_view path, std::wstring text, unsigned codePage, std::uint32_t& status,
                               CString& body) {
  const std::wstring signature = Sign(text);
  text += L"&signature=";
  text += signature;
  const std::wstring url = std::wstring(settings_.TagCacheHost.str()) + std::wstring(path);
  nimbrel::PostOptions options;
  options.keepAlive = keepAlive.load();
  options.timeoutMs = requestTimeoutMs.load();
  return nimbrel::DownloadTextMethodPost(url, text, body, status, nimbrel::ResolveProxy(settings_.HttpProxy.str()),
                                         codePage, {}, options);
}

std::int32_t CNimbrelServerCache::Lookup(const std::wstring& artist, const std::wstring& title,
                                         Nimbrel::SongInfo& info, std::vector<std::wstring>& sourceNames,
                                         bool searcher) {
  if (settings_.TagCacheHost.IsEmpty()) return kNothingKnown;
  std::wstring text = L"artist=" + Encode(artist);
  text += searcher ? L"&searcher=1" : L"&searcher=0";
  text += L"&timestamp=" + Encode(MakeTimestamp());
  text += L"&title=" + Encode(title);
  text += L"&type=tags&version=1";
  std::uint32_t status = 0;
  CString answer;
  const bool succeeded = Post(L"/lookup.php", std::move(text), 65001, status, answer);
  const std::wstring_view body = answer.str();

  switch (status) {
    case 200:
      // A 200 whose body broke off (or outgrew the client's limit) is no answer:
      // a cut record must not pass for the server's.
      if (!succeeded || body.empty()) return kNothingKnown;
      break;
    case 202:
      return kStillWorking;
    case 207: {
      std::size_t pos = 0;
      while (pos <= body.size()) {
        std::size_t comma = body.find(L',', pos);
        if (comma == std::wstring_view::npos) comma = body.size();
        if (comma > pos) sourceNames.emplace_back(Trim(body.substr(pos, comma - pos)));
        pos = comma + 1;
      }
      return kUseSources;
    }
    case 404:
      return body.find(L"skip search") != std::wstring_view::npos ? kSkipSearch : kNothingKnown;
    default:
      return kNothingKnown;
  }

  info.albumInfo.artist = ReadKey(body, L"artist=");
  if (info.albumInfo.artist.empty()) return kNothingKnown;
  info.trackInfo.title = ReadKey(body, L"title=");
  if (info.trackInfo.title.empty()) return kNothingKnown;
  info.albumInfo.album = ReadKey(body, L"album=");
  info.albumInfo.genre = ReadKey(body, L"genre=");
  info.albumInfo.year = ReadNumber(ReadKey(body, L"year="));
  info.trackInfo.SetTrackNumber(ReadNumber(ReadKey(body, L"tracknr=")));
  info.coverInfo.coverUrl = ReadKey(body, L"coverurl=");
  info.source = ReadKey(body, L"source=");
  // The optional fields describe the answer's record too: absent or not
  // valid, they are unknown rather than left from the record asked about.
  nimbrel::RecordFieldValues fields;
  std::string ignored;
  for (std::size_t i = 0; i < fields.size(); ++i) {
    const std::wstring key = platform::FromUtf8(nimbrel::kRecordFields[i].name) + L"=";
    fields[i] = platform::ToUtf8(ReadKey(body, key));
    if (!fields[i].empty() && !nimbrel::GoodRecordField(i, fields[i], ignored)) fields[i].clear();
  }
  nimbrel::SetRecordFields(fields, info);
  return kFound;
}

std::int32_t CNimbrelServerCache::LookupWithRetry(const std::wstring& artist, const std::wstring& title,
                                                  Nimbrel::SongInfo& info, std::vector<std::wstring>& sourceNames,
                                                  bool searcher, ILookupRetryStop* stop) {
  std::int32_t result = Lookup(artist, title, info, sourceNames, searcher);
  const std::uint32_t start = platform::Env::Current()->TickCount();
  while (result == kStillWorking && platform::Env::Current()->TickCount() - start < kRetryForMs) {
    // 10 plus 0 to 10, from one output (0 to 32767) of the pseudo-random generator.
    const std::uint32_t pauseS =
        kShortestPauseS +
        static_cast<std::uint32_t>(nimbrel::RandomNumber(0)) * (kLongestPauseS - kShortestPauseS + 1) / 32768;
    for (std::uint32_t left = pauseS * 1000; left > 0;) {
      if (stop && !stop->ContinueWaiting()) return result;
      const std::uint32_t slice = left < kSleepSliceMs ? left : kSleepSliceMs;
      platform::Env::Current()->SleepMs(slice);
      left -= slice;
    }
    if (stop && !stop->ContinueWaiting()) return result;
    result = Lookup(artist, title, info, sourceNames, searcher);
  }
  return result;
}

bool CNimbrelServerCache::WasSent(const std::wstring& key) {
  CSingleLock lock(&sentKeysLock);
  return sentKeys_.Contains(key);
}

void CNimbrelServerCache::Remember(const std::wstring& key) {
  CSingleLock lock(&sentKeysLock);
  sentKeys_.Insert(key);
}

namespace {

// What tells one fill from another.
std::wstring FillKey(const Nimbrel::SongInfo& info) {
  return info.albumInfo.artist + info.trackInfo.title + info.albumInfo.album + info.source;
}

}  // namespace

int CNimbrelServerCache::Fill(const Nimbrel::SongInfo& info) {
  if (settings_.TagCacheHost.IsEmpty()) return 0;
  if (info.source == kMusicbrainz) return 1;
  const Nimbrel::AlbumInfo& album = info.albumInfo;
  const Nimbrel::TrackInfo& track = info.trackInfo;
  const std::wstring key = FillKey(info);
  if (WasSent(key)) return 1;

  if (Over(album.album, kMaxTextLength) || Over(album.artist, kMaxTextLength) ||
      Over(info.coverInfo.coverUrl, kMaxTextLength) || Over(album.genre, kMaxGenreLength) ||
      Over(info.source, kMaxSourceLength) || Over(track.title, kMaxTextLength) ||
      static_cast<std::int32_t>(track.trackNumber) > kMaxTrackNumber || album.year > kMaxYear) {
    return 0;
  }

  // The cover as it is on disk; the record's own width and height are not used.
  int width = 0;
  int height = 0;
  std::uint32_t bytes = 0;
  if (!info.coverInfo.coverFile.empty()) {
    platform::ImagePixelSize(info.coverInfo.coverFile, width, height);
    if (!GetFileSizeOf(CString(info.coverInfo.coverFile), bytes)) bytes = 0;
  }

  // The parameters in ascending byte order of their names, the optional
  // fields among them when known.
  std::map<std::string, std::wstring> parameters = {
      {"album", Encode(album.album)},
      {"artist", Encode(album.artist)},
      {"cover_size_bytes", Number(static_cast<std::int32_t>(bytes))},
      {"cover_x_resolution", Number(width)},
      {"cover_y_resolution", Number(height)},
      {"coverurl", Encode(info.coverInfo.coverUrl)},
      {"genre", Encode(album.genre)},
      {"source", Encode(info.source)},
      {"timestamp", Encode(MakeTimestamp())},
      {"title", Encode(track.title)},
      {"tracknr", Number(static_cast<std::int32_t>(track.trackNumber))},
      {"type", L"tags"},
      {"version", L"1"},
      {"year", Number(album.year)},
  };
  const nimbrel::RecordFieldValues fields = nimbrel::RecordFieldsOf(info);
  for (std::size_t i = 0; i < fields.size(); ++i) {
    if (!fields[i].empty()) {
      parameters.emplace(nimbrel::kRecordFields[i].name, Encode(platform::FromUtf8(fields[i])));
    }
  }
  std::wstring text;
  for (const auto& [name, value] : parameters) {
    if (!text.empty()) text += L'&';
    text += platform::FromUtf8(name) + L"=" + value;
  }
  std::uint32_t status = 0;
  CString answer;
  if (!Post(L"/fill.php", std::move(text), 0, status, answer)) return 0;
  Remember(key);
  return 1;
}

void CNimbrelServerCache::ReportFail(const std::wstring& artist, const std::wstring& title,
                                     const std::wstring& source) {
  if (settings_.TagCacheHost.IsEmpty()) return;
  const std::wstring key = L"Fail:" + artist + title + source;
  if (WasSent(key)) return;
  if (Over(artist, kMaxTextLength) || Over(title, kMaxTextLength) || Over(source, kMaxSourceLength)) return;
  std::wstring text = L"artist=" + Encode(artist);
  if (!source.empty()) text += L"&source=" + Encode(source);
  text += L"&timestamp=" + Encode(MakeTimestamp());
  text += L"&title=" + Encode(title);
  text += L"&type=tags&version=1";
  std::uint32_t status = 0;
  CString answer;
  if (Post(L"/reportFail.php", std::move(text), 0, status, answer)) Remember(key);
}

void CNimbrelServerCache::PostFill(const Nimbrel::SongInfo& info) {
  if (info.source == kMusicbrainz || closing_) return;
  {
    CSingleLock lock(&sentKeysLock);
    if (!queuedKeys_.Insert(FillKey(info))) return;
  }
  AddJob(new PostJob<Nimbrel::SongInfo>(*this, &CNimbrelServerCache::Fill, info), false);
}

void CNimbrelServerCache::SendFeedback(const std::list<Nimbrel::AlbumResult>& results, bool found) {
  for (const Nimbrel::AlbumResult& result : results) {
    for (const Nimbrel::TrackInfo& track : result.tracks) {
      Nimbrel::SongInfo song;
      song.trackInfo = track;
      song.albumInfo = result.albumInfo;
      song.coverInfo = result.coverInfo;
      song.source = result.source;
      if (song.source == kMusicbrainz) return;
      if (found) {
        PostFill(song);
      } else {
        ReportFail(song.albumInfo.artist, song.trackInfo.title, song.source);
      }
    }
  }
}
