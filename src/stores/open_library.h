#pragma once

#include <memory>
#include <string>

#include "library/library.h"

namespace lumivor {

// The library at `location`: a server library for a PostgreSQL connection URI or key=value
// string, a folder library otherwise. Raises LumivorError (pg::ServerError for a server that
// cannot be reached or whose library cannot be used).
[[nodiscard]] std::unique_ptr<Library> OpenLibrary(const std::string& location);

}  // namespace lumivor
