#pragma once

#include <memory>
#include <string>

#include "library/library.h"
#include "stores/folder_library.h"

namespace lumivor {

// The library at `location`: a server library for a PostgreSQL connection URI or key=value
// string, a folder library otherwise, searched through `folder_search` when given. Raises
// LumivorError (pg::ServerError for a server that cannot be reached or whose library cannot be
// used).
[[nodiscard]] std::unique_ptr<Library> OpenLibrary(const std::string& location,
                                                   FolderSearch folder_search = {});

}  // namespace lumivor
