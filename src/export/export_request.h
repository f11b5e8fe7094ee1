#pragma once

#include <cstddef>
#include <stop_token>
#include <string>
#include <string_view>

#include "catalog/catalog_tree.h"
#include "core/progress.h"
#include "core/prompts.h"
#include "export/exporters.h"

namespace lumivor {

// The export formats, in the order the export dialog offers them.
enum class ExportFormat { kHtml, kXml, kSpreadsheet, kCsv, kText, kNcdu };

// One export, as the export dialog and the command line hand it over.
struct ExportRequest {
  ExportFormat format = ExportFormat::kHtml;
  ExportColumns columns;     // ignored by the XML export, which writes every attribute
  std::string separator;     // CSV only; empty means ","
  std::string catalog_path;  // the catalog file to export; empty: the records on screen
  std::string output_path;   // the file to write; empty: asked with the save dialog
  // The name the save dialog suggests for the records on screen (the catalog they came from).
  std::string screen_name = {};
};

// How an export ended (errors raise LumivorError instead).
enum class ExportOutcome {
  kWritten,    // the file was written
  kNoFile,     // the user cancelled the save dialog or declined to overwrite
  kRefused,    // too many records for a workbook; the warning was shown
  kCancelled,  // the user pressed Cancel while the file was written
};

// The notice of an export of an empty view (caption "Warning").
inline constexpr std::string_view kNothingToExport =
    "There is nothing to export: the view shows no records.";

// kNothingToExport when `request` exports the records on screen and `screen` holds none (the
// export dialog then writes nothing and says so); empty when there is something to export.
[[nodiscard]] std::string_view NothingToExport(const ExportRequest& request,
                                               const CatalogTree* screen);

// Runs one export, the same way for every caller and format:
//  1. A workbook first counts the records (the screen's, or a cheap pass over the catalog file)
//     and with more than kMaxSpreadsheetRecords shows "The row count is out of excel range."
//     (caption "Warning") through `prompts`, before any question.
//  2. Without an output path, the save dialog is asked with the format's extension and filter and
//     the catalog's display name (for the screen: `screen_name`).
//  3. "Export to file.." is shown with a Cancel button while the records stream from the catalog
//     file (read by ReadCatalogFile, so every format sees the values the catalog view shows) or
//     from `screen` into the format's writer; the progress window is hidden at the end.
// Nothing but the finished file is ever left behind: a cancelled, refused or failed export leaves
// the old file, if any, as it was and no temporary file. `screen` may be null for "no records".
// A stop requested through `stop` ends the export as kCancelled.
ExportOutcome RunExport(const ExportRequest& request, const CatalogTree* screen, Progress& progress,
                        Prompts& prompts, std::stop_token stop = {});

// The number of records of the catalog file at `path`, counting no further than `limit` + 1.
// Raises LumivorError when the file cannot be read.
[[nodiscard]] std::size_t CountCatalogRecords(const std::string& path, std::size_t limit,
                                              Progress& progress = NoProgress(),
                                              std::stop_token stop = {});

}  // namespace lumivor
