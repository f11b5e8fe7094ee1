#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "catalog/catalog_tree.h"
#include "core/record_sink.h"
#include "scan/local_time_converter.h"

namespace lumivor {

// What a listing tells of one entry.
struct ImportEntry {
  std::string_view name;  // the entry's own name (nested listings)
  bool directory = false;
  bool has_size = false;
  std::uint64_t size = 0;
  bool has_time = false;
  std::int64_t mtime = 0;  // seconds since the epoch
  std::string_view description;
  ExtraViews extras;  // Hash, LinkId, ReadError, Excluded ...
};

// How many entries an import recorded and passed over.
struct ImportCounts {
  std::size_t entries = 0;  // records written, the top records included
  std::size_t folders = 0;
  std::size_t files = 0;
  std::size_t hashed = 0;   // records with a Hash
  std::size_t skipped = 0;  // entries of the listing that were not recorded
  ImportCounts& operator+=(const ImportCounts& other);
};

// The entries of one listing as they are read, before they become a catalog: a tree whose nodes
// hold only what the listing said (name, kind, a file's size, time, further attributes). Paths,
// extensions, lengths, folder sizes and shares are derived once the listing is complete
// (EmitCatalog), the way a scan derives them, so that a listing that names a folder after its
// contents or lists paths in any order still gives a scan's catalog.
//
// Nested listings add children to nodes they hold; path listings place each entry by its path,
// making the folders above it when the listing does not name them (found again through an index
// of folder names, so a million paths cost no walk each).
class ImportTree {
 public:
  // `top_name`: the name of the listed root, the catalog's top record.
  explicit ImportTree(std::string_view top_name);

  [[nodiscard]] CatalogTree::Node* Top() const { return top_; }
  [[nodiscard]] const std::string& TopName() const { return top_name_; }
  void SetTopName(std::string_view name) { top_name_ = name; }
  // Sets a further attribute of the top record (volume facts, the date of the listing).
  void SetTopExtra(std::string_view name, std::string_view value);
  // Sets the Description of the top record.
  void SetTopDescription(std::string_view text);

  // Adds `entry` as the last child of `parent` (the top when null) and returns it. A name that is
  // not an entry name (IsEntryName) is passed over (counted as skipped) and null is returned.
  CatalogTree::Node* AddChild(CatalogTree::Node* parent, const ImportEntry& entry);
  // False for a name that cannot be one entry of a folder: empty, ".", ".." or holding a "/".
  [[nodiscard]] static bool IsEntryName(std::string_view name);
  // Replaces what `node` holds by `entry` (for listings that name a folder after its contents).
  void Fill(CatalogTree::Node* node, const ImportEntry& entry);

  // Places `entry` at `path`, relative to the top: components are separated by "/", empty ones
  // and "." are dropped; a path that climbs with ".." is passed over, as is a second entry for a
  // path already listed. The path of no component is the top itself, whose time and further
  // attributes the entry then gives. Returns false when the entry was passed over.
  bool Place(std::string_view path, const ImportEntry& entry);

  // Counts an entry the reader passed over itself.
  void Skip() { ++skipped_; }
  [[nodiscard]] std::size_t Skipped() const { return skipped_; }
  [[nodiscard]] std::size_t Size() const { return tree_.Size(); }

  // For path listings: while the top holds exactly one folder that the listing never named itself
  // and nothing else, that folder becomes the top, its path the top's name ("/" and "tmp" and
  // "t" become "/tmp/t"). Absolute listings name every path from "/", not from the listed root.
  void DescendToListedRoot();

  // Writes the catalog: the top record (FileName and FullPath the top's name, FileType
  // "directory", FileSize the sum below it, SizePercentage "100", no time or lengths, as a scan's
  // top), then every entry in pre-order with FullPath, FileExt, lengths, folder sums and shares
  // derived as a scan derives them and `catalog_name` as CatalogName. Calls sink.Finish().
  // Returns what was written; false from the sink stops it (the counts then cover what went).
  ImportCounts Emit(std::string_view catalog_name, RecordSink& sink);
  // The same catalog as text, in pieces, to `write`: a large tree is cut into parts whose texts
  // are made on up to `threads` threads (WriteCatalogParts), the text the same byte for byte.
  ImportCounts WriteCatalog(std::string_view catalog_name,
                            const std::function<void(std::string_view)>& write,
                            std::size_t threads);

 private:
  // The children `first` to `last` - 1 of `parent` (at depth `depth`) with everything below them,
  // or (`alone`) only the record of child `first`; `parent_path` is the parent's FullPath and
  // `parent_points` its length in code points.
  struct Stretch {
    const CatalogTree::Node* parent;
    std::size_t first, last;
    int depth;
    std::string parent_path;
    std::size_t parent_points;
    bool alone;
  };
  bool EmitTop(std::string_view catalog_name, std::string_view total_text, RecordSink& sink,
               ImportCounts* counts) const;
  bool EmitStretch(const Stretch& stretch, std::string_view catalog_name, double total,
                   RecordSink& sink, ImportCounts* counts) const;
  // The records below the top cut into stretches of about `records` records in pre-order; empty
  // when the tree is too deep to be cut.
  [[nodiscard]] std::vector<Stretch> CutBelowTop(std::size_t records) const;

  void Record(const ImportEntry& entry, FieldViews& fields, char (&size_text)[24],
              char (&time_text)[40]);
  // Adds `entry` named `name` below `parent` the fast way when it is a plain one (see the
  // definition); null, with nothing added, when it is not.
  CatalogTree::Node* AddPlain(CatalogTree::Node* parent, const ImportEntry& entry,
                              std::string_view name);
  CatalogTree::Node* Find(CatalogTree::Node* parent, std::string_view clean_name) const;
  void Index(CatalogTree::Node* node);
  void Grow();
  [[nodiscard]] std::size_t Slot(const CatalogTree::Node* parent, std::string_view name) const;

  CatalogTree tree_;
  CatalogTree::Node* top_ = nullptr;
  std::string top_name_;
  std::size_t skipped_ = 0;
  LocalTimeConverter times_;
  std::string clean_;
  // Folders (and files) placed by path, by parent and name: open addressing, null for free.
  std::vector<CatalogTree::Node*> slots_;
  std::size_t indexed_ = 0;
  // Folders made because a path passed through them, not (yet) named by the listing.
  std::unordered_set<const CatalogTree::Node*> implied_;
};

}  // namespace lumivor
