#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/catalog_record.h"
#include "core/fields.h"
#include "core/progress.h"
#include "search/catalog_scanner.h"

namespace lumivor {

// What identifies one state of a catalog file: when any of these change, the file may hold other
// records.
struct FileStamp {
  std::int64_t size = 0;
  std::int64_t mtime_ns = 0;
  std::uint64_t inode = 0;
  std::uint64_t device = 0;

  friend bool operator==(const FileStamp&, const FileStamp&) = default;
};

// One catalog file below a searched directory.
struct CatalogFile {
  std::string relative_path;  // below the directory, "/"-separated, no leading "/"
  FileStamp stamp;
};

// Every regular file below `directory`, at any depth, sorted by its path relative to
// `directory` (byte order), so that a library is searched in the same order on every machine.
// Symbolic links are followed and every directory is entered once. The hidden temporary files of
// saves (IsTemporaryFileName) are no catalogs and are passed over. Sets each entry's path as the
// progress text and polls WaitCancelled after each; false when cancelled (`files` then holds what
// was found so far, unsorted). Directories that cannot be listed are counted in
// `*unreadable_folders` when it is given.
bool ListCatalogFiles(const std::string& directory, Progress& progress,
                      std::vector<CatalogFile>* files, std::size_t* unreadable_folders = nullptr);

// The field values of one element of a catalog file as every search sees them: decoded as the
// XML reader decodes attribute values, nullopt where the element lacks the attribute.
struct ElementValues {
  int depth = 0;  // 1 for the entries directly below the root element
  std::array<std::optional<std::string_view>, kFieldCount> fields{};
  // The element's further attributes (media tags and the like), decoded, in document order;
  // empty when may_match is false.
  ExtraViews extras;
  // False when the element cannot match the needle the file was read with; only FileName is
  // filled then.
  bool may_match = true;
};

// How reading one catalog file ended.
enum class CatalogReadStatus {
  kDone,        // every element was visited
  kStopped,     // the visitor asked to stop
  kPassedOver,  // with a needle: the file cannot hold a match and was not walked
  kMissing,     // no file at the path (gone meanwhile)
  kUnreadable,  // the file cannot be read or is not a well-formed catalog
};

// Reads catalog files element by element, in document order, without building a tree: the one way
// both the file search and the library index read catalogs, so that both see the same values.
// Plain catalog text goes through the fast scanner; anything unusual goes to the full XML reader,
// which is the judge of well-formedness. Keeps its buffer between files.
class CatalogElementReader {
 public:
  using Visit = std::function<bool(const ElementValues&)>;
  CatalogElementReader();
  ~CatalogElementReader();
  CatalogElementReader(const CatalogElementReader&) = delete;
  CatalogElementReader& operator=(const CatalogElementReader&) = delete;

  // Reads the file at `path` and calls `visit` for every element below the root (false from it
  // stops). When the fast scanner gives up part of the way, `restart` is called and the full
  // reader visits every element again from the first, so callers forget what they were given.
  // With `needle`, a complete file without it is passed over, and elements that cannot hold it
  // get may_match false. `stamp` receives the stamp of the file as read.
  CatalogReadStatus Read(const std::string& path, const Needle* needle, const Visit& visit,
                         const std::function<void()>& restart, FileStamp* stamp = nullptr);

 private:
  int ReadIntoBuffer(const std::string& path, FileStamp* stamp);
  enum class FastResult { kDone, kStopped, kUnsupported };
  FastResult ScanBuffer(const char* begin, const char* end, const Needle* needle,
                        const Visit& visit);
  CatalogReadStatus ParseBuffer(const Visit& visit);

  std::unique_ptr<char[]> buffer_;
  std::size_t capacity_ = 0;
  std::size_t size_ = 0;
};

}  // namespace lumivor
