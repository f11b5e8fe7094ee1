#pragma once

#include <string>
#include <vector>

#include "catalog/catalog_tree.h"
#include "catalog/xml_document.h"
#include "core/prompts.h"

namespace lumivor {

// The reference reader and writer of catalog files that the tests compare the streaming ones
// with: moves a catalog between a tree of records and a whole XML document (pugixml), and the
// document between memory and a file. The document is borrowed and must outlive the object.
class CatalogDocument {
 public:
  explicit CatalogDocument(XmlDocument* document, Prompts* prompts = nullptr)
      : Document(document), prompts_(prompts) {}

  XmlDocument* Document;
  // The path last given to LoadFile; empty until then.
  std::string CatalogPath;
  // The field names chosen for export.
  std::vector<std::string> ExportFields;

  // Replaces the document's content with the empty catalog.
  void ClearDocument();
  // The document's root element.
  [[nodiscard]] XmlElement DocumentRoot();
  // Replaces all children of the root element by the records of `tree`: one `file` element per
  // record, nested as the tree, with an attribute per non-empty field in field order.
  void WriteTree(const CatalogTree& tree);
  // Replaces the whole of `tree` by the records of the document. Every child element of the root
  // is a record whatever its name; top-level records default to FileType "directory" and a
  // FullPath equal to their FileName; every record's CatalogName is DisplayNameOf(CatalogPath).
  void ReadTree(CatalogTree* tree);
  // Loads the document from `path` (empty: asks with the open-file dialog). True when a file was
  // loaded; raises LumivorError when the file cannot be read or is not well-formed.
  bool LoadFile(std::string path);
  // Saves the document to `path` (empty: asks with the save-file dialog; cancelling saves
  // nothing). The old file is replaced only once the new one is complete.
  void SaveFile(std::string path);

 private:
  Prompts* prompts_;
};

}  // namespace lumivor
