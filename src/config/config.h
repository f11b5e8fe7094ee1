#pragma once

#include <memory>
#include <pugixml.hpp>
#include <string>
#include <string_view>
#include <vector>

namespace lumivor {

// The configuration a first start writes, byte for byte: one line, TAB indentation, no byte-order
// mark and no trailing newline.
[[nodiscard]] std::string_view DefaultConfigText();

// The file name of the configuration and the name of the library directory beside it.
inline constexpr std::string_view kConfigFileName = "LumivorConfig.xml";
inline constexpr std::string_view kLibraryDirectoryName = "CatalogLibrary";

// Typed access to the configuration document.
//
// Each class is a small value over one pugixml element, cheap to copy, and never throws. Getters
// are named after the attribute (`max()`, `left()`, `Name()`, `Visible()`), setters are `Set`
// followed by the attribute name with a capital first letter (`SetMax`, `SetLeft`, `SetVisible`).
//
// Reads never fail: an attribute that is missing, or an integer or boolean that does not convert
// (booleans are exactly "True" or "False", integers decimal with an optional minus sign), reads
// as the value the default configuration holds for that element and attribute; for a `node` row
// that is the default row of the same `Name`, or of `FileName` when the name is unknown. Values
// the file does hold are used as they stand. A child accessor returns the first child element of
// that name and creates it, empty, when it is missing. A value over no element (default
// constructed) reads defaults and ignores writes.

// `config/frame/plLeft`: the left panel's width and the library tree's column widths.
class LibraryPaneSettings {
 public:
  LibraryPaneSettings() = default;
  explicit LibraryPaneSettings(pugi::xml_node node) : node_(node) {}
  [[nodiscard]] int width() const;
  [[nodiscard]] int col1() const;
  [[nodiscard]] int col2() const;
  [[nodiscard]] int col3() const;
  void SetWidth(int value);
  void SetCol1(int value);
  void SetCol2(int value);
  void SetCol3(int value);
  [[nodiscard]] pugi::xml_node Element() const { return node_; }

 private:
  pugi::xml_node node_;
};

// `config/frame/plHint`: the detail pane's height and its two column widths.
class DetailPaneSettings {
 public:
  DetailPaneSettings() = default;
  explicit DetailPaneSettings(pugi::xml_node node) : node_(node) {}
  [[nodiscard]] int height() const;
  [[nodiscard]] int col1() const;
  [[nodiscard]] int col2() const;
  void SetHeight(int value);
  void SetCol1(int value);
  void SetCol2(int value);
  [[nodiscard]] pugi::xml_node Element() const { return node_; }

 private:
  pugi::xml_node node_;
};

// `config/frame`: the main window's geometry and its panels.
class WindowFrameSettings {
 public:
  WindowFrameSettings() = default;
  explicit WindowFrameSettings(pugi::xml_node node) : node_(node) {}
  [[nodiscard]] bool max() const;
  [[nodiscard]] int left() const;
  [[nodiscard]] int top() const;
  [[nodiscard]] int height() const;
  [[nodiscard]] int width() const;
  void SetMax(bool value);
  void SetLeft(int value);
  void SetTop(int value);
  void SetHeight(int value);
  void SetWidth(int value);
  // The first `plLeft` child, created when missing.
  [[nodiscard]] LibraryPaneSettings plLeft() const;
  // The first `plHint` child, created when missing.
  [[nodiscard]] DetailPaneSettings plHint() const;
  [[nodiscard]] pugi::xml_node Element() const { return node_; }

 private:
  pugi::xml_node node_;
};

// `config/nodes/node`: the settings of one catalog-view column.
class ColumnSetting {
 public:
  ColumnSetting() = default;
  explicit ColumnSetting(pugi::xml_node node) : node_(node) {}
  // The field the column shows; the text as it stands ("FileName" when the attribute is missing).
  [[nodiscard]] std::string Name() const;
  [[nodiscard]] bool Visible() const;
  // Display position among the view's columns (0 = leftmost).
  [[nodiscard]] int Index() const;
  [[nodiscard]] bool DefaultExport() const;
  [[nodiscard]] int Width() const;
  [[nodiscard]] bool ReadOnly() const;
  // "left", "right" or "center" as the file holds it; compared case-sensitively by the views.
  [[nodiscard]] std::string Align() const;
  void SetName(std::string_view value);
  void SetVisible(bool value);
  void SetIndex(int value);
  void SetDefaultExport(bool value);
  void SetWidth(int value);
  void SetReadOnly(bool value);
  void SetAlign(std::string_view value);
  [[nodiscard]] pugi::xml_node Element() const { return node_; }

 private:
  pugi::xml_node node_;
};

// `config/nodes`: the column settings rows. Only child elements named `node` are rows; any other
// child is skipped and does not shift the row numbers.
class ColumnSettings {
 public:
  ColumnSettings() = default;
  explicit ColumnSettings(pugi::xml_node node) : node_(node) {}
  // The number of `node` rows.
  [[nodiscard]] int Count() const;
  // Row `i` (0-based, document order); an empty value when there is no such row.
  [[nodiscard]] ColumnSetting Node(int i) const;
  // Appends a new, empty `node` row and returns it.
  ColumnSetting Add();
  // Inserts a new, empty `node` row before row `i` (at the end when `i` >= Count()).
  ColumnSetting Insert(int i);
  [[nodiscard]] pugi::xml_node Element() const { return node_; }

 private:
  pugi::xml_node node_;
};

// `config/scan`: what the new-catalog dialog last chose to look into beyond the folder tree.
// The default configuration has no such element; a missing one, or a missing attribute, reads
// as False.
class ScanPreferences {
 public:
  ScanPreferences() = default;
  explicit ScanPreferences(pugi::xml_node node) : node_(node) {}
  // List the entries of archives.
  [[nodiscard]] bool archives() const;
  // Read the tags of music, photos and videos.
  [[nodiscard]] bool metadata() const;
  void SetArchives(bool value);
  void SetMetadata(bool value);
  [[nodiscard]] pugi::xml_node Element() const { return node_; }

 private:
  pugi::xml_node node_;
};

// `config`: the root of the configuration.
class ConfigRoot {
 public:
  ConfigRoot() = default;
  explicit ConfigRoot(pugi::xml_node node) : node_(node) {}
  [[nodiscard]] std::string versionNo() const;
  // The first `frame` child, created when missing.
  [[nodiscard]] WindowFrameSettings frame() const;
  // The first `nodes` child, created when missing.
  [[nodiscard]] ColumnSettings nodes() const;
  // The first `scan` child, created when missing.
  [[nodiscard]] ScanPreferences scan() const;
  [[nodiscard]] pugi::xml_node Element() const { return node_; }
  [[nodiscard]] explicit operator bool() const { return static_cast<bool>(node_); }

 private:
  pugi::xml_node node_;
};

// The configuration file of one directory and the library path beside it.
//
// Creating the object reads `directory`/LumivorConfig.xml, writing the default text first when
// there is no file. A file that is not a well-formed configuration is kept as
// LumivorConfig.xml.bad (replacing an older one), the default text is written and used, and
// LoadWarning() says so. The constructor never throws; changes live in memory until Save().
class Configuration {
 public:
  explicit Configuration(std::string directory);
  ~Configuration();
  Configuration(const Configuration&) = delete;
  Configuration& operator=(const Configuration&) = delete;

  // `directory`/LumivorConfig.xml.
  [[nodiscard]] std::string ConfigFilePath() const;
  // `directory`/CatalogLibrary, without trailing "/"; fixed on the first call. The directory is
  // not created here (CreateDefaultLibrary does that).
  [[nodiscard]] const std::string& LibraryPath();
  // The server library the configuration names (`config/sharedLibrary`, attribute
  // `connection`): a connection URI or key=value string without its password, or empty when the
  // library is the folder LibraryPath().
  [[nodiscard]] std::string SharedLibrary() const;
  // Names the server library (empty: back to the folder library). Callers remove any password
  // first: the configuration never holds one. In memory until Save().
  void SetSharedLibrary(std::string_view connection);
  // The library in use: SharedLibrary() when set, else LibraryPath().
  [[nodiscard]] std::string LibraryLocation();
  // The typed root of the loaded document; reads and writes go to memory.
  [[nodiscard]] ConfigRoot Root();
  // Writes the `config` element (no declaration, no indentation added) to the file, replacing
  // the old file only once the new one is complete. Raises LumivorError on failure.
  void Save();
  // Writes DefaultConfigText() as the file, atomically. Raises LumivorError on failure. The
  // document in memory is left as it is.
  void WriteDefaultFile();
  // Empty, or a message for the user when the file could not be used as it was (it names the
  // kept .bad file, or the reason the file could not be read or written).
  [[nodiscard]] const std::string& LoadWarning() const { return load_warning_; }

 private:
  void Load();

  std::string directory_;
  std::string library_path_;
  std::unique_ptr<pugi::xml_document> document_;
  std::string load_warning_;
};

// The process-wide configuration of DefaultDataDirectory(), created on first use.
[[nodiscard]] Configuration& GetConfig();

// Appends a hidden, not exported row for every attribute column (kAttributeColumns: the tags, the
// volume facts, Missing, Hash...) the table does not name yet, so that the catalog view, the
// visible-columns dialog and the export dialog offer them after the fields. Rows the file holds
// stay as they are, in their order. The file changes at the next Save.
void AddAttributeColumns(Configuration& config);

// The names of the rows whose DefaultExport is true, in row order: the columns an export takes
// when none are chosen.
[[nodiscard]] std::vector<std::string> DefaultExportFields(Configuration& config);

}  // namespace lumivor
