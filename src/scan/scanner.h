#pragma once

#include <cstddef>
#include <functional>
#include <stop_token>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "catalog/catalog_tree.h"
#include "core/progress.h"
#include "scan/deep_scan.h"

namespace lumivor {

// Hears how far a scan has got; the command line draws a progress line from it.
class ScanListener {
 public:
  virtual ~ScanListener() = default;
  // Called when the scan enters a folder: the records made so far and the folder's FullPath.
  virtual void FolderEntered(std::size_t records, std::string_view folder) = 0;
};

// What a walk records, fixed for one scan.
struct ScanSettings {
  // Directories only: no files, every directory's FileSize "0".
  bool OnlyFolders = false;
  // Empty for all files; otherwise the upper-case extensions to keep, each with its dot and
  // enclosed by backslashes, such as \.TXT\.DOC\ (the backslashes are delimiters).
  std::string ExtFilter;
  // The CatalogName of every record.
  std::string CatalogName;
  // Told about the walk's headway; may be null.
  ScanListener* listener = nullptr;
  // Looked at before each folder (and each block of entries); once a stop is requested the walk
  // stops where it is.
  std::stop_token stop;
  // Looks into archives and reads tags when set; a cancel it notices ends the walk too.
  DeepScanner* deep = nullptr;
};

// What a walk met besides records.
struct ScanReport {
  // Folders that could not be opened or read to their end; each is recorded with what could be
  // read of it (often nothing) and the further attribute ReadError.
  std::size_t unreadable_folders = 0;
  // Why the scanned folder itself could not be read; empty when it could.
  std::string top_read_error;
  // True when the walk stopped because the user cancelled.
  bool cancelled = false;
  // What the deep scan found, when it was asked for.
  DeepScanCounts deep;
};

// True when a file named `name` is taken under `ExtFilter`: its extension with the dot (from the
// last "." of the name), letters a-z upper-cased, enclosed by backslashes, occurs in the filter.
// A name without extension (no ".", or "." at its end) never passes, nor does one whose
// extension holds a backslash (it would read as several entries of the filter). An empty filter
// takes every name.
[[nodiscard]] bool PassesExtFilter(std::string_view name, std::string_view ExtFilter);

// An ExtFilter read once into a set, so that a walk looks each name's extension up instead of
// searching the filter text for it. Passes gives what PassesExtFilter gives; safe to call from
// several threads at once.
class ExtensionFilter {
 public:
  explicit ExtensionFilter(std::string_view filter);
  // True when the filter takes every name (it is empty).
  [[nodiscard]] bool TakesAll() const { return takes_all_; }
  [[nodiscard]] bool Passes(std::string_view name) const;

 private:
  struct Hash {
    using is_transparent = void;
    std::size_t operator()(std::string_view text) const {
      return std::hash<std::string_view>()(text);
    }
  };
  // The filter's entries as they stand, each with its dot.
  std::unordered_set<std::string, Hash, std::equal_to<>> extensions_;
  std::size_t longest_ = 0;
  bool takes_all_ = true;
};

// The extension a user means by `typed`, in lower case without its dot: blanks around it, one
// leading "*" and then one leading "." are dropped, so "h", ".h", "*.h" and " *.H " all give "h".
// Empty when nothing is left or the rest cannot be the text after a name's last dot (it holds a
// ".", "/", "\", "*" or "?"), as with "*", "*.*" and "tar.gz".
[[nodiscard]] std::string NormalizeExtension(std::string_view typed);
// The refusal of a text that names no extension.
inline constexpr std::string_view kInvalidExtension =
    "Invalid extension. Type an extension such as txt, .txt or *.txt.";

// Why `typed` names no extension (NormalizeExtension gives nothing): an entry holding a dot can
// never match, since a name's extension is the text after its last dot, and says so; any other
// gets kInvalidExtension. Empty when `typed` does name an extension.
[[nodiscard]] std::string ExtensionRefusal(std::string_view typed);

// The extensions of a list typed at once, such as "c, cpp" or "*.c,*.h": the entries between
// commas, each normalized by NormalizeExtension, repeats left out, empty entries skipped. When an
// entry names no extension, `refusal` is its ExtensionRefusal and `extensions` is empty: nothing
// of a list with a mistake in it is taken.
struct ExtensionList {
  std::vector<std::string> extensions;
  std::string refusal;
};
[[nodiscard]] ExtensionList ParseExtensionList(std::string_view typed);

// The filter text for a list of extensions as typed or listed by the new-catalog dialog ("*.txt",
// ".txt", "txt" alike, see NormalizeExtension): a backslash, then each extension with its dot,
// letters a-z upper-cased, followed by a backslash. Entries that name no extension and repeats
// are left out. The list {"*.txt", "Doc"} gives \.TXT\.DOC\; an empty list gives the empty text.
[[nodiscard]] std::string ExtFilterOf(const std::vector<std::string>& entries);

// The notice after a scan that met `count` (> 0) unreadable folders, such as "3 folders could not
// be read; they are catalogued without their contents."
[[nodiscard]] std::string UnreadableFoldersText(std::size_t count);

// Records every directory and file below the folder `dir` as descendants of `parent`, in the
// order the file system lists them. A child's FullPath is its parent's FullPath, a "/" (left out
// when that already ends with "/") and its name. Symbolic links are recorded as files with their
// own size and time and never followed; a folder on another file system than its parent (a
// mount point) is recorded but not entered; sockets, FIFOs and devices are files of size 0 and
// are never opened. A folder that cannot be read is recorded without entries and with the further
// attribute ReadError; no such error ends the walk, and each is counted in the report. Hidden
// entries are recorded like any other. Depth is bounded only by memory.
ScanReport ScanDirectory(CatalogTree& tree, std::string_view dir, CatalogTree::Node* parent,
                         const ScanSettings& settings);

// Removes every directory below and including `node` that holds no file at any depth. Returns
// true when `node` holds a file (and so was kept).
bool PruneEmptyDirectories(CatalogTree& tree, CatalogTree::Node* node);

// Sets the FileSize of every directory below `node` to the sum of the sizes of the files below
// it, and returns the sum for `node` itself (whose own FileSize is left to the caller).
double SumDirectorySizes(CatalogTree::Node* node);

// Sets the SizePercentage of every record: "100" for the first top-level node, whose FileSize is
// the total; every other record its share of that total with two decimals, or "0" when the
// total is 0.
void ComputeSizePercentages(CatalogTree& tree);

// Replaces the content of `tree` by the scan of the folder or drive `path`, and returns the
// ScanRootName (the top record's FileName, with which every FullPath begins).
//
// The top record is named `path`, or "LABEL(path)" when `path` is the root of a drive with a
// volume label. With `OnlyFolders` only directories are recorded and no sizes or percentages are
// computed; with a non-empty `ExtFilter` only files passing it are kept and directories below the
// top left without files are removed (the top record itself always stays). Every
// CatalogName is DisplayNameOf(`catalog_file`). Shows "Loading info.." with the Cancel button
// meanwhile; a cancelled scan leaves `tree` empty. A folder that cannot be read is no failure:
// it is recorded with the further attribute ReadError (the scanned folder too). A scan that
// cannot go on (memory runs out, a thread fails) raises LumivorError, or what it met, and leaves
// `tree` empty: a part of the folder never passes for the whole. When `report` is given it
// receives the count of unreadable folders and whether the scan was cancelled.
//
// The folders are listed by a thread per core (WalkFolder). With `deep` options the walk also
// lists archives and reads tags (DeepScanner), on the calling thread; the report then holds what
// that found.
std::string ScanFolder(CatalogTree* tree, std::string_view path, bool OnlyFolders,
                       std::string_view ExtFilter, std::string_view catalog_file,
                       Progress& progress = NoProgress(), ScanListener* listener = nullptr,
                       ScanReport* report = nullptr, const DeepScanOptions& deep = {},
                       std::stop_token stop = {});

// Scans the folder or drive `path` as ScanFolder does and saves the catalog at `catalog_file` as
// SaveCatalog saves ScanFolder's tree, byte for byte, without holding the tree: the folders are
// listed by a thread per core and kept as listed (FolderListing), and a large catalog's text is
// made from the listings by a thread per core. Shows "Loading info.." and then "Saving info..."
// meanwhile. A cancelled scan saves nothing (the report says it was cancelled) and leaves an
// older catalog in place; a scan that cannot go on raises as ScanFolder does, saving nothing.
// Returns the ScanRootName. Without deep scan: the tree, which that reads into, is needed then.
std::string ScanFolderToCatalog(std::string_view path, bool OnlyFolders, std::string_view ExtFilter,
                                const std::string& catalog_file, Progress& progress = NoProgress(),
                                ScanListener* listener = nullptr, ScanReport* report = nullptr,
                                std::stop_token stop = {});

}  // namespace lumivor
