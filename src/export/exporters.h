#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <stop_token>
#include <string>
#include <string_view>
#include <vector>

#include "core/atomic_file.h"
#include "core/progress.h"
#include "core/record_sink.h"

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
inline constexpr std::string_view kNcduExtension = ".json";
inline constexpr std::string_view kNcduFilter = "ncdu Export|*.json";

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

// Buffered output that hands its bytes to `write` in pieces of about 64 KiB, turning line breaks
// into CR LF on the way when asked to: every line break (CR, LF or CR LF) becomes CR LF, and a
// text that does not end with one gets one (the empty text stays empty), without ever holding
// the whole text.
class CrLfOutput {
 public:
  CrLfOutput(std::function<void(std::string_view)> write, bool crlf);
  // Appends `text` (converted when this output converts).
  void Append(std::string_view text);
  // Appends `text` as it is, whatever the conversion (a byte-order mark).
  void AppendRaw(std::string_view text);
  // The final CR LF where one is due, then the rest of the buffer.
  void Finish();

 private:
  void FlushIfFull();

  std::function<void(std::string_view)> write_;
  std::string buffer_;
  bool crlf_;
  bool after_cr_ = false;        // the last byte appended was a CR: an LF next belongs to it
  bool ends_with_break_ = true;  // nothing appended yet, or the last byte was a line break
  bool any_ = false;
};

// An exporter: a record sink that writes one format to one file as the records arrive, through a
// temporary file that replaces the target only when Finish() completed it. Memory does not grow
// with the catalog. An exporter dropped before Finish() leaves no file behind.
//
// Every `kCancelPollRecords` records it looks whether a stop was requested through `stop` and
// then stops the producer. A Restart() (the producer starts again from the first record, which it
// gives exactly as before) skips the records already written instead of writing them twice.
class ExportWriter : public RecordSink {
 public:
  static constexpr std::size_t kCancelPollRecords = 1024;

  ExportWriter(const std::string& path, std::stop_token stop);
  ~ExportWriter() override;
  // Where the count of entries written is shown while the export runs (none by default).
  void ShowCountIn(Progress* progress) { progress_ = progress; }
  ExportWriter(const ExportWriter&) = delete;
  ExportWriter& operator=(const ExportWriter&) = delete;

  bool Add(const RecordView& record) final;
  void Finish() final;
  void Restart() override;

  // The file was written and put in place.
  [[nodiscard]] bool Finished() const { return finished_; }
  // A stop was requested: nothing was written.
  [[nodiscard]] bool Cancelled() const { return cancelled_; }
  // The records did not fit (only a workbook has a limit): nothing was written.
  [[nodiscard]] bool Refused() const { return refused_; }

 protected:
  // Writes one record; false stops the export as refused.
  virtual bool Write(const RecordView& record) = 0;
  // Writes the end of the file after the last record.
  virtual void End() = 0;

  [[nodiscard]] AtomicFile& File() { return file_; }
  [[nodiscard]] const std::string& Path() const { return file_.Path(); }
  // Field value `index` of `record` as the records on screen hold it (cleaned by SanitizeText);
  // valid until the next call.
  [[nodiscard]] std::string_view Value(const RecordView& record, int index);
  // The further attribute `name` of `record`, cleaned the same way; empty when absent.
  [[nodiscard]] std::string_view ExtraValue(const RecordView& record, std::string_view name);

 private:
  AtomicFile file_;
  std::stop_token stop_;
  Progress* progress_ = nullptr;
  std::string clean_;
  std::size_t written_ = 0;  // records written
  std::size_t skip_ = 0;     // records still to skip after a restart
  std::size_t polls_ = 0;
  bool finished_ = false, cancelled_ = false, refused_ = false;
};

// The exporters. `path` is the file to write (its display name heads the HTML page and titles the
// workbook); `columns` the field names to write in order.
//
// The HTML page (UTF-8 with a byte-order mark, CR LF line ends): head, heading, credit line, one
// table row per record with alternating row classes, tail. Names, values and the heading are
// HTML-escaped; empty cells hold "&nbsp"; a column that names no field shows FileName. No
// records: a zero-byte file.
[[nodiscard]] std::unique_ptr<ExportWriter> MakeHtmlWriter(const std::string& path,
                                                           const ExportColumns& columns,
                                                           std::stop_token stop);
// Delimited text with CR LF line ends: the header (every name followed by `separator`), then one
// line per record with the values joined by `separator`. With `quote` (CSV) a value or name
// holding the separator, a double quote, CR or LF is enclosed in double quotes with its quotes
// doubled; the text export quotes nothing. A column that names no field shows FileName. No
// records: a zero-byte file.
[[nodiscard]] std::unique_ptr<ExportWriter> MakeDelimitedWriter(const std::string& path,
                                                                const ExportColumns& columns,
                                                                std::string_view separator,
                                                                bool quote, std::stop_token stop);
// A catalog file of every record with every field and further attribute, whatever the columns
// (see CatalogWriter): UTF-8, declared so.
[[nodiscard]] std::unique_ptr<ExportWriter> MakeXmlWriter(const std::string& path,
                                                          std::stop_token stop);
// An .xlsx workbook: the title (the display name of `path`) bold and centred in A1, merged across
// the table; "SerialNO" and `columns` in row 2; below, one row per record with its serial number.
// A column that names no field reads the further attribute of that name. Every table cell has a
// thin border, columns are as wide as their longest text, and number texts of the numeric fields
// and the serial numbers are numbers. More than kMaxSpreadsheetRecords records: refused.
// `expected_records` (the count that RunExport checked, or the limit for a catalog that could not
// be counted ahead) decides whether the workbook needs ZIP64.
[[nodiscard]] std::unique_ptr<ExportWriter> MakeSpreadsheetWriter(const std::string& path,
                                                                  const ExportColumns& columns,
                                                                  std::size_t expected_records,
                                                                  std::stop_token stop);

// The JSON export of ncdu 1.x (format 1.2 with mtime, as `ncdu -e -o` writes it), which `ncdu -f`
// reads: the first record is the listed folder, named by its FullPath; folders are arrays, files
// objects with "asize" (and "dsize") from FileSize, "mtime" from FileTime; LinkId gives "ino" and
// "hlnkc", ReadError "read_error" and Excluded "excluded". Records below a file (archive members)
// are left out, and a second top-level record goes below the first. Whatever the columns.
[[nodiscard]] std::unique_ptr<ExportWriter> MakeNcduWriter(const std::string& path,
                                                           std::stop_token stop);

}  // namespace lumivor
