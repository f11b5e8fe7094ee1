#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "catalog/catalog_tree.h"
#include "core/progress.h"
#include "core/prompts.h"
#include "core/record_sink.h"
#include "library/library.h"
#include "search/result_edit.h"
#include "search/search.h"
#include "server/pg_connection.h"

namespace lumivor {

// A catalog stored on the server.
struct ServerCatalog {
  std::int64_t id = 0;
  std::string group;      // its group's path ("" for the top)
  std::string file_name;  // "Name.xml", as the catalog's file in a folder library
  std::int64_t byte_size = 0;
  std::int64_t modified = 0;  // seconds since 1970
  // The path it would have below a folder library ("Mp3/Name.xml").
  [[nodiscard]] std::string RelativePath() const;
  // The name records carry as CatalogName: the file name cut before its first ".".
  [[nodiscard]] std::string DisplayName() const;
};

// A library on a PostgreSQL server: groups, catalogs and their entries as rows (see
// library_schema.cpp), shared by everyone who connects. Every change is one transaction, so others
// see a catalog whole or not at all; an edit of one description changes one row, so two people
// editing different entries both keep their edits.
class ServerLibrary final : public Library {
 public:
  // Connects to `conninfo` (a URI or key=value string in libpq's syntax) and makes or upgrades
  // the library's tables when needed. Raises pg::ServerError.
  explicit ServerLibrary(std::string conninfo);
  ~ServerLibrary() override;

  // Search on a new connection to `conninfo` for a command that only searches the whole
  // library: the layout is checked in the search's own query, one round trip fewer; a layout
  // other than this program's is then made, upgraded or refused as by the constructor.
  [[nodiscard]] static SearchOutcome SearchAt(const std::string& conninfo,
                                              const SearchCriteria& criteria,
                                              std::string_view scope, Progress& progress,
                                              std::stop_token stop);

  // List on a new connection to `conninfo`, for a command that only lists: the layout is checked
  // in the listing's own statement, as SearchAt does.
  [[nodiscard]] static CatalogTree ListAt(const std::string& conninfo, bool groups_only);

  [[nodiscard]] std::string Location() const override;
  [[nodiscard]] bool IsServer() const override { return true; }
  [[nodiscard]] CatalogTree List(bool groups_only) override;
  [[nodiscard]] NewCatalogPlan PlanNewCatalog(std::string_view group,
                                              std::string_view name) override;
  void SaveNewCatalog(const NewCatalogPlan& plan, const CatalogTree& tree) override;
  void ReadCatalog(std::string_view catalog, RecordSink& sink) override;
  [[nodiscard]] DescribeOutcome Describe(std::string_view catalog, std::string_view entry_path,
                                         std::string_view text,
                                         const std::optional<std::string>& expect) override;
  [[nodiscard]] SearchOutcome Search(const SearchCriteria& criteria, std::string_view scope,
                                     Progress& progress, std::stop_token stop) override;
  [[nodiscard]] LibraryChange CreateGroup(std::string_view parent, std::string_view name) override;
  [[nodiscard]] LibraryChange Rename(std::string_view item, std::string_view name,
                                     bool catalog) override;
  void Delete(std::string_view item, bool catalog) override;
  [[nodiscard]] MoveResult Move(std::string_view item, bool catalog, std::string_view target_group,
                                Prompts& prompts) override;
  void ReplaceCatalog(std::string_view catalog,
                      const std::function<void(RecordSink&)>& produce) override;

  // The catalog `catalog` ("Group/Sub/Name", "Name" at the top; a file name with its ".xml" is
  // taken too). Raises LumivorError when there is none, or several answer to the name.
  [[nodiscard]] ServerCatalog FindCatalog(std::string_view catalog);
  // Every catalog below `group` ("" for all), in the order of their paths (bytes).
  [[nodiscard]] std::vector<ServerCatalog> Catalogs(std::string_view group = {});
  // Writes the records `produce` hands to its sink as the catalog `file_name` in `group` (made
  // with its parents when missing), replacing a catalog of that name, in one transaction:
  // nobody sees it half-written, and a failure leaves what was there. `byte_size` and `modified`
  // are the facts of the catalog file it came from.
  //
  // With `read_snapshot` (from ReadCatalog) the records are a changed copy of the catalog as it
  // was read then: the catalog keeps its identity, and the descriptions others set since then
  // are kept over the copy's, on the first entry of the same FullPath.
  void WriteCatalog(std::string_view group, std::string_view file_name, std::int64_t byte_size,
                    std::int64_t modified, const std::function<void(RecordSink&)>& produce,
                    std::string_view read_snapshot = {});
  // Streams the records of `catalog` in document order into `sink` (Finish at the end). With
  // `read_snapshot`, they are read in one snapshot of the server, whose text goes there.
  void ReadCatalog(const ServerCatalog& catalog, RecordSink& sink,
                   std::string* read_snapshot = nullptr);
  // ReplaceCatalog for a changed copy of the catalog read with `read_snapshot` (WriteCatalog).
  void ReplaceCatalog(std::string_view catalog, const std::function<void(RecordSink&)>& produce,
                      std::string_view read_snapshot);

  // Writes an edit of a search result (ResultEdit's rule) other than of its description into the
  // catalog `catalog`: reads it in one snapshot, finds the record at `source.ordinal` (which must
  // still have the FileName and FullPath of `shown`, else LumivorError kResultMoved), applies
  // the edit (a renamed folder's paths below it follow) and writes the catalog back in one
  // transaction, keeping the descriptions others set meanwhile. A refused edit writes nothing.
  // A description is set with Describe, which refuses to overwrite another's text silently.
  [[nodiscard]] EditedCatalog EditResult(std::string_view catalog, const ResultSource& source,
                                         const CatalogRecord& shown, int field,
                                         std::string_view text);

  // Copies every catalog file of the folder library at `folder` to the server (replacing
  // catalogs of the same path) with its groups, all in one transaction. Returns the number of
  // entries in the library. Raises LumivorError for a file that is not a readable catalog; then
  // nothing of the push is kept.
  std::uint64_t Push(const std::string& folder, Progress& progress);
  // Writes every catalog of the server as a catalog file below `folder` (made when missing),
  // with its groups, files replaced atomically. Returns the number of entries written.
  std::uint64_t Pull(const std::string& folder, Progress& progress);

  // Opens a new connection after the old one was lost (the server restarted, the network came
  // back). Raises pg::ServerError when the server still cannot be reached.
  void Reconnect();

  [[nodiscard]] pg::Connection& Connection() { return *connection_; }

 private:
  void EnsureGroups(std::string_view group);
  // WriteCatalog's work inside the caller's transaction.
  void WriteCatalogRows(std::string_view group, std::string_view file_name, std::int64_t byte_size,
                        std::int64_t modified, const std::function<void(RecordSink&)>& produce,
                        std::string_view read_snapshot = {});
  // A description set by someone else while a copy of its catalog was being changed.
  struct KeptDescription {
    std::string path, text, edited;
    bool null = false;
    // The entry's size, time and kind as numbers' texts; empty size: it cannot be known by them.
    std::string size, time;
    std::optional<std::string> type;
    // The entries with the same size, time and kind in the catalog before and after the write.
    struct Twin {
      std::int64_t ord;
      std::string path;
    };
    std::vector<Twin> old_twins, new_twins;
    bool renamed = false;  // its path is gone from the catalog written
  };
  // Fills `twins` of every kept description (of those renamed, for new_twins) from the rows of
  // the catalog `id` as they are now.
  void FindTwins(const std::string& id, std::vector<KeptDescription>& kept,
                 std::vector<KeptDescription::Twin> KeptDescription::*twins);
  // Puts the kept descriptions on the rows written for the catalog `id`.
  void KeepDescriptions(const std::string& id, std::vector<KeptDescription>& kept);
  // Connects; checks the layout only when `check_layout` (else Search or List does).
  ServerLibrary(std::string conninfo, bool check_layout);
  std::string conninfo_;
  std::unique_ptr<pg::Connection> connection_;
  bool layout_checked_ = true;
};

}  // namespace lumivor
