#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/errors.h"

struct pg_conn;
struct pg_result;

namespace lumivor::pg {

// What went wrong on the server, as far as the program acts on it.
enum class FailureKind {
  kOther,           // any other error: the server's message tells
  kConnectionLost,  // the server stopped, the network dropped or the connection was refused
  kReadOnly,        // the role may not change this (permission denied, read-only transaction)
  kExists,          // a unique key was violated: the name is taken
  kRetry,           // a serialization failure or deadlock: the transaction may be run again
};

// The one exception every server call raises: the server's (or libpq's) message, worded for the
// user, with the kind the program acts on and the SQLSTATE code.
class ServerError : public LumivorError {
 public:
  ServerError(const std::string& message, FailureKind kind, std::string sqlstate)
      : LumivorError(message), kind_(kind), sqlstate_(std::move(sqlstate)) {}
  [[nodiscard]] FailureKind Kind() const { return kind_; }
  [[nodiscard]] const std::string& SqlState() const { return sqlstate_; }

 private:
  FailureKind kind_;
  std::string sqlstate_;
};

// The message a lost connection gives, whatever the command was doing.
inline constexpr std::string_view kConnectionLostText =
    "The connection to the library server was lost";

// A parameter of a statement: a text, or SQL NULL.
using Param = std::optional<std::string_view>;

// One result of a statement, owned: the rows as texts.
class Result {
 public:
  Result() = default;
  explicit Result(pg_result* result);
  [[nodiscard]] int Rows() const;
  [[nodiscard]] int Columns() const;
  [[nodiscard]] bool IsNull(int row, int column) const;
  // The text of a value; empty for NULL. Valid while the result lives.
  [[nodiscard]] std::string_view Text(int row, int column) const;
  // The value as a number; 0 for NULL.
  [[nodiscard]] std::int64_t Int(int row, int column) const;
  // The number of rows an UPDATE, DELETE or INSERT touched.
  [[nodiscard]] std::int64_t Affected() const;

 private:
  struct Deleter {
    void operator()(pg_result* result) const;
  };
  std::unique_ptr<pg_result, Deleter> result_;
};

// One connection to a server, opened from a connection string or URI in libpq's syntax (service
// names, ~/.pgpass, PGPASSWORD and sslmode apply as libpq applies them). Every statement takes
// its values as parameters; no value is ever pasted into SQL text.
class Connection {
 public:
  // Connects; raises ServerError (kConnectionLost when the server cannot be reached).
  explicit Connection(const std::string& conninfo);
  ~Connection();
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  // Runs `sql` with `params` ($1, $2, ...) and returns its rows; raises ServerError.
  Result Exec(std::string_view sql, const std::vector<Param>& params = {});
  // The same with the result set read in binary-safe text; for statements run many times the
  // server's plan cache is used through a named prepared statement made on first use.
  Result ExecPrepared(const std::string& name, std::string_view sql,
                      const std::vector<Param>& params);

  // Runs `sql` with `params` and hands each row to `row` as it arrives (a result of one row),
  // so that a large result never sits in memory whole. Raises ServerError; an exception from
  // `row` is raised again once the connection is ready for the next statement.
  void Stream(std::string_view sql, const std::vector<Param>& params,
              const std::function<void(const Result&)>& row);

  // Starts `COPY ... FROM STDIN` (text format); rows go in through CopyData, CopyEnd finishes it.
  void CopyStart(std::string_view sql);
  void CopyData(std::string_view data);
  void CopyEnd();
  // Abandons a COPY that was started: the server discards its rows (the transaction around it is
  // then rolled back by its owner). Never raises.
  void CopyAbort() noexcept;

  // True while the connection is usable.
  [[nodiscard]] bool Ok() const;
  // The server's major version (150000 and up for 15).
  [[nodiscard]] int ServerVersion() const;

  // Turns the state of the connection and `result` into ServerError; the one place libpq's
  // errors become the program's exception.
  [[noreturn]] void Raise(const pg_result* result, std::string_view what) const;

 private:
  // `raw` owned, or ServerError when it holds an error.
  Result Checked(pg_result* raw) const;
  struct Deleter {
    void operator()(pg_conn* connection) const;
  };
  std::unique_ptr<pg_conn, Deleter> connection_;
  std::vector<std::string> prepared_;
  std::string copy_buffer_;
};

// A transaction that rolls back unless committed; Commit raises when the server refuses.
class Transaction {
 public:
  explicit Transaction(Connection& connection, bool serializable = false);
  ~Transaction();
  Transaction(const Transaction&) = delete;
  Transaction& operator=(const Transaction&) = delete;
  void Commit();

 private:
  Connection& connection_;
  bool open_ = true;
};

// `conninfo` without a password, for showing: a URI loses its password part, a key=value string
// its password=... pair. Unparseable text is shown as "(invalid connection string)".
[[nodiscard]] std::string RedactedConnInfo(const std::string& conninfo);

// True when `location` names a server library rather than a folder: a postgresql:// or
// postgres:// URI, or a key=value connection string (holding "=").
[[nodiscard]] bool IsServerLocation(std::string_view location);

// Appends `value` to `out` escaped for COPY's text format (backslash, tab, newline, CR).
void AppendCopyText(std::string& out, std::string_view value);
// Appends NULL in COPY's text format.
inline void AppendCopyNull(std::string& out) { out += "\\N"; }
// `items` as a text[] literal for a parameter ({"a","b\"c",NULL}); an item without data is NULL.
[[nodiscard]] std::string ArrayLiteral(const std::vector<std::string_view>& items);
// Appends `items` as a text[] literal, escaped for COPY's text format.
void AppendCopyArray(std::string& out, const std::vector<std::string_view>& items);
// Parses a text[] value as the server prints it ({a,"b c",NULL}) into its items (NULL: empty).
[[nodiscard]] std::vector<std::string> ParseTextArray(std::string_view text);

}  // namespace lumivor::pg
