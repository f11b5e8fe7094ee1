#pragma once

#include <optional>
#include <string>
#include <vector>

#include "import/import_tree.h"
#include "import/listing_reader.h"

namespace lumivor {

// One import of a listing into the library, as the command line and the import dialog ask it.
struct ImportRequest {
  std::string source;                   // the listing's path; "-" for the standard input
  std::optional<ListingFormat> format;  // none: told from the content
  std::string folder;                   // where the catalogs go: the library or a group folder
  std::string name;                     // the catalog's name (a prefix for several media)
  bool force = false;                   // replace catalogs of the same names
};

// What an import made.
struct ImportOutcome {
  ListingFormat format = ListingFormat::kNcdu;
  std::vector<std::string> catalogs;  // the catalog files written, in the listing's order
  ImportCounts counts;                // over all of them
};

// The refusal of a catalog that exists when `force` is not given.
[[nodiscard]] std::string CatalogExistsText(const std::string& path);

// The catalog names for the media of one listing: `name` for one medium; for several, `name`,
// "-" and the medium's own name made fit to name a file (characters that cannot stand in a
// catalog name become "_"), numbered where two would be the same.
[[nodiscard]] std::vector<std::string> MediumCatalogNames(const std::string& name,
                                                          const std::vector<ListedMedium>& media);

// Reads the listing and writes its catalogs, each replacing an old one only once it is complete.
// Every catalog's name and file are checked before any is written; a damaged or truncated listing,
// a cancel (ImportCancelled) or a failed write leaves no catalog behind. Raises LumivorError with
// a line for the user ("FILE: line L: REASON" for a damaged listing). The caller tells the
// library's index of the catalogs written (LibraryChanges).
ImportOutcome ImportListing(const ImportRequest& request, const ImportControl& control = {});

// The summary line of an import: "entries=N folders=N files=N hashed=N skipped=N".
[[nodiscard]] std::string ImportCountsText(const ImportCounts& counts);

}  // namespace lumivor
