#pragma once

#include <QDialog>

#include "core/prompts.h"

class QListWidget;
class QPushButton;

namespace lumivor {

class TConfig;

// The "Config visible columns" dialog: one ticked item per column-settings row (by its field
// name). OK writes the ticks into the rows' Visible flags and saves the configuration; Cancel and
// the close box leave both untouched.
class TFMConfig : public QDialog {
  Q_OBJECT

 public:
  TFMConfig(TConfig& config, Prompts& prompts, QWidget* parent = nullptr);

  QListWidget* clbList = nullptr;
  QPushButton* BitBtn1 = nullptr;  // "&OK"
  QPushButton* BitBtn2 = nullptr;  // "&Cancel"

  // Stores the ticks and saves; the dialog stays open when the file cannot be written.
  void BitBtn1Click();

 private:
  TConfig& config_;
  Prompts& prompts_;
};

}  // namespace lumivor
