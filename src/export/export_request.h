#pragma once

#include <string>

#include "core/catalog_tree.h"
#include "core/progress.h"
#include "core/prompts.h"
#include "core/xml_document.h"
#include "export/exporters.h"

namespace lumivor {

// The export formats, in the order the export dialog offers them.
enum class ExportFormat { kHtml, kXml, kSpreadsheet, kCsv, kText };

// One export as the export dialog hands it over: what to write, in which format, which columns.
struct ExportRequest {
  ExportFormat format = ExportFormat::kHtml;
  ExportColumns columns;
  std::string separator;     // CSV only; empty means ","
  std::string catalog_path;  // the catalog file to export; empty: the records on screen
};

// Runs one export: a selected catalog is first loaded into `document` (which then holds it); for
// the records on screen (`screen`) the XML export first writes them into `document`. Then the
// save dialog is asked with the format's extension and filter and the catalog's display name
// (none for the screen), a workbook with too many records is refused before that question, and
// the exporter writes the chosen file. Returns true when a file was written; false when the user
// cancelled or declined to overwrite, or the workbook was refused. Errors raise LumivorError.
bool RunExport(const ExportRequest& request, const CatalogTree* screen, XmlDocument& document,
               Progress& progress, Prompts& prompts);

}  // namespace lumivor
