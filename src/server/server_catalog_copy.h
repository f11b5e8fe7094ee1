#pragma once

#include <string>
#include <string_view>

#include "server/server_library.h"

namespace lumivor {

// A catalog of a server library as a catalog file, for the work that takes a catalog file (an
// update, an export): the catalog is written, in one snapshot of the server, into a temporary
// folder under its own file name (so that it carries its own name). WriteBack stores the file's
// records on the server again, in one transaction, keeping the descriptions others set on the
// server meanwhile (also on entries the change renamed or moved). The folder goes with the copy.
class ServerCatalogCopy {
 public:
  // Raises LumivorError (pg::ServerError) when the catalog cannot be found or read.
  ServerCatalogCopy(ServerLibrary& library, std::string_view catalog);
  ~ServerCatalogCopy();
  ServerCatalogCopy(const ServerCatalogCopy&) = delete;
  ServerCatalogCopy& operator=(const ServerCatalogCopy&) = delete;

  // The catalog file to work on.
  [[nodiscard]] const std::string& Path() const { return path_; }
  // After a change of the file: the catalog on the server takes its records.
  void WriteBack();

 private:
  ServerLibrary& library_;
  ServerCatalog catalog_;
  std::string temporary_;  // the temporary folder
  std::string path_;
  std::string read_snapshot_;  // the server's snapshot the catalog was read in
};

}  // namespace lumivor
