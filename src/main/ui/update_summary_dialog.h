#pragma once

#include <QDialog>

#include "update/catalog_update.h"

class QLabel;
class QPlainTextEdit;
class QPushButton;

namespace lumivor {

// The window shown after an update: the counts on one line, then every entry that was added,
// removed, moved, changed or kept as missing, one per line, and an OK button.
class UpdateSummaryDialog : public QDialog {
  Q_OBJECT

 public:
  // `catalog_name` names the catalog the summary belongs to.
  UpdateSummaryDialog(const QString& catalog_name, const UpdateSummary& summary,
                      QWidget* parent = nullptr);

  QLabel* counts_label = nullptr;
  QPlainTextEdit* change_list = nullptr;
  QPushButton* ok_button = nullptr;
};

}  // namespace lumivor
