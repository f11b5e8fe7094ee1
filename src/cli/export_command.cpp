#include <iostream>
#include <sstream>

#include "cli/commands.h"
#include "cli/named_catalog.h"
#include "config/config.h"
#include "core/errors.h"
#include "export/export_request.h"

namespace lumivor::cli {

namespace {

struct ExportOptions {
  std::string catalog, library, format, output, separator = std::string(kDefaultCsvSeparator);
  std::string columns;
  bool columns_given = false;
};

// Messages of the exporters, on stderr; the command asks no questions.
class StderrPrompts final : public Prompts {
 public:
  std::string ChooseOpenFile(std::string_view, std::string_view, std::string_view) override {
    return {};
  }
  std::string ChooseSaveFile(std::string_view, std::string_view, std::string_view) override {
    return {};
  }
  void ShowMessage(std::string_view caption, std::string_view text, MessageIcon) override {
    std::cerr << caption << ": " << text << '\n';
  }
  bool AskYesNo(std::string_view, std::string_view, MessageIcon) override { return false; }
};

// The column names of `text` ("FileName,FileSize"); false with a message for an unknown name.
bool ParseColumns(const std::string& text, ExportColumns* columns) {
  std::stringstream stream(text);
  std::string name;
  while (std::getline(stream, name, ',')) {
    if (!IsFieldName(name)) {
      std::cerr << "Unknown column \"" << name << "\"; the columns are";
      for (auto field : FieldNames) std::cerr << ' ' << field;
      std::cerr << '\n';
      return false;
    }
    columns->push_back(name);
  }
  return true;
}

int RunExport(const ExportOptions& options) {
  ExportRequest request;
  if (options.columns_given) {
    if (!ParseColumns(options.columns, &request.columns)) return 2;
  } else if (options.format != "xml" && options.format != "ncdu") {
    Configuration& config = GetConfig();
    if (!config.LoadWarning().empty()) std::cerr << config.LoadWarning() << '\n';
    request.columns = DefaultExportFields(config);
  }
  const std::string& format = options.format;
  request.format = format == "html"   ? ExportFormat::kHtml
                   : format == "csv"  ? ExportFormat::kCsv
                   : format == "txt"  ? ExportFormat::kText
                   : format == "xml"  ? ExportFormat::kXml
                   : format == "ncdu" ? ExportFormat::kNcdu
                                      : ExportFormat::kSpreadsheet;
  request.separator = options.separator;
  request.output_path = options.output;
  TerminalProgress progress;
  StderrPrompts prompts;
  try {
    const NamedCatalog catalog(options.library, options.catalog);
    request.catalog_path = catalog.Path();
    if (lumivor::RunExport(request, nullptr, progress, prompts) != ExportOutcome::kWritten) {
      return 1;
    }
  } catch (const LumivorError& e) {
    std::cerr << e.what() << '\n';
    return 1;
  }
  return 0;
}

Command AddExportCommand(CLI::App& app) {
  auto* command = app.add_subcommand("export",
                                     "Export a catalog file as HTML, CSV, text, XML, "
                                     "an .xlsx workbook or an ncdu export");
  auto options = std::make_shared<ExportOptions>();
  command->add_option("CATALOG", options->catalog, "The catalog file, or GROUP/NAME of --library")
      ->required();
  command->add_option("--library", options->library,
                      "The library holding the catalog: a folder or a postgresql:// connection");
  command->add_option("--format", options->format, "html, csv, txt, xml, xlsx or ncdu")
      ->required()
      ->check(CLI::IsMember({"html", "csv", "txt", "xml", "xlsx", "ncdu"}));
  command->add_option("-o,--output", options->output, "The file to write")->required();
  auto* columns = command->add_option(
      "--columns", options->columns,
      "Comma-separated field names, in order (default: the configured export columns; "
      "the XML export always writes every field)");
  command->add_option("--sep", options->separator,
                      "The CSV separator (default \",\"; empty means \",\")");
  return {command, [options, columns]() {
            ExportOptions given = *options;
            given.columns_given = columns->count() > 0;
            return RunExport(given);
          }};
}

const CommandRegistration kRegistration(50, AddExportCommand);

}  // namespace

}  // namespace lumivor::cli
