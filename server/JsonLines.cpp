#include "server/JsonLines.h"

#include <cstdio>
#include <limits>
#include <optional>

#include "../plugins/common/Json.h"
#include "platform/TextCodec.h"
#include "server/TagRules.h"
#include "servercache/RecordFields.h"
#include "servercache/NimbrelServerCache.h"

namespace cache_server {

namespace {

class ObjectWriter {
 public:
  void Text(std::string_view name, std::string_view value) {
    Name(name);
    Quoted(value);
  }
  void Quoted(std::string_view value) {
    out_ += '"';
    for (const char c : value) {
      const auto u = static_cast<unsigned char>(c);
      if (c == '"' || c == '\\') {
        out_ += '\\';
        out_ += c;
      } else if (u < 0x20) {
        char escape[8];
        std::snprintf(escape, sizeof escape, "\\u%04x", u);
        out_ += escape;
      } else {
        out_ += c;
      }
    }
    out_ += '"';
  }
  void Texts(std::string_view name, const std::vector<std::string>& values) {
    Name(name);
    out_ += '[';
    for (std::size_t i = 0; i < values.size(); ++i) {
      if (i > 0) out_ += ',';
      Quoted(values[i]);
    }
    out_ += ']';
  }
  void Number(std::string_view name, std::int64_t value) {
    Name(name);
    out_ += std::to_string(value);
  }
  std::string Finish() { return out_ + "}"; }

 private:
  void Name(std::string_view name) {
    out_ += out_.size() > 1 ? ",\"" : "\"";
    out_ += name;
    out_ += "\":";
  }
  std::string out_ = "{";
};

bool ReadText(const plugin_json::Value& object, std::string_view name, std::string& out, std::string& error) {
  const plugin_json::Value* value = object.Find(name);
  if (!value || !value->IsString()) {
    error = "\"" + std::string(name) + "\" missing or not a string";
    return false;
  }
  out = value->Text();
  return true;
}

template <typename Int>
bool ReadNumber(const plugin_json::Value& object, std::string_view name, Int& out, std::string& error) {
  const std::optional<std::int64_t> value = object.IntegerOf(name);
  if (!value || *value < std::numeric_limits<Int>::min() || *value > std::numeric_limits<Int>::max()) {
    error = "\"" + std::string(name) + "\" missing or not an integer in range";
    return false;
  }
  out = static_cast<Int>(*value);
  return true;
}

// A count or time of an import: from 0 (1 for counts) to a trillion, so that
// merging files can never overflow a sum.
bool GoodCount(std::int64_t value, std::string_view name, std::int64_t least, std::string& error) {
  constexpr std::int64_t kMost = 1'000'000'000'000;
  if (value < least || value > kMost) {
    error = "\"" + std::string(name) + "\" outside " + std::to_string(least) + ".." + std::to_string(kMost);
    return false;
  }
  return true;
}

// A client's address as the server writes it (an IPv4 or IPv6 text).
bool GoodClient(const std::string& client, std::string& error) {
  if (client.empty() || client.size() > 45 ||
      client.find_first_not_of("0123456789abcdefABCDEF.:") != std::string::npos) {
    error = "\"client\" is not an address";
    return false;
  }
  return true;
}

// Whether an optional field is written as a JSON number.
bool IsNumber(std::size_t field) {
  const nimbrel::RecordFieldKind kind = nimbrel::kRecordFields[field].kind;
  return kind == nimbrel::RecordFieldKind::kCount || kind == nimbrel::RecordFieldKind::kLength;
}

// The optional fields of a record line; an export without them is still read.
bool ReadFields(const plugin_json::Value& object, nimbrel::RecordFieldValues& fields, std::string& error) {
  for (std::size_t i = 0; i < fields.size(); ++i) {
    const std::string_view name = nimbrel::kRecordFields[i].name;
    if (!object.Find(name)) continue;
    if (IsNumber(i)) {
      std::int64_t n = 0;
      if (!ReadNumber(object, name, n, error)) return false;
      fields[i] = std::to_string(n);
    } else if (!ReadText(object, name, fields[i], error)) {
      return false;
    }
    if (!nimbrel::GoodRecordField(i, fields[i], error)) return false;
  }
  return true;
}

}  // namespace

std::string ToJsonLine(const ExportItem& item) {
  ObjectWriter w;
  switch (item.kind) {
    case ExportItem::Kind::kRecord: {
      const TagRecord& r = item.record.record;
      w.Text("kind", "record");
      w.Text("artistKey", item.key.artist);
      w.Text("titleKey", item.key.title);
      w.Text("source", r.source);
      w.Text("artist", r.artist);
      w.Text("title", r.title);
      w.Text("album", r.album);
      w.Text("genre", r.genre);
      w.Number("year", r.year);
      w.Number("tracknr", r.trackNumber);
      w.Text("coverurl", r.coverUrl);
      w.Number("coverBytes", r.coverBytes);
      w.Number("coverWidth", r.coverWidth);
      w.Number("coverHeight", r.coverHeight);
      w.Number("firstSeen", item.record.firstSeen);
      w.Number("lastSeen", item.record.lastSeen);
      w.Number("fills", item.record.fills);
      w.Texts("clients", item.clients);
      // The known optional fields only: a record without them is written as
      // before they existed.
      for (std::size_t i = 0; i < r.fields.size(); ++i) {
        if (r.fields[i].empty()) continue;
        if (IsNumber(i)) {
          w.Number(nimbrel::kRecordFields[i].name, std::stoll(r.fields[i]));
        } else {
          w.Text(nimbrel::kRecordFields[i].name, r.fields[i]);
        }
      }
      break;
    }
    case ExportItem::Kind::kSourceFailure:
      w.Text("kind", "sourceFailure");
      w.Text("artistKey", item.key.artist);
      w.Text("titleKey", item.key.title);
      w.Text("source", item.name);
      w.Number("count", item.count);
      w.Number("lastSeen", item.time);
      break;
    case ExportItem::Kind::kClientFailure:
      w.Text("kind", "clientFailure");
      w.Text("artistKey", item.key.artist);
      w.Text("titleKey", item.key.title);
      w.Text("client", item.name);
      w.Number("lastSeen", item.time);
      break;
    case ExportItem::Kind::kSkip:
      w.Text("kind", "skip");
      w.Text("artistKey", item.key.artist);
      w.Text("titleKey", item.key.title);
      w.Number("until", item.time);
      break;
  }
  return w.Finish();
}

bool FromJsonLine(std::string_view line, ExportItem& item, std::string& error) {
  if (!platform::IsValidUtf8(line)) {
    error = "not valid UTF-8";
    return false;
  }
  plugin_json::Value object;
  const plugin_json::ParseResult parsed = plugin_json::Parse(line, object, 4);
  if (!parsed.ok) {
    error = parsed.error;
    return false;
  }
  if (!object.IsObject()) {
    error = "not an object";
    return false;
  }
  item = ExportItem();
  std::string kind;
  if (!ReadText(object, "kind", kind, error) || !ReadText(object, "artistKey", item.key.artist, error) ||
      !ReadText(object, "titleKey", item.key.title, error)) {
    return false;
  }
  item.key = MakeSongKey(item.key.artist, item.key.title);
  if (item.key.artist.empty() || item.key.title.empty()) {
    error = "empty artist or title key";
    return false;
  }
  if (kind == "record") {
    item.kind = ExportItem::Kind::kRecord;
    TagRecord& r = item.record.record;
    if (!ReadText(object, "source", r.source, error) || !ReadText(object, "artist", r.artist, error) ||
        !ReadText(object, "title", r.title, error) || !ReadText(object, "album", r.album, error) ||
        !ReadText(object, "genre", r.genre, error) || !ReadNumber(object, "year", r.year, error) ||
        !ReadNumber(object, "tracknr", r.trackNumber, error) || !ReadText(object, "coverurl", r.coverUrl, error) ||
        !ReadNumber(object, "coverBytes", r.coverBytes, error) ||
        !ReadNumber(object, "coverWidth", r.coverWidth, error) ||
        !ReadNumber(object, "coverHeight", r.coverHeight, error) ||
        !ReadNumber(object, "firstSeen", item.record.firstSeen, error) ||
        !ReadNumber(object, "lastSeen", item.record.lastSeen, error) ||
        !ReadNumber(object, "fills", item.record.fills, error) || !ReadFields(object, r.fields, error)) {
      return false;
    }
    if (!GoodRecord(r, error) || !GoodCount(item.record.fills, "fills", 1, error) ||
        !GoodCount(item.record.firstSeen, "firstSeen", 0, error) ||
        !GoodCount(item.record.lastSeen, "lastSeen", item.record.firstSeen, error)) {
      return false;
    }
    // The addresses that filled these tags in; a file without them counts
    // as one vote.
    if (const plugin_json::Value* clients = object.Find("clients")) {
      if (!clients->IsArray()) {
        error = "\"clients\" is not a list";
        return false;
      }
      for (const plugin_json::Value& client : clients->Items()) {
        if (!client.IsString() || (!client.Text().empty() && !GoodClient(client.Text(), error))) {
          error = "\"clients\" holds something that is not an address";
          return false;
        }
        item.clients.push_back(client.Text());
      }
    }
    return true;
  }
  if (kind == "sourceFailure") {
    item.kind = ExportItem::Kind::kSourceFailure;
    if (!ReadText(object, "source", item.name, error) || !ReadNumber(object, "count", item.count, error) ||
        !ReadNumber(object, "lastSeen", item.time, error) ||
        !GoodText(item.name, "source", CNimbrelServerCache::kMaxSourceLength, error)) {
      return false;
    }
    if (item.name.empty()) {
      error = "empty source";
      return false;
    }
    return GoodCount(item.count, "count", 1, error) && GoodCount(item.time, "lastSeen", 0, error);
  }
  if (kind == "clientFailure") {
    item.kind = ExportItem::Kind::kClientFailure;
    return ReadText(object, "client", item.name, error) && ReadNumber(object, "lastSeen", item.time, error) &&
           GoodClient(item.name, error) && GoodCount(item.time, "lastSeen", 0, error);
  }
  if (kind == "skip") {
    item.kind = ExportItem::Kind::kSkip;
    return ReadNumber(object, "until", item.time, error) && GoodCount(item.time, "until", 0, error);
  }
  error = "unknown kind \"" + kind + "\"";
  return false;
}

}  // namespace cache_server
