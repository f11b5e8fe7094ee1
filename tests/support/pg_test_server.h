#pragma once

#include <string>
#include <string_view>

namespace lumivor::testing {

// A PostgreSQL 15 server of the tests' own, in a temporary folder, reached through a Unix socket
// there only (no TCP port): initdb and pg_ctl from /usr/lib/postgresql/15/bin (or
// $LUMIVOR_PG_BIN), run as the user "nobody" when the tests run as root, since the server refuses
// to run as root. A watchdog process stops the server and removes the folder when the test
// process ends in any way, a crash included.
class PgTestServer {
 public:
  PgTestServer() = default;
  ~PgTestServer();
  PgTestServer(const PgTestServer&) = delete;
  PgTestServer& operator=(const PgTestServer&) = delete;

  // Makes and starts the server; false with Error() telling why.
  bool Start();
  // Stops the server (fast shutdown: connections are cut) and starts it again on the same data.
  bool Stop();
  bool Restart();
  [[nodiscard]] const std::string& Error() const { return error_; }

  // A fresh database `name` owned by the superuser "lumivor"; returns its URI.
  std::string CreateDatabase(std::string_view name);
  // The URI of database `name` as `user`.
  [[nodiscard]] std::string Uri(std::string_view name, std::string_view user = "lumivor") const;
  // Runs `sql` (no parameters; test set-up only) in database `name` as the superuser; false with
  // Error() set when it fails.
  bool Sql(std::string_view name, const std::string& sql);

 private:
  bool Run(const std::string& command);
  std::string bin_;
  std::string dir_;
  std::string error_;
  bool running_ = false;
};

// The server shared by every test of the binary, started before the first test; a test that
// needs it and finds it not running fails with the reason.
PgTestServer& SharedPgServer();

}  // namespace lumivor::testing
