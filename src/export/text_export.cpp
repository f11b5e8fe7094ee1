// The HTML, CSV and plain-text exporters: the page or text is built in memory and written in one
// pass through a temporary file that replaces the target only once it is complete.
#include <array>

#include "core/atomic_file.h"
#include "core/fields.h"
#include "core/file_info.h"
#include "core/volumes.h"
#include "export/exporters.h"

namespace lumivor {

namespace {

// The head as its pieces, each with the number of blanks written before it.
constexpr std::array<std::pair<int, std::string_view>, 24> kHeadPieces = {{
    {0, "<HTML><HEAD> <Title></Title><Style type=\"text/css\">"},
    {2, "BODY { background: #FFFFFF; color: #000000;"},
    {9, "font-family: Arial;"},
    {2, "}"},
    {2, "A:link { color: #FF0000 }"},
    {2, "A:visited { color: #800080 }"},
    {2, "A:active { color: #0000FF }"},
    {2, ".ThRows {"},
    {12, "background-color: #CEC6B5;"},
    {12, "color: #000000;"},
    {12, "font-weight: bold; text-align: center;"},
    {12, "font-family: Arial;"},
    {2, "}"},
    {2, ".TrARow {"},
    {12, "background-color: #DEE7DE;"},
    {12, "color: #000000;"},
    {12, "font-family: Arial;"},
    {2, "}"},
    {2, ".TrBRow"},
    {2, "{"},
    {12, "background-color: #FFFBF0;"},
    {12, "color: #000000;"},
    {12, "font-family: Arial;"},
    {2, "}</STYLE></HEAD><BODY>"},
}};

constexpr std::string_view kUtf8ByteOrderMark = "\xEF\xBB\xBF";
constexpr std::string_view kTableOpen = "<Table Border=\"1\" Cellpadding=\"4\" Cellspacing=\"1\">";
constexpr std::string_view kHeaderCell = "<td class=\"ThRows\">";
constexpr std::string_view kCellA = "<td class=\"TrARow\" align=Left>";
constexpr std::string_view kCellB = "<td class=\"TrBRow\" align=Left>";

// Appends `text` with &, <, > and " written as entities; the empty text as "&nbsp".
void AppendHtmlCell(std::string& out, std::string_view text) {
  if (text.empty()) {
    out += "&nbsp";
    return;
  }
  std::size_t start = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    std::string_view entity;
    switch (text[i]) {
      case '&':
        entity = "&amp;";
        break;
      case '<':
        entity = "&lt;";
        break;
      case '>':
        entity = "&gt;";
        break;
      case '"':
        entity = "&quot;";
        break;
      default:
        continue;
    }
    out.append(text.substr(start, i - start));
    out.append(entity);
    start = i + 1;
  }
  out.append(text.substr(start));
}

// The field number of every column (a name that is no field gives FileName).
std::vector<int> ColumnIndexes(const ExportColumns& columns) {
  std::vector<int> indexes;
  indexes.reserve(columns.size());
  for (const auto& name : columns) indexes.push_back(FieldIndexOf(name));
  return indexes;
}

bool NeedsQuotes(std::string_view value, std::string_view separator) {
  if (value.find_first_of("\"\r\n") != std::string_view::npos) return true;
  return !separator.empty() && value.find(separator) != std::string_view::npos;
}

void AppendDelimitedValue(std::string& out, std::string_view value, std::string_view separator,
                          bool quote) {
  if (!quote || !NeedsQuotes(value, separator)) {
    out.append(value);
    return;
  }
  out.push_back('"');
  for (char c : value) {
    if (c == '"') out.push_back('"');
    out.push_back(c);
  }
  out.push_back('"');
}

// Shows the progress window for the export; hides it again when the export ends in any way.
class ExportProgress {
 public:
  explicit ExportProgress(Progress& progress) : progress_(progress) { Show(); }
  ~ExportProgress() { progress_.ShowWait(false); }
  ExportProgress(const ExportProgress&) = delete;
  ExportProgress& operator=(const ExportProgress&) = delete;
  void Show() {
    progress_.ShowWait(true, false);
    progress_.SetWaitText(kExportToFile);
  }

 private:
  Progress& progress_;
};

// The records of a loaded catalog document, read as the catalog view reads them.
CatalogTree DocumentTree(XmlDocument& document, const std::string& catalog_path,
                         ExportProgress& shown, Progress& progress) {
  TFileInfo info(&document, progress);
  info.CatalogPath = catalog_path;
  CatalogTree tree;
  info.ReadTree(&tree);
  shown.Show();  // reading hid the window
  return tree;
}

// Calls sink(piece) with the pieces of `text` with CR LF line ends (see WithCrLfLines), so that a
// large page is written without a second copy of it.
template <typename Sink>
void ForEachCrLfPiece(std::string_view text, Sink&& sink) {
  if (text.empty()) return;
  std::size_t start = 0;
  for (;;) {
    const std::size_t brk = text.find_first_of("\r\n", start);
    if (brk == std::string_view::npos) {
      sink(text.substr(start));
      sink("\r\n");
      return;
    }
    sink(text.substr(start, brk - start));
    sink("\r\n");
    start = brk + (text[brk] == '\r' && brk + 1 < text.size() && text[brk + 1] == '\n' ? 2 : 1);
    if (start == text.size()) return;
  }
}

void WriteLines(const std::string& path, std::string_view prefix, std::string_view text) {
  AtomicFile file(path);
  if (!text.empty()) {
    file.Write(prefix);
    ForEachCrLfPiece(text, [&](std::string_view piece) { file.Write(piece); });
  }
  file.Commit();
}

void WriteHtml(const std::string& path, const ExportColumns& columns, const CatalogTree& tree) {
  WriteLines(path, kUtf8ByteOrderMark, BuildHtmlText(tree, columns, path));
}

void WriteDelimited(const std::string& path, const ExportColumns& columns,
                    std::string_view separator, bool quote, const CatalogTree& tree) {
  WriteLines(path, {}, BuildDelimitedText(tree, columns, separator, quote));
}

std::string_view CsvSeparator(std::string_view separator) {
  return separator.empty() ? kDefaultCsvSeparator : separator;
}

}  // namespace

std::string_view HtmlHead() {
  static const std::string head = [] {
    std::string text;
    for (const auto& [blanks, piece] : kHeadPieces) {
      text.append(static_cast<std::size_t>(blanks), ' ');
      text.append(piece);
    }
    return text;
  }();
  return head;
}

std::string BuildHtmlText(const CatalogTree& tree, const ExportColumns& columns,
                          std::string_view path) {
  if (tree.Empty()) return {};
  const std::vector<int> indexes = ColumnIndexes(columns);
  std::string page;
  page.reserve(1024 + tree.Size() * (16 + columns.size() * 48));
  page.append(HtmlHead());
  page.append("<H5 Align=center>");
  AppendHtmlCell(page, DisplayNameOf(path));
  page.append("</H5><br><H6 Align=center>Generated by:<A href=\"");
  page.append(kGeneratedAddress);
  page.append("\">Lumivor</A></H6><br>");
  page.append(kTableOpen);
  page.append("<tr>");
  for (const auto& name : columns) {
    page.append(kHeaderCell);
    AppendHtmlCell(page, name);
    page.append("</td>");
  }
  page.append("</tr>");
  bool a_row = true;
  tree.ForEachPreOrder([&](const CatalogTree::Node* node, int) {
    const std::string_view cell = a_row ? kCellA : kCellB;
    page.append("<tr>");
    for (int index : indexes) {
      page.append(cell);
      AppendHtmlCell(page, node->record.Field(index));
      page.append("</td>");
    }
    page.append("</tr>");
    a_row = !a_row;
  });
  page.append("</Table></BODY></HTML>");
  return page;
}

std::string BuildDelimitedText(const CatalogTree& tree, const ExportColumns& columns,
                               std::string_view separator, bool quote) {
  if (tree.Empty()) return {};
  const std::vector<int> indexes = ColumnIndexes(columns);
  std::string text;
  text.reserve(tree.Size() * (2 + columns.size() * 24));
  for (const auto& name : columns) {
    AppendDelimitedValue(text, name, separator, quote);
    text.append(separator);
  }
  text.push_back('\n');
  tree.ForEachPreOrder([&](const CatalogTree::Node* node, int) {
    for (std::size_t i = 0; i < indexes.size(); ++i) {
      if (i > 0) text.append(separator);
      AppendDelimitedValue(text, node->record.Field(indexes[i]), separator, quote);
    }
    text.push_back('\n');
  });
  return text;
}

std::string WithCrLfLines(std::string_view text) {
  std::string out;
  out.reserve(text.size() + text.size() / 32 + 2);
  ForEachCrLfPiece(text, [&](std::string_view piece) { out.append(piece); });
  return out;
}

void ExportToHtml(const std::string& path, const ExportColumns& columns, const CatalogTree& tree,
                  Progress& progress) {
  ExportProgress shown(progress);
  WriteHtml(path, columns, tree);
}

void ExportToHtml(const std::string& path, const ExportColumns& columns, XmlDocument& document,
                  const std::string& catalog_path, Progress& progress) {
  ExportProgress shown(progress);
  WriteHtml(path, columns, DocumentTree(document, catalog_path, shown, progress));
}

void ExportToCsv(const std::string& path, const ExportColumns& columns, std::string_view separator,
                 const CatalogTree& tree, Progress& progress) {
  ExportProgress shown(progress);
  WriteDelimited(path, columns, CsvSeparator(separator), true, tree);
}

void ExportToCsv(const std::string& path, const ExportColumns& columns, std::string_view separator,
                 XmlDocument& document, const std::string& catalog_path, Progress& progress) {
  ExportProgress shown(progress);
  WriteDelimited(path, columns, CsvSeparator(separator), true,
                 DocumentTree(document, catalog_path, shown, progress));
}

void ExportToText(const std::string& path, const ExportColumns& columns, std::string_view separator,
                  const CatalogTree& tree, Progress& progress) {
  ExportProgress shown(progress);
  WriteDelimited(path, columns, separator, false, tree);
}

void ExportToText(const std::string& path, const ExportColumns& columns, std::string_view separator,
                  XmlDocument& document, const std::string& catalog_path, Progress& progress) {
  ExportProgress shown(progress);
  WriteDelimited(path, columns, separator, false,
                 DocumentTree(document, catalog_path, shown, progress));
}

void ExportToXml(const std::string& path, const XmlDocument& document, Progress& progress) {
  ExportProgress shown(progress);
  if (DocumentElement(document)) {
    SaveXmlFile(document, path);
  } else {
    // A document that never held a catalog is written as the empty catalog.
    WriteFileAtomically(path, EmptyCatalogText());
  }
}

void ExportToXml(const std::string& path, const CatalogTree& tree, Progress& progress) {
  ExportProgress shown(progress);
  WriteCatalogFile(tree, path, progress);
}

}  // namespace lumivor
