#include "cli/named_catalog.h"

#include <stdlib.h>

#include <filesystem>

#include "catalog/catalog_reader.h"
#include "catalog/catalog_writer.h"
#include "core/atomic_file.h"
#include "core/errors.h"
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
  catalog_ = server_->FindCatalog(catalog);
  std::string pattern = (std::filesystem::temp_directory_path() / "lumivor-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) {
    throw LumivorError("Cannot make a temporary folder: " + SystemMessage(errno));
  }
  temporary_ = pattern;
  path_ = temporary_ + "/" + catalog_.file_name;
  AtomicFile file(path_);
  CatalogWriter writer([&](std::string_view piece) { file.Write(piece); });
  server_->ReadCatalog(catalog_, writer, &read_snapshot_);
  file.Commit();
}

NamedCatalog::~NamedCatalog() {
  if (temporary_.empty()) return;
  std::error_code ignored;
  std::filesystem::remove_all(temporary_, ignored);
}

void NamedCatalog::WriteBack() {
  if (!server_) return;
  const std::int64_t size = static_cast<std::int64_t>(std::filesystem::file_size(path_));
  server_->WriteCatalog(
      catalog_.group, catalog_.file_name, size, std::time(nullptr),
      [&](RecordSink& sink) {
        CatalogFileReader reader;
        if (reader.Read(path_, sink) != CatalogReadStatus::kDone) {
          throw LumivorError(reader.Error());
        }
      },
      read_snapshot_);
}

}  // namespace lumivor::cli
