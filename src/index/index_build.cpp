#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "catalog/catalog_reader.h"
#include "core/path_text.h"
#include "index/index_tables.h"
#include "index/library_index.h"
#include "index/packed_fields.h"
#include "search/catalog_files.h"

namespace lumivor {

namespace {
// The mark of an entry the medium no longer holds (kept for its description): no copy.
constexpr std::string_view kMissingMark = "Missing";
}  // namespace

IndexUpdate LibraryIndex::BuildAfresh(Progress& progress, const std::stop_token& stop) {
  Close();
  const std::string temporary = path_ + ".new-" + std::to_string(::getpid());
  IndexUpdate update;
  try {
    OpenFile(temporary, true, true);
    update = Update(progress, stop);
    // The trigram index in one piece: a query looks each trigram up once instead of once per
    // piece that the build left.
    if (!update.cancelled) {
      Statement(db_, "INSERT INTO entry_text(entry_text) VALUES('optimize')").Run();
      CountContentKeys();
    }
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
           "readable INTEGER NOT NULL, unhashed INTEGER NOT NULL)",
           // An entry with entries below it keeps its FullPath whole in `rest`, so that the path
           // of an entry below it needs one look-up of a row that is mostly on the same page.
           "CREATE TABLE entries(id INTEGER PRIMARY KEY, name TEXT, ext TEXT, description TEXT, "
           "rest BLOB, extras BLOB)",
           // Trigrams of the three searched fields, for candidates only (the rule decides): no
           // copy of the texts, no positions, no sizes, which keeps the index small.
           "CREATE VIRTUAL TABLE entry_text USING fts5(name, ext, description, tags, content='', "
           "tokenize='trigram', detail='none', columnsize=0)",
           // The files of the media with content (size above 0): size and Hash (packed; empty
           // without one) and LinkId, by entry; those with a Hash also in the order of size and
           // hash for finding copies (with the link in the index too, so that the walk over that
           // order reads nothing else). Files without one are left out of that order: they are
           // never copies there, and every one of them would cost a write at a place of its own
           // in the index whenever its catalog is written again.
           "CREATE TABLE contents(id INTEGER PRIMARY KEY, size INTEGER NOT NULL, "
           "hash BLOB NOT NULL, link TEXT)",
           "CREATE INDEX contents_by_key ON contents(size, hash, link) WHERE hash <> x''",
           // How many files of the library have each size and Hash; the keys of two or more in
           // an index of their own, so that finding copies reads the copies alone, not every file.
           "CREATE TABLE content_keys(size INTEGER NOT NULL, hash BLOB NOT NULL, "
           "files INTEGER NOT NULL, PRIMARY KEY(size, hash)) WITHOUT ROWID",
           "CREATE INDEX content_keys_shared ON content_keys(size, hash) WHERE files >= 2",
       }) {
    Statement(db_, sql).Run();
  }
  // A fresh build counts the keys once at its end (CountContentKeys); afterwards each catalog
  // written or removed counts its own contents in or out (CountCatalogContents).
  Statement(db_, "INSERT INTO info(key, value) VALUES('library', ?1)").Bind(1, real_root_).Run();
  Statement(db_, ("PRAGMA user_version = " + std::to_string(kLayoutVersion)).c_str()).Run();
  transaction.Commit();
}

void LibraryIndex::CountContentKeys() {
  Statement(db_,
            "INSERT INTO content_keys(size, hash, files) SELECT size, hash, COUNT(*) "
            "FROM contents INDEXED BY contents_by_key WHERE hash <> x'' GROUP BY size, hash")
      .Run();
}

void LibraryIndex::CountCatalogContents(std::int64_t first, std::int64_t count, bool in) {
  if (count <= 0) return;
  // Prepared here rather than with the statements of every search: once per catalog written.
  const std::int64_t last = first + count - 1;
  if (in) {
    Statement(db_,
              "INSERT INTO content_keys(size, hash, files) SELECT size, hash, COUNT(*) "
              "FROM contents WHERE id BETWEEN ?1 AND ?2 AND hash <> x'' GROUP BY size, hash "
              "ON CONFLICT(size, hash) DO UPDATE SET files = files + excluded.files")
        .Bind(1, first)
        .Bind(2, last)
        .Run();
    return;
  }
  Statement(
      db_,
      "UPDATE content_keys SET files = content_keys.files - gone.files FROM (SELECT size, hash, "
      "COUNT(*) AS files FROM contents WHERE id BETWEEN ?1 AND ?2 AND hash <> x'' "
      "GROUP BY size, hash) AS gone "
      "WHERE content_keys.size = gone.size AND content_keys.hash = gone.hash")
      .Bind(1, first)
      .Bind(2, last)
      .Run();
  Statement(db_,
            "DELETE FROM content_keys WHERE files <= 0 AND (size, hash) IN (SELECT size, hash "
            "FROM contents WHERE id BETWEEN ?1 AND ?2 AND hash <> x'')")
      .Bind(1, first)
      .Bind(2, last)
      .Run();
}

void LibraryIndex::RemoveCatalog(const CatalogRow& row) {
  if (row.count > 0) {
    CountCatalogContents(row.first, row.count, false);
    statements_->delete_text.Bind(1, row.first).Bind(2, row.first + row.count - 1).Run();
    statements_->delete_entries.Bind(1, row.first).Bind(2, row.first + row.count - 1).Run();
    statements_->delete_contents.Bind(1, row.first).Bind(2, row.first + row.count - 1).Run();
  }
  statements_->delete_catalog.Bind(1, row.id).Run();
}

void LibraryIndex::WriteCache() {
  if (bulk_ || write_cache_) return;
  Statement(db_, "PRAGMA cache_size = -32768").Run();
  write_cache_ = true;
}

// The index as the catalog reader's sink: one row per record, numbered from `first` in document
// order, with the content (size, hash, link) of every file of the media.
class LibraryIndex::CatalogRows final : public RecordSink {
 public:
  CatalogRows(Statements& statements, std::int64_t first_id, const std::stop_token& stop_token)
      : sql_(statements), first_(first_id), stop_(stop_token) {}

  bool Add(const RecordView& record) override {
    const std::int64_t id = first_ + count;
    const auto depth = static_cast<std::size_t>(std::max(record.depth, 0)) + 1;
    open_ = std::min(open_, depth - 1);
    const bool has_parent = open_ == depth - 1 && depth > 1;
    Parent* parent = has_parent ? &parents_[open_ - 1] : nullptr;
    FieldValues fields;
    for (int i = 0; i < kFieldCount; ++i) {
      if (record.fields[i].data()) fields[i] = record.fields[i];
    }
    if (parent && !parent->whole) KeepPathWhole(parent);
    PackEntryFields(fields, parent ? std::string_view(parent->values[kFullPath]) : "",
                    parent ? id - parent->id : 0, &packed_);
    // This entry may have entries below it: its fields are kept (in buffers used again).
    if (open_ == depth - 1) Remember(id, fields);
    InsertEntry(id, fields, record.extras);
    AddContent(id, depth, fields, record.extras);
    ++count;
    if (count % kPollRows == 0 && stop_.stop_requested()) {
      cancelled = true;
      return false;
    }
    return true;
  }

  // The fast route gave up part of the way: forget what it gave and take the document route's.
  void Restart() override {
    open_ = 0;
    file_at_.clear();
    if (count > 0) {
      sql_.delete_text.Bind(1, first_).Bind(2, first_ + count - 1).Run();
      sql_.delete_entries.Bind(1, first_).Bind(2, first_ + count - 1).Run();
      sql_.delete_contents.Bind(1, first_).Bind(2, first_ + count - 1).Run();
    }
    count = 0;
    unhashed = 0;
  }

  std::int64_t count = 0;
  std::int64_t unhashed = 0;  // files of some size without a Hash
  bool cancelled = false;

 private:
  // The entry and fields of a record on the way down to the current one, and whether its row
  // keeps its FullPath whole yet.
  struct Parent {
    std::int64_t id = 0;
    std::array<std::string, kFieldCount> values;
    std::array<bool, kFieldCount> present{};
    bool whole = false;
  };

  // The first_ entry below `parent` came: the parent's row keeps its FullPath whole from now on.
  void KeepPathWhole(Parent* parent) {
    FieldValues parent_fields;
    for (int i = 0; i < kFieldCount; ++i) {
      if (parent->present[i]) parent_fields[i] = parent->values[i];
    }
    PackEntryFields(parent_fields, "", 0, &packed_parent_);
    sql_.update_rest.Bind(1, parent->id).BindBlob(2, packed_parent_).Run();
    parent->whole = true;
  }

  void Remember(std::int64_t id, const FieldValues& fields) {
    if (parents_.size() == open_) parents_.emplace_back();
    Parent& self = parents_[open_++];
    self.id = id;
    self.whole = false;
    for (int i = 0; i < kFieldCount; ++i) {
      self.present[i] = fields[i].has_value();
      self.values[i].assign(fields[i].value_or(std::string_view()));
    }
  }

  // The entry's row (with its packed_ fields) and its words for the text index.
  void InsertEntry(std::int64_t id, const FieldValues& fields, const ExtraViews& record_extras) {
    const std::optional<std::string_view> name = fields[kFileName];
    auto non_empty = [](std::optional<std::string_view> value) {
      return value && !value->empty() ? value : std::nullopt;
    };
    const auto ext = non_empty(fields[kFileExt]);
    const auto description = non_empty(fields[kDescription]);
    PackExtras(record_extras, &packed_extras_);
    std::optional<std::string_view> extras;
    std::string tags;
    if (!packed_extras_.empty()) {
      extras = packed_extras_;
      tags = ExtrasText(packed_extras_);
    }
    sql_.insert_entry.Bind(1, id).Bind(2, name).Bind(3, ext).Bind(4, description);
    sql_.insert_entry.BindBlob(5, packed_);
    if (extras) sql_.insert_entry.BindBlob(6, *extras);
    sql_.insert_entry.Run();
    sql_.insert_text.Bind(1, id).Bind(2, name).Bind(3, ext).Bind(4, description);
    sql_.insert_text.Bind(5, extras ? std::optional<std::string_view>(tags) : std::nullopt).Run();
  }

  // A file of the media (not an entry inside an archive, not one marked Missing) with content:
  // its size, hash and link, for finding copies. `depth` counts the top as 1.
  void AddContent(std::int64_t id, std::size_t depth, const FieldValues& fields,
                  const ExtraViews& extras) {
    if (file_at_.size() < depth) file_at_.resize(depth);
    const bool file = fields[kFileType] == kFileTypeText;
    file_at_[depth - 1] = file;
    if (!file || depth < 2 || file_at_[depth - 2]) return;
    std::string_view hash, link;
    for (const ExtraAttribute& extra : extras) {
      if (extra.name == kMissingMark) return;
      if (extra.name == kHashAttribute) hash = extra.value;
      if (extra.name == kLinkIdAttribute) link = extra.value;
    }
    const std::string_view size_text = fields[kFileSize].value_or(std::string_view());
    std::int64_t size = 0;
    const auto parsed =
        std::from_chars(size_text.data(), size_text.data() + size_text.size(), size);
    if (parsed.ec != std::errc() || size <= 0) return;
    if (hash.empty()) ++unhashed;
    sql_.insert_content.Bind(1, id).Bind(2, size).BindBlob(3, PackContentHash(hash));
    sql_.insert_content.Bind(4,
                             link.empty() ? std::nullopt : std::optional<std::string_view>(link));
    sql_.insert_content.Run();
  }

  Statements& sql_;
  const std::int64_t first_;
  const std::stop_token& stop_;
  std::vector<bool> file_at_;  // per depth (the top at 0): the open_ record there is a file
  std::string packed_, packed_parent_, packed_extras_;
  // The records on the way down to the current one: the first_ `open_` of `parents_`.
  std::vector<Parent> parents_;
  std::size_t open_ = 0;
};

bool LibraryIndex::IndexCatalog(const std::string& relative, const CatalogRow* old,
                                const std::stop_token& stop) {
  WriteCache();
  Transaction transaction(db_);
  if (old) RemoveCatalog(*old);
  Statement& next = statements_->next_id;
  const std::int64_t first = next.Step() ? next.Int(0) : 1;
  next.Reset();
  CatalogRows rows(*statements_, first, stop);
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
        .Bind(9, rows.unhashed)
        .Run();
  }
  // A fresh build counts every catalog's contents at its end.
  if (!bulk_) CountCatalogContents(first, rows.count, true);
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
  // The catalogs to read: those new or changed since they were indexed.
  std::vector<std::pair<const CatalogFile*, const CatalogRow*>> changed;
  for (const CatalogFile& file : files) {
    const auto found = known.find(file.relative_path);
    const CatalogRow* old = found == known.end() ? nullptr : found->second;
    // The device number is not compared: some file systems give another one after a restart.
    if (old && old->stamp.size == file.stamp.size && old->stamp.mtime_ns == file.stamp.mtime_ns &&
        old->stamp.inode == file.stamp.inode) {
      continue;
    }
    changed.emplace_back(&file, old);
  }
  const std::string top = WithTrailingBackslash(root_);
  const std::string of_all = " of " + std::to_string(changed.size()) + " catalogs: ";
  for (const auto& [file, old] : changed) {
    progress.SetWaitText("Indexing " + std::to_string(update.read + 1) + of_all + top +
                         file->relative_path);
    if (stop.stop_requested() || !IndexCatalog(file->relative_path, old, stop)) {
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

}  // namespace lumivor
