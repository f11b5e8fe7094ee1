#pragma once

#include <QMainWindow>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "catalog/catalog_tree.h"
#include "core/progress.h"
#include "core/prompts.h"
#include "export/ui/export_dialog.h"
#include "search/search.h"
#include "ui/background_work.h"

class QAction;
class QLabel;
class QMenu;
class QSplitter;
class QToolButton;
class QTreeView;
class QUrl;

namespace lumivor {

struct EditedCatalog;

class BackgroundWork;
class CatalogModel;
class DetailModel;
class QtPrompts;
class Configuration;
class LibraryPanel;
class ProgressWindow;
struct ContentEntry;
struct DeepScanOptions;
struct HashReport;
struct NewCatalogPlan;
struct ScanReport;

// The maker's web page and support mail address.
inline constexpr std::string_view kWebAddress = "https://orvane.example/lumivor";
inline constexpr std::string_view kSupportMail = "support@orvane.example";
// The product name and version shown in the caption and the about box.
inline constexpr std::string_view kProductTitle = "Orvane Lumivor 3.5.4";
// The first part of every status-bar text.
inline constexpr std::string_view kStatusPrefix = "Current Catalog: ==> ";

// The main window: toolbar, library tree (top left), file detail pane (bottom left) and the
// catalog view (right). It owns the current catalog for the whole run.
//
// State of the current catalog:
//   CurrentCatalogFile  the file the view shows; empty for search results, a group or nothing
//   ScanRootName        the source folder of a scan in progress, then the scan's top FileName
//   SortField           the field the view sorts by (0, FileName, until the first header click)
//   DetailShowsItem     whether the detail pane shows an item of the view (not a library record)
//
// Everything a command does runs through RunCommand: an error that ends a command is shown in a
// message box "Error" with the error's own text, and the command stops there. Configuration and
// library come from the directory given at construction, never from GetConfig(), so tests and
// commands see the same files.
class MainWindow : public QMainWindow {
  Q_OBJECT

 public:
  // A main window over the configuration and library in `directory`. Questions and messages go
  // through `prompts` (nullptr: Qt's dialogs and message boxes), which must outlive the window.
  explicit MainWindow(std::string directory, Prompts* prompts = nullptr, QWidget* parent = nullptr);
  ~MainWindow() override;

  // The start-up sequence, run once (later calls do nothing): configuration (written with the
  // defaults when missing), library with its default groups, caption, layout, columns, library
  // tree, empty detail pane. Called by the first show when nobody called it before.
  void InitMainWindow();
  // Window geometry and pane sizes from the configuration.
  void RestoreLayout();
  // Window geometry, pane sizes and column widths, visibility and order into the configuration,
  // which is then written. Raises LumivorError when the file cannot be written.
  void SaveLayout();
  // The catalog view's columns from the configuration rows: captions, widths, display positions,
  // visibility, alignment, colours and editability.
  void BuildColumns();
  // Shows or hides each column of the view as its configuration row's Visible says.
  void ApplyColumnVisibility();
  // Rewrites the status-bar text from the library tree's and the view's focused nodes.
  void UpdateStatusBar();
  // The status-bar text.
  [[nodiscard]] QString StatusText() const;
  // The text at the right end of the status bar: the entry count of the catalog on screen ("1,234
  // entries"); empty while no catalog file is shown.
  [[nodiscard]] QString EntryCountText() const;

  // --- The current catalog ---
  [[nodiscard]] const std::string& CurrentCatalogFile() const { return current_catalog_file_; }
  void SetCurrentCatalogFile(std::string path) { current_catalog_file_ = std::move(path); }
  [[nodiscard]] const std::string& ScanRootName() const { return scan_root_name_; }
  void SetScanRootName(std::string name) { scan_root_name_ = std::move(name); }
  [[nodiscard]] int SortField() const { return sort_field_; }
  [[nodiscard]] bool DetailShowsItem() const { return detail_shows_item_; }
  void SetDetailShowsItem(bool shows_item);

  // Shows `tree` in the view; the view adopts it (no copy). The detail pane is emptied.
  void SetCatalogTree(CatalogTree&& tree);
  // Appends the top-level records of `tree` to the view (search results); `tree` is left empty.
  void AppendCatalogTree(CatalogTree&& tree);
  // Empties the view and the detail pane.
  void ClearCatalog();
  // The tree on screen, in the order shown, sorted here on the window's thread (for tests and
  // benchmarks; the window's own saves and exports sort on the worker, see RunOnShownTree).
  [[nodiscard]] const CatalogTree& CatalogTreeShown();
  // The name of what the view shows, as a file name to suggest: the open catalog's display
  // name, "Search results", or empty.
  [[nodiscard]] QString ScreenName() const;
  // The number of records in the view.
  [[nodiscard]] std::size_t CatalogSize() const;

  // --- Search results ---
  // Searches for `criteria` (what the Search command does once its dialog is closed): the results
  // appear in the view while the search runs and end in the order of the search's outcome; the
  // status line says when the index was passed by or made afresh, and a message closes it.
  void RunSearch(const SearchCriteria& criteria);
  // Shows the records of a search in the view (replacing what it showed) and remembers where
  // each came from, so that an edit of a result is written to its own catalog file.
  void ShowSearchResults(SearchOutcome&& outcome);
  // Opens the catalog file the result `node` came from in the view, with the result's record
  // selected, its folders expanded and scrolled to; the library tree shows the catalog. A record
  // that is no longer in the file leaves nothing selected, and the status line says so.
  void OpenResultCatalog(const CatalogTree::Node* node);
  // True while the view shows search results.
  [[nodiscard]] bool ShowsResults() const { return results_shown_; }
  // The catalog file and record a result row came from; nullptr for a node that is no result.
  [[nodiscard]] const ResultSource* SourceOf(const CatalogTree::Node* node) const;

  // Loads the catalog file `path` into the view, empties the detail pane and expands its first
  // top-level node. Nothing happens when `path` is already the current catalog file. Raises
  // LumivorError (path and reason) when the file cannot be read; then the view and
  // CurrentCatalogFile stay as they were.
  void OpenCatalog(const std::string& path);
  // Writes the view's tree to CurrentCatalogFile, asking for a file name when that is empty
  // (cancelling saves nothing). The old file is replaced only once the new one is complete.
  // Raises LumivorError on failure.
  void SaveCurrentCatalog();
  // Sorts the whole view by the header's sort column and direction (by SortField).
  void ResortCatalog();
  // Stores `text` in `field` of `node` (renaming paths below it for a FileName), recomputes
  // FileNameLength and saves the catalog; a failed save is shown as "Error". A search result is
  // written to the catalog file it came from, and the view shows it once that file is saved.
  void ApplyEdit(CatalogTree::Node* node, int field, std::string_view text);
  // The detail pane shows `record` (nullptr: nothing) row by row as the configuration lists the
  // columns.
  void ShowDetail(const CatalogTree::Node* node);
  // Lists the library afresh, then selects the node of `select_path` (empty: the root stays
  // selected).
  void RefreshLibrary(const std::string& select_path = {});

  // Runs `command`; an error that escapes it hides the progress window and is shown in a message
  // box with caption "Error" and the error's text. False when it ended with an error.
  bool RunCommand(const std::function<void()>& command);
  // Runs `work` on the worker thread (see BackgroundWork) with the window's commands disabled,
  // and returns when it has ended, raising what it raised. Raises LumivorError when other work
  // is running.
  // `title` names the work in the progress window's title bar.
  void RunInBackground(const std::function<void(WorkContext&)>& work,
                       const QString& title = QString());
  // The runner of long work; Running() tells whether work runs now.
  [[nodiscard]] BackgroundWork& Work() const { return *work_; }

  // --- What commands work with ---
  [[nodiscard]] Configuration& Config();
  [[nodiscard]] const std::string& LibraryPath();
  [[nodiscard]] Progress& WaitProgress();
  [[nodiscard]] ProgressWindow* progress_window() const { return progress_window_; }
  [[nodiscard]] Prompts& UserPrompts() { return *prompts_; }
  [[nodiscard]] LibraryPanel* library_panel() const { return library_panel_; }
  [[nodiscard]] QTreeView* catalog_view() const { return catalog_view_; }
  [[nodiscard]] CatalogModel* catalog_model() const { return catalog_model_; }
  [[nodiscard]] QTreeView* detail_view() const { return detail_view_; }
  [[nodiscard]] DetailModel* detail_model() const { return detail_model_; }
  // The view's focused node; nullptr when there is none.
  [[nodiscard]] CatalogTree::Node* FocusedItem() const;
  // The toolbar button at `i` (0 New Catalog .. 5 Exit).
  [[nodiscard]] QToolButton* ToolButton(int i) const;
  // The left column and the detail panel, whose sizes the layout keeps.
  [[nodiscard]] QSplitter* library_splitter() const { return library_splitter_; }
  [[nodiscard]] QSplitter* detail_splitter() const { return detail_splitter_; }
  // The Options pop-up menu.
  [[nodiscard]] QMenu* options_menu() const { return options_menu_; }

  // Opens a file or web address with the desktop's program for it; false when none could. Tests
  // replace it.
  std::function<bool(const QUrl& url)> open_url;

 public slots:
  // The New Catalog command; its dialog is wired here.
  void OnNewCatalogClicked();
  // The Catalog Library command; its window is wired here.
  void OnLibraryClicked();
  // The Search command; its dialog is wired here.
  void OnSearchClicked();
  // The Export command; its dialog is wired here.
  void OnExportClicked();
  // The Import command: a listing of another tool becomes a catalog, which is then opened.
  void OnImportClicked();
  // The visible-columns dialog of the Options menu; it is wired here.
  void OnVisibleColumnsClicked();
  // A click in the library tree: opens the clicked catalog, or empties the view for a group.
  void OnLibraryTreeClicked();
  // Update Catalog: scans the medium of the catalog file `path` again (asking for its folder when
  // it is not connected), rewrites the file with the descriptions kept, shows the summary and
  // shows the catalog afresh if it is on screen. False when nothing was written. With `from`, that
  // folder is scanned as the catalog's medium.
  bool UpdateCatalog(const std::string& path, const std::string& from = {});
  // File > Update Catalog: UpdateCatalog on the catalog file the view shows. The command is
  // disabled while the view shows no catalog file (nothing, a group or search results).
  bool UpdateCurrentCatalog();
  // Remove Missing Entries: after a question, drops every entry marked missing from the catalog
  // file `path`. False when nothing was removed.
  bool RemoveMissing(const std::string& path);
  // Edit > Find Duplicates: the groups of equal content across the library, in a window of
  // their own.
  void OnFindDuplicatesClicked();
  // "Where Else?": the copies of the file `node` (of the view) across the library.
  void OnWhereElseClicked(const CatalogTree::Node* node);
  // "Compare With...": the differences between the catalog file `path` and one the user picks.
  void CompareCatalogWith(const std::string& path);
  // "Verify": reads the medium of the catalog file `path` again and lists what no longer
  // matches.
  void VerifyCatalog(const std::string& path);
  // Shows the catalog file `catalog` with the entry of FullPath `full_path` selected.
  void OpenCopy(const std::string& catalog, const std::string& full_path);
  // Whether scans and updates from this window store content hashes (File > Content Hashes).
  [[nodiscard]] bool ContentHashes() const { return content_hashes_; }
  void SetContentHashes(bool hashes);
  // A left click on the view's header: sorts by that column, flipping the direction every time.
  void OnHeaderClicked(int column);
  // Opens the Options menu under its button.
  void OnOptionsClicked();
  // Edit > Rename (F2): edits the focused editable cell of the view or the detail pane, else the
  // FileName of the view's focused item.
  void OnRenameClicked();
  // Opens the in-place editor of `field` of the view's focused item: in the view when its column
  // is shown and editable, else in the detail pane. Nothing happens without a focused item.
  void EditFocusedField(int field);
  // View > Refresh (F5): reads the library and the catalog on screen again from disk.
  void OnRefreshClicked();

  // --- The library in use: a folder, or a server shared with others ---
  // File > Connect to Shared Library...: asks for a PostgreSQL connection (empty: back to the
  // library folder), tries it, keeps it in the configuration without its password and shows it.
  void OnConnectLibraryClicked();
  // Uses the library at `location` (a folder or a connection): the library tree lists it and the
  // status bar names it. Raises LumivorError when a server cannot be reached.
  void UseLibrary(const std::string& location);
  // The library in use, as given (a connection may hold a password; it is never written).
  const std::string& LibraryLocation() const { return library_location_; }
  // True when `path` is a catalog of the server library in use ("<connection>/Group/Name.xml").
  bool IsServerCatalog(const std::string& path) const;
  // Shows the about box.
  void OnAboutClicked();
  // Help: opens the README in the desktop's viewer; says why when there is none to open or nothing
  // that can show it.
  void OnHelpClicked();
  // Opens the maker's web page.
  void OpenWebPage();
  // Starts a mail to the support address.
  void OpenSupportMail();

 protected:
  void showEvent(QShowEvent* event) override;
  void closeEvent(QCloseEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;

 private:
  // Reads the server catalog at `path` (see IsServerCatalog).
  [[nodiscard]] CatalogTree LoadServerCatalog(const std::string& path);
  // Writes an edit of `node` (`field` was `old_text`) to the server catalog on screen: a
  // description changes its one row, refused when someone else changed it meanwhile (the user
  // then keeps either text); any other edit replaces the catalog in one transaction.
  void SaveServerEdit(CatalogTree::Node* node, int field, const std::string& old_text);
  // Sets the description of `entry` (a FullPath) in the server catalog `name` to `text` while it
  // is still `old_text`; when someone else changed it meanwhile, shows their text and lets the
  // user keep either. Returns the description the server holds afterwards.
  std::string DescribeOnServer(const std::string& name, const std::string& entry,
                               const std::string& text, const std::string& old_text);
  // ApplyResultEdit for a result whose catalog is on the server library.
  void ApplyServerResultEdit(CatalogTree::Node* node, const ResultSource& source, int field,
                             std::string_view text);
  void CreateToolbar(QWidget* host);
  void CreateMenus();
  void CreateMenuBar();
  void CreatePanes(QWidget* host);
  // Shows a scanned catalog and stores it: in a server library in one transaction, else as its
  // file. A catalog that cannot be written leaves nothing on screen.
  void StoreScannedCatalog(CatalogTree&& tree, const std::string& catalog,
                           const std::string& root_name, const NewCatalogPlan& plan);
  // Tells what a finished scan left out: folders not read, deep-scan notes, files not hashed.
  void ShowScanNotes(const ScanReport& report, const DeepScanOptions& deep,
                     const HashReport& hash_report);
  void CreateLibraryPanel();
  [[nodiscard]] QWidget* CreateDetailPane();
  [[nodiscard]] QWidget* CreateCatalogPane();
  void ApplyPaneSizes();
  void OnCurrentChanged(const QModelIndex& current);
  // The library tree's name editor committed `text` for the group or catalog at `index`: renamed
  // on disk (a refusal is told and the editor opens again), then the tree is listed afresh.
  void OnLibraryNameCommitted(const QModelIndex& index, const QString& text);
  // Tells the library's index of a rename or move, on the worker thread.
  void TellIndexMoved(const std::string& from, const std::string& to);
  void OnCatalogEdited(CatalogTree::Node* node, int field, const std::string& text);
  void OnDetailEdited(int row, const QString& key, const QString& text);
  void ApplyResultEdit(CatalogTree::Node* node, const ResultSource& source, int field,
                       std::string_view text);
  // After an edit written into the catalog `catalog_path`: the results from it show its records
  // as they now are.
  void RefreshResultsOf(const std::string& catalog_path, const EditedCatalog& edited);
  // Forgets the search results' sources (the view is about to show something else).
  void ForgetResults();
  // Appends results to the view and remembers their sources.
  void AppendSearchResults(SearchOutcome&& part);
  // Ends a search whose first results the view may show already: the results of `outcome`, the
  // ones not handed over while it ran, follow them.
  void FinishSearchResults(SearchOutcome&& outcome);
  // Shows a catalog read from `path` in the view, as the current catalog.
  void ShowOpenedCatalog(CatalogTree&& tree, const std::string& path);
  // The catalog view's context menu at `position` (viewport coordinates).
  void ResultContextMenu(const QPoint& position);
  // The detail pane rows that say where the result `node` is kept (none for other nodes).
  void ShowResultPlace(const CatalogTree::Node* node);
  void UpdateWindowTitle();
  // Enables the File menu's commands that need a catalog file on screen.
  void UpdateFileCommands();
  // The library tree's context menu at `position` (viewport coordinates).
  void LibraryContextMenu(const QPoint& position);
  // Adds to the detail pane the volume facts of the catalog file `catalog_file` and whether its
  // medium is connected now.
  void ShowMediumDetail(const std::string& catalog_file);
  // Shows the catalog file `path` afresh in the view (when on screen) and in the library tree.
  void ReloadAfterChange(const std::string& path);
  // Runs the search for copies on the worker and shows them in a new window: every group of the
  // library, or with `of_entry` the copies of that one file.
  void ShowCopies(const QString& title, const ContentEntry* of_entry);
  // Runs a dialog's work (an export, a move in the library window) through RunInBackground, with
  // `title` in the progress window's title bar.
  std::function<void(const ExportDialog::ExportWork&)> ExportRunner(
      const QString& title = QStringLiteral("Exporting"));
  // The same for an export that may be of the screen: the tree is put in the order shown first.
  std::function<void(const ExportDialog::ExportWork&)> ScreenExportRunner();
  // Runs `work` through RunInBackground with the catalog tree in the order the view shows: the
  // folders not sorted yet (a million-entry catalog has many) are sorted on the worker first.
  void RunOnShownTree(const std::function<void(WorkContext&)>& work,
                      const QString& title = QString());
  // Disables (busy) or enables again every command of the window while work runs.
  void SetBusy(bool busy);

  std::string directory_;
  std::unique_ptr<QtPrompts> own_prompts_;
  Prompts* prompts_;
  std::unique_ptr<Configuration> config_;
  ProgressWindow* progress_window_ = nullptr;
  BackgroundWork* work_ = nullptr;
  int catalog_edit_triggers_ = 0;  // the views' edit triggers, kept while work runs
  int detail_edit_triggers_ = 0;

  std::string current_catalog_file_;
  std::string scan_root_name_;
  bool content_hashes_ = false;
  QAction* content_hashes_action_ = nullptr;
  int sort_field_ = 0;
  std::string sort_attribute_;  // the further attribute sorted by; empty: the field sort_field_
  bool detail_shows_item_ = false;
  int sort_column_ = -1;  // the header's sort column; -1 before the first click
  bool sort_ascending_ = true;

  // The search results on screen: where each top-level row came from.
  bool results_shown_ = false;
  bool results_cancelled_ = false;
  std::size_t result_catalogs_ = 0;
  std::unordered_map<const CatalogTree::Node*, ResultSource> result_sources_;
  std::vector<const CatalogTree::Node*> result_rows_;  // in the order they came
  std::unordered_set<std::string> result_catalog_paths_;

  bool initialised_ = false;
  bool panes_applied_ = false;
  QSize saved_window_size_;             // the window's size when the pane sizes were saved
  bool keep_pane_proportions_ = false;  // until the user drags a splitter
  int left_width_ = 308;
  int hint_height_ = 262;

  QToolButton* buttons_[6] = {};
  QMenu* options_menu_ = nullptr;
  QAction* update_action_ = nullptr;  // File > Update Catalog
  QSplitter* library_splitter_ = nullptr;
  QSplitter* detail_splitter_ = nullptr;
  LibraryPanel* library_panel_ = nullptr;
  QTreeView* detail_view_ = nullptr;
  DetailModel* detail_model_ = nullptr;
  QTreeView* catalog_view_ = nullptr;
  CatalogModel* catalog_model_ = nullptr;
  QLabel* status_label_ = nullptr;
  QLabel* library_label_ = nullptr;  // the library in use, on the right of the status bar
  std::string library_location_;
  // The server's snapshot the open catalog of a server library was read in: a catalog written
  // back whole (after a rename) keeps the descriptions others set since.
  std::string server_read_snapshot_;
  QLabel* entry_count_label_ = nullptr;
};

}  // namespace lumivor
