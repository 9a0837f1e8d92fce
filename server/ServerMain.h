// The command line of nimbrel-cache-server, apart from main() so that tests
// can run it in-process:
//
//   nimbrel-cache-server [--listen HOST:PORT] [--db FILE] [--log-level LEVEL]
//                        [--key-file FILE] [--rate-limit PER_SECOND]
//                        [--rate-burst N] [--max-connections N]
//                        [--max-connections-per-address N] [--backlog N]
//                        [--request-timeout-ms MS] [--trusted-proxy ADDRESS]
//       serves until SIGTERM or SIGINT;
//   nimbrel-cache-server --help               the usage on stdout;
//   nimbrel-cache-server stats  [--db FILE]   counts, as "name value" lines,
//       first the database's quick check ("integrity ok"; exit status 1 when
//       it found damage);
//   nimbrel-cache-server export [--db FILE]   every item as JSON lines on stdout;
//       both open the file read-only: they never create nor change it;
//   nimbrel-cache-server import [--db FILE] [JSONL]   merges JSON lines
//       (standard input without a file), in transactions of 20,000 lines; a
//       bad line (or a value a fill would refuse) is reported with its number
//       and skipped.
//
// --trusted-proxy names the reverse proxy in front, whose X-Forwarded-For
// header then tells the client's address (see ServerOptions).
//
// --db names a SQLite file, or a PostgreSQL database by a libpq URI
// (postgresql://user@host:port/database?...), its password from PGPASSWORD
// or ~/.pgpass rather than the command line; it is never logged.
// --db-connections N: how many connections to it a server keeps at most
// (default 8).
//
// Defaults: --listen 127.0.0.1:8377 (where the library looks by default),
// --db nimbrel-tag-cache.sqlite, --log-level info, the library's own signing
// key, 50 requests per second per client address with bursts of 200, 64
// connections served at once and 16 of them per address, the system's
// largest listen backlog.
#pragma once

#include <iosfwd>
#include <string>
#include <vector>

namespace cache_server {

// Runs the command line `arguments` (without the program name); returns the
// exit status. Serving waits for a termination signal, which the caller must
// have blocked (platform::BlockTerminationSignals) before starting threads.
int RunCommandLine(const std::vector<std::string>& arguments, std::istream& in, std::ostream& out,
                   std::ostream& err);

}  // namespace cache_server
