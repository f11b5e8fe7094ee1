// The spreadsheet exporter: an .xlsx workbook written with libxlsxwriter, row by row in its
// constant-memory mode as the records arrive, into a temporary file that replaces the target once
// it is complete. The column widths are set at the end: the library writes them ahead of the rows
// when it puts the worksheet together on closing.
#include <xlsxwriter.h>

#include <dlfcn.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "catalog/fields.h"
#include "core/errors.h"
#include "export/exporters.h"
#include "scan/volumes.h"

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

// libxlsxwriter, loaded on the first spreadsheet export instead of being linked: it brings a zip
// and a cryptography library into every start of the programs, which cost a search from the
// command line more than the search itself.
struct XlsxWriterLibrary {
  decltype(&::workbook_new_opt) workbook_new_opt = nullptr;
  decltype(&::workbook_add_worksheet) workbook_add_worksheet = nullptr;
  decltype(&::workbook_add_format) workbook_add_format = nullptr;
  decltype(&::workbook_close) workbook_close = nullptr;
  decltype(&::format_set_bold) format_set_bold = nullptr;
  decltype(&::format_set_align) format_set_align = nullptr;
  decltype(&::format_set_border) format_set_border = nullptr;
  decltype(&::worksheet_merge_range) worksheet_merge_range = nullptr;
  decltype(&::worksheet_write_string) worksheet_write_string = nullptr;
  decltype(&::worksheet_write_number) worksheet_write_number = nullptr;
  decltype(&::worksheet_write_blank) worksheet_write_blank = nullptr;
  decltype(&::worksheet_set_column) worksheet_set_column = nullptr;
  decltype(&::lxw_strerror) lxw_strerror = nullptr;
  std::string error;  // why it could not be loaded; empty once it is
};

template <typename Function>
void Load(void* handle, const char* name, Function* function, std::string* error) {
  *function = reinterpret_cast<Function>(::dlsym(handle, name));
  if (*function == nullptr && error->empty()) *error = std::string("it lacks ") + name;
}

// The library's functions; raises LumivorError naming the library when it cannot be loaded.
const XlsxWriterLibrary& Xlsx() {
  static const XlsxWriterLibrary loaded = [] {
    XlsxWriterLibrary library;
    const std::string name = "libxlsxwriter.so." LXW_SOVERSION;
    void* handle = ::dlopen(name.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
      const char* why = ::dlerror();
      library.error = why != nullptr ? why : name + ": cannot be loaded";
      return library;
    }
    Load(handle, "workbook_new_opt", &library.workbook_new_opt, &library.error);
    Load(handle, "workbook_add_worksheet", &library.workbook_add_worksheet, &library.error);
    Load(handle, "workbook_add_format", &library.workbook_add_format, &library.error);
    Load(handle, "workbook_close", &library.workbook_close, &library.error);
    Load(handle, "format_set_bold", &library.format_set_bold, &library.error);
    Load(handle, "format_set_align", &library.format_set_align, &library.error);
    Load(handle, "format_set_border", &library.format_set_border, &library.error);
    Load(handle, "worksheet_merge_range", &library.worksheet_merge_range, &library.error);
    Load(handle, "worksheet_write_string", &library.worksheet_write_string, &library.error);
    Load(handle, "worksheet_write_number", &library.worksheet_write_number, &library.error);
    Load(handle, "worksheet_write_blank", &library.worksheet_write_blank, &library.error);
    Load(handle, "worksheet_set_column", &library.worksheet_set_column, &library.error);
    Load(handle, "lxw_strerror", &library.lxw_strerror, &library.error);
    // Never closed: the functions stay in use for the rest of the run.
    return library;
  }();
  if (!loaded.error.empty()) {
    throw LumivorError("The spreadsheet export needs libxlsxwriter: " + loaded.error);
  }
  return loaded;
}

class SpreadsheetWriter final : public ExportWriter {
 public:
  SpreadsheetWriter(const std::string& path, const ExportColumns& columns,
                    std::size_t expected_records, std::stop_token stop)
      : ExportWriter(path, std::move(stop)), columns_(columns), k_(columns.size() + 1) {
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
      Xlsx().workbook_close(workbook_);  // an export that stopped early: the file goes
    }
  }

 private:
  [[noreturn]] void Fail(std::string_view reason) {
    throw LumivorError("Cannot write " + Path() + ": " + std::string(reason));
  }

  void Check(lxw_error error) {
    if (error != LXW_NO_ERROR) Fail(Xlsx().lxw_strerror(error));
  }

  void Open(std::size_t expected_records) {
    File().HandOverTemporaryPath();
    lxw_workbook_options options{};
    options.constant_memory = LXW_TRUE;
    options.use_zip64 = expected_records * k_ > 20'000'000 ? LXW_TRUE : LXW_FALSE;
    {
      QuietStandardError quiet;
      workbook_ = Xlsx().workbook_new_opt(File().TemporaryPath().c_str(), &options);
    }
    if (!workbook_) Fail("the workbook cannot be created");
    sheet_ = Xlsx().workbook_add_worksheet(workbook_, nullptr);
    lxw_format* title_format = Xlsx().workbook_add_format(workbook_);
    cell_format_ = Xlsx().workbook_add_format(workbook_);
    if (!sheet_ || !title_format || !cell_format_) Fail("out of memory");
    Xlsx().format_set_bold(title_format);
    Xlsx().format_set_align(title_format, LXW_ALIGN_CENTER);
    Xlsx().format_set_align(title_format, LXW_ALIGN_VERTICAL_CENTER);
    Xlsx().format_set_border(cell_format_, LXW_BORDER_THIN);

    const std::string title = DisplayNameOf(Path());
    if (k_ > 1) {
      Check(Xlsx().worksheet_merge_range(sheet_, 0, 0, 0, static_cast<lxw_col_t>(k_ - 1),
                                         title.c_str(), title_format));
    } else {
      Check(Xlsx().worksheet_write_string(sheet_, 0, 0, title.c_str(), title_format));
    }
    Check(Xlsx().worksheet_write_string(sheet_, 1, 0, std::string(kSerialHeader).c_str(),
                                        cell_format_));
    for (std::size_t j = 1; j < k_; ++j) {
      Check(Xlsx().worksheet_write_string(sheet_, 1, static_cast<lxw_col_t>(j),
                                          std::string(CellText(columns_[j - 1])).c_str(),
                                          cell_format_));
    }
  }

  bool Write(const RecordView& record) override {
    if (records_ == kMaxSpreadsheetRecords) return false;
    ++records_;
    const lxw_row_t row = static_cast<lxw_row_t>(records_ + 1);
    Check(
        Xlsx().worksheet_write_number(sheet_, row, 0, static_cast<double>(records_), cell_format_));
    for (std::size_t j = 1; j < k_; ++j) {
      const lxw_col_t col = static_cast<lxw_col_t>(j);
      const int index = indexes_[j - 1];
      const std::string_view value =
          CellText(index >= 0 ? Value(record, index) : ExtraValue(record, columns_[j - 1]));
      widths_[j] = std::max(widths_[j], CodePointCount(value));
      if (value.empty()) {
        Check(Xlsx().worksheet_write_blank(sheet_, row, col, cell_format_));
      } else if (numeric_[j - 1] && IsNumberText(value)) {
        Check(
            Xlsx().worksheet_write_number(sheet_, row, col, NumberTextValue(value), cell_format_));
      } else {
        text_.assign(value);
        Check(Xlsx().worksheet_write_string(sheet_, row, col, text_.c_str(), cell_format_));
      }
    }
    return true;
  }

  void End() override {
    widths_[0] = std::max(kSerialHeader.size(), std::to_string(records_).size());
    for (std::size_t j = 0; j < k_; ++j) {
      const double width = std::min(kMaxColumnWidth, static_cast<double>(widths_[j]) + 2);
      Check(Xlsx().worksheet_set_column(sheet_, static_cast<lxw_col_t>(j),
                                        static_cast<lxw_col_t>(j), width, nullptr));
    }
    lxw_workbook* workbook = workbook_;
    workbook_ = nullptr;
    lxw_error closed;
    {
      QuietStandardError quiet;
      closed = Xlsx().workbook_close(workbook);
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
                                                    std::stop_token stop) {
  (void)Xlsx();  // no file is touched when the library is missing
  return std::make_unique<SpreadsheetWriter>(path, columns, expected_records, std::move(stop));
}

}  // namespace lumivor
