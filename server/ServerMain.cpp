#include "server/ServerMain.h"

#include <arpa/inet.h>

#include <atomic>
#include <fstream>
#include <iostream>
#include <memory>
#include <thread>

#include "platform/Env.h"
#include "platform/TerminationSignal.h"
#include "platform/TextCodec.h"
#include "server/CacheServer.h"
#include "server/JsonLines.h"
#include "server/PostgresTagStore.h"
#include "server/ServerLog.h"
#include "server/SqliteTagStore.h"
#include "servercache/RequestSigning.h"

namespace cache_server {

namespace {

constexpr std::size_t kImportBatch = 20000;

constexpr const char kUsage[] =
    "usage: nimbrel-cache-server [serve|stats|export|import [FILE]] [--db FILE|postgresql://...]\n"
    "         [--listen HOST:PORT]"
    "         [--log-level error|warning|info|debug] [--key-file FILE] [--rate-limit PER_SECOND]\n"
    "         [--rate-burst N] [--max-connections N] [--max-connections-per-address N]\n"
    "         [--backlog N] [--request-timeout-ms MS] [--trusted-proxy ADDRESS]\n"
    "         [--db-connections N]\n"
    "       nimbrel-cache-server --help\n";

struct CommandLine {
  bool help = false;
  std::string command = "serve";
  std::string db = "nimbrel-tag-cache.sqlite";
  std::string file;  // import's input
  std::size_t dbConnections = 8;  // a PostgreSQL store's pool
  ServerOptions options;
};

bool ReadKeyFile(const std::string& path, std::string& key, std::string& error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    error = "cannot read the key file " + path;
    return false;
  }
  std::getline(in, key);
  while (!key.empty() && (key.back() == '\r' || key.back() == ' ' || key.back() == '\t')) key.pop_back();
  if (key.empty()) {
    error = "the key file " + path + " is empty";
    return false;
  }
  return true;
}

bool ParseNumber(const std::string& text, double& out) {
  try {
    std::size_t used = 0;
    out = std::stod(text, &used);
    return used == text.size() && out >= 0;
  } catch (...) {
    return false;
  }
}

bool Parse(const std::vector<std::string>& arguments, CommandLine& line, std::string& error) {
  line.options.key = platform::ToWindows1252(nimbrel::kServerCacheSigningKey);
  for (const std::string& a : arguments) {
    if (a == "--help" || a == "-h") {
      line.help = true;
      return true;
    }
  }
  std::size_t i = 0;
  if (!arguments.empty() && arguments[0].rfind("--", 0) != 0) line.command = arguments[i++];
  if (line.command != "serve" && line.command != "stats" && line.command != "export" && line.command != "import") {
    error = "unknown command " + line.command;
    return false;
  }
  for (; i < arguments.size(); ++i) {
    const std::string& a = arguments[i];
    if (a.rfind("--", 0) != 0) {
      if (line.command == "import" && line.file.empty()) {
        line.file = a;
        continue;
      }
      error = "unexpected argument " + a;
      return false;
    }
    if (i + 1 >= arguments.size()) {
      error = a + " needs a value";
      return false;
    }
    const std::string& v = arguments[++i];
    double number = 0;
    if (a == "--db") {
      line.db = v;
    } else if (a == "--listen") {
      if (!ParseListenAddress(v, line.options.host, line.options.port)) {
        error = "--listen wants HOST:PORT, not " + v;
        return false;
      }
    } else if (a == "--log-level") {
      LogLevel level;
      if (!ParseLogLevel(v, level)) {
        error = "--log-level is error, warning, info or debug";
        return false;
      }
      ServerLog::SetLevel(level);
    } else if (a == "--trusted-proxy") {
      unsigned char bytes[16];
      if (inet_pton(AF_INET, v.c_str(), bytes) != 1 && inet_pton(AF_INET6, v.c_str(), bytes) != 1) {
        error = "--trusted-proxy wants an IP address, not " + v;
        return false;
      }
      line.options.trustedProxy = v;
    } else if (a == "--key-file") {
      if (!ReadKeyFile(v, line.options.key, error)) return false;
    } else if (a == "--rate-limit" && ParseNumber(v, number)) {
      line.options.ratePerSecond = number;
    } else if (a == "--rate-burst" && ParseNumber(v, number) && number >= 1) {
      line.options.rateBurst = number;
    } else if (a == "--max-connections" && ParseNumber(v, number) && number >= 1 && number <= 4096) {
      line.options.maxConnections = static_cast<std::size_t>(number);
    } else if (a == "--max-connections-per-address" && ParseNumber(v, number) && number >= 1 && number <= 4096) {
      line.options.maxConnectionsPerAddress = static_cast<std::size_t>(number);
    } else if (a == "--db-connections" && ParseNumber(v, number) && number >= 1 && number <= 1000) {
      line.dbConnections = static_cast<std::size_t>(number);
    } else if (a == "--backlog" && ParseNumber(v, number) && number >= 1 && number <= 65535) {
      line.options.backlog = static_cast<int>(number);
    } else if (a == "--request-timeout-ms" && ParseNumber(v, number) && number >= 1 && number <= 3600000) {
      line.options.requestTimeoutMs = static_cast<int>(number);
      line.options.readTimeoutMs = std::min(line.options.readTimeoutMs, line.options.requestTimeoutMs);
    } else {
      error = "bad option " + a + " " + v;
      return false;
    }
  }
  return true;
}

int Serve(TagStore& store, bool startedFull, const CommandLine& line, std::ostream& err) {
  if (startedFull) {
    ServerLog::Write(LogLevel::kError, line.db + ": the disk is full: serving look-ups only, fills and reports get 503"
                                                 " until restarted with space");
  }
  CacheServer server(store, line.options);
  std::string error;
  if (!server.Start(error)) {
    err << "nimbrel-cache-server: " << error << "\n";
    return 1;
  }
  std::atomic<bool> signalled{false};
  std::thread waiter([&server, &signalled] {
    const int signal = platform::WaitForTerminationSignal();
    signalled = true;
    ServerLog::Write(LogLevel::kInfo, "signal " + std::to_string(signal) + ": finishing the requests in flight");
    server.Stop();
  });
  server.Run();
  // Serving may also end without a signal (the listening socket failed):
  // the waiter is woken by one of our own.
  if (!signalled) platform::RaiseTermination();
  waiter.join();
  return 0;
}

int Stats(TagStore& store, std::ostream& out, std::ostream& err) {
  StoreStats stats;
  std::string error;
  if (!store.Stats(platform::Env::Current()->UnixTime(), stats, error)) {
    err << "nimbrel-cache-server: " << error << "\n";
    return 1;
  }
  out << "integrity " << stats.integrity << "\n";
  if (stats.integrity != "ok") {
    err << "nimbrel-cache-server: the database is damaged\n";
    return 1;
  }
  out << "songs " << stats.songs << "\nrecords " << stats.records << "\nfills " << stats.fills << "\nsources "
      << stats.sources << "\nsource_failures " << stats.sourceFailures << "\nsong_failures " << stats.songFailures
      << "\nskipped_songs " << stats.skippedSongs << "\nrecords_with_fields " << stats.recordsWithFields << "\n";
  for (const auto& [status, count] : stats.requestsByStatus) out << "requests_" << status << " " << count << "\n";
  return 0;
}

int Export(TagStore& store, std::ostream& out, std::ostream& err) {
  std::string error;
  const bool ok = store.Export(
      [&out](const ExportItem& item) {
        out << ToJsonLine(item) << '\n';
        return static_cast<bool>(out);
      },
      error);
  if (!ok || !out) {
    err << "nimbrel-cache-server: export failed: " << (ok ? "cannot write" : error) << "\n";
    return 1;
  }
  return 0;
}

int Import(TagStore& store, const CommandLine& line, std::istream& in, std::ostream& out, std::ostream& err) {
  std::ifstream file;
  if (!line.file.empty()) {
    file.open(line.file, std::ios::binary);
    if (!file) {
      err << "nimbrel-cache-server: cannot read " << line.file << "\n";
      return 1;
    }
  }
  std::istream& source = line.file.empty() ? in : file;
  std::vector<ExportItem> batch;
  std::size_t number = 0, imported = 0, bad = 0;
  std::string text, error;
  auto flush = [&]() {
    if (batch.empty()) return true;
    if (!store.Import(batch, error)) {
      err << "nimbrel-cache-server: import failed before line " << number << ": " << error << "\n";
      return false;
    }
    imported += batch.size();
    batch.clear();
    return true;
  };
  while (std::getline(source, text)) {
    ++number;
    if (!text.empty() && text.back() == '\r') text.pop_back();
    if (text.empty()) continue;
    ExportItem item;
    if (!FromJsonLine(text, item, error)) {
      err << "line " << number << ": " << error << "\n";
      ++bad;
      continue;
    }
    batch.push_back(std::move(item));
    if (batch.size() == kImportBatch && !flush()) return 1;
  }
  if (!flush()) return 1;
  out << "imported " << imported << " lines, skipped " << bad << "\n";
  return 0;
}

}  // namespace

int RunCommandLine(const std::vector<std::string>& arguments, std::istream& in, std::ostream& out,
                   std::ostream& err) {
  CommandLine line;
  std::string error;
  if (!Parse(arguments, line, error)) {
    err << "nimbrel-cache-server: " << error << "\n" << kUsage;
    return 2;
  }
  if (line.help) {
    out << kUsage;
    return 0;
  }
  // Reading commands neither create nor change the file they are pointed at.
  const bool reading = line.command == "stats" || line.command == "export";
  std::unique_ptr<TagStore> store;
  bool startedFull = false;
  if (PostgresTagStore::IsConnectionString(line.db)) {
    auto shared = std::make_unique<PostgresTagStore>(CachePolicy(), line.dbConnections);
    if (shared->Open(line.db, error, reading)) store = std::move(shared);
  } else {
    auto file = std::make_unique<SqliteTagStore>();
    if (file->Open(line.db, error, reading ? SqliteTagStore::Mode::kReadOnly : SqliteTagStore::Mode::kReadWrite)) {
      startedFull = file->startedFull();
      store = std::move(file);
    }
  }
  if (!store) {
    err << "nimbrel-cache-server: " << error << "\n";
    return 1;
  }
  if (line.command == "stats") return Stats(*store, out, err);
  if (line.command == "export") return Export(*store, out, err);
  if (line.command == "import") return Import(*store, line, in, out, err);
  return Serve(*store, startedFull, line, err);
}

}  // namespace cache_server
