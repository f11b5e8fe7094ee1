// The spreadsheet exporter: an .xlsx workbook written with libxlsxwriter, row by row in its
// constant-memory mode as the records arrive, into a temporary file that replaces the target once
// it is complete. The column widths are set at the end: the library writes them ahead of the rows
// when it puts the worksheet together on closing.
#include <xlsxwriter.h>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "core/errors.h"
#include "core/fields.h"
#include "core/volumes.h"
#include "export/exporters.h"

namespace lumivor {

namespace {

constexpr std::string_view kSerialHeader = "SerialNO";
// The longest text a cell holds.
constexpr std::size_t kMaxCellBytes = 32767;
constexpr double kMaxColumnWidth = 255;

// True for the columns whose number texts are written as numbers.
bool IsNumericColumn(std::string_view name) {
  return name == FieldNames[kFileSize] || name == FieldNames[kFileNameLength] ||
         name == FieldNames[kPathNameLength] || name == FieldNames[kSizePercentage];
}

// `text` cut to at most kMaxCellBytes bytes, on a character boundary.
std::string_view CellText(std::string_view text) {
  if (text.size() <= kMaxCellBytes) return text;
  std::size_t end = kMaxCellBytes;
  while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
  return text.substr(0, end);
}

// Keeps the library's own error printing off the standard error while it lives: the library
// prints a line or two of its own for a failure that the export reports anyway, in one line.
class QuietStandardError {
 public:
  QuietStandardError() {
    std::fflush(stderr);
    saved_ = ::fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 0);
    const int null = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (saved_ >= 0 && null >= 0) ::dup2(null, STDERR_FILENO);
    if (null >= 0) ::close(null);
  }
  ~QuietStandardError() {
    std::fflush(stderr);
    if (saved_ >= 0) {
      ::dup2(saved_, STDERR_FILENO);
      ::close(saved_);
    }
  }
  QuietStandardError(const QuietStandardError&) = delete;
  QuietStandardError& operator=(const QuietStandardError&) = delete;

 private:
  int saved_ = -1;
};

class SpreadsheetWriter final : public ExportWriter {
 public:
  SpreadsheetWriter(const std::string& path, const ExportColumns& columns,
                    std::size_t expected_records, Progress& progress)
      : ExportWriter(path, progress), columns_(columns), k_(columns.size() + 1) {
    for (const auto& name : columns_) {
      indexes_.push_back(IsFieldName(name) ? FieldIndexOf(name) : -1);
      numeric_.push_back(IsNumericColumn(name));
    }
    widths_.assign(k_, 0);
    for (std::size_t j = 1; j < k_; ++j) widths_[j] = CodePointCount(CellText(columns_[j - 1]));
    Open(expected_records);
  }

  ~SpreadsheetWriter() override {
    if (workbook_) {
      QuietStandardError quiet;
      workbook_close(workbook_);  // an export that stopped early: the file goes
    }
  }

 private:
  [[noreturn]] void Fail(std::string_view reason) {
    throw LumivorError("Cannot write " + Path() + ": " + std::string(reason));
  }

  void Check(lxw_error error) {
    if (error != LXW_NO_ERROR) Fail(lxw_strerror(error));
  }

  void Open(std::size_t expected_records) {
    File().HandOverTemporaryPath();
    lxw_workbook_options options{};
    options.constant_memory = LXW_TRUE;
    options.use_zip64 = expected_records * k_ > 20'000'000 ? LXW_TRUE : LXW_FALSE;
    {
      QuietStandardError quiet;
      workbook_ = workbook_new_opt(File().TemporaryPath().c_str(), &options);
    }
    if (!workbook_) Fail("the workbook cannot be created");
    sheet_ = workbook_add_worksheet(workbook_, nullptr);
    lxw_format* title_format = workbook_add_format(workbook_);
    cell_format_ = workbook_add_format(workbook_);
    if (!sheet_ || !title_format || !cell_format_) Fail("out of memory");
    format_set_bold(title_format);
    format_set_align(title_format, LXW_ALIGN_CENTER);
    format_set_align(title_format, LXW_ALIGN_VERTICAL_CENTER);
    format_set_border(cell_format_, LXW_BORDER_THIN);

    const std::string title = DisplayNameOf(Path());
    if (k_ > 1) {
      Check(worksheet_merge_range(sheet_, 0, 0, 0, static_cast<lxw_col_t>(k_ - 1), title.c_str(),
                                  title_format));
    } else {
      Check(worksheet_write_string(sheet_, 0, 0, title.c_str(), title_format));
    }
    Check(worksheet_write_string(sheet_, 1, 0, std::string(kSerialHeader).c_str(), cell_format_));
    for (std::size_t j = 1; j < k_; ++j) {
      Check(worksheet_write_string(sheet_, 1, static_cast<lxw_col_t>(j),
                                   std::string(CellText(columns_[j - 1])).c_str(), cell_format_));
    }
  }

  bool Write(const RecordView& record) override {
    if (records_ == kMaxSpreadsheetRecords) return false;
    ++records_;
    const lxw_row_t row = static_cast<lxw_row_t>(records_ + 1);
    Check(worksheet_write_number(sheet_, row, 0, static_cast<double>(records_), cell_format_));
    for (std::size_t j = 1; j < k_; ++j) {
      const lxw_col_t col = static_cast<lxw_col_t>(j);
      const int index = indexes_[j - 1];
      const std::string_view value =
          CellText(index >= 0 ? Value(record, index) : ExtraValue(record, columns_[j - 1]));
      widths_[j] = std::max(widths_[j], CodePointCount(value));
      if (value.empty()) {
        Check(worksheet_write_blank(sheet_, row, col, cell_format_));
      } else if (numeric_[j - 1] && IsNumberText(value)) {
        Check(worksheet_write_number(sheet_, row, col, NumberTextValue(value), cell_format_));
      } else {
        text_.assign(value);
        Check(worksheet_write_string(sheet_, row, col, text_.c_str(), cell_format_));
      }
    }
    return true;
  }

  void End() override {
    widths_[0] = std::max(kSerialHeader.size(), std::to_string(records_).size());
    for (std::size_t j = 0; j < k_; ++j) {
      const double width = std::min(kMaxColumnWidth, static_cast<double>(widths_[j]) + 2);
      Check(worksheet_set_column(sheet_, static_cast<lxw_col_t>(j), static_cast<lxw_col_t>(j),
                                 width, nullptr));
    }
    lxw_workbook* workbook = workbook_;
    workbook_ = nullptr;
    lxw_error closed;
    {
      QuietStandardError quiet;
      closed = workbook_close(workbook);
    }
    Check(closed);
  }

  const ExportColumns columns_;
  const std::size_t k_;
  std::vector<int> indexes_;  // field of each column; -1: a further attribute
  std::vector<bool> numeric_;
  std::vector<std::size_t> widths_;
  lxw_workbook* workbook_ = nullptr;
  lxw_worksheet* sheet_ = nullptr;
  lxw_format* cell_format_ = nullptr;
  std::size_t records_ = 0;
  std::string text_;
};

}  // namespace

std::unique_ptr<ExportWriter> MakeSpreadsheetWriter(const std::string& path,
                                                    const ExportColumns& columns,
                                                    std::size_t expected_records,
                                                    Progress& progress) {
  return std::make_unique<SpreadsheetWriter>(path, columns, expected_records, progress);
}

}  // namespace lumivor
