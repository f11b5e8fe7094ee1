#pragma once

#include <optional>
#include <stop_token>
#include <string>
#include <string_view>

#include "catalog/catalog_tree.h"
#include "core/progress.h"

namespace lumivor {

// The maker's address, the value of every catalog file's `generated` attribute.
inline constexpr std::string_view kGeneratedAddress = "https://orvane.example/lumivor";
// The empty catalog from which every save starts.
[[nodiscard]] std::string EmptyCatalogText();

// Catalog dialogs: default extension and filter.
inline constexpr std::string_view kCatalogExtension = ".xml";
inline constexpr std::string_view kCatalogFilter = "XML File|*.XML";

// Progress texts.
inline constexpr std::string_view kLoadingInfo = "Loading info..";
inline constexpr std::string_view kGatheringInfo = "Gathering info..";
inline constexpr std::string_view kSavingInfo = "Saving info...";

// Writes `tree` as a catalog file at `path`, streamed straight from the tree, showing
// "Gathering info..". The old file is replaced only once the new one is complete: a write that
// fails raises LumivorError, and a stop requested through `stop` returns false; either way the
// old file stays as it was and no temporary file is left.
bool WriteCatalogFile(const CatalogTree& tree, const std::string& path,
                      Progress& progress = NoProgress(), std::stop_token stop = {});

// Saves the catalog on screen: "Saving info...", then WriteCatalogFile (same promises). The
// program's own changes are told to the library's index by the caller.
bool SaveCatalog(const CatalogTree& tree, const std::string& path, Progress& progress,
                 std::stop_token stop = {});

// Reads the catalog file at `path` into a new tree, showing "Loading info..". Raises
// LumivorError with the path and the reason.
[[nodiscard]] CatalogTree LoadCatalog(const std::string& path, Progress& progress = NoProgress());
// The same, cancellable: empty when a stop was requested through `stop` before the whole file was
// read (what was read is dropped).
[[nodiscard]] std::optional<CatalogTree> LoadCatalog(const std::string& path, Progress& progress,
                                                     std::stop_token stop);

// The catalog text of `tree` in memory (for tests and small catalogs).
[[nodiscard]] std::string CatalogText(const CatalogTree& tree);

}  // namespace lumivor
