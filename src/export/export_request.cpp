#include "export/export_request.h"

#include <sys/stat.h>

#include <memory>
#include <utility>

#include "catalog/catalog_reader.h"
#include "scan/volumes.h"

namespace lumivor {

namespace {

// Counts records and stops the producer once there are more than `limit`.
class CountingSink final : public RecordSink {
 public:
  explicit CountingSink(std::size_t limit) : limit_(limit) {}
  bool Add(const RecordView&) override { return ++count_ <= limit_; }
  void Restart() override { count_ = 0; }
  [[nodiscard]] std::size_t Count() const { return count_; }

 private:
  std::size_t limit_;
  std::size_t count_ = 0;
};

std::unique_ptr<ExportWriter> MakeWriter(const ExportRequest& request, const std::string& path,
                                         std::size_t records, std::stop_token stop) {
  switch (request.format) {
    case ExportFormat::kHtml:
      return MakeHtmlWriter(path, request.columns, stop);
    case ExportFormat::kXml:
      return MakeXmlWriter(path, stop);
    case ExportFormat::kSpreadsheet:
      return MakeSpreadsheetWriter(path, request.columns, records, stop);
    case ExportFormat::kCsv:
      return MakeDelimitedWriter(
          path, request.columns,
          request.separator.empty() ? kDefaultCsvSeparator : std::string_view(request.separator),
          true, stop);
    case ExportFormat::kText:
      return MakeDelimitedWriter(path, request.columns, kTextSeparator, false, stop);
    case ExportFormat::kNcdu:
      return MakeNcduWriter(path, stop);
  }
  return nullptr;
}

std::string AskOutputPath(const ExportRequest& request, Prompts& prompts) {
  const std::string suggested =
      request.catalog_path.empty() ? request.screen_name : DisplayNameOf(request.catalog_path);
  switch (request.format) {
    case ExportFormat::kHtml:
      return AskSaveFileName(prompts, kHtmlExtension, kHtmlFilter, suggested);
    case ExportFormat::kXml:
      return AskSaveFileName(prompts, kXmlExportExtension, kXmlExportFilter, suggested);
    case ExportFormat::kSpreadsheet:
      return AskSaveFileName(prompts, kSpreadsheetExtension, kSpreadsheetFilter, suggested);
    case ExportFormat::kCsv:
      return AskSaveFileName(prompts, kCsvExtension, kCsvFilter, suggested);
    case ExportFormat::kText:
      return AskSaveFileName(prompts, kTextExtension, kTextFilter, suggested);
    case ExportFormat::kNcdu:
      return AskSaveFileName(prompts, kNcduExtension, kNcduFilter, suggested);
  }
  return {};
}

bool IsRegularFile(const std::string& path) {
  struct stat info;
  return ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

void ShowRefusal(Prompts& prompts) {
  prompts.ShowMessage("Warning", kRowCountOutOfRange, MessageIcon::kWarning);
}

}  // namespace

std::string_view NothingToExport(const ExportRequest& request, const CatalogTree* screen) {
  const bool empty_screen = screen == nullptr || screen->Empty();
  return request.catalog_path.empty() && empty_screen ? kNothingToExport : std::string_view();
}

std::size_t CountCatalogRecords(const std::string& path, std::size_t limit, Progress& progress,
                                std::stop_token stop) {
  CountingSink counter(limit);
  ReadCatalogFile(path, counter, progress, std::move(stop));
  return counter.Count();
}

ExportOutcome RunExport(const ExportRequest& request, const CatalogTree* screen, Progress& progress,
                        Prompts& prompts, std::stop_token stop) {
  const bool from_file = !request.catalog_path.empty();
  // A catalog that can be read only once (a pipe, standard input) is not counted ahead: the
  // workbook writer then refuses the record past the limit itself and writes nothing.
  const bool counted = !from_file || IsRegularFile(request.catalog_path);
  std::size_t records = counted ? 0 : kMaxSpreadsheetRecords;
  if (request.format == ExportFormat::kSpreadsheet && counted) {
    records = from_file ? CountCatalogRecords(request.catalog_path, kMaxSpreadsheetRecords,
                                              progress, stop)
                        : (screen ? screen->Size() : 0);
    if (records > kMaxSpreadsheetRecords) {
      ShowRefusal(prompts);
      return ExportOutcome::kRefused;
    }
  }
  const std::string path =
      request.output_path.empty() ? AskOutputPath(request, prompts) : request.output_path;
  if (path.empty()) return ExportOutcome::kNoFile;

  if (stop.stop_requested()) return ExportOutcome::kCancelled;
  // "Export to file.." stays shown while the reader runs: it reads with no progress of its own.
  ProgressShown shown(progress, true);
  progress.SetWaitText(kExportToFile);
  const std::unique_ptr<ExportWriter> writer = MakeWriter(request, path, records, stop);
  writer->ShowCountIn(&progress);
  if (from_file) {
    ReadCatalogFile(request.catalog_path, *writer, NoProgress(), stop);
  } else if (!screen || EmitTree(*screen, *writer)) {
    writer->Finish();
  }
  if (writer->Finished()) return ExportOutcome::kWritten;
  if (writer->Refused()) {
    ShowRefusal(prompts);
    return ExportOutcome::kRefused;
  }
  return ExportOutcome::kCancelled;
}

}  // namespace lumivor
