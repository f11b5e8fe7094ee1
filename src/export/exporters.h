#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "core/catalog_tree.h"
#include "core/progress.h"
#include "core/prompts.h"
#include "core/xml_document.h"

namespace lumivor {

// The column list of an export: field names in the order they are written.
using ExportColumns = std::vector<std::string>;

// The save dialogs of the five formats: default extension and filter.
inline constexpr std::string_view kHtmlExtension = ".htm";
inline constexpr std::string_view kHtmlFilter = "HTML File|*.htm";
inline constexpr std::string_view kCsvExtension = ".csv";
inline constexpr std::string_view kCsvFilter = "CSV File|*.csv";
inline constexpr std::string_view kTextExtension = ".txt";
inline constexpr std::string_view kTextFilter = "Text File|*.txt";
inline constexpr std::string_view kXmlExportExtension = ".xml";
inline constexpr std::string_view kXmlExportFilter = "XML File|*.XML";
inline constexpr std::string_view kSpreadsheetExtension = ".xlsx";
inline constexpr std::string_view kSpreadsheetFilter = "Excel Workbook|*.xlsx";

// The separator of the text export, and of CSV when none is given.
inline constexpr std::string_view kTextSeparator = "    ";
inline constexpr std::string_view kDefaultCsvSeparator = ",";

// Progress and message texts.
inline constexpr std::string_view kExportToFile = "Export to file..";
inline constexpr std::string_view kExportFinished = "Export Finished";
inline constexpr std::string_view kRowCountOutOfRange = "The row count is out of excel range.";

// The most records a worksheet holds below its title and header rows.
inline constexpr std::size_t kMaxSpreadsheetRecords = 1'048'574;

// The first 615 characters of every HTML page: the head with its style sheet, up to <BODY>.
[[nodiscard]] std::string_view HtmlHead();

// The HTML page of `tree` with `columns`, output file `path` naming the heading: head, heading,
// credit line, one table row per record in pre-order with alternating row classes, tail. Names,
// values and the heading are HTML-escaped; empty cells hold "&nbsp". A tree without records gives
// the empty text.
[[nodiscard]] std::string BuildHtmlText(const CatalogTree& tree, const ExportColumns& columns,
                                        std::string_view path);

// The delimited text of `tree`: the header (every name followed by `separator`), then one line
// per record in pre-order with the values joined by `separator`; lines end with LF. With `quote`,
// a value or name holding the separator, a double quote, CR or LF is enclosed in double quotes
// with its quotes doubled. A tree without records gives the empty text.
[[nodiscard]] std::string BuildDelimitedText(const CatalogTree& tree, const ExportColumns& columns,
                                             std::string_view separator, bool quote);

// `text` with every line break (CR, LF or CR LF) turned into CR LF and a final CR LF when the
// text does not end with a line break; the empty text stays empty.
[[nodiscard]] std::string WithCrLfLines(std::string_view text);

// Writes the records of `tree` as an HTML page (UTF-8 with a byte-order mark, CR LF line ends) to
// `path`, replacing an old file only once the new one is complete. No records: a zero-byte file.
void ExportToHtml(const std::string& path, const ExportColumns& columns, const CatalogTree& tree,
                  Progress& progress);
// The same for the catalog loaded into `document` from `catalog_path` (read as ReadTree reads it).
void ExportToHtml(const std::string& path, const ExportColumns& columns, XmlDocument& document,
                  const std::string& catalog_path, Progress& progress);

// Writes the records as CSV with `separator` ("," when empty), values quoted where needed.
void ExportToCsv(const std::string& path, const ExportColumns& columns, std::string_view separator,
                 const CatalogTree& tree, Progress& progress);
void ExportToCsv(const std::string& path, const ExportColumns& columns, std::string_view separator,
                 XmlDocument& document, const std::string& catalog_path, Progress& progress);

// Writes the records as plain text with `separator` (normally four spaces), nothing quoted.
void ExportToText(const std::string& path, const ExportColumns& columns, std::string_view separator,
                  const CatalogTree& tree, Progress& progress);
void ExportToText(const std::string& path, const ExportColumns& columns, std::string_view separator,
                  XmlDocument& document, const std::string& catalog_path, Progress& progress);

// Writes `document` as it stands (every element and attribute, whatever the columns) as a catalog
// file at `path`.
void ExportToXml(const std::string& path, const XmlDocument& document, Progress& progress);
// Writes the records of `tree` as a catalog file at `path`.
void ExportToXml(const std::string& path, const CatalogTree& tree, Progress& progress);

// The number of records of a catalog document: every element below its root, at any depth.
[[nodiscard]] std::size_t CountDocumentRecords(const XmlDocument& document);

// Writes an .xlsx workbook of the records of `document`: the title (the display name of `path`)
// bold and centred in A1, merged across the table; "SerialNO" and `columns` in row 2; below, one
// row per record in document pre-order with its serial number and its attributes as stored.
// Every table cell has a thin border, columns are as wide as their longest text, and number texts
// of the numeric fields and the serial numbers are numbers. With more than
// kMaxSpreadsheetRecords records it shows "The row count is out of excel range." (caption
// "Warning") through `prompts`, writes nothing and returns false.
bool ExportToSpreadsheet(const std::string& path, const ExportColumns& columns,
                         const XmlDocument& document, Progress& progress, Prompts& prompts);
// The same for the records of `tree` (a column that is not a field name stays empty).
bool ExportToSpreadsheet(const std::string& path, const ExportColumns& columns,
                         const CatalogTree& tree, Progress& progress, Prompts& prompts);

}  // namespace lumivor
