#pragma once

#include <QDialog>
#include <QString>
#include <functional>

#include "core/deep_scan.h"
#include "core/prompts.h"

class QCheckBox;
class QLabel;
class QLineEdit;
class QListWidget;
class QPushButton;
class QRadioButton;
class QWidget;

namespace lumivor {

class TFrmCatTree;

// The "Create a new Catalog" dialog: the folder or drive to read, the catalog's name, its group
// and the scope of the scan. It checks the input, resolves the catalog file and asks before an
// existing one is replaced; it scans nothing and writes nothing.
//
// Compact at start; "&Advanced" shows the group tree and the scope panel, keeping the window's
// bottom edge where it was; the target group is named in both views. OK stays disabled until the
// folder browser has been used once or the folder box names a folder.
class TFMNewCat : public QDialog {
  Q_OBJECT

 public:
  // `library_root` is the library directory whose groups are offered.
  TFMNewCat(Prompts& prompts, const QString& library_root, QWidget* parent = nullptr);

  // The folder or drive chosen (empty while nothing was chosen).
  [[nodiscard]] const QString& SourcePath() const { return source_path_; }
  // The catalog file to create or replace, set by a successful OK.
  [[nodiscard]] const QString& CatalogFile() const { return catalog_file_; }
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

  // The folder browser: gets the folder to pre-select (or empty), returns the chosen directory or
  // empty when cancelled. Tests replace it.
  std::function<QString(const QString& start)> browse_folder;

  // Controls, named as the window names them.
  QLineEdit* EdFileName = nullptr;
  QPushButton* SpeedButton1 = nullptr;  // "Open &Dialog"
  QLineEdit* EdName = nullptr;
  QLabel* LbGroup = nullptr;  // the target group, shown in the compact view too
  QWidget* Panel2 = nullptr;  // the advanced panel
  TFrmCatTree* FrmCatTree = nullptr;
  QRadioButton* rbFolder = nullptr;
  QRadioButton* RBFile = nullptr;
  QRadioButton* rbFilter = nullptr;
  QLabel* Label3 = nullptr;
  QLineEdit* EdExt = nullptr;
  QPushButton* BtnAdd = nullptr;
  QPushButton* BtnDel = nullptr;
  QLabel* Label5 = nullptr;
  QListWidget* LBExt = nullptr;
  QCheckBox* CBArchives = nullptr;      // "Look inside archives"
  QCheckBox* CBMetadata = nullptr;      // "Read music, photo and video tags"
  QPushButton* SpeedButton4 = nullptr;  // "&Advanced"
  QPushButton* BtnOk = nullptr;
  QPushButton* SpeedButton3 = nullptr;  // "&Cancel"

  // Handlers.
  void SpeedButton1Click();
  // The user typed or pasted into the folder box.
  void EdFileNameChange(const QString& text);
  void SpeedButton4Click();
  void RBFileClick();
  void BtnAddClick();
  void BtnDelClick();
  void BtnOkClick();

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  // Proposes the catalog name from the chosen folder unless the user typed one.
  void ProposeName();
  void UpdateGroupLabel();

  Prompts& prompts_;
  QString library_root_;
  QString source_path_;
  QString catalog_file_;
  bool only_folders_ = false;
  bool name_typed_ = false;  // the user typed the catalog name
  int moved_by_ = 0;         // how far the last expansion was held back by the screen's top edge
};

}  // namespace lumivor
