#include "search/ui/tfm_search.h"

#include <QCheckBox>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include "library/library_storage.h"
#include "library/ui/frm_cat_tree.h"

namespace lumivor {

TFMSearch::TFMSearch(Prompts& prompts, const QString& library_root, QWidget* parent)
    : QDialog(parent), prompts_(prompts) {
  setWindowTitle(QStringLiteral("File Search"));

  auto* group1 = new QGroupBox(QStringLiteral("Search Range"), this);
  auto* range = new QVBoxLayout(group1);
  FrmCatTree = new TFrmCatTree(group1);
  FrmCatTree->SetLibraryRoot(library_root);
  FrmCatTree->SetHint(QStringLiteral("Select to search"));
  FrmCatTree->SetColumnWidths(130, 100, 70);
  range->addWidget(FrmCatTree);

  auto* group2 = new QGroupBox(QStringLiteral("File to Find"), this);
  auto* find = new QFormLayout(group2);
  EdFileName = new QLineEdit(group2);
  EdExt = new QLineEdit(group2);
  EdDes = new QLineEdit(group2);
  EdTags = new QLineEdit(group2);
  EdTags->setToolTip(QStringLiteral("Text in any tag: title, artist, album, year, camera, codec"));
  for (QLineEdit* edit : {EdFileName, EdExt, EdDes, EdTags}) edit->setMinimumWidth(141);
  CheckRegex = new QCheckBox(QStringLiteral("Regular expression"), group2);
  CheckRegex->setToolTip(QStringLiteral("The file name is a regular expression (RE2 syntax)"));
  auto* name_row = new QHBoxLayout;
  name_row->addWidget(EdFileName, 1);
  name_row->addWidget(CheckRegex);
  find->addRow(QStringLiteral("File Name:"), name_row);
  find->addRow(QStringLiteral("File Ext:"), EdExt);
  find->addRow(QStringLiteral("Description:"), EdDes);
  find->addRow(QStringLiteral("Tags:"), EdTags);
  CheckBox1 = new QCheckBox(QStringLiteral("Case censitive"), group2);
  CheckBox2 = new QCheckBox(QStringLiteral("Whole words only"), group2);
  find->addRow(CheckBox1);
  find->addRow(CheckBox2);

  auto* memo1 = new QLabel(
      QStringLiteral("Select a group or catalog on the left to \ndefine the scope of search"),
      this);
  memo1->setAlignment(Qt::AlignCenter);
  memo1->setAutoFillBackground(true);
  memo1->setFrameShape(QFrame::StyledPanel);
  memo1->setMinimumHeight(55);
  QPalette memo_palette = memo1->palette();
  memo_palette.setColor(QPalette::Window, memo_palette.color(QPalette::ToolTipBase));
  memo_palette.setColor(QPalette::WindowText, memo_palette.color(QPalette::ToolTipText));
  memo1->setPalette(memo_palette);

  auto* right = new QVBoxLayout;
  right->addWidget(group2);
  right->addWidget(memo1);
  right->addStretch(1);
  auto* panel = new QHBoxLayout;
  panel->addWidget(group1, 1);
  panel->addLayout(right);

  BitBtn1 = new QPushButton(QStringLiteral("&OK"), this);
  BitBtn2 = new QPushButton(QStringLiteral("&Cancel"), this);
  BitBtn1->setDefault(true);
  auto* buttons = new QHBoxLayout;
  buttons->addStretch(1);
  buttons->addWidget(BitBtn1);
  buttons->addWidget(BitBtn2);

  auto* layout = new QVBoxLayout(this);
  layout->addLayout(panel, 1);
  layout->addLayout(buttons);
  resize(560, 320);

  connect(BitBtn1, &QPushButton::clicked, this, &TFMSearch::BitBtn1Click);
  connect(BitBtn2, &QPushButton::clicked, this, &QDialog::reject);

  FrmCatTree->RefreshLibrary();
  EdFileName->setFocus();
}

QString TFMSearch::ScopePath() const { return FrmCatTree->SelectedPath(); }

bool TFMSearch::ScopeIsDirectory() const {
  const auto* node = FrmCatTree->FocusedNode();
  return node != nullptr && node->IsDirectory();
}

SearchCriteria TFMSearch::Criteria() const {
  SearchCriteria criteria;
  criteria.scope_path = ScopePath().toStdString();
  criteria.scope_is_directory = ScopeIsDirectory();
  (CheckRegex->isChecked() ? criteria.regex : criteria.name) = EdFileName->text().toStdString();
  criteria.extension = EdExt->text().toStdString();
  criteria.description = EdDes->text().toStdString();
  criteria.meta = EdTags->text().toStdString();
  criteria.case_sensitive = CheckBox1->isChecked();
  criteria.whole_field = CheckBox2->isChecked();
  return criteria;
}

void TFMSearch::BitBtn1Click() {
  const std::string problem = FrmCatTree->FocusedNode() == nullptr
                                  ? std::string(kSearchConditionMissing)
                                  : CriteriaProblem(Criteria());
  if (!problem.empty()) {
    prompts_.ShowMessage(kWarningCaption, problem, MessageIcon::kWarning);
    return;
  }
  accept();
}

}  // namespace lumivor
