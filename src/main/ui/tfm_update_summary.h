#pragma once

#include <QDialog>

#include "core/catalog_update.h"

class QLabel;
class QPlainTextEdit;
class QPushButton;

namespace lumivor {

// The window shown after an update: the counts on one line, then every entry that was added,
// removed, moved, changed or kept as missing, one per line, and an OK button.
class TFMUpdateSummary : public QDialog {
  Q_OBJECT

 public:
  // `catalog_name` names the catalog the summary belongs to.
  TFMUpdateSummary(const QString& catalog_name, const UpdateSummary& summary,
                   QWidget* parent = nullptr);

  QLabel* LbCounts = nullptr;
  QPlainTextEdit* MmList = nullptr;
  QPushButton* BtnOk = nullptr;
};

}  // namespace lumivor
