#include "server/TestPostgres.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>

namespace server_testing {

namespace {

const char* const kBin = "/usr/lib/postgresql/15/bin/";

std::string ReadAll(const std::string& path) {
  std::ifstream in(path);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

bool Run(const std::string& command) { return std::system(command.c_str()) == 0; }

}  // namespace

TestPostgres& TestPostgres::Instance() {
  static TestPostgres server;
  return server;
}

std::string TestPostgres::AsOwner() const {
  return geteuid() == 0 ? "setpriv --reuid=nobody --regid=nogroup --clear-groups -- " : "";
}

bool TestPostgres::Start(std::string& error) {
  if (!std::filesystem::exists(std::string(kBin) + "initdb")) {
    error = std::string(kBin) + "initdb is missing: install postgresql (scripts/setup)";
    return false;
  }
  char folder[] = "/tmp/nimbrel-pg-XXXXXX";
  if (!mkdtemp(folder)) {
    error = "cannot make a temporary folder";
    return false;
  }
  folder_ = folder;
  if (geteuid() == 0 && !Run("chown nobody:nogroup " + folder_)) {
    error = "cannot hand " + folder_ + " to nobody";
    return false;
  }
  // No fsync: the tests never lose the machine, only the server.
  const std::string data = folder_ + "/data";
  if (!Run("cd " + folder_ + " && " + AsOwner() + kBin + "initdb -D " + data +
           " -A trust -U nimbrel -E UTF8 --locale=C.UTF-8 --no-sync --no-instructions >" + folder_ +
           "/initdb.log 2>&1")) {
    error = "initdb failed: " + ReadAll(folder_ + "/initdb.log");
    return false;
  }
  std::ofstream(data + "/postgresql.conf", std::ios::app)
      << "listen_addresses = ''\nunix_socket_directories = '" << folder_
      << "'\nfsync = off\nmax_connections = 100\nshared_buffers = 32MB\n";
  std::string ignored;
  if (!Restart(false, error)) return false;
  return true;
}

bool TestPostgres::Restart(bool crash, std::string& error) {
  const std::string ctl = "cd " + folder_ + " && " + AsOwner() + kBin + "pg_ctl -D " + folder_ + "/data ";
  if (std::filesystem::exists(folder_ + "/data/postmaster.pid")) {
    Run(ctl + "stop -m " + (crash ? "immediate" : "fast") + " -w >/dev/null 2>&1");
  }
  if (!Run(ctl + "start -w -t 60 -l " + folder_ + "/server.log >/dev/null 2>&1")) {
    error = "pg_ctl start failed: " + ReadAll(folder_ + "/server.log");
    return false;
  }
  return true;
}

void TestPostgres::Stop() {
  if (folder_.empty()) return;
  Run("cd " + folder_ + " && " + AsOwner() + kBin + "pg_ctl -D " + folder_ +
      "/data stop -m immediate -w >/dev/null 2>&1");
  std::error_code ignored;
  std::filesystem::remove_all(folder_, ignored);
  folder_.clear();
}

bool TestPostgres::Sql(const std::string& sql, const std::string& database) {
  const std::string out = folder_ + "/psql.out";
  const bool ok = Run(std::string(kBin) + "psql -X -q -t -A -v ON_ERROR_STOP=1 -h " + folder_ +
                      " -U nimbrel -d " + database + " -c \"" + sql + "\" >" + out + " 2>&1");
  if (!ok) ADD_FAILURE() << sql << ": " << ReadAll(out);
  return ok;
}

std::string TestPostgres::NewSchema() {
  const std::string name = "t" + std::to_string(++schemas_);
  if (!Sql("CREATE SCHEMA " + name)) ADD_FAILURE() << "cannot create the schema " << name;
  return "postgresql:///postgres?host=" + folder_ + "&user=nimbrel&options=-csearch_path%3D" + name;
}

void PostgresEnvironment::SetUp() {
  std::string error;
  if (!TestPostgres::Instance().Start(error)) FAIL() << "cannot start PostgreSQL: " << error;
}

void PostgresEnvironment::TearDown() { TestPostgres::Instance().Stop(); }

}  // namespace server_testing
