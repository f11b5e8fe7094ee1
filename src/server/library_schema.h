#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "server/pg_connection.h"

namespace lumivor {

// The layout of a server library, created and upgraded by the program itself: numbered
// migrations, each a list of statements run in one transaction, and one row in library_version
// holding the number of the last migration applied. A server whose layout is newer than the
// program knows is refused, never written to.
struct Migration {
  int version;
  std::vector<std::string_view> statements;
};

// Every migration, in order; the last one's number is the layout this program writes.
[[nodiscard]] const std::vector<Migration>& LibraryMigrations();
[[nodiscard]] int KnownLibraryVersion();

// Brings the library on `connection` to KnownLibraryVersion(): creates it on an empty database
// and applies the missing migrations, one transaction each, with an advisory lock so that two
// programs starting at once do not both apply them. Raises ServerError when the layout is newer
// than the program knows, and when it needs creating or upgrading and the role may not do it.
void PrepareLibrarySchema(pg::Connection& connection);

// The trigram indexes of `entries` as the last migration makes them: the end of each index's name
// (after the table's) and its definition after the table. A part of entries loaded on its own
// gets the same indexes (EntryIndexStatement), so that it can be attached without making them
// again.
struct EntryIndex {
  std::string_view suffix;
  std::string_view definition;
};
[[nodiscard]] const std::vector<EntryIndex>& EntryIndexes();
// The statement that makes `index` on `table`, named TABLE_SUFFIX.
[[nodiscard]] std::string EntryIndexStatement(const EntryIndex& index, std::string_view table);

// The layout version on the server; 0 when there is no library yet.
[[nodiscard]] int LibraryVersionOn(pg::Connection& connection);

}  // namespace lumivor
