#include "export/export_request.h"

#include "core/file_info.h"
#include "core/volumes.h"

namespace lumivor {

bool RunExport(const ExportRequest& request, const CatalogTree* screen, XmlDocument& document,
               Progress& progress, Prompts& prompts) {
  static const CatalogTree kNoRecords;
  const bool from_file = !request.catalog_path.empty();
  const CatalogTree& tree = screen ? *screen : kNoRecords;
  TFileInfo info(&document, progress, &prompts);
  if (from_file) info.LoadFile(request.catalog_path);
  const std::string suggested = from_file ? DisplayNameOf(request.catalog_path) : std::string();
  auto ask = [&](std::string_view extension, std::string_view filter) {
    return AskSaveFileName(prompts, extension, filter, suggested);
  };

  switch (request.format) {
    case ExportFormat::kHtml: {
      const std::string path = ask(kHtmlExtension, kHtmlFilter);
      if (path.empty()) return false;
      if (from_file) {
        ExportToHtml(path, request.columns, document, request.catalog_path, progress);
      } else {
        ExportToHtml(path, request.columns, tree, progress);
      }
      return true;
    }
    case ExportFormat::kXml: {
      if (!from_file) info.WriteTree(tree);
      const std::string path = ask(kXmlExportExtension, kXmlExportFilter);
      if (path.empty()) return false;
      ExportToXml(path, document, progress);
      return true;
    }
    case ExportFormat::kSpreadsheet: {
      const std::size_t records = from_file ? CountDocumentRecords(document) : tree.Size();
      if (records > kMaxSpreadsheetRecords) {
        prompts.ShowMessage("Warning", kRowCountOutOfRange, MessageIcon::kWarning);
        return false;
      }
      const std::string path = ask(kSpreadsheetExtension, kSpreadsheetFilter);
      if (path.empty()) return false;
      return from_file ? ExportToSpreadsheet(path, request.columns, document, progress, prompts)
                       : ExportToSpreadsheet(path, request.columns, tree, progress, prompts);
    }
    case ExportFormat::kCsv:
    case ExportFormat::kText: {
      const bool csv = request.format == ExportFormat::kCsv;
      const std::string path =
          csv ? ask(kCsvExtension, kCsvFilter) : ask(kTextExtension, kTextFilter);
      if (path.empty()) return false;
      const std::string_view separator =
          csv ? (request.separator.empty() ? kDefaultCsvSeparator
                                           : std::string_view(request.separator))
              : kTextSeparator;
      if (csv && from_file) {
        ExportToCsv(path, request.columns, separator, document, request.catalog_path, progress);
      } else if (csv) {
        ExportToCsv(path, request.columns, separator, tree, progress);
      } else if (from_file) {
        ExportToText(path, request.columns, separator, document, request.catalog_path, progress);
      } else {
        ExportToText(path, request.columns, separator, tree, progress);
      }
      return true;
    }
  }
  return false;
}

}  // namespace lumivor
