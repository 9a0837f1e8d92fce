#include "server/PgConnection.h"

#include <cstdlib>
#include <cstring>

namespace cache_server {

namespace {

std::string Trimmed(const char* message) {
  std::string text = message ? message : "";
  while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
  return text;
}

PgConnection::Failure Classify(const char* state) {
  using Failure = PgConnection::Failure;
  if (!state) return Failure::kOther;
  const std::string code = state;
  // Connection exceptions; the server shutting down, crashed or starting
  // up; too many connections; a standby that cannot write.
  if (code.rfind("08", 0) == 0 || code == "57P01" || code == "57P02" || code == "57P03" || code == "53300" ||
      code == "25006") {
    return Failure::kUnavailable;
  }
  if (code == "40001" || code == "40P01") return Failure::kConflict;
  if (code == "53100" || code == "53200") return Failure::kNoSpace;
  return Failure::kOther;
}

}  // namespace

std::int64_t PgResult::Int(int row, int column) const {
  return std::strtoll(PQgetvalue(result_.get(), row, column), nullptr, 10);
}

PgConnection::~PgConnection() {
  if (conn_) PQfinish(conn_);
}

bool PgConnection::Open(const std::string& conninfo, std::string& error) {
  // Defaults first, so that the connection string's own values win: a
  // server that does not answer, or a network cut mid-request, is given up
  // within seconds rather than the system's minutes.
  // Texts travel as UTF-8 whatever the client's locale.
  const char* const keywords[] = {"connect_timeout",  "keepalives_idle",  "keepalives_interval", "keepalives_count",
                                  "tcp_user_timeout", "application_name", "client_encoding",     "dbname",
                                  nullptr};
  const char* const values[] = {"5",     "30",    "10", "3", "15000", "nimbrel-cache-server", "UTF8",
                                conninfo.c_str(), nullptr};
  conn_ = PQconnectdbParams(keywords, values, 1);
  if (conn_ && PQstatus(conn_) == CONNECTION_OK) {
    failure_ = Failure::kNone;
    return true;
  }
  error = "cannot connect to " + Describe(conninfo) + ": " + Trimmed(conn_ ? PQerrorMessage(conn_) : "out of memory");
  failure_ = Failure::kUnavailable;
  return false;
}

bool PgConnection::Check(PGresult* raw, std::string& error, PgResult* out) {
  PgResult result(raw);
  const ExecStatusType status = raw ? PQresultStatus(raw) : PGRES_FATAL_ERROR;
  if (status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK) {
    const char* changed = PQcmdTuples(raw);
    changes_ = changed && *changed ? std::strtoll(changed, nullptr, 10) : 0;
    failure_ = Failure::kNone;
    if (out) *out = std::move(result);
    return true;
  }
  error = Trimmed(raw ? PQresultErrorMessage(raw) : PQerrorMessage(conn_));
  if (error.empty()) error = Trimmed(PQerrorMessage(conn_));
  failure_ = broken() ? Failure::kUnavailable : Classify(raw ? PQresultErrorField(raw, PG_DIAG_SQLSTATE) : nullptr);
  return false;
}

bool PgConnection::Run(const char* name, const char* sql, const std::vector<std::string>& params, PgResult* result,
                       std::string& error) {
  if (broken()) {
    error = "the connection is closed";
    failure_ = Failure::kUnavailable;
    return false;
  }
  const int count = static_cast<int>(params.size());
  if (prepared_.find(name) == prepared_.end()) {
    if (!Check(PQprepare(conn_, name, sql, count, nullptr), error, nullptr)) return false;
    prepared_.insert(name);
  }
  std::vector<const char*> values(params.size());
  for (std::size_t i = 0; i < params.size(); ++i) values[i] = params[i].c_str();
  return Check(PQexecPrepared(conn_, name, count, values.data(), nullptr, nullptr, 0), error, result);
}

bool PgConnection::Execute(const std::string& sql, std::string& error, PgResult* result) {
  if (broken()) {
    error = "the connection is closed";
    failure_ = Failure::kUnavailable;
    return false;
  }
  return Check(PQexec(conn_, sql.c_str()), error, result);
}

bool PgConnection::Stream(const std::string& sql, const std::function<bool(const PgResult&)>& row,
                          std::string& error) {
  if (broken() || !PQsendQuery(conn_, sql.c_str()) || !PQsetSingleRowMode(conn_)) {
    error = Trimmed(conn_ ? PQerrorMessage(conn_) : "the connection is closed");
    failure_ = broken() ? Failure::kUnavailable : Failure::kOther;
    return false;
  }
  bool ok = true, more = true;
  // Every result is read, also after the sink stopped, so that the
  // connection is ready for the next statement.
  while (PGresult* raw = PQgetResult(conn_)) {
    if (PQresultStatus(raw) == PGRES_SINGLE_TUPLE) {
      PgResult one(raw);
      if (ok && more) more = row(one);
      continue;
    }
    if (!ok) {
      PQclear(raw);
      continue;
    }
    ok = Check(raw, error, nullptr);
  }
  if (ok && broken()) {
    error = "the connection was lost";
    failure_ = Failure::kUnavailable;
    ok = false;
  }
  return ok;
}

std::string PgConnection::Describe(const std::string& conninfo) {
  char* problem = nullptr;
  PQconninfoOption* options = PQconninfoParse(conninfo.c_str(), &problem);
  if (problem) PQfreemem(problem);
  if (!options) return "postgresql://(a connection string that cannot be read)";
  std::string user, host, port, dbname;
  for (PQconninfoOption* o = options; o->keyword; ++o) {
    if (!o->val) continue;
    if (std::strcmp(o->keyword, "user") == 0) user = o->val;
    if (std::strcmp(o->keyword, "host") == 0) host = o->val;
    if (std::strcmp(o->keyword, "port") == 0) port = o->val;
    if (std::strcmp(o->keyword, "dbname") == 0) dbname = o->val;
  }
  PQconninfoFree(options);
  return "postgresql://" + (user.empty() ? "" : user + "@") + host + (port.empty() ? "" : ":" + port) + "/" + dbname;
}

}  // namespace cache_server
