#pragma once

#include <QDialog>
#include <QString>
#include <functional>
#include <string>

#include "core/prompts.h"
#include "library/new_catalog_plan.h"
#include "scan/deep_scan.h"

class QCheckBox;
class QGroupBox;
class QHBoxLayout;
class QLabel;
class QLineEdit;
class QListWidget;
class QPushButton;
class QRadioButton;
class QWidget;

namespace lumivor {

class LibraryPanel;

// The "Create a new Catalog" dialog: the folder or drive to read, the catalog's name, its group
// and the scope of the scan. It checks the input, resolves the catalog file and asks before an
// existing one is replaced; it scans nothing and writes nothing.
//
// Compact at start; "&Advanced" shows the group tree and the scope panel, keeping the window's
// bottom edge where it was; the target group is named in both views. OK stays disabled until the
// folder browser has been used once or the folder box names a folder.
class NewCatalogDialog : public QDialog {
  Q_OBJECT

 public:
  // `library_root` is the library directory whose groups are offered.
  NewCatalogDialog(Prompts& prompts, const QString& library_root, QWidget* parent = nullptr);

  // The folder or drive chosen (empty while nothing was chosen).
  [[nodiscard]] const QString& SourcePath() const { return source_path_; }
  // The catalog file to create or replace, set by a successful OK.
  [[nodiscard]] const QString& CatalogFile() const { return catalog_file_; }
  // The plan the dialog accepted (group, name, whether it replaces a catalog); see
  // new_catalog_plan.h.
  [[nodiscard]] const NewCatalogPlan& Plan() const { return plan_; }
  // The group directory the catalog goes to: the selected group, else the library root.
  [[nodiscard]] QString TargetGroup() const;
  // True when "Only Folders" was chosen.
  [[nodiscard]] bool OnlyFolders() const { return only_folders_; }
  // The extension filter for the scan: "\" then each listed extension (without its "*", blanks
  // trimmed) followed by "\", upper case; empty unless "Filter Files" is chosen with entries.
  [[nodiscard]] QString GetExtFilter() const;
  // What the scan looks into beyond the folder tree: the two check boxes of the advanced panel
  // (nothing under "Only Folders", which records no files).
  [[nodiscard]] DeepScanOptions DeepOptions() const;
  // Sets the two check boxes, as the configuration remembers them.
  void SetDeepOptions(const DeepScanOptions& options);
  // Whether the scan stores the content hash of every file ("Content hashes"; never under "Only
  // Folders").
  [[nodiscard]] bool ContentHashes() const;
  void SetContentHashes(bool hashes);

  // The folder browser: gets the folder to pre-select (or empty), returns the chosen directory or
  // empty when cancelled. Tests replace it.
  std::function<QString(const QString& start)> browse_folder;
  // Counts the descriptions of the catalog file at the given path (CountDescriptions; raises
  // LumivorError when it cannot be read). The opener may run it off the window's thread.
  std::function<std::size_t(const std::string& catalog_file)> count_descriptions;
  // True when the user chose to update the existing catalog of that name instead of replacing it
  // (it holds descriptions, which an update keeps).
  [[nodiscard]] bool UpdatesExisting() const { return updates_existing_; }

  // Controls, named as the window names them.
  QLineEdit* folder_edit = nullptr;
  QPushButton* browse_button = nullptr;  // "Open &Dialog"
  QLineEdit* name_edit = nullptr;
  QLabel* group_label = nullptr;      // the target group, shown in the compact view too
  QWidget* advanced_panel = nullptr;  // the advanced panel
  LibraryPanel* library_panel = nullptr;
  QRadioButton* folders_only_radio = nullptr;
  QRadioButton* all_files_radio = nullptr;
  QRadioButton* filter_radio = nullptr;
  QLabel* extension_label = nullptr;
  QLineEdit* extension_edit = nullptr;
  QPushButton* add_button = nullptr;
  QPushButton* delete_button = nullptr;
  QLabel* extension_list_label = nullptr;
  QListWidget* extension_list = nullptr;
  QCheckBox* archives_check = nullptr;     // "Look inside archives"
  QCheckBox* metadata_check = nullptr;     // "Read music, photo and video tags"
  QCheckBox* hashes_check = nullptr;       // "Content hashes"
  QPushButton* advanced_button = nullptr;  // "&Advanced"
  QPushButton* ok_button = nullptr;
  QPushButton* cancel_button = nullptr;  // "&Cancel"

  // Handlers.
  void OnBrowseClicked();
  // The user typed or pasted into the folder box.
  void OnFolderChanged(const QString& text);
  void OnAdvancedClicked();
  void OnScopeClicked();
  void OnAddClicked();
  void OnDeleteClicked();
  void OnOkClicked();

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  // The parts of the dialog, made in tab order.
  [[nodiscard]] QGroupBox* CreateSourceBox();
  void CreateAdvancedPanel();
  [[nodiscard]] QGroupBox* CreateGroupBox();
  [[nodiscard]] QGroupBox* CreateScopeBox();
  [[nodiscard]] QHBoxLayout* CreateButtons();
  void ConnectControls();
  // Asks before the existing catalog file is replaced; true when it may be (or is to be updated
  // instead, which sets UpdatesExisting).
  bool ConfirmReplace(const std::string& catalog_file);
  // Proposes the catalog name from the chosen folder unless the user typed one.
  void ProposeName();
  void UpdateGroupLabel();

  Prompts& prompts_;
  QString library_root_;
  QString source_path_;
  QString catalog_file_;
  NewCatalogPlan plan_;
  bool updates_existing_ = false;
  bool only_folders_ = false;
  bool name_typed_ = false;  // the user typed the catalog name
  int moved_by_ = 0;         // how far the last expansion was held back by the screen's top edge
};

}  // namespace lumivor
