#include "server/server_library.h"

#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <charconv>
#include <ctime>
#include <exception>
#include <map>
#include <optional>
#include <set>
#include <thread>

#include "catalog/catalog_edit.h"
#include "catalog/catalog_file.h"
#include "catalog/catalog_reader.h"
#include "catalog/catalog_writer.h"
#include "catalog/fields.h"
#include "core/atomic_file.h"
#include "core/errors.h"
#include "core/path_text.h"
#include "library/catalog_enumerator.h"
#include "server/entry_rows.h"
#include "server/library_schema.h"

namespace lumivor {

namespace {

// The group path and name of "Group/Sub/Name".
std::pair<std::string, std::string> SplitCatalogName(std::string_view catalog) {
  const std::size_t slash = catalog.rfind('/');
  if (slash == std::string_view::npos) return {std::string(), std::string(catalog)};
  return {std::string(catalog.substr(0, slash)), std::string(catalog.substr(slash + 1))};
}

std::string JoinGroup(std::string_view group, std::string_view name) {
  if (group.empty()) return std::string(name);
  return std::string(group) + "/" + std::string(name);
}

std::string_view LastPart(std::string_view path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

std::string_view ParentGroup(std::string_view path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string_view::npos ? std::string_view() : path.substr(0, slash);
}

constexpr std::string_view kCatalogColumns = "id, group_path, file_name, byte_size, modified";

ServerCatalog CatalogOfRow(const pg::Result& rows, int row) {
  return {rows.Int(row, 0), std::string(rows.Text(row, 1)), std::string(rows.Text(row, 2)),
          rows.Int(row, 3), rows.Int(row, 4)};
}

// The pattern for LIKE and ILIKE that finds `text` anywhere (or, `whole`, as the whole value):
// the pattern characters of `text` escaped.
std::string LikePattern(std::string_view text, bool whole) {
  std::string pattern = whole ? "" : "%";
  for (const char c : text) {
    if (c == '%' || c == '_' || c == '\\') pattern += '\\';
    pattern += c;
  }
  if (!whole) pattern += '%';
  return pattern;
}

// Counts the bytes a catalog's text takes, for the size the listing shows.
class ByteCounter final : public RecordSink {
 public:
  ByteCounter() : writer_([this](std::string_view piece) { bytes_ += piece.size(); }) {}
  bool Add(const RecordView& record) override { return writer_.Add(record); }
  void Finish() override { writer_.Finish(); }
  [[nodiscard]] std::int64_t Bytes() const { return static_cast<std::int64_t>(bytes_); }

 private:
  std::size_t bytes_ = 0;
  CatalogWriter writer_;
};

// Hands every record to two sinks.
class TeeSink final : public RecordSink {
 public:
  TeeSink(RecordSink& a, RecordSink& b) : a_(a), b_(b) {}
  bool Add(const RecordView& record) override {
    const bool more_a = a_.Add(record);
    const bool more_b = b_.Add(record);
    return more_a && more_b;
  }
  void Finish() override {
    a_.Finish();
    b_.Finish();
  }
  void Restart() override {
    a_.Restart();
    b_.Restart();
  }

 private:
  RecordSink& a_;
  RecordSink& b_;
};

}  // namespace

std::string ServerCatalog::RelativePath() const { return JoinGroup(group, file_name); }

std::string ServerCatalog::DisplayName() const { return file_name.substr(0, file_name.find('.')); }

ServerLibrary::ServerLibrary(std::string conninfo) : ServerLibrary(std::move(conninfo), true) {}

ServerLibrary::ServerLibrary(std::string conninfo, bool check_layout)
    : conninfo_(std::move(conninfo)), connection_(std::make_unique<pg::Connection>(conninfo_)) {
  if (check_layout) {
    PrepareLibrarySchema(*connection_);
  } else {
    layout_checked_ = false;
  }
}

SearchOutcome ServerLibrary::SearchAt(const std::string& conninfo, const SearchCriteria& criteria,
                                      std::string_view scope, Progress& progress,
                                      std::stop_token stop) {
  ServerLibrary library(conninfo, false);
  return library.Search(criteria, scope, progress, std::move(stop));
}

ServerLibrary::~ServerLibrary() = default;

void ServerLibrary::Reconnect() {
  auto connection = std::make_unique<pg::Connection>(conninfo_);
  PrepareLibrarySchema(*connection);
  connection_ = std::move(connection);
}

std::string ServerLibrary::Location() const { return pg::RedactedConnInfo(conninfo_); }

// --- Catalogs -------------------------------------------------------------------------------

std::vector<ServerCatalog> ServerLibrary::Catalogs(std::string_view group) {
  // Ordered as the folder search orders catalog files: by their path below the library, bytes.
  const pg::Result rows = connection_->Exec(
      "SELECT id, group_path, file_name, byte_size, modified FROM catalogs"
      " WHERE $1 = '' OR group_path = $1 OR left(group_path, length($1) + 1) = $1 || '/'"
      " ORDER BY CASE WHEN group_path = '' THEN file_name ELSE group_path || '/' || file_name END"
      " COLLATE \"C\"",
      {group});
  std::vector<ServerCatalog> catalogs;
  for (int row = 0; row < rows.Rows(); ++row) catalogs.push_back(CatalogOfRow(rows, row));
  return catalogs;
}

ServerCatalog ServerLibrary::FindCatalog(std::string_view catalog) {
  const auto [group, name] = SplitCatalogName(catalog);
  const pg::Result rows = connection_->Exec(
      "SELECT id, group_path, file_name, byte_size, modified FROM catalogs"
      " WHERE group_path = $1 AND (file_name = $2 OR file_name = $2 || '.xml'"
      " OR split_part(file_name, '.', 1) = $2) ORDER BY file_name",
      {group, name});
  // The exact file name first, then the name with ".xml", then the one name shown so.
  for (const std::string& wanted : {name, name + ".xml"}) {
    for (int row = 0; row < rows.Rows(); ++row) {
      if (rows.Text(row, 2) == wanted) return CatalogOfRow(rows, row);
    }
  }
  if (rows.Rows() == 1) return CatalogOfRow(rows, 0);
  if (rows.Rows() == 0) {
    throw LumivorError(std::string(catalog) + ": no such catalog in the library " + Location());
  }
  throw LumivorError(std::string(catalog) + ": several catalogs have that name; name the file");
}

void ServerLibrary::EnsureGroups(std::string_view group) {
  std::string path;
  for (std::string_view rest = group; !rest.empty();) {
    const std::size_t slash = rest.find('/');
    path = JoinGroup(path, rest.substr(0, slash));
    rest = slash == std::string_view::npos ? std::string_view() : rest.substr(slash + 1);
    connection_->ExecPrepared("ensure_group",
                              "INSERT INTO library_groups (path, modified) VALUES ($1, $2)"
                              " ON CONFLICT (path) DO NOTHING",
                              {path, std::to_string(std::time(nullptr))});
  }
}

void ServerLibrary::WriteCatalog(std::string_view group, std::string_view file_name,
                                 std::int64_t byte_size, std::int64_t modified,
                                 const std::function<void(RecordSink&)>& produce,
                                 std::string_view read_snapshot) {
  pg::Transaction transaction(*connection_);
  WriteCatalogRows(group, file_name, byte_size, modified, produce, read_snapshot);
  transaction.Commit();
}

void ServerLibrary::WriteCatalogRows(std::string_view group, std::string_view file_name,
                                     std::int64_t byte_size, std::int64_t modified,
                                     const std::function<void(RecordSink&)>& produce,
                                     std::string_view read_snapshot) {
  EnsureGroups(group);
  std::int64_t catalog_id = 0;
  // The descriptions set since `read_snapshot`: their paths, texts and transactions, and how the
  // entries they are on may be known again after a rename or a move.
  std::vector<KeptDescription> kept;
  if (!read_snapshot.empty()) {
    // The lock waits for edits under way and holds off new ones (Describe shares it) until the
    // commit, so that every edit is either seen here or made on the rows written here.
    const pg::Result existing = connection_->Exec(
        "SELECT id FROM catalogs WHERE group_path = $1 AND file_name = $2 FOR UPDATE",
        {group, file_name});
    if (existing.Rows() > 0) {
      catalog_id = existing.Int(0, 0);
      const std::string id = std::to_string(catalog_id);
      const pg::Result rows = connection_->Exec(
          "SELECT full_path, description, edited::text, file_size::text, file_time::text,"
          " file_type FROM entries WHERE catalog_id = $1"
          " AND edited IS NOT NULL AND full_path IS NOT NULL"
          " AND NOT pg_visible_in_snapshot(edited, $2::pg_snapshot) ORDER BY ord",
          {id, read_snapshot});
      for (int row = 0; row < rows.Rows(); ++row) {
        KeptDescription& one = kept.emplace_back();
        one.path = rows.Text(row, 0);
        one.null = rows.IsNull(row, 1);
        one.text = rows.Text(row, 1);
        one.edited = rows.Text(row, 2);
        if (!rows.IsNull(row, 3) && !rows.IsNull(row, 4)) {
          one.size = rows.Text(row, 3);
          one.time = rows.Text(row, 4);
          if (!rows.IsNull(row, 5)) one.type = rows.Text(row, 5);
        }
      }
      FindTwins(id, kept, &KeptDescription::old_twins);
      connection_->Exec("DELETE FROM entries WHERE catalog_id = $1", {id});
      connection_->Exec("UPDATE catalogs SET byte_size = $2, modified = $3 WHERE id = $1",
                        {id, std::to_string(byte_size), std::to_string(modified)});
    }
  }
  if (catalog_id == 0) {
    // The old catalog of that name goes in the same transaction: others see the old one whole
    // until the new one is committed.
    connection_->ExecPrepared("drop_catalog",
                              "DELETE FROM catalogs WHERE group_path = $1 AND file_name = $2",
                              {group, file_name});
    const pg::Result id = connection_->ExecPrepared(
        "insert_catalog",
        "INSERT INTO catalogs (group_path, file_name, byte_size, modified)"
        " VALUES ($1, $2, $3, $4) RETURNING id",
        {group, file_name, std::to_string(byte_size), std::to_string(modified)});
    catalog_id = id.Int(0, 0);
  }
  connection_->CopyStart(EntryCopyStatement());
  EntryCopySink rows(catalog_id, [this](std::string_view data) { connection_->CopyData(data); });
  try {
    produce(rows);
    rows.Flush();
  } catch (...) {
    // The rows sent so far are discarded with the COPY; the caller's transaction rolls back.
    connection_->CopyAbort();
    throw;
  }
  connection_->CopyEnd();
  const std::string id = std::to_string(catalog_id);
  connection_->ExecPrepared("count_entries", "UPDATE catalogs SET entries = $2 WHERE id = $1",
                            {id, std::to_string(rows.Count())});
  if (!kept.empty()) KeepDescriptions(id, kept);
}

void ServerLibrary::FindTwins(const std::string& id, std::vector<KeptDescription>& kept,
                              std::vector<KeptDescription::Twin> KeptDescription::*twins) {
  std::vector<std::string_view> sizes, times, types;
  bool any = false;
  for (const KeptDescription& one : kept) {
    // An entry that does not lack a size or time is known by them (and its kind).
    const bool known = !one.size.empty() && (twins == &KeptDescription::old_twins || one.renamed);
    any = any || known;
    sizes.push_back(known ? std::string_view(one.size) : std::string_view());
    times.push_back(known ? std::string_view(one.time) : std::string_view());
    types.push_back(known && one.type ? std::string_view(*one.type) : std::string_view());
  }
  if (!any) return;
  const pg::Result rows = connection_->Exec(
      "SELECT k.i, e.ord, e.full_path FROM unnest($2::bigint[], $3::bigint[], $4::text[])"
      " WITH ORDINALITY AS k (size, time, type, i) JOIN entries e ON e.catalog_id = $1"
      " AND e.file_size = k.size AND e.file_time = k.time"
      " AND e.file_type IS NOT DISTINCT FROM k.type AND e.full_path IS NOT NULL",
      {id, pg::ArrayLiteral(sizes), pg::ArrayLiteral(times), pg::ArrayLiteral(types)});
  for (int row = 0; row < rows.Rows(); ++row) {
    (kept[static_cast<std::size_t>(rows.Int(row, 0) - 1)].*twins)
        .push_back({rows.Int(row, 1), std::string(rows.Text(row, 2))});
  }
}

void ServerLibrary::KeepDescriptions(const std::string& id, std::vector<KeptDescription>& kept) {
  // On the first entry of the same path.
  std::vector<std::string_view> paths, texts, edits;
  for (const KeptDescription& one : kept) {
    paths.push_back(one.path);
    texts.push_back(one.null ? std::string_view() : std::string_view(one.text));
    edits.push_back(one.edited);
  }
  connection_->Exec(
      "UPDATE entries e SET description = k.description, edited = k.edited::xid8"
      " FROM (SELECT DISTINCT ON (f.full_path) f.ord, k.description, k.edited"
      "  FROM entries f JOIN unnest($2::text[], $3::text[], $4::text[])"
      "   AS k (full_path, description, edited) ON f.full_path = k.full_path"
      "  WHERE f.catalog_id = $1 ORDER BY f.full_path, f.ord) AS k"
      " WHERE e.catalog_id = $1 AND e.ord = k.ord",
      {id, pg::ArrayLiteral(paths), pg::ArrayLiteral(texts), pg::ArrayLiteral(edits)});

  // An entry whose path is gone was renamed or moved when the write knows it again by its size
  // and time (and kind), as an update does: exactly one entry of the old catalog with them is
  // gone, and exactly one entry with them is new. Between two candidates nothing is guessed.
  std::vector<std::string_view> asked;
  for (const KeptDescription& one : kept) {
    asked.push_back(one.path);
    for (const KeptDescription::Twin& twin : one.old_twins) asked.push_back(twin.path);
  }
  const pg::Result present = connection_->Exec(
      "SELECT DISTINCT full_path FROM entries WHERE catalog_id = $1 AND full_path = ANY($2)",
      {id, pg::ArrayLiteral(asked)});
  std::set<std::string, std::less<>> now;
  for (int row = 0; row < present.Rows(); ++row) now.emplace(present.Text(row, 0));
  bool any = false;
  for (KeptDescription& one : kept) {
    one.renamed = !now.contains(one.path) && !one.size.empty();
    any = any || one.renamed;
  }
  if (!any) return;
  FindTwins(id, kept, &KeptDescription::new_twins);
  std::vector<std::string> ords;
  std::vector<std::string_view> moved_texts, moved_edits;
  for (const KeptDescription& one : kept) {
    if (!one.renamed) continue;
    std::set<std::string_view> before;
    std::size_t gone = 0;
    for (const KeptDescription::Twin& twin : one.old_twins) {
      before.insert(twin.path);
      if (!now.contains(twin.path)) ++gone;
    }
    const KeptDescription::Twin* fresh = nullptr;
    std::size_t fresh_count = 0;
    for (const KeptDescription::Twin& twin : one.new_twins) {
      if (before.contains(twin.path)) continue;
      fresh = &twin;
      ++fresh_count;
    }
    if (gone != 1 || fresh_count != 1) continue;
    ords.push_back(std::to_string(fresh->ord));
    moved_texts.push_back(one.null ? std::string_view() : std::string_view(one.text));
    moved_edits.push_back(one.edited);
  }
  if (ords.empty()) return;
  connection_->Exec(
      "UPDATE entries e SET description = k.description, edited = k.edited::xid8"
      " FROM unnest($2::integer[], $3::text[], $4::text[]) AS k (ord, description, edited)"
      " WHERE e.catalog_id = $1 AND e.ord = k.ord",
      {id, pg::ArrayLiteral({ords.begin(), ords.end()}), pg::ArrayLiteral(moved_texts),
       pg::ArrayLiteral(moved_edits)});
}

void ServerLibrary::ReadCatalog(const ServerCatalog& catalog, RecordSink& sink,
                                std::string* read_snapshot) {
  std::optional<pg::Transaction> snapshot;
  if (read_snapshot != nullptr) {
    snapshot.emplace(*connection_);
    connection_->Exec("SET TRANSACTION ISOLATION LEVEL REPEATABLE READ READ ONLY");
    *read_snapshot = connection_->Exec("SELECT pg_current_snapshot()::text").Text(0, 0);
  }
  EntryRecordBuilder builder(catalog.DisplayName());
  bool more = true;
  connection_->Stream(std::string("SELECT ") + std::string(kEntryColumns) +
                          " FROM entries WHERE catalog_id = $1 ORDER BY ord",
                      {std::to_string(catalog.id)}, [&](const pg::Result& row) {
                        if (more) more = sink.Add(builder.Build(row, 0));
                      });
  if (snapshot) snapshot->Commit();
  if (more) sink.Finish();
}

void ServerLibrary::ReadCatalog(std::string_view catalog, RecordSink& sink) {
  ReadCatalog(FindCatalog(catalog), sink);
}

void ServerLibrary::ReplaceCatalog(std::string_view catalog,
                                   const std::function<void(RecordSink&)>& produce) {
  ReplaceCatalog(catalog, produce, {});
}

void ServerLibrary::ReplaceCatalog(std::string_view catalog,
                                   const std::function<void(RecordSink&)>& produce,
                                   std::string_view read_snapshot) {
  const ServerCatalog found = FindCatalog(catalog);
  WriteCatalog(found.group, found.file_name, found.byte_size, std::time(nullptr), produce,
               read_snapshot);
}

EditedCatalog ServerLibrary::EditResult(std::string_view catalog, const ResultSource& source,
                                        const CatalogRecord& shown, int field,
                                        std::string_view text) {
  const ServerCatalog found = FindCatalog(catalog);
  EditedCatalog edited;
  std::string snapshot;
  TreeSink sink(&edited.tree);
  ReadCatalog(found, sink, &snapshot);
  if (!EditAtOrdinal(&edited, source, shown, field, text)) return edited;
  // Written in the order it was read, so the ordinals of the other results stay right.
  WriteCatalog(
      found.group, found.file_name, found.byte_size, std::time(nullptr),
      [&](RecordSink& to) {
        edited.tree.ForEachRecord(
            [&](const CatalogTree::Node*, const RecordView& record) { return to.Add(record); });
      },
      snapshot);
  return edited;
}

NewCatalogPlan ServerLibrary::PlanNewCatalog(std::string_view group, std::string_view name) {
  // The same checks as for a folder library: the catalog may be pulled into one.
  NewCatalogPlan plan = lumivor::PlanNewCatalog("/", group, name);
  plan.missing_groups.clear();
  plan.catalog_file.clear();
  if (!plan.refusal.empty()) return plan;
  const pg::Result rows =
      connection_->Exec("SELECT 1 FROM catalogs WHERE group_path = $1 AND file_name = $2",
                        {group, std::string(name) + ".xml"});
  plan.exists = rows.Rows() > 0;
  return plan;
}

void ServerLibrary::SaveNewCatalog(const NewCatalogPlan& plan, const CatalogTree& tree) {
  ByteCounter counter;
  tree.ForEachRecord(
      [&](const CatalogTree::Node*, const RecordView& record) { return counter.Add(record); });
  counter.Finish();
  WriteCatalog(
      plan.group, plan.name + ".xml", counter.Bytes(), std::time(nullptr), [&](RecordSink& sink) {
        tree.ForEachRecord(
            [&](const CatalogTree::Node*, const RecordView& record) { return sink.Add(record); });
      });
}

// --- Listing --------------------------------------------------------------------------------

CatalogTree ServerLibrary::List(bool groups_only) {
  const std::string location = Location();
  std::vector<ListedItem> items;
  items.push_back({0, location, std::string(kLibraryRootCaption), {}, 0, true});
  std::map<std::string, std::size_t, std::less<>> group_items;
  group_items[""] = 0;
  pg::Transaction snapshot(*connection_);
  connection_->Exec("SET TRANSACTION ISOLATION LEVEL REPEATABLE READ READ ONLY");
  const pg::Result groups =
      connection_->Exec("SELECT path, modified FROM library_groups WHERE path <> '' ORDER BY path");
  // Sorted by path, every group comes after its parent.
  for (int row = 0; row < groups.Rows(); ++row) {
    const std::string path(groups.Text(row, 0));
    const std::int64_t modified = groups.Int(row, 1);
    const auto parent = group_items.find(ParentGroup(path));
    if (parent == group_items.end()) continue;
    items.push_back({parent->second, location + "/" + path, std::string(LastPart(path)),
                     modified != 0 ? FormatFileTime(static_cast<std::time_t>(modified)) : "", 0,
                     true});
    group_items[path] = items.size() - 1;
  }
  if (!groups_only) {
    for (const ServerCatalog& catalog : Catalogs()) {
      const auto parent = group_items.find(catalog.group);
      if (parent == group_items.end()) continue;
      items.push_back({parent->second, location + "/" + catalog.RelativePath(),
                       catalog.DisplayName(),
                       FormatFileTime(static_cast<std::time_t>(catalog.modified)),
                       static_cast<std::uint64_t>(catalog.byte_size), false});
    }
  }
  snapshot.Commit();
  return LibraryTreeOf(std::move(items));
}

// --- Edits ----------------------------------------------------------------------------------

DescribeOutcome ServerLibrary::Describe(std::string_view catalog, std::string_view entry_path,
                                        std::string_view text,
                                        const std::optional<std::string>& expect) {
  // The entry is found, and the text stored, as the catalog reader cleans texts.
  std::string clean_path, clean_text;
  if (SanitizeText(entry_path, &clean_path)) entry_path = clean_path;
  if (SanitizeText(text, &clean_text)) text = clean_text;
  const ServerCatalog found = FindCatalog(catalog);
  const std::string id = std::to_string(found.id);
  pg::Transaction transaction(*connection_);
  // A catalog being written back after an update holds its row until it is done; the edit
  // waits for it, then lands on the rows it wrote.
  if (connection_->Exec("SELECT 1 FROM catalogs WHERE id = $1 FOR KEY SHARE", {id}).Rows() == 0) {
    throw LumivorError(std::string(catalog) + ": no such catalog in the library " + Location());
  }
  // The row is locked until the commit: a second editor of the same entry waits here, then
  // reads the text the first one committed.
  const pg::Result rows = connection_->Exec(
      "SELECT ord, description FROM entries WHERE catalog_id = $1 AND full_path = $2"
      " ORDER BY ord LIMIT 1 FOR UPDATE",
      {id, entry_path});
  if (rows.Rows() == 0) {
    throw LumivorError(std::string(entry_path) + ": no such entry in the catalog " +
                       std::string(catalog));
  }
  const std::string current(rows.Text(0, 1));
  if (expect && *expect != current) return {DescribeOutcome::Status::kConflict, current};
  connection_->Exec(
      "UPDATE entries SET description = $3, edited = pg_current_xact_id()"
      " WHERE catalog_id = $1 AND ord = $2",
      {id, rows.Text(0, 0), text.empty() ? pg::Param() : pg::Param(text)});
  connection_->Exec("UPDATE catalogs SET modified = $2 WHERE id = $1",
                    {id, std::to_string(std::time(nullptr))});
  transaction.Commit();
  return {};
}

LibraryChange ServerLibrary::CreateGroup(std::string_view parent, std::string_view name) {
  LibraryChange change{{}, JoinGroup(parent, name)};
  change.refusal = LibraryNameRefusal(name);
  if (!change.refusal.empty()) return change;
  pg::Transaction transaction(*connection_);
  const pg::Result parent_rows =
      connection_->Exec("SELECT 1 FROM library_groups WHERE path = $1", {parent});
  if (parent_rows.Rows() == 0) throw LumivorError(std::string(parent) + ": no such group");
  const pg::Result inserted = connection_->Exec(
      "INSERT INTO library_groups (path, modified) VALUES ($1, $2) ON CONFLICT DO NOTHING",
      {change.path, std::to_string(std::time(nullptr))});
  if (inserted.Affected() == 0) change.refusal = kNameExists;
  transaction.Commit();
  return change;
}

LibraryChange ServerLibrary::Rename(std::string_view item, std::string_view name, bool catalog) {
  pg::Transaction transaction(*connection_);
  LibraryChange change;
  if (catalog) {
    const ServerCatalog found = FindCatalog(item);
    change.path = JoinGroup(found.group, name);
    change.refusal = LibraryNameRefusal(name, kMaxCatalogNameBytes);
    if (!change.refusal.empty()) return change;
    const pg::Result taken =
        connection_->Exec("SELECT 1 FROM catalogs WHERE group_path = $1 AND file_name = $2",
                          {found.group, std::string(name) + ".xml"});
    if (taken.Rows() > 0) {
      change.refusal = kNameExists;
      return change;
    }
    connection_->Exec("UPDATE catalogs SET file_name = $2 WHERE id = $1",
                      {std::to_string(found.id), std::string(name) + ".xml"});
  } else {
    change.path = JoinGroup(ParentGroup(item), name);
    change.refusal = item.empty() ? kInvalidName : LibraryNameRefusal(name);
    if (!change.refusal.empty()) return change;
    const pg::Result taken =
        connection_->Exec("SELECT 1 FROM library_groups WHERE path = $1", {change.path});
    if (taken.Rows() > 0) {
      change.refusal = kNameExists;
      return change;
    }
    const pg::Result moved = connection_->Exec(
        "UPDATE library_groups SET path = $2 || substr(path, length($1) + 1)"
        " WHERE path = $1 OR left(path, length($1) + 1) = $1 || '/'",
        {item, change.path});
    if (moved.Affected() == 0) throw LumivorError(std::string(item) + ": no such group");
  }
  transaction.Commit();
  return change;
}

void ServerLibrary::Delete(std::string_view item, bool catalog) {
  if (catalog) {
    const ServerCatalog found = FindCatalog(item);
    connection_->Exec("DELETE FROM catalogs WHERE id = $1", {std::to_string(found.id)});
    return;
  }
  if (item.empty()) throw LumivorError("The library's top is never deleted");
  const pg::Result deleted = connection_->Exec(
      "DELETE FROM library_groups WHERE path = $1 OR left(path, length($1) + 1) = $1 || '/'",
      {item});
  if (deleted.Affected() == 0) throw LumivorError(std::string(item) + ": no such group");
}

MoveResult ServerLibrary::Move(std::string_view item, bool catalog, std::string_view target_group,
                               Prompts& prompts) {
  if (!catalog && (target_group == item ||
                   target_group.substr(0, item.size() + 1) == std::string(item) + "/")) {
    return {false, "Cannot move " + std::string(item) + " into itself or one of its own groups."};
  }
  pg::Transaction transaction(*connection_);
  const pg::Result target =
      connection_->Exec("SELECT 1 FROM library_groups WHERE path = $1", {target_group});
  if (target.Rows() == 0) return {false, std::string(target_group) + ": no such group"};
  if (catalog) {
    const ServerCatalog found = FindCatalog(item);
    if (found.group == target_group) return {true, {}};
    const pg::Result taken =
        connection_->Exec("SELECT id FROM catalogs WHERE group_path = $1 AND file_name = $2",
                          {target_group, found.file_name});
    if (taken.Rows() > 0) {
      if (!prompts.AskYesNo(kWarningCaption, kReplaceItemQuestion, MessageIcon::kQuestion)) {
        return {false, {}};
      }
      connection_->Exec("DELETE FROM catalogs WHERE id = $1", {taken.Text(0, 0)});
    }
    connection_->Exec("UPDATE catalogs SET group_path = $2 WHERE id = $1",
                      {std::to_string(found.id), target_group});
  } else {
    const std::string to = JoinGroup(target_group, LastPart(item));
    if (to == item) return {true, {}};
    const pg::Result taken =
        connection_->Exec("SELECT 1 FROM library_groups WHERE path = $1", {to});
    if (taken.Rows() > 0) {
      if (!prompts.AskYesNo(kWarningCaption, kReplaceItemQuestion, MessageIcon::kQuestion)) {
        return {false, {}};
      }
      connection_->Exec(
          "DELETE FROM library_groups WHERE path = $1 OR left(path, length($1) + 1) = $1 || '/'",
          {to});
    }
    connection_->Exec(
        "UPDATE library_groups SET path = $2 || substr(path, length($1) + 1)"
        " WHERE path = $1 OR left(path, length($1) + 1) = $1 || '/'",
        {item, to});
  }
  transaction.Commit();
  return {true, {}};
}

// --- Push and pull --------------------------------------------------------------------------

namespace {

// A catalog file of a push, and the catalog it becomes.
struct PushedCatalog {
  std::string path;  // the file
  std::string group, file_name;
  std::int64_t byte_size = 0;
  std::int64_t modified = 0;
  std::int64_t id = 0;
  std::int64_t entries = 0;
};

// Stops a part when another part failed.
struct PartStopped {};

// A part of entries loaded on a connection of its own: a table of the catalogs with ids from
// `first` to below `end`, attached to entries once every part is done. The parts' ranges follow
// each other and reach from the least id to the greatest (`lower` and `upper`, empty where
// open), so that every catalog made later has a part too.
struct LoadPart {
  std::string table;
  std::vector<PushedCatalog*> catalogs;
  std::int64_t first = 0;
  std::int64_t end = 0;
  std::string lower, upper;
  bool committed = false;

  // The range in an ATTACH statement, and as a constraint on the part's rows.
  [[nodiscard]] std::string Bounds() const {
    return "FROM (" + (lower.empty() ? "MINVALUE" : lower) + ") TO (" +
           (upper.empty() ? "MAXVALUE" : upper) + ")";
  }
  [[nodiscard]] std::string Check() const {
    std::string check = "catalog_id IS NOT NULL";
    if (!lower.empty()) check += " AND catalog_id >= " + lower;
    if (!upper.empty()) check += " AND catalog_id < " + upper;
    return check;
  }
};

// Loads `part` on `connection` in a transaction of its own: the table, its rows through one COPY,
// then its key and trigram indexes, each built once over all rows. `columns` are the columns of
// entries as a table definition. Stops (and keeps nothing) when `failed` is set by another part.
void LoadEntriesPart(pg::Connection& connection, LoadPart& part, const std::string& columns,
                     Progress* progress, const std::atomic<bool>& failed) {
  pg::Transaction transaction(connection);
  connection.Exec("SET LOCAL maintenance_work_mem = '256MB'");
  // The parts are built at once, one per core: helpers for the key's sort would only take turns
  // with the other parts, and their sorted runs are merged again.
  connection.Exec("SET LOCAL max_parallel_maintenance_workers = 0");
  // The part's commit need not wait for its log to reach the disk: nobody sees the part before
  // the push's own commit attaches it, and that commit waits for the log up to it, the parts'
  // included.
  connection.Exec("SET LOCAL synchronous_commit = off");
  // The range as a constraint of its own spares the attach a scan of every row.
  connection.Exec("CREATE TABLE " + part.table + " (" + columns + ", CONSTRAINT " + part.table +
                  "_range CHECK (" + part.Check() + "))");
  // Frozen rows, since the table is new in this transaction: the index builds below and every
  // later reader take them as visible without looking up the transaction that wrote them, and
  // no later vacuum has to freeze them. They cannot be seen early: entries shows them only once
  // the push commits, with the catalogs they belong to.
  connection.CopyStart(EntryCopyStatement(part.table, true));
  try {
    CatalogFileReader reader;
    for (PushedCatalog* catalog : part.catalogs) {
      if (failed) throw PartStopped();
      if (progress != nullptr) progress->SetWaitText(catalog->path);
      EntryCopySink rows(catalog->id, [&](std::string_view data) { connection.CopyData(data); });
      // A file that is no readable catalog stops the push; nothing is kept.
      if (reader.Read(catalog->path, rows) != CatalogReadStatus::kDone) {
        throw LumivorError(reader.Error());
      }
      rows.Flush();
      catalog->entries = rows.Count();
    }
  } catch (...) {
    connection.CopyAbort();
    throw;
  }
  connection.CopyEnd();
  connection.Exec("ALTER TABLE " + part.table + " ADD CONSTRAINT " + part.table +
                  "_pkey PRIMARY KEY (catalog_id, ord)");
  for (const EntryIndex& index : EntryIndexes()) {
    if (failed) throw PartStopped();
    connection.Exec(EntryIndexStatement(index, part.table));
  }
  transaction.Commit();
  part.committed = true;
}

void DropEntryParts(const std::string& conninfo, const std::vector<LoadPart>& parts) noexcept {
  // The parts are committed tables of their own until attached: nobody else would remove them.
  try {
    pg::Connection connection(conninfo);
    for (const LoadPart& part : parts) {
      if (part.committed) connection.Exec("DROP TABLE IF EXISTS " + part.table);
    }
  } catch (const std::exception&) {
    // The server went: the tables stay, outside entries, where no search sees them.
  }
}

// Drops the parts of entries there are: they hold nothing (entries are empty), the one for
// catalogs no other part takes included, so that searches plan over as few parts as there are
// cores.
void DropOldEntryParts(pg::Connection& main) {
  const pg::Result old_parts = main.Exec(
      "SELECT quote_ident(c.relname) FROM pg_inherits i JOIN pg_class c ON c.oid = i.inhrelid"
      " WHERE i.inhparent = 'entries'::regclass");
  for (int row = 0; row < old_parts.Rows(); ++row) {
    main.Exec("DROP TABLE " + std::string(old_parts.Text(row, 0)));
  }
}

// The columns of entries as the server has them, as a table definition.
std::string EntryColumns(pg::Connection& main) {
  return std::string(main.Exec("SELECT string_agg(quote_ident(attname) || ' ' ||"
                               " format_type(atttypid, atttypmod) || CASE WHEN attnotnull"
                               " THEN ' NOT NULL' ELSE '' END, ', ' ORDER BY attnum)"
                               " FROM pg_attribute WHERE attrelid = 'entries'::regclass"
                               " AND attnum > 0 AND NOT attisdropped")
                         .Text(0, 0));
}

// One part per core (the server's work is the larger share: parsing rows and building the
// indexes), at most four, with `catalogs` dealt out by size, the largest first to the lightest
// part.
std::vector<LoadPart> DealOutCatalogs(std::vector<PushedCatalog>& catalogs) {
  const std::size_t cores = std::max(1u, std::thread::hardware_concurrency());
  std::vector<LoadPart> parts(std::min<std::size_t>({cores, 4, catalogs.size()}));
  std::vector<std::int64_t> weights(parts.size(), 0);
  std::vector<PushedCatalog*> by_size;
  for (PushedCatalog& catalog : catalogs) by_size.push_back(&catalog);
  std::stable_sort(by_size.begin(), by_size.end(),
                   [](const auto* a, const auto* b) { return a->byte_size > b->byte_size; });
  for (PushedCatalog* catalog : by_size) {
    const std::size_t lightest = static_cast<std::size_t>(
        std::min_element(weights.begin(), weights.end()) - weights.begin());
    parts[lightest].catalogs.push_back(catalog);
    weights[lightest] += catalog->byte_size + 1;
  }
  return parts;
}

// Makes the catalogs' rows on `main`, part by part, so that each part has ids of its own range,
// and gives every part its table's name and its bounds. An old catalog of the same path goes in
// the same transaction.
void MakePartCatalogs(pg::Connection& main, std::vector<LoadPart>& parts) {
  for (LoadPart& part : parts) {
    for (PushedCatalog* catalog : part.catalogs) {
      main.ExecPrepared("drop_catalog",
                        "DELETE FROM catalogs WHERE group_path = $1 AND file_name = $2",
                        {catalog->group, catalog->file_name});
      catalog->id =
          main.ExecPrepared("insert_catalog",
                            "INSERT INTO catalogs (group_path, file_name, byte_size,"
                            " modified) VALUES ($1, $2, $3, $4) RETURNING id",
                            {catalog->group, catalog->file_name, std::to_string(catalog->byte_size),
                             std::to_string(catalog->modified)})
              .Int(0, 0);
      part.end = std::max(part.end, catalog->id + 1);
      part.first = part.first == 0 ? catalog->id : std::min(part.first, catalog->id);
    }
    part.table = "entries_load_" + std::to_string(part.first);
  }
  for (std::size_t i = 0; i < parts.size(); ++i) {
    if (i > 0) parts[i].lower = std::to_string(parts[i - 1].end);
    if (i + 1 < parts.size()) parts[i].upper = std::to_string(parts[i].end);
  }
}

// Loads every part on a connection of its own to `conninfo`, all at once, the first on this
// thread (it shows the progress). On a failure, drops the parts made and raises the first
// failure.
void LoadPartsAtOnce(const std::string& conninfo, std::vector<LoadPart>& parts,
                     const std::string& columns, Progress& progress) {
  std::atomic<bool> failed = false;
  std::vector<std::exception_ptr> errors(parts.size());
  const auto load = [&](std::size_t i) {
    try {
      pg::Connection connection(conninfo);
      LoadEntriesPart(connection, parts[i], columns, i == 0 ? &progress : nullptr, failed);
    } catch (...) {
      errors[i] = std::current_exception();
      failed = true;
    }
  };
  std::vector<std::thread> threads;
  for (std::size_t i = 1; i < parts.size(); ++i) threads.emplace_back(load, i);
  load(0);
  for (std::thread& thread : threads) thread.join();
  if (!failed) return;
  DropEntryParts(conninfo, parts);
  // A failure is the reason; the other parts only stopped because of it.
  for (const std::exception_ptr& error : errors) {
    try {
      if (error) std::rethrow_exception(error);
    } catch (const PartStopped&) {
    }
  }
  throw LumivorError("The push stopped");
}

// Loads the entries of `catalogs` as parts of their own, several at once, each on its own
// connection to `conninfo`; makes the catalogs' rows on `main` (in its transaction, which holds
// entries locked). Returns the parts, committed and ready to attach; on a failure, drops those
// made and raises the first failure.
std::vector<LoadPart> LoadEntryParts(pg::Connection& main, const std::string& conninfo,
                                     std::vector<PushedCatalog>& catalogs, Progress& progress) {
  if (catalogs.empty()) return {};
  DropOldEntryParts(main);
  const std::string columns = EntryColumns(main);
  std::vector<LoadPart> parts = DealOutCatalogs(catalogs);
  MakePartCatalogs(main, parts);
  LoadPartsAtOnce(conninfo, parts, columns, progress);
  return parts;
}

}  // namespace

std::uint64_t ServerLibrary::Push(const std::string& folder, Progress& progress) {
  std::vector<LibraryItem> items;
  EnumerateOptions options;
  if (!EnumerateLibrary(folder, options, &items)) return 0;
  const std::string top = WithTrailingBackslash(folder);
  // The whole push is one transaction: the library gets all of it or nothing.
  pg::Transaction transaction(*connection_);
  const auto empty = [&] {
    return connection_->Exec("SELECT NOT EXISTS (SELECT 1 FROM entries)").Text(0, 0) == "t";
  };
  // Loading parts of entries and attaching them takes the owner's rights over entries and the
  // right to make tables; a role that may only write rows pushes catalog by catalog.
  bool bulk = connection_
                      ->Exec(
                          "SELECT pg_has_role(relowner, 'USAGE') AND"
                          " has_schema_privilege(relnamespace, 'CREATE')"
                          " FROM pg_class WHERE oid = 'entries'::regclass")
                      .Text(0, 0) == "t" &&
              empty();
  if (bulk) {
    // Nobody may write entries meanwhile; one who did before the lock makes this no bulk load.
    connection_->Exec("LOCK TABLE entries IN ACCESS EXCLUSIVE MODE");
    bulk = empty();
  }
  std::vector<PushedCatalog> catalogs;
  for (const LibraryItem& item : items) {
    // Two-second resolution, as the folder listing shows times.
    std::int64_t modified = item.info.st_mtim.tv_sec;
    modified -= ((modified % 2) + 2) % 2;
    if (item.group) {
      EnsureGroups(item.relative_path);
      connection_->Exec("UPDATE library_groups SET modified = $2 WHERE path = $1",
                        {item.relative_path, std::to_string(modified)});
      continue;
    }
    catalogs.push_back({top + item.relative_path, std::string(ParentGroup(item.relative_path)),
                        std::string(LastPart(item.relative_path)), item.info.st_size, modified});
  }
  if (!bulk) {
    // Into a library others already use: catalog by catalog, the indexes kept up to date.
    CatalogFileReader reader;
    for (const PushedCatalog& catalog : catalogs) {
      progress.SetWaitText(catalog.path);
      WriteCatalogRows(catalog.group, catalog.file_name, catalog.byte_size, catalog.modified,
                       [&](RecordSink& sink) {
                         if (reader.Read(catalog.path, sink) != CatalogReadStatus::kDone) {
                           throw LumivorError(reader.Error());
                         }
                       });
    }
    const pg::Result count = connection_->Exec("SELECT coalesce(sum(entries), 0) FROM catalogs");
    transaction.Commit();
    return static_cast<std::uint64_t>(count.Int(0, 0));
  }
  std::vector<LoadPart> parts = LoadEntryParts(*connection_, conninfo_, catalogs, progress);
  try {
    for (const LoadPart& part : parts) {
      connection_->Exec("ALTER TABLE entries ATTACH PARTITION " + part.table + " FOR VALUES " +
                        part.Bounds());
    }
    std::vector<std::string> ids, counts;
    for (const PushedCatalog& catalog : catalogs) {
      ids.push_back(std::to_string(catalog.id));
      counts.push_back(std::to_string(catalog.entries));
    }
    connection_->Exec(
        "UPDATE catalogs c SET entries = n.entries FROM unnest($1::bigint[], $2::bigint[])"
        " AS n (id, entries) WHERE c.id = n.id",
        {pg::ArrayLiteral({ids.begin(), ids.end()}),
         pg::ArrayLiteral({counts.begin(), counts.end()})});
    const pg::Result count = connection_->Exec("SELECT coalesce(sum(entries), 0) FROM catalogs");
    transaction.Commit();
    return static_cast<std::uint64_t>(count.Int(0, 0));
  } catch (...) {
    DropEntryParts(conninfo_, parts);
    throw;
  }
}

std::uint64_t ServerLibrary::Pull(const std::string& folder, Progress& progress) {
  ::mkdir(folder.c_str(), 0777);
  const std::string top = WithTrailingBackslash(folder);
  const pg::Result groups =
      connection_->Exec("SELECT path FROM library_groups WHERE path <> '' ORDER BY path");
  for (int row = 0; row < groups.Rows(); ++row) {
    const std::string directory = top + std::string(groups.Text(row, 0));
    if (::mkdir(directory.c_str(), 0777) != 0 && errno != EEXIST) {
      throw LumivorError(directory + ": " + SystemMessage(errno));
    }
  }
  std::uint64_t entries = 0;
  for (const ServerCatalog& catalog : Catalogs()) {
    const std::string path = top + catalog.RelativePath();
    progress.SetWaitText(path);
    AtomicFile file(path);
    CatalogWriter writer([&](std::string_view piece) { file.Write(piece); });
    struct Counting final : RecordSink {
      explicit Counting(RecordSink& to) : target(to) {}
      bool Add(const RecordView& record) override {
        ++count;
        return target.Add(record);
      }
      void Finish() override { target.Finish(); }
      RecordSink& target;
      std::uint64_t count = 0;
    } counting(writer);
    ReadCatalog(catalog, counting);
    file.Commit();
    entries += counting.count;
  }
  return entries;
}

// --- Search ---------------------------------------------------------------------------------

namespace {

// The ids of the catalogs of `scope` as an array literal ("{1,2}"): the catalog it names, else
// the group with everything below it; nullopt when the group holds no catalog.
std::optional<std::string> CatalogIdsOfScope(ServerLibrary& library, std::string_view scope) {
  const pg::Result group =
      library.Connection().Exec("SELECT 1 FROM library_groups WHERE path = $1", {scope});
  std::vector<ServerCatalog> catalogs;
  if (group.Rows() > 0) {
    catalogs = library.Catalogs(scope);
  } else {
    catalogs.push_back(library.FindCatalog(scope));
  }
  if (catalogs.empty()) return std::nullopt;
  std::string ids = "{";
  for (const ServerCatalog& catalog : catalogs) {
    if (ids.size() > 1) ids += ',';
    ids += std::to_string(catalog.id);
  }
  ids += '}';
  return ids;
}

// The query for a search's candidates, with its parameters. They are views of `patterns` and of
// the catalog ids the query was made for, which must outlive it; moving keeps the patterns where
// they are.
struct CandidateQuery {
  CandidateQuery() = default;
  CandidateQuery(const CandidateQuery&) = delete;
  CandidateQuery& operator=(const CandidateQuery&) = delete;
  CandidateQuery(CandidateQuery&&) = default;

  std::string sql;
  std::vector<std::string> patterns;
  std::vector<pg::Param> params;
};

// Candidates through the trigram indexes: every criterion as a LIKE pattern on its column. LIKE
// finds a superset of what the matching rule takes (ILIKE folds at least ASCII letters); the rule
// decides. Catalogs come in the order of their paths (bytes), as the folder search takes catalog
// files. `ids`: the catalogs searched (CatalogIdsOfScope; empty: all). With `check_layout`, the
// query fails unless the library has this program's layout.
CandidateQuery CandidateQueryOf(const SearchCriteria& criteria, bool check_layout,
                                const std::string& ids) {
  CandidateQuery query;
  std::string& sql = query.sql;
  std::vector<pg::Param>& params = query.params;
  sql = "SELECT e.catalog_id, c.catalog_group, c.catalog_file, " + std::string(kEntryColumns) +
        " FROM entries e JOIN (SELECT id AS catalog, group_path AS catalog_group,"
        "  file_name AS catalog_file, row_number() OVER (ORDER BY"
        "  CASE WHEN group_path = '' THEN file_name ELSE group_path || '/' || file_name END"
        "  COLLATE \"C\") AS place FROM catalogs) c ON c.catalog = e.catalog_id WHERE ";
  if (check_layout) {
    // Not this program's layout (or none): the query fails (reading a setting nobody made),
    // and the layout is looked at as a new connection does.
    sql += "CASE WHEN (SELECT max(version) FROM library_version) = " +
           std::to_string(KnownLibraryVersion()) +
           " THEN TRUE ELSE current_setting('lumivor.other_layout')::boolean END";
  } else if (ids.empty()) {
    sql += "TRUE";
  } else {
    sql += "e.catalog_id = ANY($1::bigint[])";
    params.emplace_back(ids);
  }
  // At most four patterns: the parameters view them where they are.
  std::vector<std::string>& patterns = query.patterns;
  patterns.reserve(4);
  const char* like = criteria.case_sensitive ? " LIKE " : " ILIKE ";
  const auto add = [&](const std::string& text, std::string_view column) {
    if (text.empty()) return;
    patterns.push_back(LikePattern(text, criteria.whole_field));
    sql += " AND ";
    sql += column;
    sql += like;
    sql += "$" + std::to_string(params.size() + 1);
    params.emplace_back(patterns.back());
  };
  add(criteria.name, "e.file_name");
  add(criteria.extension, "e.file_ext");
  add(criteria.description, "e.description");
  if (!criteria.meta.empty()) {
    // Any one value holds the text; the values joined hold it too.
    patterns.push_back(LikePattern(criteria.meta, false));
    sql += " AND e.extras IS NOT NULL AND extra_values(e.extras)";
    sql += like;
    sql += "$" + std::to_string(params.size() + 1);
    params.emplace_back(patterns.back());
  }
  if (!criteria.regex.empty() || criteria.name.empty()) sql += " AND e.file_name IS NOT NULL";
  sql += " ORDER BY c.place, e.ord";
  return query;
}

// Takes the rows of a search's candidate query in their order into `outcome`: those the matching
// rule takes, each with its catalog on the server at `location` as the source.
class CandidateRows {
 public:
  CandidateRows(const SearchMatcher& matcher, std::string location, SearchOutcome* outcome)
      : matcher_(matcher), location_(std::move(location)), outcome_(*outcome) {}

  // Takes `row`: the catalog's id, group and file name, then the entry's columns.
  void Take(const pg::Result& row) {
    Source& source = SourceOf(row);
    const RecordView& record = source.builder.Build(row, 3);
    const auto present = [](std::string_view value) {
      return value.data() != nullptr ? std::optional<std::string_view>(value) : std::nullopt;
    };
    if (!matcher_.Matches(present(record.fields[kFileName]), present(record.fields[kFileExt]),
                          present(record.fields[kDescription]), &record.extras)) {
      return;
    }
    outcome_.results.AddChild(nullptr, record.fields, record.extras);
    outcome_.sources.push_back({source.path, static_cast<std::size_t>(source.builder.Ordinal())});
  }

 private:
  struct Source {
    EntryRecordBuilder builder;
    std::string path;  // the catalog as a source of results
  };

  // The source of the catalog of `row`, made when it is the first row of its catalog.
  Source& SourceOf(const pg::Result& row) {
    const std::int64_t catalog_id = row.Int(0, 0);
    auto source = sources_.find(catalog_id);
    if (source == sources_.end()) {
      const ServerCatalog catalog{catalog_id, std::string(row.Text(0, 1)),
                                  std::string(row.Text(0, 2)), 0, 0};
      source = sources_
                   .emplace(catalog_id, Source{EntryRecordBuilder(catalog.DisplayName()),
                                               location_ + "/" + catalog.RelativePath()})
                   .first;
    }
    return source->second;
  }

  const SearchMatcher& matcher_;
  const std::string location_;
  SearchOutcome& outcome_;
  std::map<std::int64_t, Source> sources_;
};

}  // namespace

SearchOutcome ServerLibrary::Search(const SearchCriteria& typed, std::string_view scope,
                                    Progress& progress, std::stop_token stop) {
  // The rows hold the texts the catalog reader cleaned: so must the patterns.
  const SearchCriteria criteria = WithCleanTexts(typed);
  const SearchMatcher matcher(criteria);
  SearchOutcome outcome;
  // The scope: one catalog when it names one, else a group with everything below it. The whole
  // library needs no look-up first: the search is then one round trip to the server.
  if (!layout_checked_ && !scope.empty()) {
    PrepareLibrarySchema(*connection_);
    layout_checked_ = true;
  }
  const bool check_layout = !layout_checked_;
  std::string ids;
  if (!scope.empty()) {
    std::optional<std::string> scope_ids = CatalogIdsOfScope(*this, scope);
    if (!scope_ids) return outcome;
    ids = std::move(*scope_ids);
  }
  const CandidateQuery query = CandidateQueryOf(criteria, check_layout, ids);

  CandidateRows rows(matcher, Location(), &outcome);
  std::size_t polled = 0;
  bool cancelled = false;
  try {
    connection_->Stream(query.sql, query.params, [&](const pg::Result& row) {
      if (cancelled) return;
      if (++polled % 4096 == 0 && stop.stop_requested()) {
        cancelled = true;
        return;
      }
      rows.Take(row);
    });
  } catch (const pg::ServerError& error) {
    if (!check_layout || error.Kind() == pg::FailureKind::kConnectionLost) throw;
    PrepareLibrarySchema(*connection_);
    layout_checked_ = true;
    return Search(typed, scope, progress, std::move(stop));
  }
  layout_checked_ = true;
  outcome.cancelled = cancelled;
  return outcome;
}

}  // namespace lumivor
