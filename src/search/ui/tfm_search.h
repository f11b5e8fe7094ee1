#pragma once

#include <QDialog>
#include <QString>

#include "core/prompts.h"
#include "search/search.h"

class QCheckBox;
class QLineEdit;
class QPushButton;

namespace lumivor {

class TFrmCatTree;

// The "File Search" dialog: the scope (the whole library, a group or one catalog, picked in the
// library tree; the library root at start) and up to three criteria with two options. OK needs a
// focused scope and at least one criterion that is not blank; the texts are handed on as typed.
class TFMSearch : public QDialog {
  Q_OBJECT

 public:
  TFMSearch(Prompts& prompts, const QString& library_root, QWidget* parent = nullptr);

  // FullPath of the focused scope node; empty when none is focused.
  [[nodiscard]] QString ScopePath() const;
  // True when the scope is the library root or a group.
  [[nodiscard]] bool ScopeIsDirectory() const;
  // The scope and the criteria as entered; with "Regular expression" checked the name is the
  // pattern.
  [[nodiscard]] SearchCriteria Criteria() const;

  TFrmCatTree* FrmCatTree = nullptr;
  QLineEdit* EdFileName = nullptr;
  QCheckBox* CheckRegex = nullptr;  // "Regular expression": the name is an RE2 pattern
  QLineEdit* EdExt = nullptr;
  QLineEdit* EdDes = nullptr;
  QLineEdit* EdTags = nullptr;     // "Tags": text in any tag of a record
  QCheckBox* CheckBox1 = nullptr;  // "Case censitive"
  QCheckBox* CheckBox2 = nullptr;  // "Whole words only"
  QPushButton* BitBtn1 = nullptr;  // "&OK"
  QPushButton* BitBtn2 = nullptr;  // "&Cancel"

  // Checks the input (a scope, a criterion, a pattern that compiles) and closes with OK.
  void BitBtn1Click();

 private:
  Prompts& prompts_;
};

}  // namespace lumivor
