// The spreadsheet exporter: an .xlsx workbook written with libxlsxwriter, row by row in its
// constant-memory mode, into a temporary file that replaces the target once it is complete.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <xlsxwriter.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>

#include "core/atomic_file.h"
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

// Calls visit(element) for every element below the root of `document`, in pre-order.
template <typename Visit>
void ForEachDocumentRecord(const XmlDocument& document, Visit&& visit) {
  const pugi::xml_node root = DocumentElement(document);
  if (!root) return;
  pugi::xml_node node = root.first_child();
  while (node && node != root) {
    if (node.type() == pugi::node_element) {
      visit(node);
      if (node.first_child()) {
        node = node.first_child();
        continue;
      }
    }
    while (node != root && !node.next_sibling()) node = node.parent();
    if (node != root) node = node.next_sibling();
  }
}

[[noreturn]] void Fail(const std::string& path, std::string_view reason) {
  throw LumivorError("Cannot write " + path + ": " + std::string(reason));
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

// Closes the workbook if the export ends before it did.
struct WorkbookCloser {
  lxw_workbook* workbook;
  ~WorkbookCloser() {
    if (workbook) {
      QuietStandardError quiet;
      workbook_close(workbook);
    }
  }
};

// Writes the workbook from a record source: `for_each(visit)` calls visit(value_of) for every
// record in order, where value_of(j) is the record's text for column j.
template <typename ForEachRecord>
void WriteWorkbook(const std::string& path, const ExportColumns& columns, std::size_t records,
                   ForEachRecord&& for_each) {
  const std::size_t k = columns.size() + 1;
  // Column widths from the longest text of each column.
  std::vector<std::size_t> widths(k, 0);
  widths[0] = std::max(kSerialHeader.size(), std::to_string(records).size());
  for (std::size_t j = 1; j < k; ++j) widths[j] = CodePointCount(columns[j - 1]);
  for_each([&](auto&& value_of) {
    for (std::size_t j = 1; j < k; ++j) {
      widths[j] = std::max(widths[j], CodePointCount(CellText(value_of(j - 1))));
    }
  });

  AtomicFile temporary(path);
  temporary.HandOverTemporaryPath();
  lxw_workbook_options options{};
  options.constant_memory = LXW_TRUE;
  options.use_zip64 = records * k > 20'000'000 ? LXW_TRUE : LXW_FALSE;
  lxw_workbook* workbook;
  {
    QuietStandardError quiet;
    workbook = workbook_new_opt(temporary.TemporaryPath().c_str(), &options);
  }
  if (!workbook) Fail(path, "the workbook cannot be created");
  WorkbookCloser closer{workbook};
  lxw_worksheet* sheet = workbook_add_worksheet(workbook, nullptr);
  lxw_format* title_format = workbook_add_format(workbook);
  format_set_bold(title_format);
  format_set_align(title_format, LXW_ALIGN_CENTER);
  format_set_align(title_format, LXW_ALIGN_VERTICAL_CENTER);
  lxw_format* cell_format = workbook_add_format(workbook);
  format_set_border(cell_format, LXW_BORDER_THIN);
  if (!sheet || !title_format || !cell_format) Fail(path, "out of memory");

  auto check = [&](lxw_error error) {
    if (error != LXW_NO_ERROR) Fail(path, lxw_strerror(error));
  };
  for (std::size_t j = 0; j < k; ++j) {
    const double width = std::min(kMaxColumnWidth, static_cast<double>(widths[j]) + 2);
    check(worksheet_set_column(sheet, static_cast<lxw_col_t>(j), static_cast<lxw_col_t>(j), width,
                               nullptr));
  }

  const std::string title = DisplayNameOf(path);
  if (k > 1) {
    check(worksheet_merge_range(sheet, 0, 0, 0, static_cast<lxw_col_t>(k - 1), title.c_str(),
                                title_format));
  } else {
    check(worksheet_write_string(sheet, 0, 0, title.c_str(), title_format));
  }
  check(worksheet_write_string(sheet, 1, 0, std::string(kSerialHeader).c_str(), cell_format));
  for (std::size_t j = 1; j < k; ++j) {
    check(worksheet_write_string(sheet, 1, static_cast<lxw_col_t>(j),
                                 std::string(CellText(columns[j - 1])).c_str(), cell_format));
  }

  std::vector<bool> numeric(k, false);
  for (std::size_t j = 1; j < k; ++j) numeric[j] = IsNumericColumn(columns[j - 1]);
  lxw_row_t row = 2;
  std::string text;
  for_each([&](auto&& value_of) {
    check(worksheet_write_number(sheet, row, 0, static_cast<double>(row - 1), cell_format));
    for (std::size_t j = 1; j < k; ++j) {
      const lxw_col_t col = static_cast<lxw_col_t>(j);
      const std::string_view value = CellText(value_of(j - 1));
      if (value.empty()) {
        check(worksheet_write_blank(sheet, row, col, cell_format));
      } else if (numeric[j] && IsNumberText(value)) {
        check(worksheet_write_number(sheet, row, col, NumberTextValue(value), cell_format));
      } else {
        text.assign(value);
        check(worksheet_write_string(sheet, row, col, text.c_str(), cell_format));
      }
    }
    ++row;
  });

  closer.workbook = nullptr;
  lxw_error closed;
  {
    QuietStandardError quiet;
    closed = workbook_close(workbook);
  }
  check(closed);
  temporary.Commit();
}

bool TooManyRecords(std::size_t records, Prompts& prompts) {
  if (records <= kMaxSpreadsheetRecords) return false;
  prompts.ShowMessage("Warning", kRowCountOutOfRange, MessageIcon::kWarning);
  return true;
}

// Shows "Export to file.." for the export and hides the window when it ends in any way.
struct ShownWhileExporting {
  explicit ShownWhileExporting(Progress& p) : progress(p) {
    progress.ShowWait(true, false);
    progress.SetWaitText(kExportToFile);
  }
  ~ShownWhileExporting() { progress.ShowWait(false); }
  Progress& progress;
};

}  // namespace

std::size_t CountDocumentRecords(const XmlDocument& document) {
  std::size_t count = 0;
  ForEachDocumentRecord(document, [&](const pugi::xml_node&) { ++count; });
  return count;
}

bool ExportToSpreadsheet(const std::string& path, const ExportColumns& columns,
                         const XmlDocument& document, Progress& progress, Prompts& prompts) {
  const std::size_t records = CountDocumentRecords(document);
  if (TooManyRecords(records, prompts)) return false;
  ShownWhileExporting shown(progress);
  WriteWorkbook(path, columns, records, [&](auto&& visit) {
    ForEachDocumentRecord(document, [&](const pugi::xml_node& element) {
      visit([&](std::size_t j) -> std::string_view {
        return element.attribute(columns[j].c_str()).value();
      });
    });
  });
  return true;
}

bool ExportToSpreadsheet(const std::string& path, const ExportColumns& columns,
                         const CatalogTree& tree, Progress& progress, Prompts& prompts) {
  if (TooManyRecords(tree.Size(), prompts)) return false;
  ShownWhileExporting shown(progress);
  std::vector<int> indexes;
  for (const auto& name : columns) indexes.push_back(IsFieldName(name) ? FieldIndexOf(name) : -1);
  WriteWorkbook(path, columns, tree.Size(), [&](auto&& visit) {
    tree.ForEachPreOrder([&](const CatalogTree::Node* node, int) {
      visit([&](std::size_t j) -> std::string_view {
        return indexes[j] < 0 ? std::string_view() : node->record.Field(indexes[j]);
      });
    });
  });
  return true;
}

}  // namespace lumivor
