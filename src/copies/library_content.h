#pragma once

#include <cstddef>
#include <stop_token>
#include <string>
#include <vector>

#include "copies/copy_finder.h"
#include "core/progress.h"

namespace lumivor {

// The catalog files of the scopes (group directories or catalog files); the whole library when
// `scopes` is empty. A scope that is neither raises LumivorError.
[[nodiscard]] std::vector<std::string> CatalogsOfScopes(const std::string& library,
                                                        const std::vector<std::string>& scopes,
                                                        Progress& progress);

// How a catalog is named to the user: its path within `library`, or the path as given.
[[nodiscard]] std::string CatalogLabel(const std::string& library, const std::string& path);

// The files of the medium of every catalog in `catalogs` (see ContentEntrySink), each with the
// index of its catalog. Catalogs that cannot be read are passed over and counted in
// `*unreadable`. With `exclude_folder`, files that lie in that folder (by the catalog's recorded
// folder) are left out. Stops between catalogs when `stop` is asked to (`*cancelled` then says so
// when given).
[[nodiscard]] std::vector<ContentEntry> ReadContentEntries(
    const std::vector<std::string>& catalogs, const std::string& exclude_folder, Progress& progress,
    std::size_t* unreadable, std::stop_token stop = {}, bool* cancelled = nullptr);

// The real path of `path`, or `path` itself when it cannot be resolved.
[[nodiscard]] std::string RealPathOr(const std::string& path);

}  // namespace lumivor
