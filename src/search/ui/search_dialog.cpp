#include "search/ui/search_dialog.h"

#include <QCheckBox>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include "library/library_storage.h"
#include "library/ui/library_panel.h"

namespace lumivor {

SearchDialog::SearchDialog(Prompts& prompts, const QString& library_root, QWidget* parent)
    : QDialog(parent), prompts_(prompts) {
  setWindowTitle(QStringLiteral("File Search"));

  auto* range_box = new QGroupBox(QStringLiteral("Search Range"), this);
  auto* range = new QVBoxLayout(range_box);
  library_panel = new LibraryPanel(range_box);
  library_panel->SetLibraryRoot(library_root);
  library_panel->SetHint(QStringLiteral("Select to search"));
  library_panel->SetColumnWidths(130, 100, 70);
  range->addWidget(library_panel);

  auto* file_box = new QGroupBox(QStringLiteral("File to Find"), this);
  auto* find = new QFormLayout(file_box);
  name_edit = new QLineEdit(file_box);
  extension_edit = new QLineEdit(file_box);
  description_edit = new QLineEdit(file_box);
  tags_edit = new QLineEdit(file_box);
  tags_edit->setToolTip(
      QStringLiteral("Text in any tag: title, artist, album, year, camera, codec"));
  for (QLineEdit* edit : {name_edit, extension_edit, description_edit, tags_edit})
    edit->setMinimumWidth(141);
  regex_check = new QCheckBox(QStringLiteral("Regular expression"), file_box);
  regex_check->setToolTip(QStringLiteral("The file name is a regular expression (RE2 syntax)"));
  auto* name_row = new QHBoxLayout;
  name_row->addWidget(name_edit, 1);
  name_row->addWidget(regex_check);
  find->addRow(QStringLiteral("File Name:"), name_row);
  find->addRow(QStringLiteral("File Ext:"), extension_edit);
  find->addRow(QStringLiteral("Description:"), description_edit);
  find->addRow(QStringLiteral("Tags:"), tags_edit);
  case_sensitive_check = new QCheckBox(QStringLiteral("Case censitive"), file_box);
  whole_words_check = new QCheckBox(QStringLiteral("Whole words only"), file_box);
  find->addRow(case_sensitive_check);
  find->addRow(whole_words_check);

  auto* hint_label = new QLabel(
      QStringLiteral("Select a group or catalog on the left to \ndefine the scope of search"),
      this);
  hint_label->setAlignment(Qt::AlignCenter);
  hint_label->setAutoFillBackground(true);
  hint_label->setFrameShape(QFrame::StyledPanel);
  hint_label->setMinimumHeight(55);
  QPalette memo_palette = hint_label->palette();
  memo_palette.setColor(QPalette::Window, memo_palette.color(QPalette::ToolTipBase));
  memo_palette.setColor(QPalette::WindowText, memo_palette.color(QPalette::ToolTipText));
  hint_label->setPalette(memo_palette);

  auto* right = new QVBoxLayout;
  right->addWidget(file_box);
  right->addWidget(hint_label);
  right->addStretch(1);
  auto* panel = new QHBoxLayout;
  panel->addWidget(range_box, 1);
  panel->addLayout(right);

  ok_button = new QPushButton(QStringLiteral("&OK"), this);
  cancel_button = new QPushButton(QStringLiteral("&Cancel"), this);
  ok_button->setDefault(true);
  auto* buttons = new QHBoxLayout;
  buttons->addStretch(1);
  buttons->addWidget(ok_button);
  buttons->addWidget(cancel_button);

  auto* layout = new QVBoxLayout(this);
  layout->addLayout(panel, 1);
  layout->addLayout(buttons);
  resize(560, 320);

  connect(ok_button, &QPushButton::clicked, this, &SearchDialog::OnOkClicked);
  connect(cancel_button, &QPushButton::clicked, this, &QDialog::reject);

  library_panel->RefreshLibrary();
  name_edit->setFocus();
}

QString SearchDialog::ScopePath() const { return library_panel->SelectedPath(); }

bool SearchDialog::ScopeIsDirectory() const {
  const auto* node = library_panel->FocusedNode();
  return node != nullptr && node->IsDirectory();
}

SearchCriteria SearchDialog::Criteria() const {
  SearchCriteria criteria;
  criteria.scope_path = ScopePath().toStdString();
  criteria.scope_is_directory = ScopeIsDirectory();
  (regex_check->isChecked() ? criteria.regex : criteria.name) = name_edit->text().toStdString();
  criteria.extension = extension_edit->text().toStdString();
  criteria.description = description_edit->text().toStdString();
  criteria.meta = tags_edit->text().toStdString();
  criteria.case_sensitive = case_sensitive_check->isChecked();
  criteria.whole_field = whole_words_check->isChecked();
  return criteria;
}

void SearchDialog::OnOkClicked() {
  const std::string problem = library_panel->FocusedNode() == nullptr
                                  ? std::string(kSearchConditionMissing)
                                  : CriteriaProblem(Criteria());
  if (!problem.empty()) {
    prompts_.ShowMessage(kWarningCaption, problem, MessageIcon::kWarning);
    return;
  }
  accept();
}

}  // namespace lumivor
