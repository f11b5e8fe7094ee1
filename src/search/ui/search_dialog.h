#pragma once

#include <QDialog>
#include <QString>

#include "core/prompts.h"
#include "search/search.h"

class QCheckBox;
class QLineEdit;
class QPushButton;

namespace lumivor {

class LibraryPanel;

// The "File Search" dialog: the scope (the whole library, a group or one catalog, picked in the
// library tree; the library root at start) and up to three criteria with two options. OK needs a
// focused scope and at least one criterion that is not blank; the texts are handed on as typed.
class SearchDialog : public QDialog {
  Q_OBJECT

 public:
  SearchDialog(Prompts& prompts, const QString& library_root, QWidget* parent = nullptr);

  // FullPath of the focused scope node; empty when none is focused.
  [[nodiscard]] QString ScopePath() const;
  // True when the scope is the library root or a group.
  [[nodiscard]] bool ScopeIsDirectory() const;
  // The scope and the criteria as entered; with "Regular expression" checked the name is the
  // pattern.
  [[nodiscard]] SearchCriteria Criteria() const;

  LibraryPanel* library_panel = nullptr;
  QLineEdit* name_edit = nullptr;
  QCheckBox* regex_check = nullptr;  // "Regular expression": the name is an RE2 pattern
  QLineEdit* extension_edit = nullptr;
  QLineEdit* description_edit = nullptr;
  QLineEdit* tags_edit = nullptr;             // "Tags": text in any tag of a record
  QCheckBox* case_sensitive_check = nullptr;  // "Case censitive"
  QCheckBox* whole_words_check = nullptr;     // "Whole words only"
  QPushButton* ok_button = nullptr;           // "&OK"
  QPushButton* cancel_button = nullptr;       // "&Cancel"

  // Checks the input (a scope, a criterion, a pattern that compiles) and closes with OK.
  void OnOkClicked();

 private:
  Prompts& prompts_;
};

}  // namespace lumivor
