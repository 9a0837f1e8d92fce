#include "servercache/RecordFields.h"

#include <charconv>

#include "platform/TextCodec.h"

namespace nimbrel {

namespace {

constexpr std::size_t kAlbumArtist = 0, kDisc = 1, kDiscTotal = 2, kLength = 3, kOriginalDate = 4,
                      kRecordingId = 5, kReleaseGroupId = 6, kReleaseId = 7, kTrackTotal = 8;
constexpr std::size_t kMaxTextLength = 255;
constexpr std::int64_t kMaxCount = 999;
constexpr std::int64_t kMaxLengthMs = 24LL * 3600 * 1000;

// Digits only (no sign, no blank), within 1..`most`.
bool ReadPositive(std::string_view text, std::int64_t most, std::int64_t& out) {
  if (text.empty() || text.size() > 10 || text[0] == '0') return false;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), out);
  return ec == std::errc() && end == text.data() + text.size() && out >= 1 && out <= most;
}

bool GoodDate(std::string_view t) {
  auto digits = [&t](std::size_t from, std::size_t count) {
    for (std::size_t i = from; i < from + count; ++i) {
      if (t[i] < '0' || t[i] > '9') return -1;
    }
    int n = 0;
    for (std::size_t i = from; i < from + count; ++i) n = n * 10 + (t[i] - '0');
    return n;
  };
  if (t.size() != 4 && t.size() != 7 && t.size() != 10) return false;
  const int year = digits(0, 4);
  if (year < 1) return false;
  if (t.size() == 4) return true;
  const int month = t[4] == '-' ? digits(5, 2) : -1;
  if (month < 1 || month > 12) return false;
  if (t.size() == 7) return true;
  const int day = t[7] == '-' ? digits(8, 2) : -1;
  const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return day >= 1 && day <= kDays[month - 1] + (month == 2 && leap ? 1 : 0);
}

bool GoodId(std::string_view t) {
  if (t.size() != 36) return false;
  for (std::size_t i = 0; i < t.size(); ++i) {
    const bool dash = i == 8 || i == 13 || i == 18 || i == 23;
    const bool hex = (t[i] >= '0' && t[i] <= '9') || (t[i] >= 'a' && t[i] <= 'f');
    if (dash ? t[i] != '-' : !hex) return false;
  }
  return true;
}

bool GoodText(std::string_view t) {
  if (!platform::IsValidUtf8(t)) return false;
  for (const char c : t) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) return false;
  }
  return platform::Utf16Length(platform::FromUtf8(t)) <= kMaxTextLength;
}

std::string Count(std::uint32_t n) { return n == 0 ? std::string() : std::to_string(n); }

std::uint32_t Number(const std::string& text) {
  std::int64_t n = 0;
  return ReadPositive(text, kMaxLengthMs, n) ? static_cast<std::uint32_t>(n) : 0;
}

}  // namespace

std::size_t RecordFieldIndex(std::string_view name) {
  std::size_t i = 0;
  while (i < kRecordFields.size() && kRecordFields[i].name != name) ++i;
  return i;
}

bool GoodRecordField(std::size_t index, std::string_view value, std::string& error) {
  bool good = false;
  std::int64_t n = 0;
  switch (kRecordFields[index].kind) {
    case RecordFieldKind::kText:
      good = !value.empty() && GoodText(value);
      break;
    case RecordFieldKind::kCount:
      good = ReadPositive(value, kMaxCount, n);
      break;
    case RecordFieldKind::kLength:
      good = ReadPositive(value, kMaxLengthMs, n);
      break;
    case RecordFieldKind::kDate:
      good = GoodDate(value);
      break;
    case RecordFieldKind::kId:
      good = GoodId(value);
      break;
  }
  if (!good) error = std::string(kRecordFields[index].name) + " is not a valid value";
  return good;
}

bool NoRecordFields(const RecordFieldValues& values) {
  for (const std::string& value : values) {
    if (!value.empty()) return false;
  }
  return true;
}

RecordFieldValues RecordFieldsOf(const Nimbrel::SongInfo& song) {
  const Nimbrel::AlbumInfo& album = song.albumInfo;
  const Nimbrel::TrackInfo& track = song.trackInfo;
  auto id = [](const std::wstring& text) {
    std::string bytes = platform::ToUtf8(text);
    for (char& c : bytes) {
      if (c >= 'A' && c <= 'F') c = static_cast<char>(c - 'A' + 'a');
    }
    return bytes;
  };
  RecordFieldValues values;
  values[kAlbumArtist] = platform::ToUtf8(album.albumArtist);
  values[kDisc] = Count(track.discNumber);
  values[kDiscTotal] = Count(album.discTotal);
  values[kLength] = Count(track.lengthMs);
  values[kOriginalDate] = platform::ToUtf8(album.originalDate);
  values[kRecordingId] = id(track.recordingId);
  values[kReleaseGroupId] = id(album.releaseGroupId);
  values[kReleaseId] = id(album.releaseId);
  values[kTrackTotal] = Count(album.trackTotal);
  std::string ignored;
  for (std::size_t i = 0; i < values.size(); ++i) {
    if (!values[i].empty() && !GoodRecordField(i, values[i], ignored)) values[i].clear();
  }
  return values;
}

void SetRecordFields(const RecordFieldValues& values, Nimbrel::SongInfo& song) {
  Nimbrel::AlbumInfo& album = song.albumInfo;
  Nimbrel::TrackInfo& track = song.trackInfo;
  album.albumArtist = platform::FromUtf8(values[kAlbumArtist]);
  track.discNumber = Number(values[kDisc]);
  album.discTotal = Number(values[kDiscTotal]);
  track.lengthMs = Number(values[kLength]);
  album.originalDate = platform::FromUtf8(values[kOriginalDate]);
  track.recordingId = platform::FromUtf8(values[kRecordingId]);
  album.releaseGroupId = platform::FromUtf8(values[kReleaseGroupId]);
  album.releaseId = platform::FromUtf8(values[kReleaseId]);
  album.trackTotal = Number(values[kTrackTotal]);
}

}  // namespace nimbrel
