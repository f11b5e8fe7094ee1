#include "config/config.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdio>

#include "catalog/attribute_columns.h"
#include "catalog/xml_document.h"
#include "config/app_paths.h"
#include "core/atomic_file.h"
#include "core/errors.h"

namespace lumivor {

namespace {

constexpr std::string_view kDefaultConfigText =
    "<?xml version=\"1.0\" encoding=\"utf-8\"?>"
    "<config versionNo=\"Lumivor V2.6\">"
    "\t<frame max=\"True\" left=\"0\" top=\"0\" height=\"600\" width=\"800\">"
    "\t\t<plLeft width=\"308\" col1=\"127\" col2=\"106\" col3=\"76\"/>"
    "\t\t<plHint height=\"262\" col1=\"139\" col2=\"139\"/>"
    "\t</frame>"
    "\t<nodes>"
    "\t\t<node Name=\"FileName\" Visible=\"True\" Index=\"0\" DefaultExport=\"True\" Width=\"172\" "
    "ReadOnly=\"False\" Align=\"left\"/>"
    "\t\t<node Name=\"FullPath\" Visible=\"True\" Index=\"1\" DefaultExport=\"True\" Width=\"173\" "
    "ReadOnly=\"True\" Align=\"left\"/>"
    "\t\t<node Name=\"FileSize\" Visible=\"True\" Index=\"2\" DefaultExport=\"True\" Width=\"84\" "
    "ReadOnly=\"True\" Align=\"right\"/>"
    "\t\t<node Name=\"FileTime\" Visible=\"True\" Index=\"3\" DefaultExport=\"True\" Width=\"112\" "
    "ReadOnly=\"True\" Align=\"right\"/>"
    "\t\t<node Name=\"FileExt\" Visible=\"True\" Index=\"4\" DefaultExport=\"True\" Width=\"66\" "
    "ReadOnly=\"True\" Align=\"right\"/>"
    "\t\t<node Name=\"FileType\" Visible=\"False\" Index=\"5\" DefaultExport=\"True\" Width=\"66\" "
    "ReadOnly=\"True\" Align=\"left\"/>"
    "\t\t<node Name=\"Description\" Visible=\"True\" Index=\"6\" DefaultExport=\"True\" "
    "Width=\"124\" ReadOnly=\"False\" Align=\"left\"/>"
    "\t\t<node Name=\"FileNameLength\" Visible=\"False\" Index=\"7\" DefaultExport=\"False\" "
    "Width=\"100\" ReadOnly=\"True\" Align=\"right\"/>"
    "\t\t<node Name=\"PathNameLength\" Visible=\"False\" Index=\"8\" DefaultExport=\"False\" "
    "Width=\"100\" ReadOnly=\"True\" Align=\"right\"/>"
    "\t\t<node Name=\"SizePercentage\" Visible=\"False\" Index=\"9\" DefaultExport=\"False\" "
    "Width=\"100\" ReadOnly=\"True\" Align=\"right\"/>"
    "\t\t<node Name=\"CatalogName\" Visible=\"True\" Index=\"10\" DefaultExport=\"True\" "
    "Width=\"80\" ReadOnly=\"True\" Align=\"left\"/>"
    "\t</nodes>"
    "</config>";

constexpr std::string_view kBadSuffix = ".bad";

// The default text as a document: the one source of every default value. Parsed once; only
// read afterwards, which pugixml allows from any thread.
struct DefaultDocument {
  DefaultDocument() {
    document.load_buffer(kDefaultConfigText.data(), kDefaultConfigText.size(), kXmlParseOptions,
                         pugi::encoding_utf8);
    root = document.child("config");
  }
  pugi::xml_document document;
  pugi::xml_node root;
};

pugi::xml_node DefaultRoot() {
  static const DefaultDocument defaults;
  return defaults.root;
}

pugi::xml_node DefaultFrame() { return DefaultRoot().child("frame"); }

// The default row for a column named `name`: the row of that name, or the FileName row.
pugi::xml_node DefaultRow(std::string_view name) {
  const pugi::xml_node nodes = DefaultRoot().child("nodes");
  for (pugi::xml_node row = nodes.child("node"); row; row = row.next_sibling("node")) {
    if (name == row.attribute("Name").value()) return row;
  }
  return nodes.child("node");
}

// Strict conversions: a value converts only when all of it does.
bool ParseInt(std::string_view text, int* out) {
  if (text.empty()) return false;
  const char* const end = text.data() + text.size();
  const auto [stop, error] = std::from_chars(text.data(), end, *out);
  return error == std::errc() && stop == end;
}

bool ParseBool(std::string_view text, bool* out) {
  if (text == "True") {
    *out = true;
    return true;
  }
  if (text == "False") {
    *out = false;
    return true;
  }
  return false;
}

int ReadInt(pugi::xml_node node, const char* name, pugi::xml_node defaults) {
  int value = 0;
  if (ParseInt(node.attribute(name).value(), &value)) return value;
  ParseInt(defaults.attribute(name).value(), &value);
  return value;
}

bool ReadBool(pugi::xml_node node, const char* name, pugi::xml_node defaults) {
  bool value = false;
  if (ParseBool(node.attribute(name).value(), &value)) return value;
  ParseBool(defaults.attribute(name).value(), &value);
  return value;
}

std::string ReadText(pugi::xml_node node, const char* name, pugi::xml_node defaults) {
  const pugi::xml_attribute attribute = node.attribute(name);
  return attribute ? attribute.value() : defaults.attribute(name).value();
}

pugi::xml_attribute AttributeToWrite(pugi::xml_node node, const char* name) {
  if (!node) return {};
  pugi::xml_attribute attribute = node.attribute(name);
  return attribute ? attribute : node.append_attribute(name);
}

void WriteInt(pugi::xml_node node, const char* name, int value) {
  AttributeToWrite(node, name).set_value(std::to_string(value).c_str());
}

void WriteBool(pugi::xml_node node, const char* name, bool value) {
  AttributeToWrite(node, name).set_value(value ? "True" : "False");
}

void WriteText(pugi::xml_node node, const char* name, std::string_view value) {
  AttributeToWrite(node, name).set_value(std::string(value).c_str());
}

// The first child named `name`, appended empty when there is none.
pugi::xml_node ChildOrNew(pugi::xml_node node, const char* name) {
  if (!node) return {};
  pugi::xml_node child = node.child(name);
  return child ? child : node.append_child(name);
}

std::string JoinPath(const std::string& directory, std::string_view name) {
  std::string path = directory;
  if (path.empty() || path.back() != '/') path += '/';
  path += name;
  return path;
}

}  // namespace

std::string_view DefaultConfigText() { return kDefaultConfigText; }

// --- LibraryPaneSettings
// -----------------------------------------------------------------------------

int LibraryPaneSettings::width() const {
  return ReadInt(node_, "width", DefaultFrame().child("plLeft"));
}
int LibraryPaneSettings::col1() const {
  return ReadInt(node_, "col1", DefaultFrame().child("plLeft"));
}
int LibraryPaneSettings::col2() const {
  return ReadInt(node_, "col2", DefaultFrame().child("plLeft"));
}
int LibraryPaneSettings::col3() const {
  return ReadInt(node_, "col3", DefaultFrame().child("plLeft"));
}
void LibraryPaneSettings::SetWidth(int value) { WriteInt(node_, "width", value); }
void LibraryPaneSettings::SetCol1(int value) { WriteInt(node_, "col1", value); }
void LibraryPaneSettings::SetCol2(int value) { WriteInt(node_, "col2", value); }
void LibraryPaneSettings::SetCol3(int value) { WriteInt(node_, "col3", value); }

// --- DetailPaneSettings
// -----------------------------------------------------------------------------

int DetailPaneSettings::height() const {
  return ReadInt(node_, "height", DefaultFrame().child("plHint"));
}
int DetailPaneSettings::col1() const {
  return ReadInt(node_, "col1", DefaultFrame().child("plHint"));
}
int DetailPaneSettings::col2() const {
  return ReadInt(node_, "col2", DefaultFrame().child("plHint"));
}
void DetailPaneSettings::SetHeight(int value) { WriteInt(node_, "height", value); }
void DetailPaneSettings::SetCol1(int value) { WriteInt(node_, "col1", value); }
void DetailPaneSettings::SetCol2(int value) { WriteInt(node_, "col2", value); }

// --- WindowFrameSettings
// ------------------------------------------------------------------------------

bool WindowFrameSettings::max() const { return ReadBool(node_, "max", DefaultFrame()); }
int WindowFrameSettings::left() const { return ReadInt(node_, "left", DefaultFrame()); }
int WindowFrameSettings::top() const { return ReadInt(node_, "top", DefaultFrame()); }
int WindowFrameSettings::height() const { return ReadInt(node_, "height", DefaultFrame()); }
int WindowFrameSettings::width() const { return ReadInt(node_, "width", DefaultFrame()); }
void WindowFrameSettings::SetMax(bool value) { WriteBool(node_, "max", value); }
void WindowFrameSettings::SetLeft(int value) { WriteInt(node_, "left", value); }
void WindowFrameSettings::SetTop(int value) { WriteInt(node_, "top", value); }
void WindowFrameSettings::SetHeight(int value) { WriteInt(node_, "height", value); }
void WindowFrameSettings::SetWidth(int value) { WriteInt(node_, "width", value); }
LibraryPaneSettings WindowFrameSettings::plLeft() const {
  return LibraryPaneSettings(ChildOrNew(node_, "plLeft"));
}
DetailPaneSettings WindowFrameSettings::plHint() const {
  return DetailPaneSettings(ChildOrNew(node_, "plHint"));
}

// --- ColumnSetting -------------------------------------------------------------------------------

// Every default of a row comes from the default row of the same Name, so that a row of the
// FileSize column that lost its Align still aligns right.
std::string ColumnSetting::Name() const {
  const pugi::xml_attribute name = node_.attribute("Name");
  return name ? name.value() : DefaultRow("").attribute("Name").value();
}
bool ColumnSetting::Visible() const {
  return ReadBool(node_, "Visible", DefaultRow(node_.attribute("Name").value()));
}
int ColumnSetting::Index() const {
  return ReadInt(node_, "Index", DefaultRow(node_.attribute("Name").value()));
}
bool ColumnSetting::DefaultExport() const {
  return ReadBool(node_, "DefaultExport", DefaultRow(node_.attribute("Name").value()));
}
int ColumnSetting::Width() const {
  return ReadInt(node_, "Width", DefaultRow(node_.attribute("Name").value()));
}
bool ColumnSetting::ReadOnly() const {
  return ReadBool(node_, "ReadOnly", DefaultRow(node_.attribute("Name").value()));
}
std::string ColumnSetting::Align() const {
  return ReadText(node_, "Align", DefaultRow(node_.attribute("Name").value()));
}
void ColumnSetting::SetName(std::string_view value) { WriteText(node_, "Name", value); }
void ColumnSetting::SetVisible(bool value) { WriteBool(node_, "Visible", value); }
void ColumnSetting::SetIndex(int value) { WriteInt(node_, "Index", value); }
void ColumnSetting::SetDefaultExport(bool value) { WriteBool(node_, "DefaultExport", value); }
void ColumnSetting::SetWidth(int value) { WriteInt(node_, "Width", value); }
void ColumnSetting::SetReadOnly(bool value) { WriteBool(node_, "ReadOnly", value); }
void ColumnSetting::SetAlign(std::string_view value) { WriteText(node_, "Align", value); }

// --- ColumnSettings ------------------------------------------------------------------------------

int ColumnSettings::Count() const {
  int count = 0;
  for (pugi::xml_node row = node_.child("node"); row; row = row.next_sibling("node")) ++count;
  return count;
}

ColumnSetting ColumnSettings::Node(int i) const {
  if (i < 0) return {};
  pugi::xml_node row = node_.child("node");
  for (; row && i > 0; --i) row = row.next_sibling("node");
  return ColumnSetting(row);
}

ColumnSetting ColumnSettings::Add() {
  if (!node_) return {};
  // After the last row, or at the end when there is none.
  pugi::xml_node last;
  for (pugi::xml_node row = node_.child("node"); row; row = row.next_sibling("node")) last = row;
  return ColumnSetting(last ? node_.insert_child_after("node", last) : node_.append_child("node"));
}

ColumnSetting ColumnSettings::Insert(int i) {
  if (!node_) return {};
  const pugi::xml_node before = Node(i < 0 ? 0 : i).Element();
  return before ? ColumnSetting(node_.insert_child_before("node", before)) : Add();
}

// --- ScanPreferences
// -------------------------------------------------------------------------------

// The default document holds no `scan` element, so both read False unless set.
bool ScanPreferences::archives() const {
  return ReadBool(node_, "archives", DefaultRoot().child("scan"));
}
bool ScanPreferences::metadata() const {
  return ReadBool(node_, "metadata", DefaultRoot().child("scan"));
}
void ScanPreferences::SetArchives(bool value) { WriteBool(node_, "archives", value); }
void ScanPreferences::SetMetadata(bool value) { WriteBool(node_, "metadata", value); }

// --- ConfigRoot -----------------------------------------------------------------------------

std::string ConfigRoot::versionNo() const { return ReadText(node_, "versionNo", DefaultRoot()); }
WindowFrameSettings ConfigRoot::frame() const {
  return WindowFrameSettings(ChildOrNew(node_, "frame"));
}
ColumnSettings ConfigRoot::nodes() const { return ColumnSettings(ChildOrNew(node_, "nodes")); }
ScanPreferences ConfigRoot::scan() const { return ScanPreferences(ChildOrNew(node_, "scan")); }

// --- Configuration
// ------------------------------------------------------------------------------------

Configuration::Configuration(std::string directory)
    : directory_(std::move(directory)), document_(std::make_unique<pugi::xml_document>()) {
  while (directory_.size() > 1 && directory_.back() == '/') directory_.pop_back();
  Load();
}

Configuration::~Configuration() = default;

std::string Configuration::ConfigFilePath() const { return JoinPath(directory_, kConfigFileName); }

const std::string& Configuration::LibraryPath() {
  if (library_path_.empty()) library_path_ = JoinPath(directory_, kLibraryDirectoryName);
  return library_path_;
}

std::string Configuration::SharedLibrary() const {
  return document_->child("config").child("sharedLibrary").attribute("connection").as_string();
}

void Configuration::SetSharedLibrary(std::string_view connection) {
  pugi::xml_node config = document_->child("config");
  if (connection.empty()) {
    config.remove_child("sharedLibrary");
    return;
  }
  pugi::xml_node element = config.child("sharedLibrary");
  if (!element) element = config.append_child("sharedLibrary");
  pugi::xml_attribute attribute = element.attribute("connection");
  if (!attribute) attribute = element.append_attribute("connection");
  attribute.set_value(std::string(connection).c_str());
}

std::string Configuration::LibraryLocation() {
  std::string shared = SharedLibrary();
  return shared.empty() ? LibraryPath() : shared;
}

ConfigRoot Configuration::Root() { return ConfigRoot(document_->child("config")); }

void Configuration::Save() {
  WriteFileAtomically(ConfigFilePath(), SerializeElement(document_->child("config")));
}

void Configuration::WriteDefaultFile() {
  WriteFileAtomically(ConfigFilePath(), kDefaultConfigText);
}

void Configuration::Load() {
  const std::string path = ConfigFilePath();
  const auto use_defaults = [this] { SetDocumentText(*document_, kDefaultConfigText); };

  struct stat st;
  if (::lstat(path.c_str(), &st) != 0 && errno == ENOENT) {
    try {
      WriteDefaultFile();
    } catch (const LumivorError& e) {
      load_warning_ = std::string(e.what()) + ". The default settings are used for this session.";
    }
    use_defaults();
    return;
  }

  std::string text;
  try {
    text = ReadWholeFile(path);
  } catch (const LumivorError& e) {
    // Unreadable is not broken: the file is left where it is.
    load_warning_ = "Cannot read the configuration file " + std::string(e.what()) +
                    ". The default settings are used for this session.";
    use_defaults();
    return;
  }

  std::string reason;
  try {
    SetDocumentText(*document_, text);
    if (!document_->document_element() ||
        std::string_view(document_->document_element().name()) != "config") {
      reason = "its root element is not <config>";
    }
  } catch (const LumivorError& e) {
    reason = e.what();
  }

  if (reason.empty()) {
    // A table without rows would leave the catalog view without a single column: give it the
    // default rows. Rows that are there are used as they stand.
    ColumnSettings rows = Root().nodes();
    if (rows.Count() == 0) {
      for (pugi::xml_node row = DefaultRoot().child("nodes").child("node"); row;
           row = row.next_sibling("node")) {
        rows.Element().append_copy(row);
      }
    }
    return;
  }

  // Not a usable configuration: keep it for the user, start again from the defaults.
  const std::string bad_path = path + std::string(kBadSuffix);
  std::string kept;
  if (std::rename(path.c_str(), bad_path.c_str()) == 0) {
    kept = " It was kept as " + bad_path + " and the default settings are used.";
    try {
      WriteDefaultFile();
    } catch (const LumivorError& e) {
      kept += " " + std::string(e.what()) + ".";
    }
  } else {
    kept = " It could not be kept as " + bad_path + " (" + SystemMessage(errno) +
           "); the default settings are used for this session.";
  }
  load_warning_ = "The configuration file " + path + " is damaged (" + reason + ")." + kept;
  use_defaults();
}

// --- Free functions -----------------------------------------------------------------------------

Configuration& GetConfig() {
  static Configuration config(DataDirectory());
  return config;
}

void AddAttributeColumns(Configuration& config) {
  ColumnSettings rows = config.Root().nodes();
  std::vector<std::string> present;
  for (int i = 0; i < rows.Count(); ++i) present.push_back(rows.Node(i).Name());
  for (const AttributeColumn& column : kAttributeColumns) {
    if (std::find(present.begin(), present.end(), column.name) != present.end()) continue;
    const int position = rows.Count();
    ColumnSetting row = rows.Add();
    row.SetName(column.name);
    row.SetVisible(false);
    row.SetIndex(position);
    row.SetDefaultExport(false);
    row.SetWidth(column.width);
    row.SetReadOnly(true);
    row.SetAlign(column.right_aligned ? "right" : "left");
  }
}

std::vector<std::string> DefaultExportFields(Configuration& config) {
  std::vector<std::string> names;
  const ColumnSettings rows = config.Root().nodes();
  const int count = rows.Count();
  for (int i = 0; i < count; ++i) {
    const ColumnSetting row = rows.Node(i);
    if (row.DefaultExport()) names.push_back(row.Name());
  }
  return names;
}

}  // namespace lumivor
