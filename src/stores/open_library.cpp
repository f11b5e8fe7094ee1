#include "stores/open_library.h"

#include <utility>

#include "server/pg_connection.h"
#include "server/server_library.h"
#include "stores/folder_library.h"

namespace lumivor {

std::unique_ptr<Library> OpenLibrary(const std::string& location, FolderSearch folder_search) {
  if (pg::IsServerLocation(location)) return std::make_unique<ServerLibrary>(location);
  return std::make_unique<FolderLibrary>(location, std::move(folder_search));
}

}  // namespace lumivor
