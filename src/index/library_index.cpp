#include "index/library_index.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <optional>
#include <unordered_map>
#include <utility>

#include "catalog/catalog_reader.h"
#include "index/packed_fields.h"
#include "library/library_storage.h"
#include "scan/volumes.h"
#include "search/catalog_files.h"

namespace lumivor {

namespace {

// The layout of the tables; an index of another layout is made afresh.
constexpr int kLayoutVersion = 5;
// How long a writer waits for another program's transaction before the index counts as locked.
constexpr int kBusyTimeoutMs = 3000;
// Rows between two polls of Cancel while reading a catalog or searching.
constexpr std::size_t kPollRows = 4096;

// The code points of a UTF-8 text as byte ranges; nullopt for text that is not valid UTF-8.
std::optional<std::vector<std::string_view>> CodePoints(std::string_view text) {
  std::vector<std::string_view> points;
  for (std::size_t i = 0; i < text.size();) {
    const auto lead = static_cast<unsigned char>(text[i]);
    const std::size_t length = lead < 0x80 ? 1 : lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : 2;
    if ((lead >= 0x80 && lead < 0xC2) || lead > 0xF4 || i + length > text.size()) {
      return std::nullopt;
    }
    for (std::size_t k = 1; k < length; ++k) {
      if ((static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80) return std::nullopt;
    }
    points.push_back(text.substr(i, length));
    i += length;
  }
  return points;
}

// The most trigrams of one criterion whose frequency is looked at. Every record that holds the
// text holds all of its trigrams, so any of them pick a superset of the matches.
constexpr std::size_t kMostTrigramsPerText = 8;
// The most trigrams asked for in one query.
constexpr std::size_t kMostTrigramsPerQuery = 4;
// The stretch of entries in which a trigram's frequency is sampled, and the share of them below
// which a trigram is worth asking for beside the rarest one: stepping through a long list of
// entries costs more pages than testing the few candidates it would have ruled out.
constexpr std::int64_t kSampleEntries = 40000;
constexpr std::int64_t kRareShareDivisor = 100;

// The FTS5 terms of up to kMostTrigramsPerText trigrams of `text`, spread over it (overlapping
// where the text is short), or none when it has fewer than three characters.
std::vector<std::string> TrigramTerms(std::string_view text) {
  const auto points = CodePoints(text);
  if (!points || points->size() < 3) return {};
  const std::size_t count = points->size() - 2;
  std::vector<std::size_t> starts;
  if (count <= kMostTrigramsPerText) {
    for (std::size_t i = 0; i < count; ++i) starts.push_back(i);
  } else {
    for (std::size_t k = 0; k < kMostTrigramsPerText; ++k) {
      starts.push_back(k * (count - 1) / (kMostTrigramsPerText - 1));
    }
  }
  std::vector<std::string> terms;
  for (const std::size_t i : starts) {
    std::string term = "\"";
    for (std::size_t k = i; k < i + 3; ++k) {
      for (char c : (*points)[k]) {
        term += c;
        if (c == '"') term += '"';
      }
    }
    term += '"';
    terms.push_back(std::move(term));
  }
  return terms;
}

bool IsDamage(int code) {
  const int primary = code & 0xFF;
  return primary == SQLITE_CORRUPT || primary == SQLITE_NOTADB || primary == SQLITE_SCHEMA ||
         primary == SQLITE_MISMATCH || primary == SQLITE_FORMAT || primary == SQLITE_ERROR;
}

std::string RealPathOf(const std::string& path) {
  char* real = ::realpath(path.c_str(), nullptr);
  if (!real) return std::filesystem::absolute(path).lexically_normal().string();
  std::string result(real);
  std::free(real);
  return result;
}

}  // namespace

std::string CacheDirectory() {
  if (const char* dir = std::getenv("LUMIVOR_CACHE_DIR"); dir && *dir) {
    return WithoutTrailingBackslash(dir);
  }
  if (const char* dir = std::getenv("XDG_CACHE_HOME"); dir && *dir == '/') {
    return WithTrailingBackslash(dir) + "lumivor";
  }
  const char* home = std::getenv("HOME");
  return std::string(home && *home ? home : "/tmp") + "/.cache/lumivor";
}

std::string IndexPathFor(const std::string& library_root) {
  const std::string real = RealPathOf(WithoutTrailingBackslash(library_root));
  // A readable name from the path, and a hash of the whole path so that long paths and paths
  // that differ only in characters replaced here get files of their own.
  std::string name;
  for (char c : real) {
    if (name.size() >= 80) break;
    const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                       c == '-' || c == '.';
    name += plain ? c : '_';
  }
  std::uint64_t hash = 1469598103934665603ull;  // FNV-1a
  for (char c : real) {
    hash ^= static_cast<unsigned char>(c);
    hash *= 1099511628211ull;
  }
  char hex[17];
  std::snprintf(hex, sizeof hex, "%016llx", static_cast<unsigned long long>(hash));
  return CacheDirectory() + "/index" + name + "-" + hex + ".sqlite";
}

// --- SQLite statements ----------------------------------------------------------------------

namespace {

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

}  // namespace

struct LibraryIndex::CatalogRow {
  std::int64_t id = 0;
  std::string path;  // relative to the library root
  FileStamp stamp;
  std::int64_t first = 0;
  std::int64_t count = 0;
  bool readable = true;
};

struct LibraryIndex::Statements {
  explicit Statements(sqlite3* db)
      : insert_entry(db,
                     "INSERT INTO entries(id, name, ext, description, rest, extras) "
                     "VALUES(?1, ?2, ?3, ?4, ?5, ?6)"),
        insert_text(db,
                    "INSERT INTO entry_text(rowid, name, ext, description, tags) "
                    "VALUES(?1, ?2, ?3, ?4, ?5)"),
        insert_catalog(db,
                       "INSERT INTO catalogs(path, size, mtime, inode, device, first, count, "
                       "readable) VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8)"),
        delete_text(db,
                    "INSERT INTO entry_text(entry_text, rowid, name, ext, description, tags) "
                    "SELECT 'delete', id, name, ext, description, extras_text(extras) "
                    "FROM entries WHERE id BETWEEN ?1 AND ?2"),
        delete_entries(db, "DELETE FROM entries WHERE id BETWEEN ?1 AND ?2"),
        update_rest(db, "UPDATE entries SET rest = ?2 WHERE id = ?1"),
        delete_catalog(db, "DELETE FROM catalogs WHERE id = ?1"),
        next_id(db, "SELECT IFNULL(MAX(id), 0) + 1 FROM entries"),
        catalogs(db,
                 "SELECT id, path, size, mtime, inode, device, first, count, readable "
                 "FROM catalogs ORDER BY path"),
        rename_catalog(db, "UPDATE catalogs SET path = ?2 WHERE id = ?1"),
        entry_count(db, "SELECT IFNULL(SUM(count), 0), COUNT(*) FROM catalogs"),
        scan(db,
             "SELECT id, name, ext, description, rest, extras FROM entries "
             "WHERE id BETWEEN ?1 AND ?2"),
        lookup(db, "SELECT name, rest FROM entries WHERE id = ?1"),
        sample(db,
               "SELECT COUNT(*) FROM (SELECT rowid FROM entry_text WHERE entry_text MATCH ?1 "
               "AND rowid BETWEEN ?2 AND ?3 LIMIT ?4)"),
        candidates(db,
                   "SELECT e.id, e.name, e.ext, e.description, e.rest, e.extras FROM entry_text "
                   "JOIN entries AS e ON e.id = entry_text.rowid "
                   "WHERE entry_text MATCH ?3 AND entry_text.rowid BETWEEN ?1 AND ?2 "
                   "ORDER BY entry_text.rowid") {}

  Statement insert_entry, insert_text, insert_catalog, delete_text, delete_entries, update_rest,
      delete_catalog, next_id, catalogs, rename_catalog, entry_count, scan, lookup, sample,
      candidates;
};

LibraryIndex::LibraryIndex(const std::string& library_root, std::string index_path)
    : root_(WithoutTrailingBackslash(library_root)),
      real_root_(RealPathOf(root_)),
      path_(std::move(index_path)) {
  try {
    Open(false);
  } catch (const IndexError& error) {
    Close();
    if (!error.Damaged()) throw;
    Open(true);
  }
}

LibraryIndex::~LibraryIndex() { Close(); }

void LibraryIndex::RemoveFiles(const std::string& index_path) {
  for (const char* suffix : {"", "-wal", "-shm", "-journal"}) {
    ::unlink((index_path + suffix).c_str());
  }
}

void LibraryIndex::Close() {
  statements_.reset();
  if (db_) sqlite3_close_v2(db_);
  db_ = nullptr;
}

void LibraryIndex::Fail(std::string_view what) {
  const int code = db_ ? sqlite3_extended_errcode(db_) : SQLITE_CANTOPEN;
  std::string message = "The search index " + path_ + " " + std::string(what);
  if (db_) message += ": " + std::string(sqlite3_errmsg(db_));
  throw IndexError(message, IsDamage(code));
}

void LibraryIndex::Open(bool fresh) { OpenFile(path_, fresh, false); }

void LibraryIndex::OpenFile(const std::string& file, bool fresh, bool bulk) {
  std::error_code ignored;
  std::filesystem::create_directories(std::filesystem::path(file).parent_path(), ignored);
  if (fresh) RemoveFiles(file);
  created_ = fresh;
  bulk_ = bulk;
  if (sqlite3_open_v2(file.c_str(), &db_,
                      SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX,
                      nullptr) != SQLITE_OK) {
    Fail("cannot be opened");
  }
  sqlite3_busy_timeout(db_, kBusyTimeoutMs);
  sqlite3_extended_result_codes(db_, 1);
  // The text the trigrams of an entry's tags were made of, to take them out again.
  sqlite3_create_function(
      db_, "extras_text", 1, SQLITE_UTF8 | SQLITE_DETERMINISTIC, nullptr,
      [](sqlite3_context* context, int, sqlite3_value** values) {
        if (sqlite3_value_type(values[0]) == SQLITE_NULL) {
          sqlite3_result_null(context);
          return;
        }
        const void* data = sqlite3_value_blob(values[0]);
        const std::string text =
            ExtrasText(std::string_view(static_cast<const char*>(data),
                                        static_cast<std::size_t>(sqlite3_value_bytes(values[0]))));
        sqlite3_result_text(context, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
      },
      nullptr, nullptr);
  if (bulk) {
    // A file of this process's own, renamed into place once complete: nothing to share or to
    // keep safe on the way.
    Statement(db_, "PRAGMA locking_mode = EXCLUSIVE").Run();
    Statement(db_, "PRAGMA journal_mode = MEMORY").Run();
    Statement(db_, "PRAGMA synchronous = OFF").Run();
    Statement(db_, "PRAGMA cache_size = -131072").Run();
  } else {
    Statement(db_, "PRAGMA journal_mode = WAL").Run();
    Statement(db_, "PRAGMA synchronous = NORMAL").Run();
    // A search reads most pages once, and every page buffer costs a fault of fresh memory the
    // first time it is used: a small cache, whose buffers are used again, costs less than a large
    // one. Writing catalogs raises it (WriteCache).
    Statement(db_, "PRAGMA cache_size = -1024").Run();
    write_cache_ = false;
  }
  Statement version(db_, "PRAGMA user_version");
  const std::int64_t layout = version.Step() ? version.Int(0) : 0;
  version.Reset();
  Statement tables(db_, "SELECT COUNT(*) FROM sqlite_master");
  const std::int64_t table_count = tables.Step() ? tables.Int(0) : 0;
  tables.Reset();
  if (table_count == 0) {
    CreateSchema();
    created_ = true;
  } else if (layout != kLayoutVersion) {
    throw IndexError("The search index has an older layout.", true);
  } else {
    Statement library(db_, "SELECT value FROM info WHERE key = 'library'");
    const bool same = library.Step() && library.Text(0) == std::string_view(real_root_);
    library.Reset();
    if (!same) throw IndexError("The search index belongs to another library.", true);
  }
  statements_ = std::make_unique<Statements>(db_);
  // A cheap look at the tables every search needs, so that a damaged file shows at once.
  Statement check(db_, "SELECT COUNT(*) FROM catalogs");
  check.Run();
}

IndexUpdate LibraryIndex::BuildAfresh(Progress& progress, const std::stop_token& stop) {
  Close();
  const std::string temporary = path_ + ".new-" + std::to_string(::getpid());
  IndexUpdate update;
  try {
    OpenFile(temporary, true, true);
    update = Update(progress, stop);
    // The trigram index in one piece: a query looks each trigram up once instead of once per
    // piece that the build left.
    if (!update.cancelled)
      Statement(db_, "INSERT INTO entry_text(entry_text) VALUES('optimize')").Run();
    Close();
  } catch (...) {
    Close();
    RemoveFiles(temporary);
    bulk_ = false;
    throw;
  }
  bulk_ = false;
  if (!update.cancelled) {
    // On disk before it replaces the old index, whose journal files must not outlive it.
    if (const int fd = ::open(temporary.c_str(), O_RDONLY | O_CLOEXEC); fd >= 0) {
      ::fsync(fd);
      ::close(fd);
    }
    for (const char* suffix : {"-wal", "-shm", "-journal"}) ::unlink((path_ + suffix).c_str());
    if (::rename(temporary.c_str(), path_.c_str()) != 0) {
      const int error = errno;
      RemoveFiles(temporary);
      throw IndexError("The search index " + path_ + " cannot be written: " + SystemMessage(error),
                       false);
    }
  }
  RemoveFiles(temporary);
  Open(false);
  update.rebuilt = true;
  return update;
}

void LibraryIndex::CreateSchema() {
  Transaction transaction(db_);
  for (const char* sql : {
           "CREATE TABLE info(key TEXT PRIMARY KEY, value TEXT) WITHOUT ROWID",
           "CREATE TABLE catalogs(id INTEGER PRIMARY KEY, path TEXT NOT NULL UNIQUE, "
           "size INTEGER NOT NULL, mtime INTEGER NOT NULL, inode INTEGER NOT NULL, "
           "device INTEGER NOT NULL, first INTEGER NOT NULL, count INTEGER NOT NULL, "
           "readable INTEGER NOT NULL)",
           // An entry with entries below it keeps its FullPath whole in `rest`, so that the path
           // of an entry below it needs one look-up of a row that is mostly on the same page.
           "CREATE TABLE entries(id INTEGER PRIMARY KEY, name TEXT, ext TEXT, description TEXT, "
           "rest BLOB, extras BLOB)",
           // Trigrams of the three searched fields, for candidates only (the rule decides): no
           // copy of the texts, no positions, no sizes, which keeps the index small.
           "CREATE VIRTUAL TABLE entry_text USING fts5(name, ext, description, tags, content='', "
           "tokenize='trigram', detail='none', columnsize=0)",
       }) {
    Statement(db_, sql).Run();
  }
  Statement(db_, "INSERT INTO info(key, value) VALUES('library', ?1)").Bind(1, real_root_).Run();
  Statement(db_, ("PRAGMA user_version = " + std::to_string(kLayoutVersion)).c_str()).Run();
  transaction.Commit();
}

std::vector<LibraryIndex::CatalogRow> LibraryIndex::LoadCatalogs() {
  std::vector<CatalogRow> rows;
  Statement& query = statements_->catalogs;
  while (query.Step()) {
    CatalogRow row;
    row.id = query.Int(0);
    row.path = std::string(query.Text(1).value_or(""));
    row.stamp = {query.Int(2), query.Int(3), static_cast<std::uint64_t>(query.Int(4)),
                 static_cast<std::uint64_t>(query.Int(5))};
    row.first = query.Int(6);
    row.count = query.Int(7);
    row.readable = query.Int(8) != 0;
    rows.push_back(std::move(row));
  }
  query.Reset();
  return rows;
}

std::size_t LibraryIndex::EntryCount() {
  Statement& query = statements_->entry_count;
  const std::size_t count = query.Step() ? static_cast<std::size_t>(query.Int(0)) : 0;
  query.Reset();
  return count;
}

std::size_t LibraryIndex::CatalogCount() {
  Statement& query = statements_->entry_count;
  const std::size_t count = query.Step() ? static_cast<std::size_t>(query.Int(1)) : 0;
  query.Reset();
  return count;
}

void LibraryIndex::RemoveCatalog(const CatalogRow& row) {
  if (row.count > 0) {
    statements_->delete_text.Bind(1, row.first).Bind(2, row.first + row.count - 1).Run();
    statements_->delete_entries.Bind(1, row.first).Bind(2, row.first + row.count - 1).Run();
  }
  statements_->delete_catalog.Bind(1, row.id).Run();
}

void LibraryIndex::WriteCache() {
  if (bulk_ || write_cache_) return;
  Statement(db_, "PRAGMA cache_size = -32768").Run();
  write_cache_ = true;
}

bool LibraryIndex::IndexCatalog(const std::string& relative, const CatalogRow* old,
                                const std::stop_token& stop) {
  WriteCache();
  Transaction transaction(db_);
  if (old) RemoveCatalog(*old);
  Statement& next = statements_->next_id;
  const std::int64_t first = next.Step() ? next.Int(0) : 1;
  next.Reset();
  // The index as the reader's sink: one row per record, numbered from `first` in document order.
  struct Rows final : RecordSink {
    Rows(Statements& statements, std::int64_t first_id, const std::stop_token& stop_token)
        : sql(statements), first(first_id), stop(stop_token) {}
    bool Add(const RecordView& record) override {
      const std::int64_t id = first + count;
      const auto depth = static_cast<std::size_t>(std::max(record.depth, 0)) + 1;
      open = std::min(open, depth - 1);
      const bool has_parent = open == depth - 1 && depth > 1;
      Parent* parent = has_parent ? &parents[open - 1] : nullptr;
      FieldValues fields;
      for (int i = 0; i < kFieldCount; ++i) {
        if (record.fields[i].data()) fields[i] = record.fields[i];
      }
      const std::optional<std::string_view> name = fields[kFileName];
      auto non_empty = [](std::optional<std::string_view> value) {
        return value && !value->empty() ? value : std::nullopt;
      };
      const auto ext = non_empty(fields[kFileExt]);
      const auto description = non_empty(fields[kDescription]);
      PackExtras(record.extras, &packed_extras);
      std::optional<std::string_view> extras;
      std::string tags;
      if (!packed_extras.empty()) {
        extras = packed_extras;
        tags = ExtrasText(packed_extras);
      }
      if (parent && !parent->whole) {
        // The first entry below this one: its row keeps its FullPath whole from now on.
        FieldValues parent_fields;
        for (int i = 0; i < kFieldCount; ++i) {
          if (parent->present[i]) parent_fields[i] = parent->values[i];
        }
        PackEntryFields(parent_fields, "", 0, &packed);
        sql.update_rest.Bind(1, parent->id).BindBlob(2, packed).Run();
        parent->whole = true;
      }
      PackEntryFields(fields, parent ? std::string_view(parent->values[kFullPath]) : "",
                      parent ? id - parent->id : 0, &packed);
      if (open == depth - 1) {
        // This entry may have entries below it: its fields are kept (in buffers used again).
        if (parents.size() == open) parents.emplace_back();
        Parent& self = parents[open++];
        self.id = id;
        self.whole = false;
        for (int i = 0; i < kFieldCount; ++i) {
          self.present[i] = fields[i].has_value();
          self.values[i].assign(fields[i].value_or(std::string_view()));
        }
      }
      sql.insert_entry.Bind(1, id).Bind(2, name).Bind(3, ext).Bind(4, description);
      sql.insert_entry.BindBlob(5, packed);
      if (extras) sql.insert_entry.BindBlob(6, *extras);
      sql.insert_entry.Run();
      sql.insert_text.Bind(1, id).Bind(2, name).Bind(3, ext).Bind(4, description);
      sql.insert_text.Bind(5, extras ? std::optional<std::string_view>(tags) : std::nullopt).Run();
      ++count;
      if (count % kPollRows == 0 && stop.stop_requested()) {
        cancelled = true;
        return false;
      }
      return true;
    }
    // The fast route gave up part of the way: forget what it gave and take the document route's.
    void Restart() override {
      open = 0;
      if (count > 0) {
        sql.delete_text.Bind(1, first).Bind(2, first + count - 1).Run();
        sql.delete_entries.Bind(1, first).Bind(2, first + count - 1).Run();
      }
      count = 0;
    }
    Statements& sql;
    const std::int64_t first;
    const std::stop_token& stop;
    std::int64_t count = 0;
    bool cancelled = false;
    std::string packed, packed_extras;
    // The entry and fields of the record at each depth on the way down to the current one (the
    // first `open` of `parents`), and whether its row keeps its FullPath whole yet.
    struct Parent {
      std::int64_t id = 0;
      std::array<std::string, kFieldCount> values;
      std::array<bool, kFieldCount> present{};
      bool whole = false;
    };
    std::vector<Parent> parents;
    std::size_t open = 0;
  } rows(*statements_, first, stop);
  CatalogFileReader reader;
  const std::string full = WithTrailingBackslash(root_) + relative;
  CatalogReadOptions options;
  options.xml_only = true;
  static const std::string kNoName;  // searches give each result its catalog's name
  options.catalog_name = &kNoName;
  const CatalogReadStatus status = reader.Read(full, rows, options);
  const FileStamp& stamp = reader.Stamp();
  if (rows.cancelled || status == CatalogReadStatus::kStopped) return false;
  if (status != CatalogReadStatus::kMissing) {
    const bool readable = status == CatalogReadStatus::kDone;
    if (!readable) rows.Restart();
    statements_->insert_catalog.Bind(1, relative)
        .Bind(2, stamp.size)
        .Bind(3, stamp.mtime_ns)
        .Bind(4, static_cast<std::int64_t>(stamp.inode))
        .Bind(5, static_cast<std::int64_t>(stamp.device))
        .Bind(6, first)
        .Bind(7, rows.count)
        .Bind(8, readable ? 1 : 0)
        .Run();
  }
  transaction.Commit();
  return true;
}

IndexUpdate LibraryIndex::Update(Progress& progress, std::stop_token stop) {
  // An empty index is built in a file of its own, at full speed, and put in place when complete.
  if (!bulk_ && created_) return BuildAfresh(progress, stop);
  IndexUpdate update;
  update.rebuilt = created_;
  std::vector<CatalogFile> files;
  if (!ListCatalogFiles(root_, progress, stop, &files)) {
    update.cancelled = true;
    return update;
  }
  std::vector<CatalogRow> rows = LoadCatalogs();
  std::map<std::string_view, const CatalogRow*> known;
  for (const CatalogRow& row : rows) known.emplace(row.path, &row);
  // Forget the catalogs that are gone, in one transaction.
  {
    std::map<std::string_view, bool> present;
    for (const CatalogFile& file : files) present.emplace(file.relative_path, true);
    std::vector<const CatalogRow*> gone;
    for (const CatalogRow& row : rows) {
      if (!present.count(row.path)) gone.push_back(&row);
    }
    if (!gone.empty()) {
      Transaction transaction(db_);
      for (const CatalogRow* row : gone) RemoveCatalog(*row);
      transaction.Commit();
    }
  }
  const std::string top = WithTrailingBackslash(root_);
  for (const CatalogFile& file : files) {
    const auto found = known.find(file.relative_path);
    const CatalogRow* old = found == known.end() ? nullptr : found->second;
    // The device number is not compared: some file systems give another one after a restart.
    if (old && old->stamp.size == file.stamp.size && old->stamp.mtime_ns == file.stamp.mtime_ns &&
        old->stamp.inode == file.stamp.inode) {
      continue;
    }
    progress.SetWaitText(top + file.relative_path);
    if (stop.stop_requested() || !IndexCatalog(file.relative_path, old, stop)) {
      update.cancelled = true;
      break;
    }
    ++update.read;
  }
  update.catalogs = files.size();
  update.entries = EntryCount();
  created_ = false;
  return update;
}

IndexUpdate LibraryIndex::Rebuild(Progress& progress, std::stop_token stop) {
  return BuildAfresh(progress, stop);
}

std::string LibraryIndex::RelativeOf(const std::string& path) const {
  // The path's directory part made real (the item itself may be gone or a link).
  std::string normal = WithoutTrailingBackslash(path);
  const std::size_t slash = normal.rfind('/');
  std::string parent = slash == std::string::npos ? "." : normal.substr(0, slash);
  if (parent.empty()) parent = "/";
  const std::string name = slash == std::string::npos ? normal : normal.substr(slash + 1);
  const std::string real = RealPathOf(normal);
  if (real == real_root_) return ".";
  const std::string real_parent = RealPathOf(parent);
  std::string candidate = real_parent == real_root_ ? name : "";
  if (candidate.empty()) {
    const std::string prefix = real_root_ == "/" ? "/" : real_root_ + "/";
    if (real_parent.compare(0, prefix.size(), prefix) != 0) return {};
    candidate = real_parent.substr(prefix.size()) + "/" + name;
  }
  if (name == "." || name == "..") return {};
  return candidate;
}

bool LibraryIndex::Covers(const std::string& path) const { return !RelativeOf(path).empty(); }

void LibraryIndex::Refresh(const std::string& path) {
  if (!Covers(path)) return;
  Update(NoProgress());
}

void LibraryIndex::Moved(const std::string& from, const std::string& to) {
  const std::string old_relative = RelativeOf(from);
  const std::string new_relative = RelativeOf(to);
  if (!old_relative.empty() && old_relative != "." && !new_relative.empty() &&
      new_relative != ".") {
    std::vector<CatalogRow> rows = LoadCatalogs();
    auto below = [](const std::string& path, const std::string& top) {
      return path == top || (path.size() > top.size() && path.compare(0, top.size(), top) == 0 &&
                             path[top.size()] == '/');
    };
    Transaction transaction(db_);
    // Whatever the move replaced is gone from the index first.
    for (const CatalogRow& row : rows) {
      if (below(row.path, new_relative) && !below(row.path, old_relative)) RemoveCatalog(row);
    }
    for (const CatalogRow& row : rows) {
      if (!below(row.path, old_relative)) continue;
      const std::string path = new_relative + row.path.substr(old_relative.size());
      statements_->rename_catalog.Bind(1, row.id).Bind(2, path).Run();
    }
    transaction.Commit();
  }
  Update(NoProgress());
}

std::string LibraryIndex::ChooseCandidateQuery(std::vector<std::string> terms, std::int64_t first,
                                               std::int64_t last) {
  if (terms.size() <= 1) return CandidateQuery(terms);
  // How often each trigram occurs among the entries of a stretch in the middle of the scope,
  // counted up to the share above which it is not asked for anyway.
  const std::int64_t span = std::max<std::int64_t>(last - first + 1, 1);
  const std::int64_t stretch = std::min(span, kSampleEntries);
  const std::int64_t start = first + (span - stretch) / 2;
  const std::int64_t rare_below = std::max<std::int64_t>(stretch / kRareShareDivisor, 1);
  std::vector<std::pair<std::int64_t, std::string>> counted;
  Statement& sample = statements_->sample;
  for (std::string& term : terms) {
    sample.Bind(1, term).Bind(2, start).Bind(3, start + stretch - 1).Bind(4, rare_below);
    const std::int64_t count = sample.Step() ? sample.Int(0) : rare_below;
    sample.Reset();
    counted.emplace_back(count, std::move(term));
  }
  // The rarest always; the others while they are rare too. Ties keep the text's order.
  std::stable_sort(counted.begin(), counted.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });
  std::vector<std::string> chosen;
  for (auto& [count, term] : counted) {
    if (chosen.size() == kMostTrigramsPerQuery || (!chosen.empty() && count >= rare_below)) break;
    chosen.push_back(std::move(term));
  }
  return CandidateQuery(chosen);
}

SearchOutcome LibraryIndex::Search(const SearchCriteria& criteria, Progress& progress,
                                   std::stop_token stop, const ResultsArrived& arrived) {
  const SearchMatcher matcher(criteria);
  SearchOutcome outcome;
  if (criteria.scope_path.empty()) return outcome;
  const std::string relative = RelativeOf(criteria.scope_path);
  if (relative.empty()) throw IndexError("The scope lies outside the library.", false);
  // The catalogs of the scope in catalog order, with the paths the file search would give them.
  struct ScopeCatalog {
    CatalogRow row;
    std::string path;
  };
  std::vector<ScopeCatalog> scope;
  for (CatalogRow& row : LoadCatalogs()) {
    std::string path;
    if (criteria.scope_is_directory) {
      const std::string prefix = relative == "." ? "" : relative + "/";
      if (row.path.compare(0, prefix.size(), prefix) != 0) continue;
      path = WithTrailingBackslash(criteria.scope_path) + row.path.substr(prefix.size());
    } else {
      if (row.path != relative) continue;
      path = criteria.scope_path;
    }
    if (!row.readable) {
      ++outcome.skipped_files;
      continue;
    }
    if (row.count > 0) scope.push_back({std::move(row), std::move(path)});
  }

  std::string query;
  if (!scope.empty()) {
    std::int64_t first = scope.front().row.first, last = first;
    for (const ScopeCatalog& catalog : scope) {
      first = std::min(first, catalog.row.first);
      last = std::max(last, catalog.row.first + catalog.row.count - 1);
    }
    query = ChooseCandidateQuery(CandidateTrigrams(criteria), first, last);
  }
  Statement& statement = query.empty() ? statements_->scan : statements_->candidates;
  // With `arrived`, results gather in `part` and are handed over from there.
  SearchOutcome part;
  SearchOutcome& found = arrived ? part : outcome;
  std::size_t reported = 0;
  auto last_report = std::chrono::steady_clock::now();
  auto report = [&](bool force) {
    if (!arrived || part.results.Empty()) return;
    const auto now = std::chrono::steady_clock::now();
    if (!force && reported > 0 && now - last_report < std::chrono::milliseconds(100)) return;
    reported += part.results.Size();
    arrived(std::move(part));
    part = SearchOutcome();
    last_report = now;
  };
  // The FullPath of entry `id`, for entries whose FullPath is kept as their parent's and their
  // name: walked up without recursion (an index of another build may keep folders' paths that
  // way too), folders remembered, since results often share them.
  std::unordered_map<std::int64_t, std::string> folder_paths;
  std::array<std::string, kFieldCount> unpacked;
  ExtraViews extras;
  const auto full_path_of = [&](std::int64_t id) -> std::optional<std::string_view> {
    if (const auto known = folder_paths.find(id); known != folder_paths.end()) return known->second;
    const std::int64_t asked = id;
    std::vector<std::pair<std::int64_t, ParentLink>> chain;  // entries and their links, upwards
    std::optional<std::string> path;
    Statement& lookup = statements_->lookup;
    while (!path) {
      if (const auto known = folder_paths.find(id); known != folder_paths.end()) {
        path = known->second;
        break;
      }
      lookup.Bind(1, id);
      if (!lookup.Step()) {
        lookup.Reset();
        return std::nullopt;
      }
      std::string name(lookup.Text(0).value_or(std::string_view()));
      const std::string rest(lookup.Blob(1));
      lookup.Reset();
      if (auto link = ParentLinkOf(rest, name)) {
        const std::int64_t distance = link->distance;
        if (distance <= 0 || distance >= id) return std::nullopt;  // damaged: always upwards
        chain.emplace_back(id, std::move(*link));
        id -= distance;
        continue;
      }
      std::array<std::string, kFieldCount> fields;
      const auto no_parent = [](std::int64_t) { return std::optional<std::string_view>(); };
      if (!UnpackEntryFields(rest, name, no_parent, &fields)) return std::nullopt;
      path = fields[kFullPath];
      folder_paths.emplace(id, *path);
    }
    for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
      if (it->second.keep > path->size()) return std::nullopt;
      path->resize(it->second.keep);
      *path += it->second.tail;
      folder_paths.emplace(it->first, *path);
    }
    // A view of the remembered path, which stays where it is while the map grows.
    return std::string_view(folder_paths.find(asked)->second);
  };
  std::size_t rows_seen = 0;
  // Catalogs whose entries lie in rising order are read with one query over their whole range.
  for (std::size_t begin = 0; begin < scope.size();) {
    std::size_t end = begin + 1;
    while (end < scope.size() &&
           scope[end].row.first >= scope[end - 1].row.first + scope[end - 1].row.count) {
      ++end;
    }
    statement.Bind(1, scope[begin].row.first)
        .Bind(2, scope[end - 1].row.first + scope[end - 1].row.count - 1);
    if (!query.empty()) statement.Bind(3, query);
    std::size_t current = begin;
    std::optional<std::string> catalog_name;
    progress.SetWaitText(scope[current].path);
    FieldViews fields{};
    while (statement.Step()) {
      const std::int64_t id = statement.Int(0);
      bool next_catalog = false;
      while (current < end && id >= scope[current].row.first + scope[current].row.count) {
        ++current;
        catalog_name.reset();
        next_catalog = true;
      }
      if (current == end) break;
      if (next_catalog) {
        // Looked at between catalogs, as the file search looks between files.
        if (stop.stop_requested()) {
          outcome.cancelled = true;
          break;
        }
        progress.SetWaitText(scope[current].path);
      }
      if (++rows_seen % kPollRows == 0) {
        report(false);
        if (stop.stop_requested()) {
          outcome.cancelled = true;
          break;
        }
      }
      if (id < scope[current].row.first) continue;  // another catalog's entry between ours
      const auto name = statement.Text(1);
      if (!UnpackExtras(statement.Blob(5), &extras)) {
        statement.Reset();
        throw IndexError("The search index holds a damaged entry.", true);
      }
      if (!matcher.Matches(name, statement.Text(2), statement.Text(3), &extras)) continue;
      if (name) progress.SetWaitText(*name);
      const std::string_view file_name = name.value_or(std::string_view());
      const bool unpacked_ok = UnpackEntryFields(
          statement.Blob(4), file_name,
          [&](std::int64_t distance) { return full_path_of(id - distance); }, &unpacked);
      if (!unpacked_ok) {
        statement.Reset();
        throw IndexError("The search index holds a damaged entry.", true);
      }
      for (int i = 0; i < kFieldCount; ++i) fields[i] = unpacked[i];
      fields[kFileName] = file_name;
      fields[kFileExt] = statement.Text(2).value_or(std::string_view());
      fields[kDescription] = statement.Text(3).value_or(std::string_view());
      if (!catalog_name) catalog_name = DisplayNameOf(scope[current].path);
      fields[kCatalogName] = *catalog_name;
      found.results.AddChild(nullptr, fields, extras);
      found.sources.push_back(
          {scope[current].path, static_cast<std::size_t>(id - scope[current].row.first)});
      // The first hundred at once, so that the first screenful shows without waiting.
      if (reported < 100 && reported + part.results.Size() >= 100) report(true);
    }
    statement.Reset();
    if (outcome.cancelled) break;
    begin = end;
  }
  report(true);
  return outcome;
}

std::vector<std::string> CandidateTrigrams(const SearchCriteria& criteria) {
  // The index keeps no columns apart: a trigram found in another field only adds a candidate.
  std::vector<std::string> texts = {criteria.name, criteria.extension, criteria.description,
                                    criteria.meta};
  if (!criteria.regex.empty()) {
    for (std::string& literal : RegexLiterals(criteria.regex, criteria.case_sensitive)) {
      texts.push_back(std::move(literal));
    }
  }
  std::vector<std::string> terms;
  for (const std::string& text : texts) {
    for (std::string& term : TrigramTerms(text)) {
      if (std::find(terms.begin(), terms.end(), term) == terms.end()) {
        terms.push_back(std::move(term));
      }
    }
  }
  return terms;
}

std::string CandidateQuery(const std::vector<std::string>& terms) {
  std::string query;
  for (const std::string& term : terms) {
    if (!query.empty()) query += " AND ";
    query += term;
  }
  return query;
}

std::vector<std::string> RegexLiterals(std::string_view pattern, bool case_sensitive) {
  if (pattern.find('|') != std::string_view::npos || pattern.find("(?") != std::string_view::npos) {
    return {};
  }
  std::vector<std::string> literals;
  std::string run;
  auto flush = [&]() {
    if (!run.empty()) literals.push_back(run);
    run.clear();
  };
  // Drops the last character of the run (it is optional) and ends the run.
  auto drop_last = [&]() {
    while (!run.empty() && (static_cast<unsigned char>(run.back()) & 0xC0) == 0x80) run.pop_back();
    if (!run.empty()) run.pop_back();
    flush();
  };
  auto literal = [&](char c) {
    // Without letter case, the engine folds k, s and non-ASCII letters into characters outside
    // ASCII that the index may fold otherwise: such characters end a run instead.
    const auto byte = static_cast<unsigned char>(c);
    if (!case_sensitive && (byte >= 0x80 || c == 'k' || c == 'K' || c == 's' || c == 'S')) {
      flush();
      return;
    }
    run += c;
  };
  int depth = 0;
  for (std::size_t i = 0; i < pattern.size(); ++i) {
    const char c = pattern[i];
    if (c == '\\') {
      if (i + 1 >= pattern.size()) return {};
      const char next = pattern[++i];
      const bool alnum = (next >= 'a' && next <= 'z') || (next >= 'A' && next <= 'Z') ||
                         (next >= '0' && next <= '9');
      if (!alnum) {
        if (depth == 0) literal(next);
      } else if (std::string_view("dDwWsSbBAz").find(next) != std::string_view::npos) {
        if (depth == 0) flush();
      } else {
        return {};  // \x, \p, \Q and the like: give up rather than misread them
      }
      continue;
    }
    if (c == '[') {
      flush();
      std::size_t j = i + 1;
      if (j < pattern.size() && pattern[j] == '^') ++j;
      if (j < pattern.size() && pattern[j] == ']') ++j;
      while (j < pattern.size() && pattern[j] != ']') {
        if (pattern[j] == '\\') ++j;
        if (j < pattern.size() && pattern[j] == '[' && j + 1 < pattern.size() &&
            pattern[j + 1] == ':') {
          const std::size_t close = pattern.find(":]", j + 2);
          if (close == std::string_view::npos) return {};
          j = close + 1;
        }
        ++j;
      }
      if (j >= pattern.size()) return {};
      i = j;
      continue;
    }
    if (c == '(') {
      flush();
      ++depth;
      continue;
    }
    if (c == ')') {
      --depth;
      continue;
    }
    if (depth > 0) continue;
    switch (c) {
      case '*':
      case '?':
        drop_last();
        break;
      case '{': {
        drop_last();
        const std::size_t close = pattern.find('}', i);
        if (close == std::string_view::npos) return {};
        i = close;
        break;
      }
      case '+':
      case '.':
      case '^':
      case '$':
        flush();
        break;
      default:
        literal(c);
    }
  }
  flush();
  return literals;
}

}  // namespace lumivor
