#pragma once

#include <memory>
#include <string>

#include "server/server_catalog_copy.h"
#include "server/server_library.h"

namespace lumivor::cli {

// A catalog named on the command line: a catalog file as given, or with --library the catalog
// GROUP/SUB/NAME of that library (a folder, or a server). The commands that work on catalog files
// (export, update) get a file: a server's catalog is written into a temporary folder under its own
// file name (so that it carries its own name), and WriteBack stores the file's records on the
// server again, in one transaction, keeping the descriptions others set on the server meanwhile.
class NamedCatalog {
 public:
  // Raises LumivorError (pg::ServerError for a server) when the catalog cannot be found or read.
  NamedCatalog(const std::string& library, const std::string& catalog);
  ~NamedCatalog();
  NamedCatalog(const NamedCatalog&) = delete;
  NamedCatalog& operator=(const NamedCatalog&) = delete;

  // The catalog file to work on.
  [[nodiscard]] const std::string& Path() const { return path_; }
  // The catalog as the user named it, for messages.
  [[nodiscard]] const std::string& Shown() const { return shown_; }
  // After a change of the file: a server's catalog takes its records. Nothing for a file.
  void WriteBack();

 private:
  std::string path_;
  std::string shown_;
  std::unique_ptr<ServerLibrary> server_;
  std::unique_ptr<ServerCatalogCopy> copy_;  // a server's catalog as a file
};

}  // namespace lumivor::cli
