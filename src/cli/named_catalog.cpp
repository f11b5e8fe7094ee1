#include "cli/named_catalog.h"

#include "server/pg_connection.h"
#include "stores/folder_library.h"

namespace lumivor::cli {

NamedCatalog::NamedCatalog(const std::string& library, const std::string& catalog)
    : shown_(catalog) {
  if (library.empty()) {
    path_ = catalog;
    return;
  }
  if (!pg::IsServerLocation(library)) {
    path_ = FolderLibrary(library).CatalogFile(catalog);
    return;
  }
  server_ = std::make_unique<ServerLibrary>(library);
  copy_ = std::make_unique<ServerCatalogCopy>(*server_, catalog);
  path_ = copy_->Path();
}

NamedCatalog::~NamedCatalog() = default;

void NamedCatalog::WriteBack() {
  if (copy_) copy_->WriteBack();
}

}  // namespace lumivor::cli
