#include "index/library_index.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <utility>

#include "core/path_text.h"
#include "index/index_tables.h"
#include "index/packed_fields.h"

namespace lumivor {

namespace {

// How long a writer waits for another program's transaction before the index counts as locked.
constexpr int kBusyTimeoutMs = 3000;

}  // namespace

std::string RealPathOf(const std::string& path) {
  char* real = ::realpath(path.c_str(), nullptr);
  if (!real) return std::filesystem::absolute(path).lexically_normal().string();
  std::string result(real);
  std::free(real);
  return result;
}

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

LibraryIndex::LibraryIndex(const LibraryIndex& other, SameFile)
    : root_(other.root_), real_root_(other.real_root_), path_(other.path_) {
  try {
    OpenFile(path_, false, false);
  } catch (const IndexError&) {
    Close();
    throw;
  }
}

LibraryIndex::~LibraryIndex() {
  if (in_read_ && db_) sqlite3_exec(db_, "COMMIT", nullptr, nullptr, nullptr);
  Close();
}

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
  // SQLite counts every allocation under a process-wide mutex unless told not to, before its
  // first use; nothing here reads those counts, and two connections read on two threads.
  static const bool unused_statistics_off = [] {
    sqlite3_config(SQLITE_CONFIG_MEMSTATUS, 0);
    return true;
  }();
  static_cast<void>(unused_statistics_off);
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
    Statement(db_, "PRAGMA cache_size = -256").Run();
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
    row.unhashed = query.Int(9);
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

void LibraryIndex::Refresh(const std::string& path, std::stop_token stop) {
  if (!Covers(path)) return;
  Update(NoProgress(), std::move(stop));
}

void LibraryIndex::Moved(const std::string& from, const std::string& to, std::stop_token stop) {
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
  Update(NoProgress(), std::move(stop));
}

}  // namespace lumivor
