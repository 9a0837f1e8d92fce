#include "server/RequestHandler.h"

#include <array>
#include <vector>

#include "server/FormParser.h"
#include "server/TagRules.h"
#include "servercache/NimbrelServerCache.h"

namespace cache_server {

namespace {

using Limits = CNimbrelServerCache;  // the client's limits are the server's

HandlerResponse Refuse(int status, std::string reason) {
  HandlerResponse response;
  response.status = status;
  response.body = status == 403 ? "forbidden" : status == 503 ? "busy" : "bad request";
  response.reason = std::move(reason);
  return response;
}

// The parameters of each request in the client's order, without the final
// signature; "source" of a failure report is optional.
constexpr std::array<std::string_view, 6> kLookupNames = {"artist", "searcher", "timestamp",
                                                          "title",  "type",     "version"};
constexpr std::array<std::string_view, 14> kFillNames = {
    "album",  "artist",    "cover_size_bytes", "cover_x_resolution", "cover_y_resolution", "coverurl", "genre",
    "source", "timestamp", "title",            "tracknr",            "type",               "version",  "year"};

// The values of a request by name, once its shape is known to be right.
class Fields {
 public:
  explicit Fields(const ParsedForm& form) : form_(form) {}
  const std::string& operator[](std::string_view name) const {
    for (const FormField& field : form_.fields) {
      if (field.name == name) return field.value;
    }
    return empty_;
  }

 private:
  const ParsedForm& form_;
  const std::string empty_;
};

// Whether the names are exactly `expected` followed by "signature"; with
// `optional`, also those of the record's optional fields where they belong in
// the ascending order of names.
template <typename Names>
bool HasShape(const ParsedForm& form, const Names& expected, std::string& error, bool optional = false) {
  if (optional) {
    std::size_t required = 0;
    for (std::size_t i = 0; i + 1 < form.fields.size(); ++i) {
      const std::string& name = form.fields[i].name;
      if (i > 0 && !(form.fields[i - 1].name < name)) {
        error = "parameter " + std::to_string(i + 1) + " (\"" + name + "\") is out of order";
        return false;
      }
      if (required < expected.size() && name == expected[required]) {
        ++required;
      } else if (nimbrel::RecordFieldIndex(name) == nimbrel::kRecordFields.size()) {
        error = "parameter " + std::to_string(i + 1) + " (\"" + name + "\") is not expected";
        return false;
      } else if (form.fields[i].value.empty()) {
        error = "optional parameter \"" + name + "\" is empty";  // the client leaves unknown ones out
        return false;
      }
    }
    if (required != expected.size()) {
      error = "expected parameters missing";
      return false;
    }
    if (form.fields.empty() || form.fields.back().name != "signature") {
      error = "the signature is not the last parameter";
      return false;
    }
    return true;
  }
  if (form.fields.size() != expected.size() + 1) {
    error = "expected " + std::to_string(expected.size() + 1) + " parameters, got " +
            std::to_string(form.fields.size());
    return false;
  }
  for (std::size_t i = 0; i < expected.size(); ++i) {
    if (form.fields[i].name != expected[i]) {
      error = "parameter " + std::to_string(i + 1) + " is \"" + form.fields[i].name + "\", expected \"" +
              std::string(expected[i]) + "\"";
      return false;
    }
  }
  if (form.fields.back().name != "signature") {
    error = "the signature is not the last parameter";
    return false;
  }
  return true;
}

std::string AnswerRecord(const TagRecord& r) {
  std::string body;
  auto line = [&body](std::string_view key, const std::string& value) {
    body += key;
    body += value;
    body += "\r\n";
  };
  line("artist=", r.artist);
  line("title=", r.title);
  line("album=", r.album);
  line("genre=", r.genre);
  line("year=", std::to_string(r.year));
  line("tracknr=", std::to_string(r.trackNumber));
  line("coverurl=", r.coverUrl);
  line("source=", r.source);
  // The optional fields after the basic ones (an answer without them is
  // byte for byte what it was before they existed).
  body += RecordFieldLines(r.fields);
  return body;
}

}  // namespace

RequestHandler::RequestHandler(TagStore& store, RequestAuthenticator& authenticator)
    : store_(store), authenticator_(authenticator) {}

HandlerResponse RequestHandler::Handle(std::string_view path, std::string_view body, std::string_view client,
                                       std::int64_t now) {
  enum class Kind { kLookup, kFill, kReportFail };
  Kind kind;
  if (path == "/lookup.php") {
    kind = Kind::kLookup;
  } else if (path == "/fill.php") {
    kind = Kind::kFill;
  } else if (path == "/reportFail.php") {
    kind = Kind::kReportFail;
  } else {
    HandlerResponse response;
    response.status = 404;
    response.body = "not found";
    response.reason = "no such request";
    return response;
  }

  ParsedForm form;
  std::string error;
  if (!ParseForm(body, form, error)) return Refuse(400, error);
  bool shaped = false;
  switch (kind) {
    case Kind::kLookup:
      shaped = HasShape(form, kLookupNames, error);
      break;
    case Kind::kFill:
      shaped = HasShape(form, kFillNames, error, true);
      break;
    case Kind::kReportFail: {
      const bool withSource = form.fields.size() > 1 && form.fields[1].name == "source";
      const std::array<std::string_view, 5> plain = {"artist", "timestamp", "title", "type", "version"};
      const std::array<std::string_view, 6> sourced = {"artist", "source", "timestamp", "title", "type", "version"};
      shaped = withSource ? HasShape(form, sourced, error) : HasShape(form, plain, error);
      break;
    }
  }
  if (!shaped) return Refuse(400, error);
  const Fields f(form);

  // Fills and failure reports change the answers for everybody: once, from
  // any address. A searcher's look-up starts a search: once per address. A
  // plain look-up changes nothing.
  using Replay = RequestAuthenticator::Replay;
  const Replay replay = kind != Kind::kLookup ? Replay::kOnce
                        : f["searcher"] == "0" ? Replay::kNever
                                               : Replay::kPerClient;
  RequestAuthenticator::Ticket ticket;
  const RequestAuthenticator::Verdict verdict =
      authenticator_.Check(form.signedText, f["signature"], f["timestamp"], client, replay, now, &ticket);
  // A request is remembered only once carried out: one refused or failed here
  // (a database away answers 503) may come again byte for byte.
  struct ForgetUnlessDone {
    RequestAuthenticator& authenticator;
    const RequestAuthenticator::Ticket& ticket;
    bool done = false;
    ~ForgetUnlessDone() {
      if (!done) authenticator.Forget(ticket);
    }
  } remembered{authenticator_, ticket};
  if (verdict == RequestAuthenticator::Verdict::kBadTimestamp) return Refuse(400, "malformed timestamp");
  if (verdict == RequestAuthenticator::Verdict::kBusy) return Refuse(503, RequestAuthenticator::Describe(verdict));
  if (verdict != RequestAuthenticator::Verdict::kAccepted) {
    return Refuse(403, RequestAuthenticator::Describe(verdict));
  }

  if (f["type"] != "tags") return Refuse(400, "type is not \"tags\"");
  if (f["version"] != "1") return Refuse(400, "unknown version");
  if (!GoodText(f["artist"], "artist", Limits::kMaxTextLength, error) ||
      !GoodText(f["title"], "title", Limits::kMaxTextLength, error)) {
    return Refuse(400, error);
  }
  const SongKey key = MakeSongKey(f["artist"], f["title"]);
  if (key.artist.empty() || key.title.empty()) return Refuse(400, "empty artist or title");

  // What a store shared with other servers remembers of a state-changing
  // request: refused by all of them for as long as its timestamp passes.
  RequestMark mark;
  if (replay == Replay::kOnce) {
    std::int64_t sent = 0;
    ParseTimestamp(f["timestamp"], sent);
    mark.signature = f["signature"];
    mark.until = sent + authenticator_.skewS();
  }

  HandlerResponse response;
  response.body = "OK";
  switch (kind) {
    case Kind::kLookup: {
      const std::string& searcher = f["searcher"];
      if (searcher != "0" && searcher != "1") return Refuse(400, "searcher is neither 0 nor 1");
      LookupOutcome outcome;
      if (!store_.Lookup(key, searcher == "1", now, outcome, error)) break;
      remembered.done = true;
      switch (outcome.kind) {
        case LookupOutcome::Kind::kFound:
          response.body = AnswerRecord(outcome.record);
          return response;
        case LookupOutcome::Kind::kSearching:
          response.status = 202;
          response.body = "searching";
          return response;
        case LookupOutcome::Kind::kSkipSearch:
          response.status = 404;
          response.body = "skip search";
          return response;
        case LookupOutcome::Kind::kFailedSources: {
          // A name with a comma would split in two on the client's side.
          std::string names;
          for (const std::string& source : outcome.sources) {
            if (source.find(',') != std::string::npos) continue;
            if (!names.empty()) names += ',';
            names += source;
          }
          response.status = names.empty() ? 404 : 207;
          response.body = names.empty() ? "not found" : names;
          return response;
        }
        case LookupOutcome::Kind::kUnknown:
          response.status = 404;
          response.body = "not found";
          return response;
      }
      break;
    }
    case Kind::kFill: {
      TagRecord record;
      record.artist = f["artist"];
      record.title = f["title"];
      record.album = f["album"];
      record.genre = f["genre"];
      record.coverUrl = f["coverurl"];
      record.source = f["source"];
      for (std::size_t i = 0; i < record.fields.size(); ++i) record.fields[i] = f[nimbrel::kRecordFields[i].name];
      if (!GoodNumber(f["tracknr"], "tracknr", Limits::kMaxTrackNumber, record.trackNumber, error) ||
          !GoodNumber(f["year"], "year", Limits::kMaxYear, record.year, error) ||
          !GoodNumber(f["cover_size_bytes"], "cover_size_bytes", INT32_MAX, record.coverBytes, error) ||
          !GoodNumber(f["cover_x_resolution"], "cover_x_resolution", INT32_MAX, record.coverWidth, error) ||
          !GoodNumber(f["cover_y_resolution"], "cover_y_resolution", INT32_MAX, record.coverHeight, error) ||
          !GoodRecord(record, error)) {
        return Refuse(400, error);
      }
      remembered.done = store_.Fill(key, record, std::string(client), now, mark, error);
      if (remembered.done) return response;
      break;
    }
    case Kind::kReportFail: {
      const std::string& source = f["source"];
      if (!GoodText(source, "source", Limits::kMaxSourceLength, error)) return Refuse(400, error);
      remembered.done = store_.ReportFail(key, source, std::string(client), now, mark, error);
      if (remembered.done) return response;
      break;
    }
  }
  if (error.rfind(kReplayError, 0) == 0) return Refuse(403, "replayed signature (through another server)");
  if (error.rfind(kNoSpaceError, 0) == 0 || error.rfind(kUnavailableError, 0) == 0) {
    // What cannot be stored or read now may be sent again later; a full
    // disk still lets look-ups through, an unreachable database nothing.
    response.status = 503;
    response.body = "busy";
    response.reason = "store: " + error;
    return response;
  }
  response.status = 500;
  response.body = "store failure";
  response.reason = "store: " + error;
  return response;
}

}  // namespace cache_server
