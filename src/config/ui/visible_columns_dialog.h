#pragma once

#include <QDialog>

#include "core/prompts.h"

class QListWidget;
class QPushButton;

namespace lumivor {

class Configuration;

// The "Config visible columns" dialog: one ticked item per column-settings row (by its field
// name). OK writes the ticks into the rows' Visible flags and saves the configuration; Cancel and
// the close box leave both untouched.
class VisibleColumnsDialog : public QDialog {
  Q_OBJECT

 public:
  VisibleColumnsDialog(Configuration& config, Prompts& prompts, QWidget* parent = nullptr);

  QListWidget* column_list = nullptr;
  QPushButton* ok_button = nullptr;      // "&OK"
  QPushButton* cancel_button = nullptr;  // "&Cancel"

  // Stores the ticks and saves; the dialog stays open when the file cannot be written.
  void OnOkClicked();

 private:
  Configuration& config_;
  Prompts& prompts_;
};

}  // namespace lumivor
