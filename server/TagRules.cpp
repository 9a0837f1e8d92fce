#include "server/TagRules.h"

#include <charconv>

#include "platform/TextCodec.h"
#include "servercache/NimbrelServerCache.h"

namespace cache_server {

namespace {

using Limits = CNimbrelServerCache;  // the client's limits are the server's

bool InRange(std::int64_t n, std::string_view name, std::int64_t limit, std::string& error) {
  if (n < 0) {
    error = std::string(name) + " is negative";
    return false;
  }
  if (n > limit) {
    error = std::string(name) + " is over " + std::to_string(limit);
    return false;
  }
  return true;
}

}  // namespace

bool GoodText(const std::string& value, std::string_view name, std::size_t limit, std::string& error) {
  if (!platform::IsValidUtf8(value)) {
    error = std::string(name) + " is not valid UTF-8";
    return false;
  }
  for (const char c : value) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) {
      error = std::string(name) + " holds a control character";
      return false;
    }
  }
  if (platform::Utf16Length(platform::FromUtf8(value)) > limit) {
    error = std::string(name) + " is longer than " + std::to_string(limit);
    return false;
  }
  return true;
}

bool GoodNumber(const std::string& value, std::string_view name, std::int64_t limit, std::int32_t& out,
                std::string& error) {
  std::int32_t n = 0;
  const char* end = value.data() + value.size();
  const auto [ptr, ec] = std::from_chars(value.data(), end, n);
  if (value.empty() || ec != std::errc() || ptr != end || value[0] == '+') {
    error = std::string(name) + " is not a number";
    return false;
  }
  if (!InRange(n, name, limit, error)) return false;
  out = n;
  return true;
}

bool GoodRecord(const TagRecord& r, std::string& error) {
  if (!GoodText(r.artist, "artist", Limits::kMaxTextLength, error) ||
      !GoodText(r.title, "title", Limits::kMaxTextLength, error) ||
      !GoodText(r.album, "album", Limits::kMaxTextLength, error) ||
      !GoodText(r.genre, "genre", Limits::kMaxGenreLength, error) ||
      !GoodText(r.coverUrl, "coverurl", Limits::kMaxTextLength, error) ||
      !GoodText(r.source, "source", Limits::kMaxSourceLength, error) ||
      !InRange(r.trackNumber, "tracknr", Limits::kMaxTrackNumber, error) ||
      !InRange(r.year, "year", Limits::kMaxYear, error) ||
      !InRange(r.coverBytes, "cover_size_bytes", INT32_MAX, error) ||
      !InRange(r.coverWidth, "cover_x_resolution", INT32_MAX, error) ||
      !InRange(r.coverHeight, "cover_y_resolution", INT32_MAX, error)) {
    return false;
  }
  if (r.source.empty()) {
    error = "fill without a source";
    return false;
  }
  for (std::size_t i = 0; i < r.fields.size(); ++i) {
    if (!r.fields[i].empty() && !nimbrel::GoodRecordField(i, r.fields[i], error)) return false;
  }
  return true;
}

std::string RecordFieldLines(const nimbrel::RecordFieldValues& fields) {
  std::string lines;
  for (std::size_t i = 0; i < fields.size(); ++i) {
    if (fields[i].empty()) continue;
    lines += nimbrel::kRecordFields[i].name;
    lines += '=';
    lines += fields[i];
    lines += "\r\n";
  }
  return lines;
}

bool ReadRecordFieldLines(std::string_view text, nimbrel::RecordFieldValues& fields, std::string& error) {
  fields = nimbrel::RecordFieldValues();
  std::size_t next = 0;  // fields stand in order, each once
  while (!text.empty()) {
    const std::size_t end = text.find("\r\n");
    const std::size_t equals = text.find('=');
    if (end == std::string_view::npos || equals > end) {
      error = "stored fields are not lines of name=value";
      return false;
    }
    const std::size_t i = nimbrel::RecordFieldIndex(text.substr(0, equals));
    if (i < next || i == fields.size()) {
      error = "stored fields hold an unknown or repeated name";
      return false;
    }
    fields[i] = std::string(text.substr(equals + 1, end - equals - 1));
    if (!nimbrel::GoodRecordField(i, fields[i], error)) return false;
    next = i + 1;
    text.remove_prefix(end + 2);
  }
  return true;
}

}  // namespace cache_server
