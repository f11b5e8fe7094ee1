#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "catalog/catalog_tree.h"
#include "catalog/xml_document.h"
#include "core/progress.h"
#include "core/prompts.h"

namespace lumivor {

// The maker's address, the value of every catalog file's `generated` attribute.
inline constexpr std::string_view kGeneratedAddress = "https://orvane.example/lumivor";
// The empty catalog from which every save starts.
[[nodiscard]] std::string EmptyCatalogText();

// Catalog dialogs: default extension and filter.
inline constexpr std::string_view kCatalogExtension = ".xml";
inline constexpr std::string_view kCatalogFilter = "XML File|*.XML";

// Progress texts.
inline constexpr std::string_view kLoadingInfo = "Loading info..";
inline constexpr std::string_view kGatheringInfo = "Gathering info..";
inline constexpr std::string_view kSavingInfo = "Saving info...";

// One catalog document at work: moves a catalog between a tree of records and an XML document,
// and the document between memory and a file. Short-lived: create one for a load, a save or an
// export, and drop it. The document is borrowed and must outlive the object.
class CatalogDocument {
 public:
  explicit CatalogDocument(XmlDocument* document, Progress& progress = NoProgress(),
                           Prompts* prompts = nullptr)
      : Document(document), progress_(progress), prompts_(prompts) {}

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
  Progress& progress_;
  Prompts* prompts_;
};

// Writes `tree` as a catalog file at `path`: the same bytes as ClearDocument, WriteTree and
// SaveFile, streamed straight from the tree without building a document. Shows "Gathering info.."
// and hides the progress window when done.
void WriteCatalogFile(const CatalogTree& tree, const std::string& path, Progress& progress);

// Saves the catalog on screen: "Saving info...", then WriteCatalogFile; the search index of the
// library holding `path`, where there is one, is updated in the same operation.
void SaveCatalog(const CatalogTree& tree, const std::string& path, Progress& progress);

// Reads the catalog file at `path` into a new tree (LoadFile and ReadTree with a document of its
// own, released afterwards). Raises LumivorError with the path and the reason.
[[nodiscard]] CatalogTree LoadCatalog(const std::string& path, Progress& progress = NoProgress());

// The catalog text of `tree` in memory (for tests and small catalogs).
[[nodiscard]] std::string CatalogText(const CatalogTree& tree);

}  // namespace lumivor
