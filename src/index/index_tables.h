#pragma once

// What the parts of the search index share: its tables' statements, the row of a catalog and
// the constants of the layout. Only the index's own files include this.

#include <cstddef>
#include <cstdint>
#include <string>

#include "index/library_index.h"
#include "index/sqlite_statement.h"
#include "search/catalog_files.h"

namespace lumivor {

// The layout of the tables; an index of another layout is made afresh. 7: texts are stored as the
// catalog reader cleans them; 8: the files of each content are counted (content_keys); 9: only
// files with a Hash are in the order of contents for finding copies, and the counts are kept
// without triggers.
inline constexpr int kLayoutVersion = 9;
// Rows between two polls of Cancel while reading a catalog or searching.
inline constexpr std::size_t kPollRows = 4096;

// The real path of `path`, or its absolute normal form when it has none (it is gone).
[[nodiscard]] std::string RealPathOf(const std::string& path);

struct LibraryIndex::CatalogRow {
  std::int64_t id = 0;
  std::string path;  // relative to the library root
  FileStamp stamp;
  std::int64_t first = 0;
  std::int64_t count = 0;
  bool readable = true;
  std::int64_t unhashed = 0;  // its files of some size without a Hash
};

struct LibraryIndex::ScopeCatalog {
  CatalogRow row;
  std::string path;  // as the file search gives it
};

// The statements a search reads entries with: a range of entries, one entry's name and packed
// fields, and the candidates of an FTS5 query in a range.
inline constexpr const char* kScanSql =
    "SELECT id, name, ext, description, rest, extras FROM entries WHERE id BETWEEN ?1 AND ?2";
inline constexpr const char* kLookupSql = "SELECT name, rest FROM entries WHERE id = ?1";
inline constexpr const char* kSampleAllSql =
    "SELECT COUNT(*) FROM entry_text WHERE entry_text MATCH ?1 AND rowid BETWEEN ?2 AND ?3";
inline constexpr const char* kCandidatesSql =
    "SELECT e.id, e.name, e.ext, e.description, e.rest, e.extras FROM entry_text "
    "JOIN entries AS e ON e.id = entry_text.rowid "
    "WHERE entry_text MATCH ?3 AND entry_text.rowid BETWEEN ?1 AND ?2 "
    "ORDER BY entry_text.rowid";

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
                       "readable, unhashed) VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9)"),
        delete_text(db,
                    "INSERT INTO entry_text(entry_text, rowid, name, ext, description, tags) "
                    "SELECT 'delete', id, name, ext, description, extras_text(extras) "
                    "FROM entries WHERE id BETWEEN ?1 AND ?2"),
        delete_entries(db, "DELETE FROM entries WHERE id BETWEEN ?1 AND ?2"),
        update_rest(db, "UPDATE entries SET rest = ?2 WHERE id = ?1"),
        delete_catalog(db, "DELETE FROM catalogs WHERE id = ?1"),
        next_id(db, "SELECT IFNULL(MAX(id), 0) + 1 FROM entries"),
        catalogs(db,
                 "SELECT id, path, size, mtime, inode, device, first, count, readable, unhashed "
                 "FROM catalogs ORDER BY path"),
        rename_catalog(db, "UPDATE catalogs SET path = ?2 WHERE id = ?1"),
        entry_count(db, "SELECT IFNULL(SUM(count), 0), COUNT(*) FROM catalogs"),
        scan(db, kScanSql),
        lookup(db, kLookupSql),
        sample(db,
               "SELECT COUNT(*) FROM (SELECT rowid FROM entry_text WHERE entry_text MATCH ?1 "
               "AND rowid BETWEEN ?2 AND ?3 LIMIT ?4)"),
        sample_all(db, kSampleAllSql),
        candidates(db, kCandidatesSql),
        insert_content(db, "INSERT INTO contents(id, size, hash, link) VALUES(?1, ?2, ?3, ?4)"),
        delete_contents(db, "DELETE FROM contents WHERE id BETWEEN ?1 AND ?2") {}

  Statement insert_entry, insert_text, insert_catalog, delete_text, delete_entries, update_rest,
      delete_catalog, next_id, catalogs, rename_catalog, entry_count, scan, lookup, sample,
      sample_all, candidates, insert_content, delete_contents;
};

// A Hash value as the index keeps it: the algorithm's name and the digits as bytes (half the
// room of the hex text); a value of another shape as it stands.
[[nodiscard]] std::string PackContentHash(std::string_view hash);
// The Hash value that PackContentHash packed.
[[nodiscard]] std::string UnpackContentHash(std::string_view packed);

}  // namespace lumivor
