#pragma once

#include <cstddef>
#include <functional>
#include <stop_token>
#include <string>
#include <string_view>
#include <vector>

#include "catalog/catalog_tree.h"
#include "core/progress.h"
#include "core/prompts.h"
#include "scan/scanner.h"

namespace lumivor {

// The attribute that marks an entry the medium no longer holds; its value is the date
// ("YYYY-MM-DD") of the update that first missed it.
inline constexpr std::string_view kMissingAttribute = "Missing";

// True when `record` is marked as missing from its medium.
[[nodiscard]] bool IsMissing(const CatalogRecord& record);
[[nodiscard]] bool IsMissing(const CatalogTree::Node& node);

// What an update changed, entry by entry. Paths are relative to the catalog's folder, joined by
// "/"; the lists are in the order of the catalog tree.
struct UpdateSummary {
  struct Move {
    std::string from, to;
  };
  std::vector<std::string> added;    // on the medium, new to the catalog
  std::vector<std::string> removed;  // gone from the medium and dropped from the catalog
  std::vector<Move> moved;           // renamed or moved; a moved folder counts once
  std::vector<std::string> changed;  // files at the same place with another size or time
  std::vector<std::string> missing;  // gone from the medium, kept for their descriptions

  // The counts line: "added=N removed=N moved=N changed=N missing=N".
  [[nodiscard]] std::string CountsLine() const;
  // One line per entry ("added PATH", "moved FROM -> TO", ...), grouped by kind; `escape`, when
  // given, is applied to every path (for printing names that hold line breaks).
  [[nodiscard]] std::vector<std::string> Lines(
      std::string (*escape)(std::string_view) = nullptr) const;
};

// How vanished entries are treated.
struct MergeOptions {
  // The Missing value given to entries missed for the first time.
  std::string missing_date;
  // Drop vanished entries even when they carry a description (and entries missing before).
  bool drop_missing = false;
};

// Turns `fresh`, a fresh scan of a catalog's medium, into the updated catalog, given the
// catalog as it was (`old_catalog`). The records of `fresh` stay as scanned; what changes is:
//  - an entry at the same relative path (and of the same kind) takes the old entry's
//    description;
//  - among the entries left over on both sides, a folder and a folder of the same name holding
//    the same entries (names, sizes and times at every depth), or failing a same-named one the
//    same non-empty content, are the same folder moved or renamed; then a file and a file of the
//    same size and time are the same file. A match needs exactly one candidate on each side:
//    between two candidates nothing is guessed;
//  - an old entry left without a match goes, unless it carries a description: then it is added
//    back at its old place (under the entry its parent became), marked Missing, without a size
//    share. Folders are kept too where they hold such an entry.
// The top records are the same entry whatever their names (the medium may be mounted elsewhere).
UpdateSummary MergeUpdate(const CatalogTree& old_catalog, CatalogTree* fresh,
                          const MergeOptions& options);

// Removes every entry marked Missing (with everything below it); returns how many records went.
std::size_t RemoveMissingEntries(CatalogTree* tree);

// The number of records of the catalog file at `path` that hold a description: what replacing the
// catalog by a new scan of its folder would lose, where an update keeps them. Read as a stream
// (memory does not grow with the catalog). Raises LumivorError when the file cannot be read.
[[nodiscard]] std::size_t CountDescriptions(const std::string& path,
                                            Progress& progress = NoProgress());
// "1 description" or "N descriptions".
[[nodiscard]] std::string DescriptionCountText(std::size_t count);

// An update of a catalog file from its medium.
struct UpdateRequest {
  // The medium's folder; empty: found from the catalog (its folder, else its volume).
  std::string from;
  // Computes and reports, writes nothing.
  bool dry_run = false;
  // Vanished entries go even with a description.
  bool drop_missing = false;
  // Called on the merged catalog with the folder that was scanned, before it is written (or
  // reported, in a dry run): a further pass over the medium, such as reading content hashes.
  // Returns false when the user cancelled.
  std::function<bool(CatalogTree& merged, const std::string& source)> before_save;
};

struct UpdateOutcome {
  enum class Status {
    kUpdated,    // the catalog file was rewritten
    kDryRun,     // computed, nothing written
    kNoMedium,   // the medium was not found: ask for its folder and try again with `from`
    kCancelled,  // the user cancelled; the catalog file is as it was
  };
  Status status = Status::kUpdated;
  std::string source;  // the folder that was scanned
  UpdateSummary summary;
};

// The folder the catalog whose top record is `top` was made from: the top's FileName, or the
// path within "LABEL(path)".
[[nodiscard]] std::string CatalogSourcePath(const CatalogRecord& top);

// Where the medium of the catalog whose top record is `top` is now: the folder it was made from
// when that is there and on the same volume (by VolumeId) or the volume cannot tell; else the
// same folder on the volume of the same VolumeId (else of the same VolumeLabel) mounted
// elsewhere. Empty when it is not found.
[[nodiscard]] std::string LocateMedium(const CatalogRecord& top);

// Scans the medium of the catalog file again with the catalog's scope, merges (MergeUpdate) with
// the catalog as it was (read while the medium is scanned) and, unless a dry run, writes the
// result over the file atomically. Shows progress with a Cancel button, and tells `listener` (when
// given) which folder the scan reads; a stop requested through `stop` writes nothing (kCancelled).
// When the medium is not found and `request.from` is empty, `prompts` (when given) is asked for its
// folder; no answer gives kNoMedium. Raises LumivorError when the catalog cannot be read or written
// or the folder given is not a readable folder.
UpdateOutcome UpdateCatalogFile(const std::string& catalog_file, const UpdateRequest& request,
                                Progress& progress = NoProgress(), ScanListener* listener = nullptr,
                                Prompts* prompts = nullptr, std::stop_token stop = {});

}  // namespace lumivor
