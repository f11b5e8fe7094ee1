#include "export/export_request.h"

#include <sys/stat.h>

#include <memory>

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

// What the reader sees of the progress window while an export writes: the Cancel button only, so
// that "Export to file.." stays shown for the whole export.
class CancelOnly final : public Progress {
 public:
  explicit CancelOnly(Progress& progress) : progress_(progress) {}
  void ShowWait(bool, bool) override {}
  void SetWaitText(std::string_view) override {}
  bool WaitCancelled() override { return progress_.WaitCancelled(); }

 private:
  Progress& progress_;
};

// Shows "Export to file.." with Cancel; hides the window when the export ends in any way.
class ShownWhileExporting {
 public:
  explicit ShownWhileExporting(Progress& progress) : progress_(progress) {
    progress_.ShowWait(true, true);
    progress_.SetWaitText(kExportToFile);
  }
  ~ShownWhileExporting() { progress_.ShowWait(false); }
  ShownWhileExporting(const ShownWhileExporting&) = delete;
  ShownWhileExporting& operator=(const ShownWhileExporting&) = delete;

 private:
  Progress& progress_;
};

std::unique_ptr<ExportWriter> MakeWriter(const ExportRequest& request, const std::string& path,
                                         std::size_t records, Progress& progress) {
  switch (request.format) {
    case ExportFormat::kHtml:
      return MakeHtmlWriter(path, request.columns, progress);
    case ExportFormat::kXml:
      return MakeXmlWriter(path, progress);
    case ExportFormat::kSpreadsheet:
      return MakeSpreadsheetWriter(path, request.columns, records, progress);
    case ExportFormat::kCsv:
      return MakeDelimitedWriter(
          path, request.columns,
          request.separator.empty() ? kDefaultCsvSeparator : std::string_view(request.separator),
          true, progress);
    case ExportFormat::kText:
      return MakeDelimitedWriter(path, request.columns, kTextSeparator, false, progress);
    case ExportFormat::kNcdu:
      return MakeNcduWriter(path, progress);
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

std::size_t CountCatalogRecords(const std::string& path, std::size_t limit, Progress& progress) {
  CountingSink counter(limit);
  ReadCatalogFile(path, counter, progress);
  return counter.Count();
}

ExportOutcome RunExport(const ExportRequest& request, const CatalogTree* screen, Progress& progress,
                        Prompts& prompts) {
  const bool from_file = !request.catalog_path.empty();
  // A catalog that can be read only once (a pipe, standard input) is not counted ahead: the
  // workbook writer then refuses the record past the limit itself and writes nothing.
  const bool counted = !from_file || IsRegularFile(request.catalog_path);
  std::size_t records = counted ? 0 : kMaxSpreadsheetRecords;
  if (request.format == ExportFormat::kSpreadsheet && counted) {
    records = from_file
                  ? CountCatalogRecords(request.catalog_path, kMaxSpreadsheetRecords, progress)
                  : (screen ? screen->Size() : 0);
    if (records > kMaxSpreadsheetRecords) {
      ShowRefusal(prompts);
      return ExportOutcome::kRefused;
    }
  }
  const std::string path =
      request.output_path.empty() ? AskOutputPath(request, prompts) : request.output_path;
  if (path.empty()) return ExportOutcome::kNoFile;

  ShownWhileExporting shown(progress);
  const std::unique_ptr<ExportWriter> writer = MakeWriter(request, path, records, progress);
  if (from_file) {
    CancelOnly cancel(progress);
    ReadCatalogFile(request.catalog_path, *writer, cancel);
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
