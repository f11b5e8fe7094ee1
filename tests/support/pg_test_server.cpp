#include "support/pg_test_server.h"

#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "server/pg_connection.h"

namespace lumivor::testing {

namespace {

// `text` quoted for the shell.
std::string Quoted(std::string_view text) {
  std::string quoted = "'";
  for (const char c : text) {
    if (c == '\'') {
      quoted += "'\\''";
    } else {
      quoted += c;
    }
  }
  return quoted + "'";
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

}  // namespace

PgTestServer::~PgTestServer() {
  if (running_) Stop();
  if (!dir_.empty()) std::system(("rm -rf " + Quoted(dir_)).c_str());
}

bool PgTestServer::Run(const std::string& command) {
  // As root the server's programs run as "nobody": PostgreSQL refuses to run as root.
  const std::string as_user = ::geteuid() == 0 ? "runuser -u nobody -- " : "";
  const std::string log = dir_ + "/command.log";
  const int status = std::system((as_user + command + " >" + Quoted(log) + " 2>&1").c_str());
  if (status == 0) return true;
  error_ = "'" + command + "' failed: " + ReadFile(log);
  return false;
}

bool PgTestServer::Start() {
  const char* bin = std::getenv("LUMIVOR_PG_BIN");
  bin_ = bin != nullptr ? bin : "/usr/lib/postgresql/15/bin";
  if (::access((bin_ + "/initdb").c_str(), X_OK) != 0) {
    error_ = bin_ + "/initdb not found: install postgresql-15 (scripts/deps.sh does)";
    return false;
  }
  char pattern[] = "/tmp/lumivor-pg-XXXXXX";
  if (::mkdtemp(pattern) == nullptr) {
    error_ = "cannot make a temporary folder";
    return false;
  }
  dir_ = pattern;
  ::chmod(dir_.c_str(), 0755);
  if (::geteuid() == 0 && std::system(("chown nobody " + Quoted(dir_)).c_str()) != 0) {
    error_ = "cannot hand " + dir_ + " to the user nobody";
    return false;
  }
  // The watchdog: once this process is gone, the server stops and the folder goes.
  const std::string as_user = ::geteuid() == 0 ? "runuser -u nobody -- " : "";
  const std::string watchdog = "while kill -0 " + std::to_string(::getpid()) +
                               " 2>/dev/null; do sleep 1; done; " + as_user +
                               Quoted(bin_ + "/pg_ctl") + " -D " + Quoted(dir_ + "/data") +
                               " -m immediate stop; rm -rf " + Quoted(dir_);
  std::system(("setsid sh -c " + Quoted(watchdog) + " >/dev/null 2>&1 </dev/null &").c_str());

  if (!Run(Quoted(bin_ + "/initdb") + " -D " + Quoted(dir_ + "/data") +
           " -A trust -U lumivor -E UTF8 --locale=C --no-sync")) {
    return false;
  }
  return Restart();
}

bool PgTestServer::Restart() {
  // The socket in the folder and no TCP port; no waiting for the disk, which a test's server
  // never needs; and pg_trgm loaded by the server itself, as the README recommends for every
  // server, so that a new connection does not load it on its first search.
  const std::string options = "-k " + dir_ +
                              " -c listen_addresses= -c fsync=off -c synchronous_commit=off" +
                              " -c full_page_writes=off -c shared_preload_libraries=pg_trgm";
  if (!Run(Quoted(bin_ + "/pg_ctl") + " -D " + Quoted(dir_ + "/data") + " -l " +
           Quoted(dir_ + "/server.log") + " -o " + Quoted(options) + " -w start")) {
    error_ += ReadFile(dir_ + "/server.log");
    return false;
  }
  running_ = true;
  return true;
}

bool PgTestServer::Stop() {
  running_ = false;
  return Run(Quoted(bin_ + "/pg_ctl") + " -D " + Quoted(dir_ + "/data") + " -m fast -w stop");
}

std::string PgTestServer::Uri(std::string_view name, std::string_view user) const {
  std::string host;
  for (const char c : dir_) {
    if (c == '/') {
      host += "%2F";
    } else {
      host += c;
    }
  }
  return "postgresql://" + std::string(user) + "@" + host + "/" + std::string(name);
}

std::string PgTestServer::CreateDatabase(std::string_view name) {
  pg::Connection connection(Uri("postgres"));
  connection.Exec("DROP DATABASE IF EXISTS \"" + std::string(name) + "\" WITH (FORCE)");
  connection.Exec("CREATE DATABASE \"" + std::string(name) + "\"");
  return Uri(name);
}

bool PgTestServer::Sql(std::string_view name, const std::string& sql) {
  try {
    pg::Connection connection(Uri(name));
    connection.Exec(sql);
    return true;
  } catch (const pg::ServerError& error) {
    error_ = error.what();
    return false;
  }
}

PgTestServer& SharedPgServer() {
  static PgTestServer server;
  return server;
}

}  // namespace lumivor::testing
