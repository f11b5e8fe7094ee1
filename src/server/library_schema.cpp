#include "server/library_schema.h"

#include <string>

namespace lumivor {

namespace {

// The key of the advisory lock held while migrations run ("lumivor" in ASCII, folded to 63 bits).
constexpr std::string_view kMigrationLock = "SELECT pg_advisory_xact_lock(7815606940291395186)";

constexpr std::string_view kNameIndex =
    "CREATE INDEX entries_name_trgm ON entries USING gin (file_name gin_trgm_ops)";
constexpr std::string_view kDescriptionIndex =
    "CREATE INDEX entries_description_trgm ON entries USING gin (description gin_trgm_ops)"
    " WHERE description IS NOT NULL";
constexpr std::string_view kExtrasIndex =
    "CREATE INDEX entries_extras_trgm ON entries USING gin (extra_values(extras) gin_trgm_ops)"
    " WHERE extras IS NOT NULL";

}  // namespace

const std::vector<EntryIndex>& EntryIndexes() {
  static const std::vector<EntryIndex> indexes = {
      {"name_trgm", "USING gin (file_name gin_trgm_ops)"},
      {"description_trgm", "USING gin (description gin_trgm_ops) WHERE description IS NOT NULL"},
      {"extras_trgm", "USING gin (extra_values(extras) gin_trgm_ops) WHERE extras IS NOT NULL"}};
  return indexes;
}

std::string EntryIndexStatement(const EntryIndex& index, std::string_view table) {
  return "CREATE INDEX " + std::string(table) + "_" + std::string(index.suffix) + " ON " +
         std::string(table) + " " + std::string(index.definition);
}

const std::vector<Migration>& LibraryMigrations() {
  static const std::vector<Migration> migrations = {
      {1,
       {
           "CREATE EXTENSION IF NOT EXISTS pg_trgm",
           "CREATE TABLE library_version (version integer NOT NULL)",
           "INSERT INTO library_version VALUES (0)",
           // Groups by their path below the library ("Mp3", "Mp3/Live"); "" is the library's top.
           "CREATE TABLE library_groups (path text COLLATE \"C\" PRIMARY KEY,"
           " modified bigint NOT NULL DEFAULT 0)",
           "INSERT INTO library_groups VALUES ('')",
           // A catalog as it would lie in a folder library: its group and its file name
           // ("Name.xml"), with the size and time the file had (or would have).
           "CREATE TABLE catalogs ("
           " id bigserial PRIMARY KEY,"
           " group_path text COLLATE \"C\" NOT NULL REFERENCES library_groups (path)"
           "  ON UPDATE CASCADE ON DELETE CASCADE,"
           " file_name text COLLATE \"C\" NOT NULL,"
           " byte_size bigint NOT NULL DEFAULT 0,"
           " modified bigint NOT NULL DEFAULT 0,"
           " entries bigint NOT NULL DEFAULT 0,"
           " UNIQUE (group_path, file_name))",
           // One row per record, in document pre-order (ord from 0). Sizes, times and lengths are
           // numbers; a value whose text is not the number's plain form (or is empty) is kept as
           // written in `odd` (field name, text, ...), so that every catalog comes back as it
           // went in. `extras` holds the further attributes as name, value, name, value.
           "CREATE TABLE entries ("
           " catalog_id bigint NOT NULL REFERENCES catalogs (id) ON DELETE CASCADE,"
           " ord integer NOT NULL,"
           " parent_ord integer,"
           " depth integer NOT NULL,"
           " file_name text,"
           " full_path text,"
           " file_size bigint,"
           " file_time bigint,"
           " file_ext text,"
           " file_type text,"
           " description text,"
           " name_length integer,"
           " path_length integer,"
           " size_share text,"
           " odd text[],"
           " extras text[],"
           " PRIMARY KEY (catalog_id, ord))",
           // The values of the further attributes as one text, for their trigram index.
           "CREATE FUNCTION extra_values(text[]) RETURNS text LANGUAGE sql IMMUTABLE PARALLEL SAFE"
           " AS $$ SELECT string_agg($1[i], E'\\n' ORDER BY i)"
           " FROM generate_subscripts($1, 1) AS i WHERE i % 2 = 0 $$",
           // Substring search picks its candidates through these; the program's own matching
           // rule decides on them.
           kNameIndex,
           kDescriptionIndex,
           kExtrasIndex,
       }},
      {2,
       {
           // A foreign key on entries checks every row written, one query each, which made a
           // load several times slower. The entries of a catalog go with it through a trigger on
           // catalogs instead; every write of entries locks or makes its catalog's row first.
           "ALTER TABLE entries DROP CONSTRAINT entries_catalog_id_fkey",
           "CREATE FUNCTION drop_catalog_entries() RETURNS trigger LANGUAGE plpgsql AS $$"
           " BEGIN DELETE FROM entries WHERE catalog_id IN (SELECT id FROM gone); RETURN NULL;"
           " END $$",
           "CREATE TRIGGER catalogs_drop_entries AFTER DELETE ON catalogs"
           " REFERENCING OLD TABLE AS gone FOR EACH STATEMENT"
           " EXECUTE FUNCTION drop_catalog_entries()",
       }},
      {3,
       {
           // The transaction that last set the entry's description. A catalog written back after
           // a long update keeps the descriptions others set since it was read: those whose
           // transaction the reading snapshot did not see.
           "ALTER TABLE entries ADD COLUMN edited xid8",
       }},
      {4,
       {
           // A statement that deleted no catalog leaves entries alone: it neither waits for
           // others' locks on them nor plans a delete there.
           "CREATE OR REPLACE FUNCTION drop_catalog_entries() RETURNS trigger LANGUAGE plpgsql"
           " AS $$ BEGIN IF EXISTS (SELECT 1 FROM gone) THEN"
           " DELETE FROM entries WHERE catalog_id IN (SELECT id FROM gone); END IF;"
           " RETURN NULL; END $$",
       }},
      {5,
       {
           // A function with settings of its own is never inlined: the planner no longer parses
           // its body in every new session that plans a query on entries (which took longer
           // than the search itself), and the body always finds the built-in functions.
           "ALTER FUNCTION extra_values(text[]) SET search_path = pg_catalog",
           // Entries are split by ranges of catalog ids, so that a push into an empty library
           // can load and index several parts at once, each on its own connection, and attach
           // them when all are done. The rows so far become the part that takes every catalog
           // no other part covers; their indexes are kept and attached, not made again.
           "ALTER TABLE entries RENAME TO entries_rest",
           "ALTER TABLE entries_rest RENAME CONSTRAINT entries_pkey TO entries_rest_pkey",
           "ALTER INDEX entries_name_trgm RENAME TO entries_rest_name_trgm",
           "ALTER INDEX entries_description_trgm RENAME TO entries_rest_description_trgm",
           "ALTER INDEX entries_extras_trgm RENAME TO entries_rest_extras_trgm",
           "CREATE TABLE entries (LIKE entries_rest) PARTITION BY RANGE (catalog_id)",
           "ALTER TABLE entries ADD CONSTRAINT entries_pkey PRIMARY KEY (catalog_id, ord)",
           kNameIndex,
           kDescriptionIndex,
           kExtrasIndex,
           "ALTER TABLE entries ATTACH PARTITION entries_rest DEFAULT",
       }},
  };
  return migrations;
}

int KnownLibraryVersion() { return LibraryMigrations().back().version; }

int LibraryVersionOn(pg::Connection& connection) {
  const pg::Result table = connection.Exec("SELECT to_regclass('library_version') IS NOT NULL");
  if (table.Text(0, 0) != "t") return 0;
  const pg::Result version = connection.Exec("SELECT max(version) FROM library_version");
  return static_cast<int>(version.Int(0, 0));
}

void PrepareLibrarySchema(pg::Connection& connection) {
  const auto newer_refusal = [](int version) {
    return pg::ServerError("The library on the server has layout version " +
                               std::to_string(version) + ", newer than this program knows (" +
                               std::to_string(KnownLibraryVersion()) +
                               "). Please use a newer version of Lumivor.",
                           pg::FailureKind::kOther, {});
  };
  // The usual case in one round trip: a library of this program's layout.
  try {
    const pg::Result known = connection.Exec("SELECT max(version) FROM library_version");
    if (known.Int(0, 0) == KnownLibraryVersion()) return;
  } catch (const pg::ServerError& error) {
    if (error.SqlState() != "42P01") throw;  // anything but "no such table"
  }
  int version = LibraryVersionOn(connection);
  if (version == KnownLibraryVersion()) return;
  if (version > KnownLibraryVersion()) throw newer_refusal(version);

  pg::Transaction transaction(connection);
  connection.Exec(kMigrationLock);
  // Another program may have migrated while this one waited for the lock.
  version = LibraryVersionOn(connection);
  if (version > KnownLibraryVersion()) throw newer_refusal(version);
  try {
    for (const Migration& migration : LibraryMigrations()) {
      if (migration.version <= version) continue;
      for (std::string_view statement : migration.statements) connection.Exec(statement);
      connection.Exec("UPDATE library_version SET version = $1",
                      {std::to_string(migration.version)});
    }
    transaction.Commit();
  } catch (const pg::ServerError& error) {
    if (error.Kind() == pg::FailureKind::kReadOnly) {
      throw pg::ServerError(
          std::string(version == 0 ? "The library on the server has not been created yet"
                                   : "The library on the server needs an upgrade") +
              ", and this role may not do it: " + error.what(),
          pg::FailureKind::kReadOnly, error.SqlState());
    }
    throw;
  }
}

}  // namespace lumivor
