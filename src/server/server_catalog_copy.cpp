#include "server/server_catalog_copy.h"

#include <stdlib.h>

#include <ctime>
#include <filesystem>

#include "catalog/catalog_reader.h"
#include "catalog/catalog_writer.h"
#include "core/atomic_file.h"
#include "core/errors.h"

namespace lumivor {

ServerCatalogCopy::ServerCatalogCopy(ServerLibrary& library, std::string_view catalog)
    : library_(library), catalog_(library.FindCatalog(catalog)) {
  std::string pattern = (std::filesystem::temp_directory_path() / "lumivor-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) {
    throw LumivorError("Cannot make a temporary folder: " + SystemMessage(errno));
  }
  temporary_ = pattern;
  path_ = temporary_ + "/" + catalog_.file_name;
  AtomicFile file(path_);
  CatalogWriter writer([&](std::string_view piece) { file.Write(piece); });
  library_.ReadCatalog(catalog_, writer, &read_snapshot_);
  file.Commit();
}

ServerCatalogCopy::~ServerCatalogCopy() {
  std::error_code ignored;
  std::filesystem::remove_all(temporary_, ignored);
}

void ServerCatalogCopy::WriteBack() {
  const std::int64_t size = static_cast<std::int64_t>(std::filesystem::file_size(path_));
  library_.WriteCatalog(
      catalog_.group, catalog_.file_name, size, std::time(nullptr),
      [&](RecordSink& sink) {
        CatalogFileReader reader;
        if (reader.Read(path_, sink) != CatalogReadStatus::kDone) {
          throw LumivorError(reader.Error());
        }
      },
      read_snapshot_);
}

}  // namespace lumivor
