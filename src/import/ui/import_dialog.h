#pragma once

#include <QDialog>
#include <QString>

#include "core/prompts.h"
#include "import/listing_import.h"

class QComboBox;
class QLineEdit;
class QPushButton;

namespace lumivor {

// The "Import" dialog: a listing another tool wrote (an ncdu export, an mtree listing, a
// hashdeep manifest, a catcli catalog), its format, and the name and group of the catalog it
// becomes. Choosing a file recognises its format (which can still be changed) and proposes the
// file's name as the catalog's. OK checks the choices, asks before a catalog of that name is
// replaced, and closes; the import itself is the opener's (Request()).
class ImportDialog : public QDialog {
  Q_OBJECT

 public:
  ImportDialog(Prompts& prompts, const QString& library_root, QWidget* parent = nullptr);

  // Takes `path` as the chosen listing, as the file dialog does.
  void SetSourcePath(const QString& path);
  // The import the dialog's choices ask for (after OK).
  [[nodiscard]] ImportRequest Request() const;

  QLineEdit* file_edit = nullptr;
  QPushButton* browse_button = nullptr;
  QComboBox* format_combo = nullptr;  // the items of kListingFormatNames, in order
  QLineEdit* name_edit = nullptr;
  QComboBox* group_combo = nullptr;  // "" for the library itself, then its groups; editable
  QPushButton* ok_button = nullptr;
  QPushButton* cancel_button = nullptr;

 private:
  void Browse();
  void Accept();
  [[nodiscard]] QString Folder() const;

  Prompts& prompts_;
  QString library_root_;
};

}  // namespace lumivor
