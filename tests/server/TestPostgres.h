// A PostgreSQL server of the tests' own: initdb and pg_ctl from Debian's
// packages into a temporary folder, listening only on a Unix socket in that
// folder, run by the unprivileged user "nobody" when the tests run as root.
// Started once per test program by its GoogleTest environment (a test that
// needs it fails when it cannot start); each test takes a schema of its own,
// so that tests share the server but not their tables.
#pragma once

#include <gtest/gtest.h>

#include <string>

namespace server_testing {

class TestPostgres {
 public:
  // The server of this test program; empty folder() until started.
  static TestPostgres& Instance();

  bool Start(std::string& error);
  void Stop();
  // Stops the server and starts it again; `crash`: at once, without a
  // checkpoint (the server recovers from its log at start).
  bool Restart(bool crash, std::string& error);
  // Creates a fresh schema and answers the URI of the database with it as
  // the search path.
  std::string NewSchema();
  // Runs `sql` through psql in `database`; false when it fails.
  bool Sql(const std::string& sql, const std::string& database = "postgres");

  const std::string& folder() const { return folder_; }

 private:
  std::string AsOwner() const;  // the command prefix that runs as the server's user
  std::string folder_;
  int schemas_ = 0;
};

// Starts the server before the first test and stops it after the last.
class PostgresEnvironment : public ::testing::Environment {
 public:
  void SetUp() override;
  void TearDown() override;
};

}  // namespace server_testing
