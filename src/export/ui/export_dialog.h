#pragma once

#include <QDialog>
#include <QString>
#include <functional>
#include <stop_token>

#include "catalog/catalog_tree.h"
#include "core/progress.h"
#include "core/prompts.h"
#include "export/export_request.h"

class QFont;
class QGroupBox;
class QLineEdit;
class QListWidget;
class QPushButton;
class QRadioButton;

namespace lumivor {

class Configuration;
class LibraryPanel;

// The "Export Catalog" dialog: what to export (the records on screen or a catalog of the library),
// which columns and which format. OK stores the ticked columns as the export defaults (also when
// it then stops), then runs the export (RunExport asks for the file) and says "Export Finished"
// when a file was written.
//
// With a preset catalog the dialog opens on "Export From Selected Catalog" with that catalog
// focused; without one on "Export From Current Screen". OK is enabled for the screen, or when a
// catalog (not a group) is focused.
class ExportDialog : public QDialog {
  Q_OBJECT

 public:
  // `screen` is the catalog view's tree; `preset_catalog_path` the catalog to preselect (or empty).
  ExportDialog(Configuration& config, Prompts& prompts, Progress& progress,
               const QString& library_root, const CatalogTree& screen,
               const QString& preset_catalog_path, QWidget* parent = nullptr);

  // The name suggested for an export of the screen (the catalog it shows); empty for none.
  QString screen_name;

  QRadioButton* screen_radio = nullptr;
  QRadioButton* catalog_radio = nullptr;
  LibraryPanel* library_panel = nullptr;
  QListWidget* column_list = nullptr;
  QRadioButton* html_radio = nullptr;
  QRadioButton* xml_radio = nullptr;
  QRadioButton* spreadsheet_radio = nullptr;
  QRadioButton* csv_radio = nullptr;
  QRadioButton* text_radio = nullptr;
  QRadioButton* ncdu_radio = nullptr;  // the whole catalog for ncdu -f, whatever the columns
  QLineEdit* separator_edit = nullptr;
  QPushButton* ok_button = nullptr;
  QPushButton* cancel_button = nullptr;

  // Runs the export once the dialog's choices are read (the file question included); set by the
  // opener to run it off the window's thread, with the work's stop token. Unset, it runs in place
  // with the dialog's progress and prompts, and cannot be cancelled.
  using ExportWork = std::function<void(Progress&, Prompts&, std::stop_token)>;
  std::function<void(const ExportWork& work)> run_work;

  // Handlers.
  void OnSourceClicked();
  void UpdateOkButton();
  void OnOkClicked();

 private:
  // The three parts of the dialog, made in tab order.
  [[nodiscard]] QGroupBox* CreateSourceBox(const QString& library_root, const QFont& bold,
                                           const QFont& plain);
  [[nodiscard]] QGroupBox* CreateColumnBox(const QFont& bold, const QFont& plain);
  [[nodiscard]] QGroupBox* CreateFormatBox(const QFont& bold, const QFont& plain);
  // The export the dialog's controls describe, of `catalog_path` (empty: the screen).
  [[nodiscard]] ExportRequest Request(const std::string& catalog_path) const;

  Configuration& config_;
  Prompts& prompts_;
  Progress& progress_;
  const CatalogTree& screen_;
  QString preset_catalog_path_;
};

}  // namespace lumivor
