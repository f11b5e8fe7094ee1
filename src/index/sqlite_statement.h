#pragma once

// A thin wrapper of SQLite for the search index: prepared statements and transactions that
// raise IndexError, which tells damage (rebuilding may help) from a busy file.

#include <sqlite3.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "index/library_index.h"

namespace lumivor {

// True when the SQLite result `code` says the file is not a usable index (rather than busy).
[[nodiscard]] bool IsDamage(int code);

class Statement {
 public:
  Statement() = default;
  Statement(sqlite3* db, const char* sql) : db_(db) {
    if (sqlite3_prepare_v3(db, sql, -1, SQLITE_PREPARE_PERSISTENT, &stmt_, nullptr) != SQLITE_OK) {
      const int code = sqlite3_extended_errcode(db);
      throw IndexError(std::string("The search index cannot be read: ") + sqlite3_errmsg(db),
                       IsDamage(code) || (code & 0xFF) == SQLITE_ERROR);
    }
  }
  ~Statement() { sqlite3_finalize(stmt_); }
  Statement(Statement&& other) noexcept
      : db_(std::exchange(other.db_, nullptr)), stmt_(std::exchange(other.stmt_, nullptr)) {}
  Statement& operator=(Statement&& other) noexcept {
    std::swap(db_, other.db_);
    std::swap(stmt_, other.stmt_);
    return *this;
  }

  Statement& Bind(int index, std::int64_t value) {
    sqlite3_bind_int64(stmt_, index, value);
    return *this;
  }
  Statement& Bind(int index, std::optional<std::string_view> text) {
    if (text) {
      sqlite3_bind_text(stmt_, index, text->data(), static_cast<int>(text->size()),
                        SQLITE_TRANSIENT);
    } else {
      sqlite3_bind_null(stmt_, index);
    }
    return *this;
  }
  Statement& BindBlob(int index, std::string_view data) {
    sqlite3_bind_blob(stmt_, index, data.data(), static_cast<int>(data.size()), SQLITE_TRANSIENT);
    return *this;
  }
  // True for a row, false when done; raises IndexError on failure (the statement is reset).
  bool Step() {
    const int code = sqlite3_step(stmt_);
    if (code == SQLITE_ROW) return true;
    if (code == SQLITE_DONE) return false;
    const std::string message = sqlite3_errmsg(db_);
    const int extended = sqlite3_extended_errcode(db_);
    sqlite3_reset(stmt_);
    const int primary = extended & 0xFF;
    if (primary == SQLITE_BUSY || primary == SQLITE_LOCKED) {
      throw IndexError("The search index is in use by another program.", false);
    }
    throw IndexError("The search index cannot be used: " + message, IsDamage(extended));
  }
  void Run() {
    while (Step()) {
    }
    Reset();
  }
  void Reset() {
    sqlite3_reset(stmt_);
    sqlite3_clear_bindings(stmt_);
  }
  [[nodiscard]] std::int64_t Int(int column) const { return sqlite3_column_int64(stmt_, column); }
  [[nodiscard]] std::optional<std::string_view> Text(int column) const {
    if (sqlite3_column_type(stmt_, column) == SQLITE_NULL) return std::nullopt;
    const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(stmt_, column));
    return std::string_view(text, static_cast<std::size_t>(sqlite3_column_bytes(stmt_, column)));
  }
  [[nodiscard]] std::string_view Blob(int column) const {
    const void* data = sqlite3_column_blob(stmt_, column);
    if (!data) return {};
    return {static_cast<const char*>(data),
            static_cast<std::size_t>(sqlite3_column_bytes(stmt_, column))};
  }

 private:
  sqlite3* db_ = nullptr;
  sqlite3_stmt* stmt_ = nullptr;
};

// A transaction that is rolled back unless committed.
class Transaction {
 public:
  explicit Transaction(sqlite3* db) : db_(db) { Exec("BEGIN IMMEDIATE"); }
  ~Transaction() {
    if (!done_) sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
  }
  void Commit() {
    Exec("COMMIT");
    done_ = true;
  }

 private:
  void Exec(const char* sql) { Statement(db_, sql).Run(); }
  sqlite3* db_;
  bool done_ = false;
};

// One read of the index from a single snapshot: the many statements a query runs share one lock
// of the file instead of taking and giving one each. Ends (never writes) when it goes.
class ReadTransaction {
 public:
  explicit ReadTransaction(sqlite3* db) : db_(db) { Statement(db_, "BEGIN DEFERRED").Run(); }
  ~ReadTransaction() { sqlite3_exec(db_, "COMMIT", nullptr, nullptr, nullptr); }
  ReadTransaction(const ReadTransaction&) = delete;
  ReadTransaction& operator=(const ReadTransaction&) = delete;

 private:
  sqlite3* db_;
};

}  // namespace lumivor
